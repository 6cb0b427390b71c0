/*
 * Device.cpp - driver and device objects, device initialisation, names,
 * interfaces and power policy, and the kit's calls for them. The PnP and
 * power state machine is pnp/Pnp.cpp; registry and strings are in
 * support/.
 */
#include <algorithm>
#include <cstring>

#include "FxHost.h"

namespace fx {

Device *DeviceFromHandle(WDFDEVICE Handle, const char *Api) { return As<Device>(Handle, ObjectType::Device, Api); }

bool DevicePresent(Device *Dev) { return Dev != nullptr && !Dev->Removed && !Dev->Deleted; }

UsbDeviceModel *UsbModelOf(Device *Dev)
{
    if (Dev == nullptr || Dev->Node == nullptr) {
        return nullptr;
    }
    return Dev->Node->Usb.get();
}

Device *DeviceOfNode(const PhysicalDevice *Node)
{
    auto &M = Host().NodeDevices;
    auto It = M.find(Node);
    return It == M.end() ? nullptr : It->second;
}

bool Driver::DriverMayDelete() const
{
    VerifierReport("DeleteOfDriver", "WdfObjectDelete on the driver object");
    return false;
}

bool FileObject::DriverMayDelete() const
{
    VerifierReport("DeleteOfFileObject", "WdfObjectDelete on a framework file object");
    return false;
}

/* ------------------------------------------------------------------ */
/* Device                                                              */
/* ------------------------------------------------------------------ */
Device::Device(PhysicalDevice *N) : Object(ObjectType::Device, nullptr), Node(N)
{
    Wdm.Dev = this;
    SetOwnerDevice(this);
    WDF_DEVICE_PNP_CAPABILITIES_INIT(&Caps);
}

Device::~Device() = default;

bool Device::DriverMayDelete() const
{
    VerifierReport("DeleteOfPnpDevice", "WdfObjectDelete on a PnP device object (the framework deletes it at removal)");
    return false;
}

void Device::OnDelete()
{
    Deleted = true;
    Removed = true;
    Clock().CancelIfQueued(IdleEvent);
    for (Queue *Q : Queues) {
        Q->Accepting = false;
    }
    auto &H = Host();
    for (auto It = H.Links.begin(); It != H.Links.end();) {
        if (It->second.second == this)
            It = H.Links.erase(It);
        else
            ++It;
    }
    Links.clear();
    if (!Name.empty()) {
        H.Names.erase(HostState::Upper(Name));
    }
    for (auto &I : Interfaces) {
        I.Enabled = false;
    }
}

Queue *Device::RouteFor(const Request *Req) const
{
    WDF_REQUEST_TYPE Type = WdfRequestTypeOther;
    switch (Req->MajorFunction) {
    case IRP_MJ_READ: Type = WdfRequestTypeRead; break;
    case IRP_MJ_WRITE: Type = WdfRequestTypeWrite; break;
    case IRP_MJ_DEVICE_CONTROL: Type = WdfRequestTypeDeviceControl; break;
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: Type = WdfRequestTypeDeviceControlInternal; break;
    default: break;
    }
    auto It = Routes.find(Type);
    if (It != Routes.end()) {
        return It->second;
    }
    return DefaultQueue;
}

void Device::DispatchIo(Request *Req)
{
    Queue *Q = RouteFor(Req);
    NTSTATUS Status = STATUS_INVALID_DEVICE_REQUEST;
    if (Q != nullptr) {
        Status = Q->Accept(Req, true);
    }
    if (Status != STATUS_PENDING) {
        Req->SetState(Request::Where::Driver);
        Req->Complete(Status, 0, "framework(request refused)");
    }
}

size_t Device::PowerManagedActivity() const
{
    size_t N = 0;
    for (Queue *Q : Queues) {
        if (Q->PowerManaged) {
            N += Q->Pending.size() + Q->Owned.size();
        }
    }
    return N;
}

void Device::ActivityChanged()
{
    if (Deleted || Removed) {
        return;
    }
    bool IdleEnabled = IdleAssigned && Idle.Enabled != WdfFalse;
    size_t Activity = PowerManagedActivity();
    if (Activity > 0) {
        Clock().CancelIfQueued(IdleEvent);
        if (IdleSuspended && !PowerUpScheduled && !PowerTransition) {
            PowerUpScheduled = true;
            WDFDEVICE H = DeviceHandle();
            Defer(
                [H]() {
                    auto *D = TryLookupAs<Device>(H);
                    if (D == nullptr) return;
                    D->PowerUpScheduled = false;
                    if (!D->IdleSuspended || D->Removed) return;
                    /* Selective-suspend wake-up: back to D0 for the request. */
                    if (NT_SUCCESS(D->EnterD0(WdfPowerDeviceD2))) {
                        D->IdleSuspended = false;
                    }
                },
                "power up for I/O");
        }
        return;
    }
    if (IdleEnabled && InD0 && !PowerTransition && IdleEvent == 0) {
        ULONG Ms = Idle.IdleTimeout == IdleTimeoutDefaultValue ? 5000 : Idle.IdleTimeout;
        WDFDEVICE H = DeviceHandle();
        IdleEvent = Clock().ScheduleAfter((VirtualTime)Ms * kMillisecond,
                                          [H]() {
                                              auto *D = TryLookupAs<Device>(H);
                                              if (D == nullptr) return;
                                              D->IdleEvent = 0;
                                              if (D->PowerManagedActivity() != 0 || !D->InD0 || D->Removed) return;
                                              D->LeaveD0(WdfPowerDeviceD2, false);
                                              D->IdleSuspended = true;
                                              if (D->Node != nullptr) D->Node->Power = DevicePowerState::Dx;
                                              /* A request that arrived during the power-down wakes it. */
                                              D->ActivityChanged();
                                          },
                                          "idle timeout");
    }
}

void Device::HoldQueues(bool Hold)
{
    PowerTransition = Hold;
    if (!Hold) {
        for (Queue *Q : std::vector<Queue *>(Queues)) {
            Q->Dispatch();
        }
    }
}

NTSTATUS Device::EnterD0(WDF_POWER_DEVICE_STATE Previous)
{
    PowerTransition = true;
    NTSTATUS Status = STATUS_SUCCESS;
    WDFDEVICE H = DeviceHandle();
    if (Init.PnpPower.EvtDeviceD0Entry != nullptr) {
        CallPnpPower(Node, this, [&]() { Status = Init.PnpPower.EvtDeviceD0Entry(H, Previous); });
    }
    if (!NT_SUCCESS(Status)) {
        PowerTransition = false;
        return Status;
    }
    InD0 = true;
    FirstD0 = false;
    if (Node != nullptr) Node->Power = DevicePowerState::D0;
    /* The power-managed queues power on after EvtDeviceD0Entry; a manual
       one with requests in it owes its ready notification. */
    for (Queue *Q : Queues) {
        if (Q->PowerManaged) {
            Q->PoweredOff = false;
            Q->NoteRestarted();
        }
    }
    /* Requests acknowledged at the power-down resume. */
    for (Queue *Q : std::vector<Queue *>(Queues)) {
        if (!Q->PowerManaged || Q->Config.EvtIoResume == nullptr) {
            for (Request *R : Q->Owned) R->StopAcknowledged = false;
            continue;
        }
        std::vector<Request *> Held(Q->Owned.begin(), Q->Owned.end());
        for (Request *R : Held) {
            if (!R->StopAcknowledged) continue;
            R->StopAcknowledged = false;
            WDFQUEUE QH = Q->QueueHandle();
            WDFREQUEST RH = R->RequestHandle();
            CallDriver(this, DISPATCH_LEVEL, Q->Serialized(), [&]() { Q->Config.EvtIoResume(QH, RH); });
        }
    }
    HoldQueues(false);
    ActivityChanged();
    return STATUS_SUCCESS;
}

void Device::LeaveD0(WDF_POWER_DEVICE_STATE Target, bool Removal)
{
    Clock().CancelIfQueued(IdleEvent);
    PowerTransition = true;
    if (Removal) {
        PurgeQueuesForRemoval();
    } else {
        for (Queue *Q : std::vector<Queue *>(Queues)) {
            if (Q->PowerManaged) {
                Q->StopOwned(WdfRequestStopActionSuspend);
            }
        }
        WaitForStopAcknowledged("PowerDownBlocked");
    }
    for (Queue *Q : Queues) {
        if (Q->PowerManaged) {
            Q->PoweredOff = true;
        }
    }
    WDFDEVICE H = DeviceHandle();
    if (InD0 && Init.PnpPower.EvtDeviceD0Exit != nullptr) {
        NTSTATUS Status = STATUS_SUCCESS;
        CallPnpPower(Node, this, [&]() { Status = Init.PnpPower.EvtDeviceD0Exit(H, Target); });
        (void)Status;
    }
    InD0 = false;
    if (Node != nullptr) Node->Power = DevicePowerState::Dx;
    /* Power-managed queues stay held while out of D0 (InD0 false). */
    PowerTransition = false;
}

void Device::WaitForStopAcknowledged(const char *Rule)
{
    auto Settled = [this]() {
        for (Queue *Q : Queues) {
            if (!Q->PowerManaged) continue;
            for (Request *R : Q->Owned) {
                if (!R->StopAcknowledged) return false;
            }
        }
        return true;
    };
    while (!Settled()) {
        if (!Clock().RunOne()) {
            VerifierReport(Rule, "the device cannot leave D0: the driver holds requests of a power-managed queue that "
                                 "it neither completed nor acknowledged (EvtIoStop)");
            break;
        }
    }
}

void Device::PurgeQueuesForRemoval()
{
    for (Queue *Q : std::vector<Queue *>(Queues)) {
        if (Q->PowerManaged) {
            Q->Purge(nullptr, nullptr);
        }
    }
    /* The cancel routines the purge queued run before EvtIoStop is asked
       about what is left. */
    auto CancelsPending = [this]() {
        for (Queue *Q : Queues) {
            if (!Q->PowerManaged) continue;
            for (Request *R : Q->Owned) {
                if (R->CancelRoutineScheduled) return true;
            }
        }
        return false;
    };
    while (CancelsPending() && Clock().RunOne()) {}
    for (Queue *Q : std::vector<Queue *>(Queues)) {
        if (Q->PowerManaged) {
            Q->StopOwned(WdfRequestStopActionPurge);
        }
    }
    WaitForStopAcknowledged("RemovalBlocked");
}

} // namespace fx

/* ------------------------------------------------------------------ */
/* The kit's driver and device calls                                   */
/* ------------------------------------------------------------------ */
using namespace fx;

EXTERN_C NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                                  PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig,
                                  WDFDRIVER *Driver)
{
    KIT_ENTRY(WdfDriverCreate);
    NTSTATUS Status;
    (void)RegistryPath;
    if (Driver != nullptr) *Driver = nullptr;
    if (Kit.Refused(&Status)) {
        return Status;
    }
    auto &H = Host();
    if (H.TheDriver != nullptr) {
        VerifierReport("DriverCreatedTwice", "WdfDriverCreate called a second time");
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (DriverObject == nullptr || DriverConfig == nullptr || DriverConfig->Size != sizeof(WDF_DRIVER_CONFIG)) {
        VerifierReport("BadConfig", "WdfDriverCreate with no driver object or an uninitialised WDF_DRIVER_CONFIG");
        return STATUS_INVALID_PARAMETER;
    }
    auto *D = new fx::Driver();
    D->Config = *DriverConfig;
    Status = CommitOrDestroy(D, DriverAttributes, nullptr, Kit.Name());
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    H.TheDriver = D;
    H.LiveObjects--; /* the driver object is not counted among the driver's live objects */
    if (Driver != nullptr) {
        *Driver = D->HandleAs<WDFDRIVER>();
    }
    return STATUS_SUCCESS;
}

namespace {
WDFDEVICE_INIT *InitRecord(PWDFDEVICE_INIT Init, const char *Api)
{
    if (Init == nullptr) {
        VerifierReport("NullDeviceInit", std::string(Api) + " with a NULL WDFDEVICE_INIT");
        return nullptr;
    }
    if (Init->Consumed) {
        VerifierReport("DeviceInitUsedAfterCreate", std::string(Api) + " after WdfDeviceCreate consumed the record");
        return nullptr;
    }
    return Init;
}
} // namespace

EXTERN_C VOID WdfDeviceInitSetExclusive(PWDFDEVICE_INIT DeviceInit, BOOLEAN IsExclusive)
{
    KIT_ENTRY(WdfDeviceInitSetExclusive);
    if (auto *I = InitRecord(DeviceInit, Kit.Name())) I->Data.Exclusive = IsExclusive != FALSE;
}

EXTERN_C VOID WdfDeviceInitSetDeviceType(PWDFDEVICE_INIT DeviceInit, DEVICE_TYPE DeviceType)
{
    KIT_ENTRY(WdfDeviceInitSetDeviceType);
    if (auto *I = InitRecord(DeviceInit, Kit.Name())) I->Data.DeviceType = DeviceType;
}

EXTERN_C VOID WdfDeviceInitSetIoType(PWDFDEVICE_INIT DeviceInit, WDF_DEVICE_IO_TYPE IoType)
{
    KIT_ENTRY(WdfDeviceInitSetIoType);
    if (auto *I = InitRecord(DeviceInit, Kit.Name())) I->Data.IoType = IoType;
}

EXTERN_C VOID WdfDeviceInitSetRequestAttributes(PWDFDEVICE_INIT DeviceInit, PWDF_OBJECT_ATTRIBUTES RequestAttributes)
{
    KIT_ENTRY(WdfDeviceInitSetRequestAttributes);
    auto *I = InitRecord(DeviceInit, Kit.Name());
    if (I == nullptr || RequestAttributes == nullptr) return;
    if (RequestAttributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) {
        VerifierReport("BadAttributes", "WdfDeviceInitSetRequestAttributes with an uninitialised record");
        return;
    }
    if (RequestAttributes->ParentObject != nullptr) {
        VerifierReport("BadAttributes", "WdfDeviceInitSetRequestAttributes with a parent object");
        return;
    }
    I->Data.HaveRequestAttributes = true;
    I->Data.RequestAttributes = *RequestAttributes;
}

EXTERN_C VOID WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                                     PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks)
{
    KIT_ENTRY(WdfDeviceInitSetPnpPowerEventCallbacks);
    auto *I = InitRecord(DeviceInit, Kit.Name());
    if (I == nullptr || PnpPowerEventCallbacks == nullptr) return;
    if (PnpPowerEventCallbacks->Size != sizeof(WDF_PNPPOWER_EVENT_CALLBACKS)) {
        VerifierReport("BadConfig", "WdfDeviceInitSetPnpPowerEventCallbacks with an uninitialised record");
        return;
    }
    I->Data.PnpPower = *PnpPowerEventCallbacks;
}

EXTERN_C VOID WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT DeviceInit, PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                               PWDF_OBJECT_ATTRIBUTES FileObjectAttributes)
{
    KIT_ENTRY(WdfDeviceInitSetFileObjectConfig);
    auto *I = InitRecord(DeviceInit, Kit.Name());
    if (I == nullptr || FileObjectConfig == nullptr) return;
    if (FileObjectConfig->Size != sizeof(WDF_FILEOBJECT_CONFIG)) {
        VerifierReport("BadConfig", "WdfDeviceInitSetFileObjectConfig with an uninitialised record");
        return;
    }
    I->Data.HaveFileConfig = true;
    I->Data.FileConfig = *FileObjectConfig;
    if (FileObjectAttributes != nullptr) {
        if (FileObjectAttributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) {
            VerifierReport("BadAttributes", "WdfDeviceInitSetFileObjectConfig with uninitialised attributes");
            return;
        }
        I->Data.HaveFileAttributes = true;
        I->Data.FileAttributes = *FileObjectAttributes;
    }
}

EXTERN_C NTSTATUS WdfDeviceInitAssignWdmIrpPreprocessCallback(
    PWDFDEVICE_INIT DeviceInit, PFN_WDFDEVICE_WDM_IRP_PREPROCESS EvtDeviceWdmIrpPreprocess, UCHAR MajorFunction,
    PUCHAR MinorFunctions, ULONG NumMinorFunctions)
{
    KIT_ENTRY(WdfDeviceInitAssignWdmIrpPreprocessCallback);
    NTSTATUS Status;
    (void)MinorFunctions;
    (void)NumMinorFunctions;
    auto *I = InitRecord(DeviceInit, Kit.Name());
    if (I == nullptr) return STATUS_INVALID_PARAMETER;
    if (Kit.Injected(&Status)) {
        return Status;
    }
    if (EvtDeviceWdmIrpPreprocess == nullptr || MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) {
        return STATUS_INVALID_PARAMETER;
    }
    I->Data.Preprocess[MajorFunction] = EvtDeviceWdmIrpPreprocess;
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS WdfDeviceInitAssignName(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceName)
{
    KIT_ENTRY(WdfDeviceInitAssignName);
    NTSTATUS Status;
    auto *I = InitRecord(DeviceInit, Kit.Name());
    if (I == nullptr) return STATUS_INVALID_PARAMETER;
    if (Kit.Injected(&Status)) {
        return Status;
    }
    if (DeviceName == nullptr) {
        I->Data.HaveName = false;
        I->Data.Name.clear();
        return STATUS_SUCCESS;
    }
    if (DeviceName->Buffer == nullptr || DeviceName->Length == 0 || (DeviceName->Length & 1) != 0 ||
        DeviceName->Length > DeviceName->MaximumLength) {
        return STATUS_INVALID_PARAMETER;
    }
    I->Data.HaveName = true;
    I->Data.Name = FromUnicode(DeviceName);
    return STATUS_SUCCESS;
}

EXTERN_C VOID WdfDeviceInitSetPowerPageable(PWDFDEVICE_INIT DeviceInit)
{
    KIT_ENTRY(WdfDeviceInitSetPowerPageable);
    (void)InitRecord(DeviceInit, Kit.Name());
}

EXTERN_C VOID WdfDeviceInitSetPowerNotPageable(PWDFDEVICE_INIT DeviceInit)
{
    KIT_ENTRY(WdfDeviceInitSetPowerNotPageable);
    (void)InitRecord(DeviceInit, Kit.Name());
}
EXTERN_C VOID WdfDeviceInitSetPowerPolicyOwnership(PWDFDEVICE_INIT DeviceInit, BOOLEAN IsPowerPolicyOwner)
{
    KIT_ENTRY(WdfDeviceInitSetPowerPolicyOwnership);
    if (auto *I = InitRecord(DeviceInit, Kit.Name())) I->Data.PowerPolicyOwner = IsPowerPolicyOwner != FALSE;
}

EXTERN_C NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT *DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                                  WDFDEVICE *Device)
{
    KIT_ENTRY(WdfDeviceCreate);
    NTSTATUS Status;
    if (Device != nullptr) *Device = nullptr;
    if (DeviceInit == nullptr || Device == nullptr) {
        VerifierReport("NullParameter", "WdfDeviceCreate without DeviceInit or Device");
        return STATUS_INVALID_PARAMETER;
    }
    auto *I = InitRecord(*DeviceInit, Kit.Name());
    if (I == nullptr) return STATUS_INVALID_PARAMETER;
    if (!Kit.IrqlOk()) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (Kit.Injected(&Status)) {
        return Status;
    }
    auto &H = Host();
    std::u16string Key = HostState::Upper(I->Data.Name);
    if (I->Data.HaveName && H.Names.count(Key) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    auto *Dev = new fx::Device(I->Node);
    Dev->Init = I->Data;
    Dev->Name = I->Data.HaveName ? I->Data.Name : std::u16string();
    Status = CommitOrDestroy(Dev, DeviceAttributes, H.TheDriver, Kit.Name());
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    if (I->Data.HaveName) {
        H.Names[Key] = Dev;
    }
    Dev->Lower = new fx::LowerTarget(Dev);
    if (!NT_SUCCESS(CommitOrDestroy(Dev->Lower, nullptr, Dev, Kit.Name()))) {
        Dev->Lower = nullptr;
    }
    if (I->Node != nullptr) {
        I->Node->NtName = Dev->Name;
        H.NodeDevices[I->Node] = Dev;
    }
    I->Consumed = true;
    /* The rest of device add works for this device (pool accounting). */
    H.Current = Dev;
    *DeviceInit = nullptr;
    *Device = Dev->DeviceHandle();
    return STATUS_SUCCESS;
}

EXTERN_C VOID WdfDeviceSetPnpCapabilities(WDFDEVICE Device, PWDF_DEVICE_PNP_CAPABILITIES PnpCapabilities)
{
    KIT_ENTRY(WdfDeviceSetPnpCapabilities);
    auto *Dev = As<fx::Device>(Device, ObjectType::Device, Kit.Name());
    if (Dev == nullptr || PnpCapabilities == nullptr) return;
    if (PnpCapabilities->Size != sizeof(WDF_DEVICE_PNP_CAPABILITIES)) {
        VerifierReport("BadConfig", "WdfDeviceSetPnpCapabilities with an uninitialised record");
        return;
    }
    Dev->Caps = *PnpCapabilities;
    Dev->CapsSet = true;
}

EXTERN_C NTSTATUS WdfDeviceAssignS0IdleSettings(WDFDEVICE Device, PWDF_DEVICE_POWER_POLICY_IDLE_SETTINGS Settings)
{
    KIT_ENTRY(WdfDeviceAssignS0IdleSettings);
    NTSTATUS Status;
    auto *Dev = As<fx::Device>(Device, ObjectType::Device, Kit.Name());
    if (Dev == nullptr || Settings == nullptr) return STATUS_INVALID_PARAMETER;
    if (Kit.Refused(&Status)) {
        return Status;
    }
    if (Settings->Size != sizeof(WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS) || Settings->IdleCaps == IdleCapsInvalid) {
        VerifierReport("BadConfig", "WdfDeviceAssignS0IdleSettings with an uninitialised record");
        return STATUS_INVALID_PARAMETER;
    }
    if (!Dev->Init.PowerPolicyOwner) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    Dev->Idle = *Settings;
    Dev->IdleAssigned = true;
    Dev->ActivityChanged();
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS WdfDeviceAssignSxWakeSettings(WDFDEVICE Device, PWDF_DEVICE_POWER_POLICY_WAKE_SETTINGS Settings)
{
    KIT_ENTRY(WdfDeviceAssignSxWakeSettings);
    NTSTATUS Status;
    auto *Dev = As<fx::Device>(Device, ObjectType::Device, Kit.Name());
    if (Dev == nullptr || Settings == nullptr) return STATUS_INVALID_PARAMETER;
    if (Kit.Refused(&Status)) {
        return Status;
    }
    if (Settings->Size != sizeof(WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS)) {
        VerifierReport("BadConfig", "WdfDeviceAssignSxWakeSettings with an uninitialised record");
        return STATUS_INVALID_PARAMETER;
    }
    if (!Dev->Init.PowerPolicyOwner) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    Dev->Wake = *Settings;
    Dev->WakeAssigned = true;
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS WdfDeviceRetrieveDeviceName(WDFDEVICE Device, WDFSTRING String)
{
    KIT_ENTRY(WdfDeviceRetrieveDeviceName);
    NTSTATUS Status;
    auto *Dev = As<fx::Device>(Device, ObjectType::Device, Kit.Name());
    auto *S = As<fx::String>(String, ObjectType::String, Kit.Name());
    if (Dev == nullptr || S == nullptr) return STATUS_INVALID_PARAMETER;
    if (Kit.Refused(&Status)) {
        return Status;
    }
    if (Dev->Name.empty()) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    S->Set(Dev->Name);
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS WdfDeviceCreateSymbolicLink(WDFDEVICE Device, PCUNICODE_STRING SymbolicLinkName)
{
    KIT_ENTRY(WdfDeviceCreateSymbolicLink);
    NTSTATUS Status;
    auto *Dev = As<fx::Device>(Device, ObjectType::Device, Kit.Name());
    if (Dev == nullptr) return STATUS_INVALID_PARAMETER;
    if (Kit.Refused(&Status)) {
        return Status;
    }
    if (SymbolicLinkName == nullptr || SymbolicLinkName->Buffer == nullptr || SymbolicLinkName->Length == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Dev->Name.empty()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    auto &H = Host();
    std::u16string Link = FromUnicode(SymbolicLinkName);
    std::u16string Key = HostState::Upper(Link);
    if (H.Links.count(Key) != 0 || H.Names.count(Key) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    H.Links[Key] = {Dev->Name, Dev};
    Dev->Links.push_back(Link);
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE Device, const GUID *InterfaceClassGUID,
                                                 PCUNICODE_STRING ReferenceString)
{
    KIT_ENTRY(WdfDeviceCreateDeviceInterface);
    NTSTATUS Status;
    auto *Dev = As<fx::Device>(Device, ObjectType::Device, Kit.Name());
    if (Dev == nullptr || InterfaceClassGUID == nullptr) return STATUS_INVALID_PARAMETER;
    if (Kit.Refused(&Status)) {
        return Status;
    }
    std::u16string Ref = FromUnicode(ReferenceString);
    for (auto &I : Dev->Interfaces) {
        if (std::memcmp(&I.Class, InterfaceClassGUID, sizeof(GUID)) == 0 && I.Reference == Ref) {
            return STATUS_SUCCESS;
        }
    }
    fx::Device::Interface I;
    I.Class = *InterfaceClassGUID;
    I.Reference = Ref;
    I.Enabled = Dev->HardwarePrepared && Dev->InD0;
    Dev->Interfaces.push_back(I);
    return STATUS_SUCCESS;
}

EXTERN_C PDEVICE_OBJECT WdfDeviceWdmGetDeviceObject(WDFDEVICE Device)
{
    KIT_ENTRY(WdfDeviceWdmGetDeviceObject);
    auto *Dev = As<fx::Device>(Device, ObjectType::Device, Kit.Name());
    return Dev == nullptr ? nullptr : &Dev->Wdm;
}

EXTERN_C WDFDRIVER WdfDeviceGetDriver(WDFDEVICE Device)
{
    KIT_ENTRY(WdfDeviceGetDriver);
    auto *Dev = As<fx::Device>(Device, ObjectType::Device, Kit.Name());
    return Dev == nullptr || Host().TheDriver == nullptr ? nullptr : Host().TheDriver->HandleAs<WDFDRIVER>();
}

EXTERN_C WDFIOTARGET WdfDeviceGetIoTarget(WDFDEVICE Device)
{
    KIT_ENTRY(WdfDeviceGetIoTarget);
    auto *Dev = As<fx::Device>(Device, ObjectType::Device, Kit.Name());
    return Dev == nullptr || Dev->Lower == nullptr ? nullptr : Dev->Lower->HandleAs<WDFIOTARGET>();
}

EXTERN_C WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT FileObject)
{
    KIT_ENTRY(WdfFileObjectGetDevice);
    auto *F = As<fx::FileObject>(FileObject, ObjectType::FileObject, Kit.Name());
    return F == nullptr || F->OwnerDevice() == nullptr ? nullptr : F->OwnerDevice()->DeviceHandle();
}

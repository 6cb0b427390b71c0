/*
 * FxDevice.cpp - driver and device objects, device initialisation, names,
 * registry, strings, power policy, and the PnP/power state machine the PnP
 * manager drives (add, start, stop, idle, sleep, removal).
 */
#include <algorithm>
#include <cstring>

#include "FxHost.h"

EXTERN_C DRIVER_INITIALIZE DriverEntry;

namespace fx {

namespace {
std::u16string FromUnicode(PCUNICODE_STRING S)
{
    if (S == nullptr || S->Buffer == nullptr) {
        return {};
    }
    return std::u16string(reinterpret_cast<const char16_t *>(S->Buffer), S->Length / sizeof(WCHAR));
}

std::string Narrow(const std::u16string &S)
{
    std::string R;
    for (char16_t C : S) R.push_back(C < 0x80 ? (char)C : '?');
    return R;
}
} // namespace

Device *DeviceFromHandle(WDFDEVICE Handle, const char *Api) { return As<Device>(Handle, ObjectType::Device, Api); }

bool DevicePresent(Device *Dev) { return Dev != nullptr && !Dev->Removed && !Dev->Deleted; }

world::UsbDeviceModel *UsbModelOf(Device *Dev)
{
    if (Dev == nullptr || Dev->Node == nullptr) {
        return nullptr;
    }
    return Dev->Node->Usb.get();
}

Device *DeviceOfNode(const world::DeviceNode *Node)
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

void String::Set(const std::u16string &T)
{
    Text = T;
    Storage.assign(T.begin(), T.end());
    Storage.push_back(0);
}

/* ------------------------------------------------------------------ */
/* Device                                                              */
/* ------------------------------------------------------------------ */
Device::Device(world::DeviceNode *N) : Object(ObjectType::Device, nullptr), Node(N)
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
    if (IdleEvent != 0) {
        Clock().Cancel(IdleEvent);
        IdleEvent = 0;
    }
    for (Queue *Q : Queues) {
        Q->Accepting = false;
    }
    auto &H = Host();
    for (auto It = H.Links.begin(); It != H.Links.end();) {
        if (It->second.second == this) It = H.Links.erase(It);
        else ++It;
    }
    Links.clear();
    if (!Name.empty()) {
        H.Names.erase(world::World::Impl::Upper(Name));
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
        if (IdleEvent != 0) {
            Clock().Cancel(IdleEvent);
            IdleEvent = 0;
        }
        if (IdleSuspended && !PowerUpScheduled && !PowerTransition) {
            PowerUpScheduled = true;
            WDFDEVICE H = DeviceHandle();
            Defer(
                [H]() {
                    Object *O = TryLookup(reinterpret_cast<WDFOBJECT>(H));
                    if (O == nullptr) return;
                    auto *D = static_cast<Device *>(O);
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
        IdleEvent = Clock().ScheduleAfter(
            (world::VirtualTime)Ms * world::kMillisecond,
            [H]() {
                Object *O = TryLookup(reinterpret_cast<WDFOBJECT>(H));
                if (O == nullptr) return;
                auto *D = static_cast<Device *>(O);
                D->IdleEvent = 0;
                if (D->PowerManagedActivity() != 0 || !D->InD0 || D->Removed) return;
                D->LeaveD0(WdfPowerDeviceD2, false);
                D->IdleSuspended = true;
                if (D->Node != nullptr) D->Node->Power = world::DevicePowerState::Dx;
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
        CallDriver(this, PASSIVE_LEVEL, false, [&]() { Status = Init.PnpPower.EvtDeviceD0Entry(H, Previous); });
    }
    if (!NT_SUCCESS(Status)) {
        PowerTransition = false;
        return Status;
    }
    InD0 = true;
    FirstD0 = false;
    if (Node != nullptr) Node->Power = world::DevicePowerState::D0;
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
    if (IdleEvent != 0) {
        Clock().Cancel(IdleEvent);
        IdleEvent = 0;
    }
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
        CallDriver(this, PASSIVE_LEVEL, false, [&]() { Status = Init.PnpPower.EvtDeviceD0Exit(H, Target); });
        (void)Status;
    }
    InD0 = false;
    if (Node != nullptr) Node->Power = world::DevicePowerState::Dx;
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
    while (CancelsPending() && Clock().RunOne()) {
    }
    for (Queue *Q : std::vector<Queue *>(Queues)) {
        if (Q->PowerManaged) {
            Q->StopOwned(WdfRequestStopActionPurge);
        }
    }
    WaitForStopAcknowledged("RemovalBlocked");
}

/* ------------------------------------------------------------------ */
/* PnP manager                                                         */
/* ------------------------------------------------------------------ */
namespace {

NTSTATUS LoadDriver()
{
    auto &H = Host();
    if (H.DriverLoaded) {
        return H.DriverStatus;
    }
    H.DriverLoaded = true;
    H.DriverObject.Size = sizeof(DRIVER_OBJECT);
    static const WCHAR Path[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\brisum";
    UNICODE_STRING RegistryPath;
    RtlInitUnicodeString(&RegistryPath, Path);
    NTSTATUS Status = STATUS_SUCCESS;
    PDRIVER_INITIALIZE Entry = H.Entry != nullptr ? H.Entry : &DriverEntry;
    CallDriver(nullptr, PASSIVE_LEVEL, false, [&]() { Status = Entry(&H.DriverObject, &RegistryPath); });
    if (NT_SUCCESS(Status) && H.TheDriver == nullptr) {
        VerifierReport("NoDriverObject", "DriverEntry succeeded without creating the framework driver object");
        Status = STATUS_UNSUCCESSFUL;
    }
    H.DriverStatus = Status;
    return Status;
}

/* Leak check after a device's deletion. */
void CheckLeaks(Device *Dev, const std::u16string &Name)
{
    auto &H = Host();
    std::string Who = "device " + Narrow(Name);
    for (auto &B : H.Pool) {
        if (B.second.Dev == Dev && !B.second.Framework) {
            char Buf[160];
            std::snprintf(Buf, sizeof Buf, "%s: pool block of %zu bytes with tag 0x%08x not freed", Who.c_str(),
                          (size_t)B.second.Size, B.second.Tag);
            B.second.Dev = nullptr;
            VerifierReport("PoolLeak", Buf);
        }
    }
    for (auto &E : H.Handles) {
        Object *O = E.second;
        if (O->OwnerDevice() == Dev && O != Dev) {
            VerifierReport("ObjectLeak", Who + ": " + O->Describe() + " still referenced after the device was deleted");
        }
    }
}

void EnableInterfaces(Device *Dev, bool Enable)
{
    for (auto &I : Dev->Interfaces) I.Enabled = Enable;
}

/* Cancels everything the device's I/O targets still have out and waits. */
void CancelSentIo(Object *Root)
{
    std::vector<IoTarget *> Targets;
    std::vector<Object *> Stack{Root};
    while (!Stack.empty()) {
        Object *O = Stack.back();
        Stack.pop_back();
        if (auto *T = dynamic_cast<IoTarget *>(O)) Targets.push_back(T);
        for (Object *C : O->Children()) Stack.push_back(C);
    }
    for (IoTarget *T : Targets) {
        std::vector<Request *> Copy(T->SentRequests().begin(), T->SentRequests().end());
        for (Request *R : Copy) T->Abort(R);
    }
    auto Drained = [&Targets]() {
        for (IoTarget *T : Targets) {
            if (!T->SentRequests().empty()) return false;
        }
        return true;
    };
    while (!Drained()) {
        if (!Clock().RunOne()) {
            VerifierReport("SentIoNotCompleted", "requests sent to an I/O target never completed at removal");
            break;
        }
    }
}

void DeleteDevice(Device *Dev)
{
    std::u16string Name = Dev->Name;
    world::DeviceNode *Node = Dev->Node;
    Dev->Delete();
    Host().NodeDevices.erase(Node);
    CheckLeaks(Dev, Name);
}

} // namespace

NTSTATUS PnpAddDevice(world::DeviceNode *Node)
{
    NTSTATUS Status = LoadDriver();
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    auto &H = Host();
    WDFDEVICE_INIT Init;
    Init.Node = Node;
    PWDFDEVICE_INIT P = &Init;
    WDFDRIVER Drv = H.TheDriver->HandleAs<WDFDRIVER>();
    PFN_WDF_DRIVER_DEVICE_ADD Add = H.TheDriver->Config.EvtDriverDeviceAdd;
    if (Add == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    CallDriver(nullptr, PASSIVE_LEVEL, false, [&]() { Status = Add(Drv, P); });
    Device *Dev = DeviceOfNode(Node);
    if (!NT_SUCCESS(Status)) {
        if (Dev != nullptr) {
            DeleteDevice(Dev);
        }
        return Status;
    }
    if (Dev == nullptr) {
        VerifierReport("NoDeviceCreated", "EvtDriverDeviceAdd succeeded without creating a device");
        return STATUS_UNSUCCESSFUL;
    }
    return Status;
}

NTSTATUS PnpStartDevice(world::DeviceNode *Node)
{
    Device *Dev = DeviceOfNode(Node);
    if (Dev == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if (Dev->HardwarePrepared) {
        return STATUS_SUCCESS;
    }
    WDFDEVICE H = Dev->DeviceHandle();
    NTSTATUS Status = STATUS_SUCCESS;
    if (Dev->Init.PnpPower.EvtDevicePrepareHardware != nullptr) {
        CallDriver(Dev, PASSIVE_LEVEL, false,
                   [&]() { Status = Dev->Init.PnpPower.EvtDevicePrepareHardware(H, nullptr, nullptr); });
    }
    if (NT_SUCCESS(Status)) {
        Dev->HardwarePrepared = true;
        Status = Dev->EnterD0(Dev->FirstD0 ? WdfPowerDeviceD3Final : WdfPowerDeviceD3);
    }
    if (!NT_SUCCESS(Status)) {
        /* A failed start releases what was prepared; the PnP manager then
           removes the device. */
        if (Dev->Init.PnpPower.EvtDeviceReleaseHardware != nullptr) {
            CallDriver(Dev, PASSIVE_LEVEL, false, [&]() { (void)Dev->Init.PnpPower.EvtDeviceReleaseHardware(H, nullptr); });
        }
        Dev->HardwarePrepared = false;
        return Status;
    }
    EnableInterfaces(Dev, true);
    return STATUS_SUCCESS;
}

NTSTATUS PnpStopDevice(world::DeviceNode *Node)
{
    Device *Dev = DeviceOfNode(Node);
    if (Dev == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if (!Dev->HardwarePrepared) {
        return STATUS_SUCCESS;
    }
    if (Dev->IdleEvent != 0) {
        Clock().Cancel(Dev->IdleEvent);
        Dev->IdleEvent = 0;
    }
    if (Dev->InD0) {
        Dev->LeaveD0(WdfPowerDeviceD3, false);
    }
    Dev->IdleSuspended = false;
    WDFDEVICE H = Dev->DeviceHandle();
    if (Dev->Init.PnpPower.EvtDeviceReleaseHardware != nullptr) {
        CallDriver(Dev, PASSIVE_LEVEL, false, [&]() { (void)Dev->Init.PnpPower.EvtDeviceReleaseHardware(H, nullptr); });
    }
    Dev->HardwarePrepared = false;
    return STATUS_SUCCESS;
}

void PnpRemoveDevice(world::DeviceNode *Node, bool Surprise)
{
    Device *Dev = DeviceOfNode(Node);
    if (Dev == nullptr || Dev->Removed) {
        return;
    }
    WDFDEVICE H = Dev->DeviceHandle();
    Dev->Removed = true;
    if (Dev->IdleEvent != 0) {
        Clock().Cancel(Dev->IdleEvent);
        Dev->IdleEvent = 0;
    }
    if (Surprise) {
        Dev->SurpriseRemoved = true;
        if (Dev->Init.PnpPower.EvtDeviceSurpriseRemoval != nullptr) {
            CallDriver(Dev, PASSIVE_LEVEL, false, [&]() { Dev->Init.PnpPower.EvtDeviceSurpriseRemoval(H); });
        }
    }
    /* Power down with purge: the power-managed queues are purged, then
       EvtIoStop goes to what the driver still holds from them; the other
       queues are purged after the power-down. */
    if (Dev->InD0) {
        Dev->LeaveD0(WdfPowerDeviceD3Final, true);
    } else {
        Dev->PurgeQueuesForRemoval();
    }
    Dev->IdleSuspended = false;
    for (Queue *Q : std::vector<Queue *>(Dev->Queues)) {
        if (!Q->PowerManaged) Q->Purge(nullptr, nullptr);
    }
    CancelSentIo(Dev);
    if (Dev->HardwarePrepared && Dev->Init.PnpPower.EvtDeviceReleaseHardware != nullptr) {
        CallDriver(Dev, PASSIVE_LEVEL, false, [&]() { (void)Dev->Init.PnpPower.EvtDeviceReleaseHardware(H, nullptr); });
    }
    Dev->HardwarePrepared = false;
    EnableInterfaces(Dev, false);
    if (Dev->OpenHandles > 0) {
        /* Open file objects refer to the device object: it is deleted when
           the last of them is closed (FileClose), whatever ended the device
           (surprise removal, a failed restart, a removal with I/O still
           out). */
        Dev->DeletePending = true;
        return;
    }
    PnpFinishRemoval(Dev);
}

void PnpFinishRemoval(Device *Dev)
{
    /* Wait for the driver to finish what it still holds (cancel routines,
       completions in flight). */
    auto Settled = [Dev]() {
        for (Queue *Q : Dev->Queues) {
            if (!Q->Owned.empty() || !Q->Pending.empty()) return false;
        }
        return true;
    };
    while (!Settled()) {
        if (!Clock().RunOne()) {
            VerifierReport("RemovalBlocked", "device removal: the driver still holds requests it never completes");
            break;
        }
    }
    CancelSentIo(Dev);
    DeleteDevice(Dev);
}

namespace {
/* File-object callbacks run at PASSIVE_LEVEL outside the device-wide lock. */
void CallFileCallback(FileObject *File, PFN_WDF_FILE_CLOSE Callback)
{
    if (Callback == nullptr) return;
    WDFFILEOBJECT FH = File->HandleAs<WDFFILEOBJECT>();
    CallDriver(File->OwnerDevice(), PASSIVE_LEVEL, false, [&]() { Callback(FH); });
}
} // namespace

void FileCleanup(FileObject *File)
{
    Device *Dev = File->OwnerDevice();
    CallFileCallback(File, Dev->Init.FileConfig.EvtFileCleanup);
    /* Then every queue of the device gives up the file's requests that are
       still waiting in it; requests presented to or retrieved by the driver
       are the driver's to end. */
    for (Queue *Q : std::vector<Queue *>(Dev->Queues)) {
        for (;;) {
            auto It = std::find_if(Q->Pending.begin(), Q->Pending.end(),
                                   [File](const Request *R) { return R->File == File; });
            if (It == Q->Pending.end()) break;
            Q->CancelQueued(*It); /* takes it out of Pending */
        }
    }
}

void FileClose(FileObject *File)
{
    Device *Dev = File->OwnerDevice();
    CallFileCallback(File, Dev->Init.FileConfig.EvtFileClose);
    File->Closed = true;
    File->Delete();
    Dev->OpenHandles--;
    if (Dev->DeletePending && Dev->OpenHandles == 0) {
        Dev->DeletePending = false;
        PnpFinishRemoval(Dev);
    }
}

void PnpSystemSleep()
{
    auto &H = Host();
    for (auto &N : H.Nodes) {
        Device *Dev = DeviceOfNode(N.get());
        if (Dev == nullptr || Dev->Removed) continue;
        Dev->SleptFromD0 = Dev->InD0;
        if (Dev->InD0) {
            Dev->LeaveD0(WdfPowerDeviceD3, false);
        }
    }
}

void PnpSystemResume()
{
    auto &H = Host();
    for (auto &N : H.Nodes) {
        Device *Dev = DeviceOfNode(N.get());
        if (Dev == nullptr || Dev->Removed || !Dev->SleptFromD0) continue;
        Dev->SleptFromD0 = false;
        (void)Dev->EnterD0(WdfPowerDeviceD3);
    }
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
    if (Kit.Injected(&Status)) {
        return Status;
    }
    if (!Kit.IrqlOk()) {
        return STATUS_INVALID_DEVICE_STATE;
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
    Status = D->Commit(DriverAttributes, nullptr, Kit.Name());
    if (!NT_SUCCESS(Status)) {
        Object::Destroy(D);
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

EXTERN_C NTSTATUS WdfDeviceInitAssignWdmIrpPreprocessCallback(PWDFDEVICE_INIT DeviceInit,
                                                              PFN_WDFDEVICE_WDM_IRP_PREPROCESS EvtDeviceWdmIrpPreprocess,
                                                              UCHAR MajorFunction, PUCHAR MinorFunctions,
                                                              ULONG NumMinorFunctions)
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

EXTERN_C NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT *DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes, WDFDEVICE *Device)
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
    std::u16string Key = world::World::Impl::Upper(I->Data.Name);
    if (I->Data.HaveName && H.Names.count(Key) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    auto *Dev = new fx::Device(I->Node);
    Dev->Init = I->Data;
    Dev->Name = I->Data.HaveName ? I->Data.Name : std::u16string();
    Status = Dev->Commit(DeviceAttributes, H.TheDriver, Kit.Name());
    if (!NT_SUCCESS(Status)) {
        Object::Destroy(Dev);
        return Status;
    }
    if (I->Data.HaveName) {
        H.Names[Key] = Dev;
    }
    Dev->Lower = new fx::LowerTarget(Dev);
    if (!NT_SUCCESS(Dev->Lower->Commit(nullptr, Dev, Kit.Name()))) {
        Object::Destroy(Dev->Lower);
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
    if (Kit.Injected(&Status)) {
        return Status;
    }
    if (!Kit.IrqlOk()) {
        return STATUS_INVALID_DEVICE_STATE;
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
    if (Kit.Injected(&Status)) {
        return Status;
    }
    if (!Kit.IrqlOk()) {
        return STATUS_INVALID_DEVICE_STATE;
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

EXTERN_C NTSTATUS WdfStringCreate(PCUNICODE_STRING UnicodeString, PWDF_OBJECT_ATTRIBUTES StringAttributes, WDFSTRING *String)
{
    KIT_ENTRY(WdfStringCreate);
    NTSTATUS Status;
    if (String != nullptr) *String = nullptr;
    if (Kit.Injected(&Status)) {
        return Status;
    }
    if (String == nullptr) {
        VerifierReport("NullParameter", "WdfStringCreate without an output handle");
        return STATUS_INVALID_PARAMETER;
    }
    auto *S = new fx::String(CurrentDevice());
    S->Set(FromUnicode(UnicodeString));
    Status = S->Commit(StringAttributes, Host().TheDriver, Kit.Name());
    if (!NT_SUCCESS(Status)) {
        Object::Destroy(S);
        return Status;
    }
    *String = S->HandleAs<WDFSTRING>();
    return STATUS_SUCCESS;
}

EXTERN_C VOID WdfStringGetUnicodeString(WDFSTRING String, PUNICODE_STRING UnicodeString)
{
    KIT_ENTRY(WdfStringGetUnicodeString);
    auto *S = As<fx::String>(String, ObjectType::String, Kit.Name());
    if (S == nullptr || UnicodeString == nullptr) return;
    UnicodeString->Buffer = reinterpret_cast<PWSTR>(S->Storage.data());
    UnicodeString->Length = (USHORT)(S->Text.size() * sizeof(WCHAR));
    UnicodeString->MaximumLength = (USHORT)(S->Storage.size() * sizeof(WCHAR));
}

EXTERN_C NTSTATUS WdfDeviceRetrieveDeviceName(WDFDEVICE Device, WDFSTRING String)
{
    KIT_ENTRY(WdfDeviceRetrieveDeviceName);
    NTSTATUS Status;
    auto *Dev = As<fx::Device>(Device, ObjectType::Device, Kit.Name());
    auto *S = As<fx::String>(String, ObjectType::String, Kit.Name());
    if (Dev == nullptr || S == nullptr) return STATUS_INVALID_PARAMETER;
    if (Kit.Injected(&Status)) {
        return Status;
    }
    if (!Kit.IrqlOk()) {
        return STATUS_INVALID_DEVICE_STATE;
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
    if (Kit.Injected(&Status)) {
        return Status;
    }
    if (!Kit.IrqlOk()) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (SymbolicLinkName == nullptr || SymbolicLinkName->Buffer == nullptr || SymbolicLinkName->Length == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Dev->Name.empty()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    auto &H = Host();
    std::u16string Link = FromUnicode(SymbolicLinkName);
    std::u16string Key = world::World::Impl::Upper(Link);
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
    if (Kit.Injected(&Status)) {
        return Status;
    }
    if (!Kit.IrqlOk()) {
        return STATUS_INVALID_DEVICE_STATE;
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

EXTERN_C NTSTATUS WdfDeviceOpenRegistryKey(WDFDEVICE Device, ULONG DeviceInstanceKeyType, ACCESS_MASK DesiredAccess,
                                           PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY *Key)
{
    KIT_ENTRY(WdfDeviceOpenRegistryKey);
    NTSTATUS Status;
    (void)DesiredAccess;
    if (Key != nullptr) *Key = nullptr;
    auto *Dev = As<fx::Device>(Device, ObjectType::Device, Kit.Name());
    if (Dev == nullptr || Key == nullptr) return STATUS_INVALID_PARAMETER;
    if (!Kit.IrqlOk()) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (Kit.Injected(&Status)) {
        return Status;
    }
    if ((DeviceInstanceKeyType & PLUGPLAY_REGKEY_DEVICE) == 0 || Dev->Node == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    auto *K = new fx::Key(Dev, &Dev->Node->Key);
    Status = K->Commit(KeyAttributes, Dev, Kit.Name());
    if (!NT_SUCCESS(Status)) {
        Object::Destroy(K);
        return Status;
    }
    *Key = K->HandleAs<WDFKEY>();
    return STATUS_SUCCESS;
}

namespace {
const world::RegistryValue *FindValue(fx::Key *K, PCUNICODE_STRING Name)
{
    std::u16string N = world::World::Impl::Upper(FromUnicode(Name));
    for (auto &E : *K->Values) {
        if (world::World::Impl::Upper(E.first) == N) {
            return &E.second;
        }
    }
    return nullptr;
}
} // namespace

EXTERN_C NTSTATUS WdfRegistryQueryULong(WDFKEY Key, PCUNICODE_STRING ValueName, PULONG Value)
{
    KIT_ENTRY(WdfRegistryQueryULong);
    NTSTATUS Status;
    auto *K = As<fx::Key>(Key, ObjectType::Key, Kit.Name());
    if (K == nullptr || ValueName == nullptr || Value == nullptr) return STATUS_INVALID_PARAMETER;
    if (!Kit.IrqlOk()) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (Kit.Injected(&Status)) {
        return Status;
    }
    const world::RegistryValue *V = FindValue(K, ValueName);
    if (V == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (V->Type != REG_DWORD || V->Data.size() != sizeof(ULONG)) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    std::memcpy(Value, V->Data.data(), sizeof(ULONG));
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS WdfRegistryQueryUnicodeString(WDFKEY Key, PCUNICODE_STRING ValueName, PUSHORT ValueByteLength,
                                                PUNICODE_STRING Value)
{
    KIT_ENTRY(WdfRegistryQueryUnicodeString);
    NTSTATUS Status;
    auto *K = As<fx::Key>(Key, ObjectType::Key, Kit.Name());
    if (K == nullptr || ValueName == nullptr) return STATUS_INVALID_PARAMETER;
    if (!Kit.IrqlOk()) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (Kit.Injected(&Status)) {
        return Status;
    }
    const world::RegistryValue *V = FindValue(K, ValueName);
    if (V == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (V->Type != REG_SZ && V->Type != REG_EXPAND_SZ) {
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    /* The stored data usually ends with a null; the string is what precedes it. */
    size_t Chars = V->Data.size() / sizeof(WCHAR);
    const auto *Src = reinterpret_cast<const char16_t *>(V->Data.data());
    size_t Len = 0;
    while (Len < Chars && Src[Len] != 0) {
        ++Len;
    }
    if (ValueByteLength != nullptr) {
        *ValueByteLength = (USHORT)((Len + 1) * sizeof(WCHAR));
    }
    if (Value == nullptr) {
        return STATUS_BUFFER_OVERFLOW;
    }
    if (Len * sizeof(WCHAR) > Value->MaximumLength || (Value->Buffer == nullptr && Len != 0)) {
        return STATUS_BUFFER_OVERFLOW;
    }
    if (Len != 0) {
        std::memcpy(Value->Buffer, Src, Len * sizeof(WCHAR));
    }
    Value->Length = (USHORT)(Len * sizeof(WCHAR));
    if ((Len + 1) * sizeof(WCHAR) <= Value->MaximumLength) {
        Value->Buffer[Len] = 0;
    }
    return STATUS_SUCCESS;
}

EXTERN_C VOID WdfRegistryClose(WDFKEY Key)
{
    KIT_ENTRY(WdfRegistryClose);
    auto *K = As<fx::Key>(Key, ObjectType::Key, Kit.Name());
    if (K != nullptr) {
        K->Delete();
    }
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

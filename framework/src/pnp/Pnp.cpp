/*
 * Pnp.cpp - the PnP and power state machine the PnP manager drives: add,
 * start, stop, idle, system sleep and resume, removal, and the file-object
 * clean-up and close that removal waits for.
 */
#include <algorithm>
#include <cstring>

#include "FxHost.h"

EXTERN_C DRIVER_INITIALIZE DriverEntry;

namespace fx {

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
        if (B.second.Dev == Dev) {
            char Buf[160];
            std::snprintf(Buf, sizeof Buf, "%s: pool block of %zu bytes with tag 0x%08x not freed", Who.c_str(),
                          (size_t)B.second.Size, B.second.Tag);
            B.second.Dev = nullptr;
            VerifierReport("PoolLeak", Buf);
        }
    }
    for (Object *O : H.Handles.Live()) {
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
        if (auto *T = O->AsIoTarget()) Targets.push_back(T);
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
    PhysicalDevice *Node = Dev->Node;
    Dev->Delete();
    Host().NodeDevices.erase(Node);
    CheckLeaks(Dev, Name);
}

} // namespace

NTSTATUS PnpAddDevice(PhysicalDevice *Node)
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
    CallPnpPower(Node, nullptr, [&]() { Status = Add(Drv, P); });
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

NTSTATUS PnpStartDevice(PhysicalDevice *Node)
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
        CallPnpPower(Dev->Node, Dev,
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
            CallPnpPower(Dev->Node, Dev, [&]() { (void)Dev->Init.PnpPower.EvtDeviceReleaseHardware(H, nullptr); });
        }
        Dev->HardwarePrepared = false;
        return Status;
    }
    EnableInterfaces(Dev, true);
    return STATUS_SUCCESS;
}

NTSTATUS PnpStopDevice(PhysicalDevice *Node)
{
    Device *Dev = DeviceOfNode(Node);
    if (Dev == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if (!Dev->HardwarePrepared) {
        return STATUS_SUCCESS;
    }
    Clock().CancelIfQueued(Dev->IdleEvent);
    if (Dev->InD0) {
        Dev->LeaveD0(WdfPowerDeviceD3, false);
    }
    Dev->IdleSuspended = false;
    WDFDEVICE H = Dev->DeviceHandle();
    if (Dev->Init.PnpPower.EvtDeviceReleaseHardware != nullptr) {
        CallPnpPower(Dev->Node, Dev, [&]() { (void)Dev->Init.PnpPower.EvtDeviceReleaseHardware(H, nullptr); });
    }
    Dev->HardwarePrepared = false;
    return STATUS_SUCCESS;
}

void PnpRemoveDevice(PhysicalDevice *Node, bool Surprise)
{
    Device *Dev = DeviceOfNode(Node);
    if (Dev == nullptr || Dev->Removed) {
        return;
    }
    WDFDEVICE H = Dev->DeviceHandle();
    Dev->Removed = true;
    Clock().CancelIfQueued(Dev->IdleEvent);
    if (Surprise) {
        Dev->SurpriseRemoved = true;
        if (Dev->Init.PnpPower.EvtDeviceSurpriseRemoval != nullptr) {
            CallPnpPower(Dev->Node, Dev, [&]() { Dev->Init.PnpPower.EvtDeviceSurpriseRemoval(H); });
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
        CallPnpPower(Dev->Node, Dev, [&]() { (void)Dev->Init.PnpPower.EvtDeviceReleaseHardware(H, nullptr); });
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

void PnpSleepDevice(PhysicalDevice *Node)
{
    Device *Dev = DeviceOfNode(Node);
    if (Dev == nullptr || Dev->Removed) return;
    Dev->SleptFromD0 = Dev->InD0;
    if (Dev->InD0) {
        Dev->LeaveD0(WdfPowerDeviceD3, false);
    }
}

void PnpResumeDevice(PhysicalDevice *Node)
{
    Device *Dev = DeviceOfNode(Node);
    if (Dev == nullptr || Dev->Removed || !Dev->SleptFromD0) return;
    Dev->SleptFromD0 = false;
    (void)Dev->EnterD0(WdfPowerDeviceD3);
}

} // namespace fx

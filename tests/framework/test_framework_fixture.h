// A tiny test-only driver for the hosted framework's own tests: its
// callbacks forward to std::function hooks a test sets, so each test states
// just the driver behaviour it needs and observes the framework from the
// kit's side.
#pragma once
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/TestSupport.h"

#include <ntddk.h>
#include <wdf.h>

namespace fwtest {

using world::Bytes;
using world::OpHandle;

struct Hooks {
    std::u16string Name = u"\\Device\\FxTest0";
    bool Exclusive = true;
    bool AllowZeroLength = false;
    WDF_IO_QUEUE_DISPATCH_TYPE Dispatch = WdfIoQueueDispatchParallel;
    bool WithFileCallbacks = false;
    std::function<NTSTATUS(WDFDEVICE)> AfterCreate;
    std::function<void(WDFQUEUE, WDFREQUEST, size_t)> Read;
    std::function<void(WDFQUEUE, WDFREQUEST, size_t)> Write;
    std::function<void(WDFQUEUE, WDFREQUEST, size_t, size_t, ULONG)> Ioctl;
    std::function<void(WDFQUEUE, WDFREQUEST)> CanceledOnQueue;
    std::function<void(WDFQUEUE, WDFREQUEST, ULONG)> Stop;
    std::function<void(WDFDEVICE)> Cleanup;
    std::function<NTSTATUS(WDFDEVICE, WDF_POWER_DEVICE_STATE)> D0Entry;
    std::function<NTSTATUS(WDFDEVICE, WDF_POWER_DEVICE_STATE)> D0Exit;
    std::function<void(WDFFILEOBJECT)> FileClose;
    std::function<void(WDFFILEOBJECT)> FileCleanup; /* registered only when set */
    std::vector<std::string> Log;
};

inline Hooks *g_Hooks = nullptr;

inline void OnRead(WDFQUEUE Q, WDFREQUEST R, size_t L)
{
    if (g_Hooks->Read)
        g_Hooks->Read(Q, R, L);
    else
        WdfRequestCompleteWithInformation(R, STATUS_SUCCESS, 0);
}
inline void OnWrite(WDFQUEUE Q, WDFREQUEST R, size_t L)
{
    if (g_Hooks->Write)
        g_Hooks->Write(Q, R, L);
    else
        WdfRequestCompleteWithInformation(R, STATUS_SUCCESS, L);
}
inline void OnIoctl(WDFQUEUE Q, WDFREQUEST R, size_t O, size_t I, ULONG C)
{
    if (g_Hooks->Ioctl)
        g_Hooks->Ioctl(Q, R, O, I, C);
    else
        WdfRequestComplete(R, STATUS_SUCCESS);
}
inline void OnCanceledOnQueue(WDFQUEUE Q, WDFREQUEST R)
{
    g_Hooks->Log.push_back("canceled-on-queue");
    if (g_Hooks->CanceledOnQueue)
        g_Hooks->CanceledOnQueue(Q, R);
    else
        WdfRequestComplete(R, STATUS_CANCELLED);
}
inline void OnStop(WDFQUEUE Q, WDFREQUEST R, ULONG F)
{
    g_Hooks->Log.push_back("stop");
    if (g_Hooks->Stop)
        g_Hooks->Stop(Q, R, F);
    else if (F & WdfRequestStopActionSuspend)
        WdfRequestStopAcknowledge(R, FALSE);
}
inline VOID OnCleanup(WDFOBJECT O)
{
    g_Hooks->Log.push_back("cleanup");
    if (g_Hooks->Cleanup) g_Hooks->Cleanup((WDFDEVICE)O);
}
inline NTSTATUS OnD0Entry(WDFDEVICE D, WDF_POWER_DEVICE_STATE S)
{
    g_Hooks->Log.push_back("d0entry:" + std::to_string((int)S));
    return g_Hooks->D0Entry ? g_Hooks->D0Entry(D, S) : STATUS_SUCCESS;
}
inline NTSTATUS OnD0Exit(WDFDEVICE D, WDF_POWER_DEVICE_STATE S)
{
    g_Hooks->Log.push_back("d0exit:" + std::to_string((int)S));
    return g_Hooks->D0Exit ? g_Hooks->D0Exit(D, S) : STATUS_SUCCESS;
}
inline VOID OnFileCreate(WDFDEVICE, WDFREQUEST R, WDFFILEOBJECT)
{
    g_Hooks->Log.push_back("create");
    WdfRequestComplete(R, STATUS_SUCCESS);
}
inline VOID OnFileClose(WDFFILEOBJECT F)
{
    g_Hooks->Log.push_back("close");
    if (g_Hooks->FileClose) g_Hooks->FileClose(F);
}
inline VOID OnFileCleanup(WDFFILEOBJECT F)
{
    g_Hooks->Log.push_back("file-cleanup");
    g_Hooks->FileCleanup(F);
}

inline NTSTATUS OnDeviceAdd(WDFDRIVER, PWDFDEVICE_INIT Init)
{
    Hooks &H = *g_Hooks;
    WdfDeviceInitSetExclusive(Init, H.Exclusive ? TRUE : FALSE);
    WDF_PNPPOWER_EVENT_CALLBACKS Pnp;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&Pnp);
    Pnp.EvtDeviceD0Entry = OnD0Entry;
    Pnp.EvtDeviceD0Exit = OnD0Exit;
    WdfDeviceInitSetPnpPowerEventCallbacks(Init, &Pnp);
    if (H.WithFileCallbacks) {
        WDF_FILEOBJECT_CONFIG File;
        WDF_FILEOBJECT_CONFIG_INIT(&File, OnFileCreate, OnFileClose, H.FileCleanup ? OnFileCleanup : nullptr);
        WDF_OBJECT_ATTRIBUTES FileAttr;
        WDF_OBJECT_ATTRIBUTES_INIT(&FileAttr);
        FileAttr.SynchronizationScope = WdfSynchronizationScopeNone;
        WdfDeviceInitSetFileObjectConfig(Init, &File, &FileAttr);
    }
    UNICODE_STRING Name{(USHORT)(H.Name.size() * 2), (USHORT)(H.Name.size() * 2), (PWSTR)H.Name.c_str()};
    NTSTATUS Status = WdfDeviceInitAssignName(Init, &Name);
    if (!NT_SUCCESS(Status)) return Status;
    WDF_OBJECT_ATTRIBUTES Attr;
    WDF_OBJECT_ATTRIBUTES_INIT(&Attr);
    Attr.SynchronizationScope = WdfSynchronizationScopeDevice;
    Attr.EvtCleanupCallback = OnCleanup;
    WDFDEVICE Device;
    Status = WdfDeviceCreate(&Init, &Attr, &Device);
    if (!NT_SUCCESS(Status)) return Status;
    WDF_IO_QUEUE_CONFIG Q;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&Q, H.Dispatch);
    Q.AllowZeroLengthRequests = H.AllowZeroLength ? TRUE : FALSE;
    Q.EvtIoRead = OnRead;
    Q.EvtIoWrite = OnWrite;
    Q.EvtIoDeviceControl = OnIoctl;
    Q.EvtIoCanceledOnQueue = OnCanceledOnQueue;
    Q.EvtIoStop = OnStop;
    Status = WdfIoQueueCreate(Device, &Q, WDF_NO_OBJECT_ATTRIBUTES, nullptr);
    if (!NT_SUCCESS(Status)) return Status;
    return H.AfterCreate ? H.AfterCreate(Device) : STATUS_SUCCESS;
}

/* A manual queue of the test driver whose cancelled-on-queue requests go to
   OnCanceledOnQueue. */
inline NTSTATUS CreateManualQueue(WDFDEVICE Device, WDFQUEUE *Queue)
{
    WDF_IO_QUEUE_CONFIG C;
    WDF_IO_QUEUE_CONFIG_INIT(&C, WdfIoQueueDispatchManual);
    C.EvtIoCanceledOnQueue = OnCanceledOnQueue;
    return WdfIoQueueCreate(Device, &C, WDF_NO_OBJECT_ATTRIBUTES, Queue);
}

inline NTSTATUS TestDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    WDF_DRIVER_CONFIG Config;
    WDF_DRIVER_CONFIG_INIT(&Config, OnDeviceAdd);
    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &Config, WDF_NO_HANDLE);
}

/* One device of the test driver, added and started, with a handle open. */
/* The hooks outlive the world: its destruction removes the device, which
   still calls them. */
struct HooksFirst {
    Hooks H;
};

class FxTest : protected HooksFirst, public test_support::WorldTest {
protected:
    world::DeviceNode *Node = nullptr;
    WDFDEVICE Dev = nullptr;
    world::FileHandle File = 0;

    FxTest()
    {
        g_Hooks = &H;
        W.SetDriverEntry(TestDriverEntry);
    }

    /* Attributes of an object the device owns: deleted with it. */
    WDF_OBJECT_ATTRIBUTES ChildOfDevice() const
    {
        WDF_OBJECT_ATTRIBUTES A;
        WDF_OBJECT_ATTRIBUTES_INIT(&A);
        A.ParentObject = Dev;
        return A;
    }

    /* A DPC of the device whose callback is Fn, under the device-wide lock
       when Serialized. */
    WDFDPC MakeDpc(PFN_WDF_DPC Fn, bool Serialized = false)
    {
        WDF_DPC_CONFIG C;
        WDF_DPC_CONFIG_INIT(&C, Fn);
        C.AutomaticSerialization = Serialized ? TRUE : FALSE;
        WDF_OBJECT_ATTRIBUTES Attr = ChildOfDevice();
        WDFDPC D = nullptr;
        EXPECT_EQ(WdfDpcCreate(&C, &Attr, &D), STATUS_SUCCESS);
        return D;
    }

    void Add(bool Open = true, world::HardwareKey Key = {})
    {
        auto After = H.AfterCreate;
        H.AfterCreate = [this, After](WDFDEVICE D) {
            Dev = D;
            return After ? After(D) : STATUS_SUCCESS;
        };
        Node = W.AddDevice(nullptr, Key);
        ASSERT_EQ(Node->AddStatus, STATUS_SUCCESS);
        ASSERT_EQ(Node->StartStatus, STATUS_SUCCESS);
        if (Open) {
            ASSERT_EQ(W.Open(H.Name, &File), STATUS_SUCCESS);
        }
    }
};

} // namespace fwtest

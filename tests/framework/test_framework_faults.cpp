/*
 * test_framework_faults.cpp - fault injection into the kit's calls: every
 * call in the table of failable calls is one the driver makes and can be
 * failed, and the driver survives each failure without a leak.
 */
#include <gtest/gtest.h>

#include "CdcAcmDevice.h"
#include "World.h"

#include <ntddk.h>
#include <ntddser.h>

namespace {

using world::Bytes;

/* Brings a port up, uses every part of it, and takes it down again. */
void Workload(world::World &W)
{
    world::CdcAcmOptions Options;
    Options.RemoteWake = true;
    auto Device = std::make_shared<world::CdcAcmDevice>(Options);
    world::HardwareKey Key;
    Key[u"PortName"] = world::RegistryValue::String(u"COM5");
    world::DeviceNode *Node = W.AddDevice(Device, Key, true);
    world::FileHandle Port = 0;
    if (W.Open(u"COM5", &Port) == STATUS_SUCCESS) {
        const Bytes Baud{0x00, 0xC2, 0x01, 0x00};
        W.DeviceIoControl(Port, IOCTL_SERIAL_SET_BAUD_RATE, Baud, 0);
        W.DeviceIoControl(Port, IOCTL_SERIAL_SET_DTR, {}, 0);
        W.DeviceIoControl(Port, IOCTL_SERIAL_SET_WAIT_MASK, {0x01, 0, 0, 0}, 0);
        W.DeviceIoControl(Port, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
        W.DeviceIoControl(Port, IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4);
        W.Write(Port, Bytes(100, 'x'));
        W.Read(Port, 4);
        W.Read(Port, 4); /* queued behind the first */
        W.DeviceIoControl(Port, IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
        Device->SendBulkInText("data");
        Device->SendSerialState(0x03);
        W.Clock().AdvanceBy(world::kSecond);
        W.Flush(Port);
        W.SystemSleep();
        W.SystemResume();
        W.Clock().AdvanceBy(world::kSecond);
        W.Close(Port);
    }
    W.RemoveDevice(Node);
    W.Clock().RunUntilIdle();
}

TEST(KitFaults, UnknownName_IsNotFailable)
{
    /* Guards a misspelt or unhooked name being accepted as a fault that never fires. */
    EXPECT_FALSE(world::World::CanFail("NoSuchCall"));
    EXPECT_FALSE(world::World::CanFail("WdfIoQueueCreatex"));
    EXPECT_TRUE(world::World::CanFail("WdfMemoryCopyFromBuffer"));
}

TEST(KitFaults, FailNthCall_UnknownOrUnfailableName_IsReportedAndNotQueued)
{
    /* Guards a fault on a call that has no failure (WdfObjectDelete) or no
       routine being queued, where it would wait for ever and test nothing. */
    for (const char *Api : {"WdfObjectDelete", "WdfTimerCreat", "KeGetCurrentIrql"}) {
        SCOPED_TRACE(Api);
        world::World W;
        W.CollectVerifierReports(true);
        W.FailNthCall(Api, 1, STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(W.PendingFaults(), 0u);
        ASSERT_EQ(W.VerifierReports().size(), 1u);
        EXPECT_NE(W.VerifierReports()[0].find("UnknownFault"), std::string::npos);
    }
}

/* Hooked in the stand-in, but not calls the driver makes (the pipe reset only
   at APC_LEVEL, where the framework never calls it). */
bool NotMadeByTheDriver(const std::string &Api)
{
    static const char *const Names[] = {
        "RtlStringCbCopyW",
        "RtlStringCbPrintfA",
        "RtlStringCbPrintfW",
        "RtlStringCbVPrintfA",
        "RtlStringCbVPrintfW",
        "RtlStringCchPrintfW",
        "WdfMemoryCreatePreallocated",
        "WdfUsbTargetPipeResetSynchronously",
    };
    for (const char *Name : Names) {
        if (Api == Name) return true;
    }
    return false;
}

// Guards a failable call that the driver never reaches, or whose failure it mishandles.
TEST(KitFaults, EveryFailableCall_IsReachedAndSurvived)
{
    for (const std::string &Api : world::World::FailableCalls()) {
        SCOPED_TRACE(Api);
        const bool Made = !NotMadeByTheDriver(Api);
        world::World W;
        W.CollectVerifierReports(true);
        W.FailNthCall(Api, 1, STATUS_INSUFFICIENT_RESOURCES);
        Workload(W);
        EXPECT_EQ(W.PendingFaults(), Made ? 0u : 1u) << (Made ? "never called" : "called after all");
        EXPECT_EQ(W.PoolBlocksOutstanding(), 0u);
        EXPECT_EQ(W.LiveObjects(), 0u);
        for (const std::string &Report : W.VerifierReports()) {
            ADD_FAILURE() << Report;
        }
    }
}

} // namespace

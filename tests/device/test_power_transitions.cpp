// Hardware preparation and release, D0 entry and exit, selective suspend
// and system sleep, seen through the readers on the wire and through the
// requests an application issues.
#include <gtest/gtest.h>

#include <cstring>

#include "support/TestSupport.h"

#include "usb/UsbHardware.h"

#include <ntddk.h>
#include <ntddser.h>

using namespace world;
using namespace test_support;

namespace {

class PowerTransitions : public PortTest {
protected:
    void Open()
    {
        PortTest::Open();
        ReadsReturnAtOnce();
    }
    bool ReadersRunning() const
    {
        return Usb->OutstandingIn(Usb->BulkInAddress()) == 1 && Usb->OutstandingIn(Usb->InterruptAddress()) == 1;
    }
    bool ReadersStopped() const
    {
        return Usb->OutstandingIn(Usb->BulkInAddress()) == 0 && Usb->OutstandingIn(Usb->InterruptAddress()) == 0;
    }
};

// ---- preparation and D0 ----

TEST_F(PowerTransitions, Start_EachReaderHasOnePacketReadOutstanding)
{
    CdcAcmOptions options;
    options.BulkInPacket = 512;
    options.InterruptPacket = 10;
    Start(options);

    ASSERT_EQ(Node->StartStatus, STATUS_SUCCESS);
    EXPECT_EQ(Node->Power, DevicePowerState::D0);
    ASSERT_TRUE(ReadersRunning());
    std::size_t bulkRequested = 0, interruptRequested = 0;
    for (const auto &t : Usb->Transfers()) {
        if (t.CompletedAt >= 0) continue;
        if (t.Endpoint == Usb->BulkInAddress()) bulkRequested = t.Requested;
        if (t.Endpoint == Usb->InterruptAddress()) interruptRequested = t.Requested;
    }
    EXPECT_EQ(bulkRequested, 512u);
    EXPECT_EQ(interruptRequested, 10u);
}

struct D0Fault {
    const char *Name;
    int Nth; // which pipe start fails: 1 interrupt, 2 bulk-in
};

class PowerD0Fault : public PowerTransitions, public ::testing::WithParamInterface<D0Fault> {};

// Regression: a failed interrupt-pipe start went on to start the bulk-in
// reader of a device that never reached D0.
TEST_P(PowerD0Fault, PipeStartFails_PowerUpFailsAndBulkReaderNeverRuns)
{
    const D0Fault c = GetParam();
    W.FailNthCall("WdfIoTargetStart", c.Nth, STATUS_DEVICE_NOT_READY);
    Start();

    EXPECT_EQ(Node->StartStatus, STATUS_DEVICE_NOT_READY);
    EXPECT_NE(Node->Power, DevicePowerState::D0);
    Run();
    if (c.Nth == 1) {
        for (const auto &t : Usb->Transfers()) EXPECT_NE(t.Endpoint, Usb->BulkInAddress());
    }
    RemoveAndExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(Table, PowerD0Fault, ::testing::Values(D0Fault{"InterruptPipe", 1}, D0Fault{"BulkInPipe", 2}),
                         test_support::CaseName());

// ---- idle and wake ----

struct IdleCase {
    const char *Name;
    bool RemoteWake;
    VirtualTime Idle;
    bool Suspended;
};

class PowerIdlePolicy : public PowerTransitions, public ::testing::WithParamInterface<IdleCase> {};

TEST_P(PowerIdlePolicy, SelectiveSuspendOnlyForRemoteWakeAfterTenSeconds)
{
    const IdleCase c = GetParam();
    CdcAcmOptions options;
    options.RemoteWake = c.RemoteWake;
    Start(options);
    ASSERT_EQ(Node->StartStatus, STATUS_SUCCESS);
    Open(); // running the world idle may already have suspended it
    auto touch = W.DeviceIoControl(H, IOCTL_SERIAL_GET_BAUD_RATE, {}, sizeof(ULONG));
    W.Clock().AdvanceBy(50 * kMillisecond);
    ASSERT_TRUE(touch->Completed);
    ASSERT_EQ(Node->Power, DevicePowerState::D0);

    W.Clock().AdvanceBy(c.Idle);

    EXPECT_EQ(Node->Power, c.Suspended ? DevicePowerState::Dx : DevicePowerState::D0);
    EXPECT_EQ(ReadersStopped(), c.Suspended);
}

INSTANTIATE_TEST_SUITE_P(Table, PowerIdlePolicy,
                         ::testing::Values(IdleCase{"WakeCapableIdleTenSeconds", true, 10 * kSecond + kSecond / 2,
                                                    true},
                                           IdleCase{"WakeCapableIdleNineSeconds", true, 9 * kSecond, false},
                                           IdleCase{"NoWakeIdleAMinute", false, 60 * kSecond, false}),
                         test_support::CaseName());

TEST_F(PowerTransitions, Suspended_NewReadResumesAndIsServed)
{
    CdcAcmOptions options;
    options.RemoteWake = true;
    Start(options);
    Open();
    W.Clock().AdvanceBy(11 * kSecond);
    Run();
    ASSERT_EQ(Node->Power, DevicePowerState::Dx);

    Usb->SendBulkIn(Bytes{0x5A}, kMillisecond);
    SERIAL_TIMEOUTS t{};
    t.ReadTotalTimeoutConstant = 500;
    auto set = W.DeviceIoControl(H, IOCTL_SERIAL_SET_TIMEOUTS, AsBytes(t), 0);
    auto read = W.Read(H, 1);
    W.Clock().AdvanceBy(100 * kMillisecond);

    EXPECT_EQ(Node->Power, DevicePowerState::D0);
    ASSERT_TRUE(set->Completed);
    ASSERT_TRUE(read->Completed);
    EXPECT_EQ(read->Status, STATUS_SUCCESS);
    EXPECT_EQ(read->Output, (Bytes{0x5A}));
}

// ---- release ----

TEST_F(PowerTransitions, Stop_PendingWaitOnMaskCancelled)
{
    Start();
    Open();
    auto mask = W.DeviceIoControl(H, IOCTL_SERIAL_SET_WAIT_MASK, AsBytes(ULONG{SERIAL_EV_RXCHAR}), 0);
    Run();
    ASSERT_EQ(mask->Status, STATUS_SUCCESS);
    auto wait = W.DeviceIoControl(H, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    Run();
    ASSERT_FALSE(wait->Completed);

    ASSERT_EQ(W.StopDevice(Node), STATUS_SUCCESS);
    Run();

    ASSERT_TRUE(wait->Completed);
    EXPECT_EQ(wait->Status, STATUS_CANCELLED);
    EXPECT_TRUE(ReadersStopped());
}

TEST_F(PowerTransitions, StopAndStart_PortWorksAgain)
{
    Start();
    Open();
    ASSERT_EQ(W.StopDevice(Node), STATUS_SUCCESS);
    Run();
    ASSERT_EQ(W.StartDevice(Node), STATUS_SUCCESS);
    Run();

    auto write = W.Write(H, Bytes{0x31, 0x32});
    Usb->SendBulkIn(Bytes{0x33});
    Run();
    auto read = W.Read(H, 1);
    Run();

    ASSERT_TRUE(write->Completed);
    EXPECT_EQ(write->Status, STATUS_SUCCESS);
    EXPECT_EQ(Usb->BulkOutBytes(), (Bytes{0x31, 0x32}));
    ASSERT_TRUE(read->Completed);
    EXPECT_EQ(read->Status, STATUS_SUCCESS);
    EXPECT_EQ(read->Output, (Bytes{0x33}));
}

TEST_F(PowerTransitions, SurpriseRemovalWhileOpen_NewIoRefusedCleanupAfterClose)
{
    Start();
    Open();
    const ULONG count = W.SerialCount();

    W.SurpriseRemoveDevice(Node);
    Run();

    auto write = W.Write(H, Bytes{1});
    auto read = W.Read(H, 1);
    Run();
    ASSERT_TRUE(write->Completed);
    ASSERT_TRUE(read->Completed);
    EXPECT_FALSE(NT_SUCCESS(write->Status));
    EXPECT_FALSE(NT_SUCCESS(read->Status));
    EXPECT_TRUE(Usb->BulkOutPackets().empty());
    EXPECT_EQ(W.SerialCount(), count) << "cleaned up while a handle is open";

    EXPECT_EQ(W.Close(H), STATUS_SUCCESS);
    Run();
    EXPECT_EQ(W.SerialCount(), count - 1);
    EXPECT_TRUE(W.DeviceMap().empty());
    ExpectNothingLeft();
}

// ---- state names ----

TEST(PowerStateNames, KnownAndUnknownStates)
{
    const struct {
        ULONG State;
        const char *Name;
    } table[] = {{0, "PowerDeviceUnspecified"}, {1, "PowerDeviceD0"},
                 {2, "PowerDeviceD1"},          {3, "PowerDeviceD2"},
                 {4, "PowerDeviceD3"},          {5, "PowerDeviceMaximum"},
                 {6, "PowerDeviceUnknown"},     {0xFFFFFFFF, "PowerDeviceUnknown"}};
    for (const auto &row : table) EXPECT_STREQ(PowerDeviceStateName(row.State), row.Name) << row.State;
}

} // namespace

// ---- parked reads across power transitions ----

// Guards against a parked read being stranded by a sleep: the read in front
// of it timed out while the device was out of D0, its queue refused the
// retrieval (powered off), and the parked read has no timer of its own.
TEST_F(PowerTransitions, SystemSleep_ReadParkedBehindTimedOutReadIsServedAfterResume)
{
    Start();
    Open();
    SERIAL_TIMEOUTS t{};
    t.ReadTotalTimeoutConstant = 100;
    auto set = W.DeviceIoControl(H, IOCTL_SERIAL_SET_TIMEOUTS, AsBytes(t), 0);
    Run();
    ASSERT_EQ(set->Status, STATUS_SUCCESS);
    auto first = W.Read(H, 5);
    auto second = W.Read(H, 5);

    W.SystemSleep();
    W.Clock().AdvanceBy(kSecond);
    ASSERT_TRUE(first->Completed) << "its total time-out expired during the sleep";
    EXPECT_EQ(first->Status, STATUS_TIMEOUT);
    EXPECT_FALSE(second->Completed);

    W.SystemResume();
    Usb->SendBulkIn(Bytes{1, 2, 3, 4, 5}, 10 * kMillisecond);
    W.Clock().AdvanceBy(50 * kMillisecond);
    ASSERT_TRUE(second->Completed);
    EXPECT_EQ(second->Status, STATUS_SUCCESS);
    EXPECT_EQ(second->Output, (Bytes{1, 2, 3, 4, 5}));
}

// Guards against reads that wake a selectively suspended device being held
// in a queue that is still powered off while the first is served: the one
// parked behind it is served once the first times out.
TEST_F(PowerTransitions, Suspended_ReadsThatWakeTheDevice_ParkedOneServedAfterFirst)
{
    CdcAcmOptions options;
    options.RemoteWake = true;
    Start(options);
    Open();
    SERIAL_TIMEOUTS t{};
    t.ReadTotalTimeoutConstant = 100;
    auto set = W.DeviceIoControl(H, IOCTL_SERIAL_SET_TIMEOUTS, AsBytes(t), 0);
    W.Clock().AdvanceBy(11 * kSecond);
    Run();
    ASSERT_EQ(set->Status, STATUS_SUCCESS);
    ASSERT_EQ(Node->Power, DevicePowerState::Dx);

    auto first = W.Read(H, 5);
    auto second = W.Read(H, 5);
    W.Clock().AdvanceBy(150 * kMillisecond);
    EXPECT_EQ(Node->Power, DevicePowerState::D0);
    ASSERT_TRUE(first->Completed);
    EXPECT_EQ(first->Status, STATUS_TIMEOUT);
    ASSERT_FALSE(second->Completed);

    Usb->SendBulkIn(Bytes{9, 8, 7, 6, 5}, kMillisecond);
    W.Clock().AdvanceBy(20 * kMillisecond);
    ASSERT_TRUE(second->Completed);
    EXPECT_EQ(second->Status, STATUS_SUCCESS);
    EXPECT_EQ(second->Output, (Bytes{9, 8, 7, 6, 5}));
}

// Fault: a restart that failed after the configuration was selected (the
// bulk-OUT pipe's context could not be allocated) left the driver holding
// the handle of the bulk-OUT pipe the selection had deleted, and the write
// path started the next packet of a write on it while the device was
// removed (verifier: DeletedHandle in WdfUsbTargetPipeGetIoTarget).
TEST_F(PowerTransitions, RestartFailsAfterSelection_WriteCompletesOnceWithoutStalePipe)
{
    CdcAcmOptions options;
    options.Interfaces = 1;
    options.BulkInEndpoint = false;
    options.BulkOutPacket = 1;   /* a write goes out a byte a packet */
    options.InterruptPacket = 0; /* the interrupt pipe is skipped: two pipe contexts a start */
    Start(options, 1);           /* DriverMode 1: each packet is started by a DPC */
    ASSERT_EQ(Node->StartStatus, STATUS_SUCCESS);
    Open();
    ASSERT_EQ(W.StopDevice(Node), STATUS_SUCCESS);
    /* The next start allocates contexts 1 and 2; the one after fails on
       its second, the bulk-OUT pipe's. */
    W.FailNthCall("WdfObjectAllocateContext", 4, STATUS_DEVICE_NOT_CONNECTED);
    ASSERT_EQ(W.StartDevice(Node), STATUS_SUCCESS);
    auto write = W.Write(H, Bytes{0x7A, 0x7B, 0x7C});
    ASSERT_EQ(W.StopDevice(Node), STATUS_SUCCESS);
    EXPECT_NE(W.StartDevice(Node), STATUS_SUCCESS);
    W.Close(H);
    Run();

    ASSERT_TRUE(write->Completed);
    EXPECT_EQ(write->Completions, 1);
    EXPECT_TRUE(W.VerifierReports().empty());
}

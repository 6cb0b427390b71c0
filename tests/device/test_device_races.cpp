/*
 * test_device_races.cpp - open, close and the D0 callbacks beside the
 * completions that share their fields, on two simulated processors. The
 * file and power callbacks run outside the device-wide lock, so only the
 * driver's spin locks order them against the USB completions and DPCs:
 * under the tsan preset a lock left out is a race report, in every build
 * the port must behave as on one processor.
 */
#include <gtest/gtest.h>

#include "support/TestSupport.h"

#include <ntddk.h>
#include <ntddser.h>

using namespace world;
using namespace test_support;

namespace {

constexpr VirtualTime kMs = kMillisecond;

class RacesDevice : public PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        ASSERT_TRUE(W.SetProcessors(2, Seed(), Schedule()));
        Add();
        ASSERT_EQ(Node->StartStatus, STATUS_SUCCESS);
        Open();
        Settle();
    }
    // The schedule of the two processors; a case table may give each row
    // the one verified to produce its interleaving.
    virtual std::uint64_t Seed() const { return 1; }
    virtual const char *Schedule() const { return "random"; }
    void Settle(VirtualTime For = 100 * kMs) { W.Clock().AdvanceBy(For); }
    void ExpectDone(const OpHandle &Op, NTSTATUS Status, ULONG_PTR Information)
    {
        ASSERT_TRUE(Op->Completed) << "still pending";
        EXPECT_EQ(StatusName(Op->Status), StatusName(Status));
        EXPECT_EQ(Op->Information, Information);
    }
    // A read that returns at once with what the ring holds.
    OpHandle ReadNow(std::size_t Length)
    {
        ReadsReturnAtOnce();
        OpHandle Op = W.Read(H, Length);
        Settle();
        return Op;
    }
    void ExpectCleanRemoval()
    {
        ASSERT_EQ(W.Close(H), STATUS_SUCCESS);
        RemoveAndExpectNothingLeft();
    }
};

// Guards against open clearing the event fields outside EventLock while the
// complete-write DPC of the previous file's last write, which runs outside
// BulkInLock, still tests them on the other processor.
TEST_F(RacesDevice, ReopenBesideWriteCompletion_OpenSucceeds)
{
    Usb->QueueBulkOutAnswer({Answer::Never});
    OpHandle Write = W.Write(H, Text("stuck"));
    Settle();
    ASSERT_FALSE(Write->Completed);

    // The clean-up cancels the write; its completion pass runs after the
    // clean-up returned, and the port is opened again meanwhile.
    ASSERT_EQ(W.Close(H), STATUS_SUCCESS);
    Settle();
    ExpectDone(Write, STATUS_CANCELLED, 0);
    Open();
    Settle();

    OpHandle Next = W.Write(H, Text("ok"));
    Settle();
    ExpectDone(Next, STATUS_SUCCESS, 2);
    ExpectCleanRemoval();
}

// Guards against close freeing the receive ring outside BulkInLock while
// the bulk-in completion, which keeps running with the port closed, tests
// and fills it on the other processor.
TEST_F(RacesDevice, BulkInAfterClose_BytesDroppedAndReopenReadsAfresh)
{
    ASSERT_EQ(W.Close(H), STATUS_SUCCESS);
    Usb->SendBulkInText("late");
    Settle();

    Open();
    ExpectDone(ReadNow(16), STATUS_SUCCESS, 0);
    Usb->SendBulkInText("abc");
    Settle();
    OpHandle Read = ReadNow(16);
    ExpectDone(Read, STATUS_SUCCESS, 3);
    EXPECT_EQ(Bytes(Read->Output.begin(), Read->Output.begin() + 3), Text("abc"));
    ExpectCleanRemoval();
}

// Guards against D0 exit and D0 entry storing DeviceInD0 outside BulkInLock
// while the completion of a write's packet, out at the device when the port
// went to sleep, reads it in the accept check on the other processor.
TEST_F(RacesDevice, WritePacketBackDuringSleep_WriteEndsOnce)
{
    Usb->QueueBulkOutAnswer({Answer::Accept, 100 * kMs});
    OpHandle Write = W.Write(H, Text("hi"));
    Settle(10 * kMs);
    W.SystemSleep();
    Settle(500 * kMs);
    W.SystemResume();
    Settle();

    ExpectDone(Write, STATUS_SUCCESS, 2);
    EXPECT_EQ(Usb->BulkOutBytes(), Text("hi"));
    ExpectCleanRemoval();
}

// Guards against D0 entry forgetting a half notification outside BulkInLock
// while an open, which the framework runs beside the power-up of a system
// resume, clears it on the other processor.
TEST_F(RacesDevice, OpenBesideResume_NotificationsFollowed)
{
    ASSERT_EQ(W.Close(H), STATUS_SUCCESS);
    W.SystemSleep();
    Settle();
    // The application's open is due as the resume begins.
    W.Clock().ScheduleAfter(
        0, [this]() { Open(); }, "application open");
    W.SystemResume();
    Settle();
    ASSERT_NE(H, 0);
    Usb->SendSerialState(0x03); // DCD and DSR
    Settle();
    OpHandle Status = W.DeviceIoControl(H, IOCTL_SERIAL_GET_MODEMSTATUS, {}, sizeof(ULONG));
    Settle();
    ExpectDone(Status, STATUS_SUCCESS, sizeof(ULONG));
    EXPECT_EQ(Status->Output.at(0) & 0xA0, 0xA0) << "DCD and DSR";
    ExpectCleanRemoval();
}

// Guards against a request that the framework presents after its file's
// clean-up began being kept past the close: the read queue resumes from
// selective suspend on the other processor while clean-up runs, the close
// never comes and the port cannot be opened again. ReadInsideCleanup's
// schedule runs the read callback's choice between starting and parking
// inside clean-up's purge of the reads: it guards against that purge
// running outside ReadLock.
enum class Kind { Read, Write, Wait };
struct AfterCleanupCase {
    const char *Name;
    Kind What;
    const char *Schedule;
    std::uint64_t Seed;
};
const AfterCleanupCase kAfterCleanup[] = {
    {"Read", Kind::Read, "random", 1},
    {"ReadInsideCleanup", Kind::Read, "priority", 76},
    {"Write", Kind::Write, "random", 1},
    {"Wait", Kind::Wait, "random", 1},
};

class RacesAfterCleanup : public RacesDevice, public ::testing::WithParamInterface<AfterCleanupCase> {
protected:
    std::uint64_t Seed() const override { return GetParam().Seed; }
    const char *Schedule() const override { return GetParam().Schedule; }
};

TEST_P(RacesAfterCleanup, PresentedBesideCleanup_CancelledAndPortReopens)
{
    W.RemoveDevice(Node);
    Settle();
    CdcAcmOptions Options;
    Options.RemoteWake = true; // the idle port then suspends the device
    Add(Options);
    Open();
    Usb->SetDefaultBulkOutAnswer({Answer::Never}); // a write kept would never end
    OpHandle Mask = W.DeviceIoControl(H, IOCTL_SERIAL_SET_WAIT_MASK, Le32(SERIAL_EV_RXCHAR), 0);
    Settle(11 * kSecond);
    ASSERT_TRUE(Mask->Completed && Mask->Status == STATUS_SUCCESS);
    ASSERT_EQ(Node->Power, DevicePowerState::Dx) << "selectively suspended";

    OpHandle Op; // queued while suspended: it asks for the wake-up
    switch (GetParam().What) {
    case Kind::Read: Op = W.Read(H, 1); break;
    case Kind::Write: Op = W.Write(H, Bytes{'x'}); break;
    case Kind::Wait: Op = W.DeviceIoControl(H, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG)); break;
    }
    ASSERT_EQ(W.Close(H), STATUS_SUCCESS);
    Settle();
    ExpectDone(Op, STATUS_CANCELLED, 0);
    EXPECT_EQ(Op->Completions, 1);
    EXPECT_TRUE(Usb->BulkOutBytes().empty()) << "nothing of a cancelled write reached the wire";
    Open();
    ExpectCleanRemoval();
}

INSTANTIATE_TEST_SUITE_P(, RacesAfterCleanup, ::testing::ValuesIn(kAfterCleanup),
                         [](const ::testing::TestParamInfo<AfterCleanupCase> &Info) { return Info.param.Name; });

} // namespace

// The receive path's parties beside one another on two simulated
// processors: the bulk-in completion, the readers-failed callback and the
// reader work item run outside the device-wide lock, the read callback, the
// ready notification, the purge and the timers under it. Each case is an
// arrangement in which a BulkInLock or IoctlLock hold is all that orders two
// of them: under the tsan preset a hold left out is a race report, and in
// every build the reads end as on one processor.
#include "test_receive_fixture.h"

namespace receive_test {
namespace {

class RacesReceive : public ReceiveFixture {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        ASSERT_TRUE(W.SetProcessors(2, 1, "random"));
        Add();
        Open();
        Settle();
    }
};

// Guards against the readers-failed callback storing LastReadFailed outside
// BulkInLock while the accept check of a read reads it on the other
// processor.
TEST_F(RacesReceive, ReadAfterReaderFailure_RefusedUntilBlockGetsThrough)
{
    Usb->FailNextIn(Usb->BulkInAddress());
    Settle();

    ExpectRead(Read(10), STATUS_DELETE_PENDING, 0, "read while the reader is failed");
    Send(4);
    Advance(kMillisecond); // the restart follows the pipe reset, a frame later
    SetReturnImmediately();
    ExpectRead(Read(10), STATUS_SUCCESS, 4, "read after a block got through");
}

// Guards against the ready notification of ReadQueue testing
// CurrentReadRequest outside BulkInLock, and against the start of a parked
// read copying the time-outs outside IoctlLock, while the bulk-in
// completion replaces the current read and starts the parked one outside
// the device-wide lock, beside a control code that changes the time-outs.
TEST_F(RacesReceive, ParkedReadStartedByBulkInCompletion_TakesTimeoutsSetMeanwhile)
{
    OpHandle First = Read(3);
    OpHandle Parked = Read(3); // parked in ReadQueue: its ready notification runs
    ASSERT_FALSE(First->Completed);
    ASSERT_FALSE(Parked->Completed);

    SetReturnImmediately(); // applies to the parked read, started next
    Send(3);
    Advance(kMillisecond);

    ExpectRead(First, STATUS_SUCCESS, 3, "the read the block completes");
    ExpectRead(Parked, STATUS_SUCCESS, 0, "the parked read, started with the new time-outs");
}

// Guards against the start of a parked read copying the time-outs outside
// IoctlLock while SET_TIMEOUTS stores them on the other processor: the
// bulk-in completion, outside the device-wide lock, starts the read.
TEST_F(RacesReceive, ParkedReadStartedBesideSetTimeouts_ReadEndsOnce)
{
    OpHandle First = Read(3);
    OpHandle Parked = Read(3);
    SERIAL_TIMEOUTS ReturnAtOnce{};
    ReturnAtOnce.ReadIntervalTimeout = MAXULONG;
    Usb->SendBulkIn(NextStream(3), 0);
    OpHandle Set = W.DeviceIoControl(H, IOCTL_SERIAL_SET_TIMEOUTS, AsBytes(ReturnAtOnce), 0);
    Settle();

    ASSERT_TRUE(Set->Completed);
    EXPECT_EQ(StatusName(Set->Status), StatusName(STATUS_SUCCESS));
    ExpectRead(First, STATUS_SUCCESS, 3, "the read the block completes");
    if (!Parked->Completed) {
        Send(3); // started with the old time-outs, it waits for its bytes
    }
    ASSERT_TRUE(Parked->Completed);
    EXPECT_EQ(Parked->Completions, 1);
    ExpectStream(Parked);
}

// Guards against the receive purge taking and cancelling the current read
// outside BulkInLock while the bulk-in completion fills that read on the
// other processor.
TEST_F(RacesReceive, PurgeOfPartlyFilledRead_ReadCancelledOnce)
{
    OpHandle Pending = Read(10);
    Send(3); // the completion fills three bytes into the waiting read
    ASSERT_FALSE(Pending->Completed);

    Purge(SERIAL_PURGE_RXABORT);
    ASSERT_TRUE(Pending->Completed);
    EXPECT_EQ(StatusName(Pending->Status), StatusName(STATUS_CANCELLED));
    EXPECT_EQ(Pending->Completions, 1);
    ExpectStream(Pending);

    Send(5);
    SetReturnImmediately();
    ExpectRead(Read(10), STATUS_SUCCESS, 5, "the next read");
}

// Guards against the reader work item reading BulkInReaderPaused and
// DeviceInD0 outside BulkInLock while a read's fill, which resumes the
// reader, writes them on the other processor.
TEST_F(RacesReceive, ReadResumesPausedReader_EveryByteArrives)
{
    const std::size_t Packets = (8128 + kHeldLimit) / kPacket + 64;
    for (std::size_t i = 0; i < Packets; ++i) {
        Usb->SendBulkIn(NextStream(kPacket), static_cast<VirtualTime>(i) * kMillisecond);
    }
    Advance(static_cast<VirtualTime>(Packets) * kMillisecond);
    ASSERT_GT(Usb->QueuedBulkIn(), 0u) << "the reader paused at the bound";

    SetReturnImmediately();
    std::size_t Got = 0;
    for (int i = 0; i < 200 && Got < Sent; ++i) {
        OpHandle Op = Read(16384);
        Advance(10 * kMillisecond);
        ASSERT_TRUE(Op->Completed);
        ExpectStream(Op);
        Got += Op->Information;
    }
    EXPECT_EQ(Got, Sent);
    EXPECT_EQ(Usb->QueuedBulkIn(), 0u);
}

// Guards against the bulk-in reader's failure callback storing
// LastReadFailed outside BulkInLock while open clears it on the other
// processor: the reads of the new handle follow the reader's restart.
TEST_F(RacesReceive, OpenBesideBulkInReaderFailure_ReadsFollowTheRestart)
{
    ASSERT_EQ(W.Close(H), STATUS_SUCCESS);
    Usb->FailNextIn(Usb->BulkInAddress());
    Open();
    Settle();
    Advance(kMillisecond); // the restart follows the pipe reset, a frame later

    Send(4);
    SetReturnImmediately();
    ExpectRead(Read(10), STATUS_SUCCESS, 4, "read after the restart");
}

} // namespace
} // namespace receive_test

// Receive path regressions: reads that waited beside received data, ring
// sizes that could take no block, cancelled reads that lost bytes, and the
// held list at device clean-up.
#include "test_receive_fixture.h"

using namespace receive_test;

namespace {

class HeldDataReachesRead : public ReceiveFixture {
protected:
    OpHandle SetQueueSize(ULONG InSize, ULONG OutSize)
    {
        SERIAL_QUEUE_SIZE size{InSize, OutSize};
        return Ioctl(IOCTL_SERIAL_SET_QUEUE_SIZE, AsBytes(size), 0);
    }
    void Reopen()
    {
        ASSERT_EQ(W.Close(H), STATUS_SUCCESS);
        Settle();
        Open();
        Settle();
    }
};

// Guards against a read longer than the ring's content waiting while the rest sits on the held list.
TEST_F(HeldDataReachesRead, ReadLongerThanRing_TakesHeldBlocksAsRingEmpties)
{
    Send(10000); // 8128 in the ring, the rest held

    auto read = Read(10000);

    ExpectRead(read, STATUS_SUCCESS, 10000, "ring and held bytes");
    EXPECT_EQ(AmountInInQueue(), 0u);
}

// Guards against a read waiting for ever behind a reader paused at the held-data limit.
TEST_F(HeldDataReachesRead, ReaderPausedAtLimit_ReadCompletesAndReaderResumes)
{
    // One packet a millisecond: the ring fills, then the held list up to the
    // limit, and the reader pauses with the device still holding the tail.
    const std::size_t packets = 80000 / kPacket;
    for (std::size_t i = 0; i < packets; ++i) {
        Usb->SendBulkIn(NextStream(kPacket), static_cast<VirtualTime>(i) * kMillisecond);
    }
    Advance(static_cast<VirtualTime>(packets) * kMillisecond);
    ASSERT_GT(Usb->QueuedBulkIn(), 0u) << "the reader is paused";

    auto read = Read(8129);
    ExpectRead(read, STATUS_SUCCESS, 8129, "one byte more than the ring holds");

    Send(4, kMillisecond);
    Advance(10 * kSecond);
    EXPECT_EQ(Usb->QueuedBulkIn(), 0u) << "the resumed reader took everything";
    EXPECT_EQ(DrainAndCheck(), packets * kPacket - 8129 + 4);
}

// Guards against a small ring leaving a block held while a read wants its bytes.
TEST_F(HeldDataReachesRead, SmallRing_ReadTakesBlockHeldForLackOfRoom)
{
    auto set = SetQueueSize(100, 100);
    ASSERT_TRUE(set->Completed);
    ASSERT_EQ(set->Status, STATUS_SUCCESS);
    Reopen();
    Send(99); // 64 into the ring, 35 held (free space 36 is not above a packet)

    auto read = Read(99);

    ExpectRead(read, STATUS_SUCCESS, 99, "ring then held block");
}

// ---- queue sizes the ring can use ----

struct QueueSizeCase {
    ULONG InSize;
    bool Applied; // the ring and the reported size change
};

class QueueSizeBound : public HeldDataReachesRead, public ::testing::WithParamInterface<QueueSizeCase> {};

// Guards against accepting a ring size that can never take a block (no read then ever gets data).
TEST_P(QueueSizeBound, SetQueueSize_AppliesOnlySizesAboveOnePacket)
{
    const QueueSizeCase c = GetParam();
    auto set = SetQueueSize(c.InSize, c.InSize);
    ASSERT_TRUE(set->Completed);
    EXPECT_EQ(StatusName(set->Status), StatusName(STATUS_SUCCESS)) << "out-of-range sizes are ignored quietly";
    EXPECT_EQ(set->Information, sizeof(SERIAL_QUEUE_SIZE));

    auto props = Ioctl(IOCTL_SERIAL_GET_PROPERTIES, {}, sizeof(SERIAL_COMMPROP));
    ASSERT_TRUE(props->Completed);
    EXPECT_EQ(FromBytes<SERIAL_COMMPROP>(props->Output).CurrentRxQueue, c.Applied ? c.InSize : 8192u);

    Reopen();
    Send(3 * kPacket);
    auto read = Read(3 * kPacket);
    ExpectRead(read, STATUS_SUCCESS, 3 * kPacket, "the port still receives");
}

INSTANTIATE_TEST_SUITE_P(Boundary, QueueSizeBound,
                         ::testing::Values(QueueSizeCase{kPacket - 1, false}, QueueSizeCase{kPacket, false},
                                           QueueSizeCase{kPacket + 1, true}));

// ---- a cancel that meets another finishing party ----
// The framework runs a cancel routine later than the cancellation: data or a
// timer can finish their part of the read in between, and the cancel then
// completes it. Whatever that party decided stands, so the bytes the read
// holds reach the application.

class CancelledRead : public ReceiveFixture {
protected:
    // Cancels Op at time At, ahead of any timer expiring at the same time
    // that is armed after this call.
    void CancelAt(VirtualTime At, const OpHandle *Op)
    {
        W.Clock().ScheduleAt(At, [this, Op]() { W.Cancel(*Op); });
    }
};

// Guards against a read that data filled completing as cancelled, its bytes lost.
TEST_F(CancelledRead, FilledWhileCancelPending_CompletesWithSuccess)
{
    auto read = Read(10);
    ASSERT_FALSE(read->Completed);

    Usb->SendBulkIn(NextStream(10)); // delivered before the cancel routine runs
    W.Cancel(read);
    Settle();

    ExpectRead(read, STATUS_SUCCESS, 10, "length met");
}

// Guards against a complete-on-any-data read served by a block completing as cancelled.
TEST_F(CancelledRead, AnyDataServedWhileCancelPending_CompletesWithSuccess)
{
    SetTimeouts(MAXULONG, 0, MAXULONG);
    auto read = Read(10);
    ASSERT_FALSE(read->Completed);

    Usb->SendBulkIn(NextStream(4));
    W.Cancel(read);
    Settle();

    ExpectRead(read, STATUS_SUCCESS, 4, "served by the block");
}

// Guards against a total time-out's bytes being dropped by a cancel that completes the read after it.
TEST_F(CancelledRead, TotalTimeoutThenCancel_CompletesAsTimeoutWithBytes)
{
    SetTimeouts(0, 0, 100);
    OpHandle read;
    CancelAt(TickAtOrAfter(Now() + 100 * kMillisecond), &read);
    read = Read(10);
    Send(3);

    Advance(200 * kMillisecond);

    ExpectRead(read, STATUS_TIMEOUT, 3, "the time-out came first");
}

// Guards against an interval time-out's bytes being dropped by a cancel that completes the read after it.
TEST_F(CancelledRead, IntervalTimeoutThenCancel_CompletesAsTimeoutWithBytes)
{
    SetTimeouts(50, 0, 0);
    OpHandle read;
    CancelAt(TickAfter(Now()), &read); // the first poll after the bytes came
    read = Read(10);
    Send(3);

    Advance(200 * kMillisecond);

    ExpectRead(read, STATUS_TIMEOUT, 3, "the interval time-out came first");
}

// Guards against a read cancelled before its start taking buffered bytes it then drops.
TEST_F(CancelledRead, CancelledBeforeItsStart_TakesNoBytes)
{
    auto a = Read(4);
    auto b = Read(10);
    CancelOnTrace("becomes current", b);

    Send(6); // completes a; b becomes current, cancelled before it starts

    W.SetTraceSink({});
    ASSERT_TRUE(CancelTraced) << "b became current";
    ExpectRead(a, STATUS_SUCCESS, 4, "a");
    ExpectRead(b, STATUS_CANCELLED, 0, "b");
    auto c = Read(2);
    ExpectRead(c, STATUS_SUCCESS, 2, "the bytes b did not take");
}

// ---- held blocks at device clean-up ----

// Guards against the held list being corrupted by the time the device is
// cleaned up (a block freed while still linked, or linked twice), which
// crashed the release of the held blocks at removal.
class HeldListAtCleanup : public PortTest {};

TEST_F(HeldListAtCleanup, LoopbackSmallRingDriverMode1_RemovalReleasesEveryHeldBlock)
{
    CdcAcmOptions options;
    options.BulkInPacket = 16;
    options.BulkOutPacket = 16;
    options.Loopback = true;
    Add(options, 1);
    Open();

    // A ring of 225 bytes takes 14 of the 16-byte blocks the write loops
    // back; the other 23 are held. InSize and OutSize, then 6 more bytes.
    const Bytes queueSize{0xE1, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x00, 1, 2, 3, 4, 5, 6};
    auto resize = W.DeviceIoControl(H, IOCTL_SERIAL_SET_QUEUE_SIZE, queueSize, 1);
    auto write = W.Write(H, Bytes(584, 0));
    W.Clock().AdvanceBy(30 * kSecond);
    ASSERT_TRUE(resize->Completed);
    EXPECT_EQ(resize->Status, STATUS_SUCCESS);
    ASSERT_TRUE(write->Completed);
    EXPECT_EQ(write->Status, STATUS_SUCCESS);
    EXPECT_EQ(write->Information, 584u);

    ASSERT_EQ(W.Close(H), STATUS_SUCCESS);
    W.RemoveDevice(Node);
    W.Clock().RunUntilIdle(W.Clock().Now() + kSecond);

    EXPECT_EQ(W.LiveObjects(), 0u) << "every held reader buffer was released";
    EXPECT_EQ(W.PoolBlocksOutstanding(), 0u);
}

} // namespace

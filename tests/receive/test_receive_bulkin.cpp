// Receive path, producer side: blocks from the device into the ring and the
// held list, receive events, the reader's failure, and the bound on held
// data that pauses the reader.
#include "test_receive_fixture.h"

using namespace receive_test;

namespace {

class RingAndHeldList : public ReceiveFixture {};

// ---- the 64-byte room threshold ----

struct RoomCase {
    std::size_t Buffered; // ring bytes before the block
    bool BlockEntersRing; // a 64-byte block then goes into the ring
};

class RoomThreshold : public ReceiveFixture, public ::testing::WithParamInterface<RoomCase> {};

// Guards against an off-by-one in the room test (free space must exceed a packet).
TEST_P(RoomThreshold, Block_EntersRingOnlyWhileFreeSpaceExceedsPacket)
{
    const RoomCase c = GetParam();
    Send(c.Buffered);
    ASSERT_EQ(AmountInInQueue(), c.Buffered);

    Send(kPacket);

    EXPECT_EQ(AmountInInQueue(), c.BlockEntersRing ? c.Buffered + kPacket : c.Buffered);
    EXPECT_EQ(DrainAndCheck(), c.Buffered + kPacket) << "held or not, every byte is delivered in order";
}

INSTANTIATE_TEST_SUITE_P(Boundary, RoomThreshold, ::testing::Values(RoomCase{8127, true}, RoomCase{8128, false}));

// Guards against a block skipping the held list once it is non-empty (reordering).
TEST_F(RingAndHeldList, LaterBlocks_StayHeldAfterRingEmptiedUntilAFillDrainsThem)
{
    Send(8128);
    Send(kPacket); // A: held
    ASSERT_EQ(AmountInInQueue(), 8128u);

    Purge(SERIAL_PURGE_RXCLEAR); // the ring's bytes are discarded, A stays held
    Skip(8128);
    ASSERT_EQ(AmountInInQueue(), 0u);

    Send(10); // B: joins A on the list although the ring is empty
    EXPECT_EQ(AmountInInQueue(), 0u);

    SetReturnImmediately();
    auto op = Read(kPacket + 10);
    ExpectRead(op, STATUS_SUCCESS, kPacket + 10, "A then B");
    EXPECT_EQ(AmountInInQueue(), 0u);
}

// Guards against the fill copying before draining, or draining out of order.
TEST_F(RingAndHeldList, TenByteRead_DrainsBothHeldBlocksThenTakesOldestRingBytes)
{
    Send(8128);
    Send(kPacket);
    Send(kPacket);
    SetReturnImmediately();
    auto big = Read(8098);
    ExpectRead(big, STATUS_SUCCESS, 8098, "leaves 30 in the ring");
    ASSERT_EQ(AmountInInQueue(), 30u) << "no room for held blocks before this fill";

    auto ten = Read(10);

    ExpectRead(ten, STATUS_SUCCESS, 10, "the ten oldest ring bytes");
    EXPECT_EQ(AmountInInQueue(), 20u + 2 * kPacket) << "both held blocks moved into the ring";
    auto rest = Read(1000);
    ExpectRead(rest, STATUS_SUCCESS, 20 + 2 * kPacket, "ring remainder, then the held blocks");
}

// Guards against held blocks being lost or reordered by close and reopen.
TEST_F(RingAndHeldList, CloseAndReopen_HeldBlocksDeliveredFirst)
{
    Send(8128);
    Send(2 * kPacket);
    ASSERT_EQ(W.Close(H), STATUS_SUCCESS);
    Settle();
    Skip(8128); // the ring goes with the close
    Open();
    Settle();
    Send(5);

    EXPECT_EQ(DrainAndCheck(), 2 * kPacket + 5);
}

// Guards against data received while closed reaching a later open.
TEST_F(RingAndHeldList, BlocksWhileClosed_AreDropped)
{
    ASSERT_EQ(W.Close(H), STATUS_SUCCESS);
    Settle();
    Send(100);
    Skip(100);
    Open();
    Settle();
    Send(7);

    SetReturnImmediately();
    auto op = Read(200);
    ExpectRead(op, STATUS_SUCCESS, 7, "only what came after the open");
}

// Guards against leaking the references taken on held reader buffers.
TEST_F(RingAndHeldList, HeldBuffers_ReleasedOnceDrained)
{
    const std::size_t before = W.LiveObjects();
    Send(8128);
    Send(20 * kPacket);
    EXPECT_GT(W.LiveObjects(), before) << "held buffers are framework objects kept alive";

    DrainAndCheck();
    Send(1); // the reader lets go of finished buffers as it goes on
    DrainAndCheck();

    EXPECT_EQ(W.LiveObjects(), before);
}

// ---- receive events ----

class ReceiveEvents : public ReceiveFixture {};

struct Rx80Case {
    std::size_t Buffered;
    bool Raised;
};

class Rx80Full : public ReceiveFixture, public ::testing::WithParamInterface<Rx80Case> {};

// Guards against the 80%-full test using the wrong ratio or rounding.
TEST_P(Rx80Full, Event_RaisedFromOneThirdFreeSpace)
{
    const Rx80Case c = GetParam();
    Send(c.Buffered - 1);
    auto wait = WaitOnMask(SERIAL_EV_RX80FULL);
    ASSERT_FALSE(wait->Completed);

    Send(1);

    EXPECT_EQ(wait->Completed, c.Raised);
    if (c.Raised) {
        EXPECT_EQ(wait->Status, STATUS_SUCCESS);
        EXPECT_EQ(FromBytes<ULONG>(wait->Output), static_cast<ULONG>(SERIAL_EV_RX80FULL));
    }
}

INSTANTIATE_TEST_SUITE_P(Threshold, Rx80Full, ::testing::Values(Rx80Case{5461, false}, Rx80Case{5462, true}));

// Guards against a zero-length packet being ignored by the event logic.
TEST_F(ReceiveEvents, ZeroLengthBlock_CompletesRxcharWait)
{
    auto wait = WaitOnMask(SERIAL_EV_RXCHAR);
    ASSERT_FALSE(wait->Completed);

    Usb->SendBulkIn({});
    Settle();

    ASSERT_TRUE(wait->Completed);
    EXPECT_EQ(wait->Status, STATUS_SUCCESS);
    EXPECT_EQ(wait->Information, sizeof(ULONG));
    EXPECT_EQ(FromBytes<ULONG>(wait->Output), static_cast<ULONG>(SERIAL_EV_RXCHAR));
}

// Guards against RXFLAG ignoring the carrier, or examining the bytes.
TEST_F(ReceiveEvents, Rxflag_OnlyWhileCarrierPresent)
{
    auto wait = WaitOnMask(SERIAL_EV_RXFLAG);
    Send(3); // carrier is off after the open
    EXPECT_FALSE(wait->Completed);

    Usb->SendSerialState(0x01); // carrier on
    Settle();
    Send(3);

    ASSERT_TRUE(wait->Completed);
    EXPECT_EQ(FromBytes<ULONG>(wait->Output), static_cast<ULONG>(SERIAL_EV_RXFLAG));
}

// ---- reader failure ----

class ReaderFailure : public ReceiveFixture {};

// Guards against I/O being accepted while the reader is failed, or refused forever after.
TEST_F(ReaderFailure, FailedReader_RefusesReadsAndWritesUntilNextBlock)
{
    Usb->FailNextIn(Usb->BulkInAddress());
    Settle();

    auto read = Read(10);
    auto write = W.Write(H, Bytes{1, 2, 3});
    Settle();
    ExpectRead(read, STATUS_DELETE_PENDING, 0, "refused read");
    ASSERT_TRUE(write->Completed);
    EXPECT_EQ(write->Status, STATUS_DELETE_PENDING);
    EXPECT_EQ(write->Information, 0u);

    Send(4);                                  // the restarted reader gets a block through
    W.Clock().AdvanceBy(world::kMillisecond); // the restart follows the pipe reset, a frame later

    SetReturnImmediately();
    auto after = Read(10);
    ExpectRead(after, STATUS_SUCCESS, 4, "accepted again");
}

// ---- the bound on held data ----

class HeldBound : public ReceiveFixture {
protected:
    static constexpr std::size_t kPacketsToPause = (8128 + kHeldLimit) / kPacket;

    // The device offers the ring's worth and the bound's worth of packets,
    // then Extra more, one packet per millisecond; the clock stops half a
    // millisecond after the packet that reaches the bound.
    std::size_t Flood(std::size_t ExtraPackets)
    {
        const std::size_t packets = kPacketsToPause + ExtraPackets;
        for (std::size_t i = 0; i < packets; ++i) {
            Usb->SendBulkIn(NextStream(kPacket), static_cast<VirtualTime>(i) * kMillisecond);
        }
        Advance(static_cast<VirtualTime>(kPacketsToPause - 1) * kMillisecond + kMillisecond / 2);
        return packets * kPacket;
    }
    std::size_t ReadAll(std::size_t Total)
    {
        SetReturnImmediately();
        std::size_t got = 0;
        for (int i = 0; i < 2000 && got < Total; ++i) {
            auto op = Read(3000);
            Advance(10 * kMillisecond);
            EXPECT_TRUE(op->Completed);
            if (!op->Completed) break;
            ExpectStream(op);
            got += op->Information;
        }
        return got;
    }
};

// Guards against the held list growing without limit, and against data lost
// or reordered across the pause and the resume.
TEST_F(HeldBound, Flood_PausesReaderAtLimitThenReadsResumeItAndGetEveryByte)
{
    const std::size_t total = Flood(256);

    const std::size_t left = Usb->QueuedBulkIn();
    EXPECT_EQ(Usb->OutstandingIn(Usb->BulkInAddress()), 0u) << "no read pending while paused";
    const std::size_t taken = Sent / kPacket - left;
    EXPECT_GE(taken, kPacketsToPause);
    EXPECT_LE(taken, kPacketsToPause + 4) << "the bound is soft by a few packets at most";
    Advance(5 * kSecond);
    EXPECT_EQ(Usb->QueuedBulkIn(), left) << "stays paused while nothing reads";

    EXPECT_EQ(ReadAll(total), total);
    EXPECT_EQ(Usb->QueuedBulkIn(), 0u);
    EXPECT_EQ(Usb->OutstandingIn(Usb->BulkInAddress()), 1u) << "reader running again";
}

// Guards against D0 entry leaving a paused reader running (pause and power fighting).
TEST_F(HeldBound, SleepAndResumeWhilePaused_ReaderPausesAgainAndNothingIsLost)
{
    const std::size_t total = Flood(256);
    const std::size_t left = Usb->QueuedBulkIn();
    ASSERT_GT(left, 0u);

    W.SystemSleep();
    W.SystemResume();
    Advance(100 * kMillisecond);

    EXPECT_GT(Usb->QueuedBulkIn(), 0u);
    EXPECT_LE(left - Usb->QueuedBulkIn(), 4u) << "at most a few blocks taken before pausing again";
    EXPECT_EQ(Usb->OutstandingIn(Usb->BulkInAddress()), 0u);

    EXPECT_EQ(ReadAll(total), total);
}

} // namespace

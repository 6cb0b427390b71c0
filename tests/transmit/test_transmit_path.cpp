// Write path end to end: application writes through the driver to the
// simulated CDC ACM device; assertions on completed writes and on the wire.
#include "test_transmit_fixture.h"

#include <algorithm>
#include <cstring>
#include <random>

using namespace transmit_test;

namespace {

// ---- packets on the wire ----

struct PacketCase {
    std::uint16_t Packet;
    std::size_t Length;
    ULONG DriverMode;
};

class WritePackets : public Transmit, public ::testing::WithParamInterface<PacketCase> {};

TEST_P(WritePackets, Write_CutIntoPacketsSentInOrderOneAtATime)
{
    const PacketCase c = GetParam();
    CdcAcmOptions options;
    options.BulkOutPacket = c.Packet;
    Start(options, c.DriverMode);
    Usb->SetDefaultBulkOutAnswer({Answer::Accept, 2 * kMillisecond});
    const Bytes data = Pattern(c.Length);

    auto op = W.Write(H, data);
    Run();

    ASSERT_TRUE(op->Completed);
    EXPECT_EQ(op->Status, STATUS_SUCCESS);
    EXPECT_EQ(op->Information, c.Length);
    const auto packets = Usb->BulkOutPackets();
    ASSERT_EQ(packets.size(), (c.Length + c.Packet - 1) / c.Packet);
    for (std::size_t i = 0; i < packets.size(); ++i) {
        EXPECT_EQ(packets[i].Data, Slice(data, i * c.Packet, std::min<std::size_t>(c.Packet, c.Length - i * c.Packet)));
        if (i > 0) {
            EXPECT_GE(packets[i].SubmittedAt, packets[i - 1].CompletedAt) << "packet " << i << " overlapped";
        }
    }
    ExpectNoSubRequestsLeft();
}

INSTANTIATE_TEST_SUITE_P(Sizes, WritePackets,
                         ::testing::Values(PacketCase{64, 1000, 0}, PacketCase{64, 1000, 1}, PacketCase{64, 1, 0},
                                           PacketCase{64, 64, 1}, PacketCase{64, 65, 0}, PacketCase{8, 100, 1},
                                           PacketCase{512, 1500, 0}));

TEST_F(Transmit, PartialAndEmptyAcceptance_ResumeAtFirstUnsentByte)
{
    Start();
    Usb->QueueBulkOutAnswer({Answer::Partial, 0, 10});
    Usb->QueueBulkOutAnswer({Answer::Partial, 0, 0}); // success, nothing taken: same chunk again
    const Bytes data = Pattern(100);

    auto op = W.Write(H, data);
    Run();

    ASSERT_TRUE(op->Completed);
    EXPECT_EQ(op->Status, STATUS_SUCCESS);
    EXPECT_EQ(op->Information, 100u);
    const auto packets = Usb->BulkOutPackets();
    ASSERT_EQ(packets.size(), 4u);
    EXPECT_EQ(packets[0].Data, Slice(data, 0, 64));
    EXPECT_EQ(packets[1].Data, Slice(data, 10, 64));
    EXPECT_EQ(packets[2].Data, Slice(data, 10, 64));
    EXPECT_EQ(packets[3].Data, Slice(data, 74, 26));
    EXPECT_EQ(Usb->BulkOutBytes(), data);
}

TEST_F(Transmit, FailingPacket_EndsWriteWithItsStatusAndBytesBefore)
{
    Start();
    Usb->QueueBulkOutAnswer({Answer::Accept});
    Usb->QueueBulkOutAnswer({Answer::Accept});
    Usb->QueueBulkOutAnswer({Answer::Stall});

    auto op = W.Write(H, Pattern(300));
    Run();

    ASSERT_TRUE(op->Completed);
    EXPECT_FALSE(NT_SUCCESS(op->Status)) << StatusName(op->Status);
    EXPECT_EQ(op->Information, 128u);
    EXPECT_EQ(Usb->BulkOutPackets().size(), 3u);
    ExpectNoSubRequestsLeft();
}

TEST_F(Transmit, SecondWrite_HeldUntilFirstCompletes)
{
    Start();
    Usb->SetDefaultBulkOutAnswer({Answer::Accept, 20 * kMillisecond});
    const Bytes first = Pattern(200, 1), second = Pattern(90, 2);

    auto op1 = W.Write(H, first);
    auto op2 = W.Write(H, second);
    Run();

    ASSERT_TRUE(op1->Completed && op2->Completed);
    EXPECT_EQ(op2->Information, 90u);
    const auto packets = Usb->BulkOutPackets();
    ASSERT_EQ(packets.size(), 4u + 2u);
    EXPECT_GE(packets[4].SubmittedAt, op1->CompletedAt);
    Bytes both = first;
    both.insert(both.end(), second.begin(), second.end());
    EXPECT_EQ(Usb->BulkOutBytes(), both);
}

TEST_F(Transmit, Flush_ReturnsOnlyAfterWriteInProgress)
{
    Start();
    Usb->SetDefaultBulkOutAnswer({Answer::Accept, 30 * kMillisecond});
    auto op = W.Write(H, Pattern(500));
    auto flush = W.Flush(H);
    EXPECT_TRUE(flush->Completed);
    EXPECT_EQ(flush->Status, STATUS_SUCCESS);
    EXPECT_TRUE(op->Completed);
    EXPECT_EQ(op->Information, 500u);
}

// ---- refusals and driver-side failures ----

TEST_F(Transmit, NoBulkOutPipe_RefusedAtOnceWithInvalidDeviceState)
{
    CdcAcmOptions options;
    options.BulkOutEndpoint = false;
    Start(options);
    auto op = W.Write(H, Pattern(10));
    Run();
    ASSERT_TRUE(op->Completed);
    EXPECT_EQ(op->Status, STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(op->Information, 0u);
}

TEST_F(Transmit, ReaderFailed_RefusedWithDeletePendingAndNothingSent)
{
    Start();
    Usb->FailNextIn(Usb->BulkInAddress());
    Run();
    auto op = W.Write(H, Pattern(10));
    Run();
    ASSERT_TRUE(op->Completed);
    EXPECT_EQ(op->Status, STATUS_DELETE_PENDING);
    EXPECT_EQ(op->Information, 0u);
    EXPECT_TRUE(Usb->BulkOutPackets().empty());
}

class WriteCallFaults : public Transmit, public ::testing::WithParamInterface<const char *> {};

// A failing kit call in the middle of a write was reported as success with a short count.
TEST_P(WriteCallFaults, SecondPacketCallFails_WriteEndsWithThatStatusAndPortRecovers)
{
    Start();
    W.FailNthCall(GetParam(), 2, STATUS_INSUFFICIENT_RESOURCES);
    auto op = W.Write(H, Pattern(200));
    Run();
    ASSERT_TRUE(op->Completed);
    EXPECT_EQ(op->Status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(op->Information, 64u);
    ExpectNoSubRequestsLeft();

    W.ClearFaults();
    auto again = W.Write(H, Pattern(70));
    Run();
    EXPECT_EQ(again->Status, STATUS_SUCCESS);
    EXPECT_EQ(again->Information, 70u);
}

INSTANTIATE_TEST_SUITE_P(KitCalls, WriteCallFaults,
                         ::testing::Values("WdfRequestCreate", "WdfMemoryCreate", "WdfRequestSend"));

// ---- time-outs ----

struct TimeoutCase {
    ULONG Multiplier, Constant;
    std::size_t Length;
    VirtualTime Expected; // -1: no time limit
};

class WriteTimeouts : public Transmit, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(WriteTimeouts, DeviceNeverTakesPacket_WriteEndsAtFirstTickAfterLimit)
{
    const TimeoutCase c = GetParam();
    Start();
    SetWriteTimeouts(c.Multiplier, c.Constant);
    Usb->SetDefaultBulkOutAnswer({Answer::Never});
    const VirtualTime start = W.Clock().Now();

    auto op = W.Write(H, Pattern(c.Length));
    W.Clock().RunUntilIdle(start + 3600 * kSecond);

    if (c.Expected < 0) {
        EXPECT_FALSE(op->Completed);
        W.Cancel(op);
        Run();
        ASSERT_TRUE(op->Completed);
        EXPECT_EQ(op->Status, STATUS_CANCELLED);
    } else {
        ASSERT_TRUE(op->Completed);
        EXPECT_EQ(op->Status, STATUS_SUCCESS);
        EXPECT_EQ(op->Information, 0u);
        EXPECT_GE(op->CompletedAt - start, c.Expected);
        EXPECT_LE(op->CompletedAt - start, c.Expected + 156'250); // within one clock tick
    }
    Run();
    ASSERT_EQ(Usb->BulkOutPackets().size(), 1u);
    EXPECT_TRUE(Usb->BulkOutPackets()[0].Cancelled);
    ExpectNoSubRequestsLeft();
}

INSTANTIATE_TEST_SUITE_P(Settings, WriteTimeouts,
                         ::testing::Values(TimeoutCase{10, 100, 50, 600 * kMillisecond},
                                           TimeoutCase{0, 250, 1000, 250 * kMillisecond},
                                           TimeoutCase{3, 0, 100, 300 * kMillisecond}, TimeoutCase{0, 0, 50, -1},
                                           // beyond the largest due time: clamped, never fires in practice
                                           TimeoutCase{MAXULONG, MAXULONG, 64, -1}));

TEST_F(Transmit, TimeoutAfterThreeOfFivePackets_CountsThemAndReleasesFourth)
{
    Start();
    SetWriteTimeouts(0, 350);
    for (int i = 0; i < 3; ++i) Usb->QueueBulkOutAnswer({Answer::Accept, 100 * kMillisecond});
    Usb->QueueBulkOutAnswer({Answer::Never});

    auto op = W.Write(H, Pattern(320));
    Run();

    ASSERT_TRUE(op->Completed);
    EXPECT_EQ(op->Status, STATUS_SUCCESS);
    EXPECT_EQ(op->Information, 192u);
    const auto packets = Usb->BulkOutPackets();
    ASSERT_EQ(packets.size(), 4u);
    EXPECT_TRUE(packets[3].Cancelled);
    ExpectNoSubRequestsLeft();
}

// ---- cancellation ----

struct CancelCase {
    const char *Name;
    bool ByPurge;
};

class WriteCancel : public Transmit, public ::testing::WithParamInterface<CancelCase> {};

// A cancelled write was reported as STATUS_SUCCESS with 0 bytes although packets had gone out.
TEST_P(WriteCancel, WhilePacketOut_CancelledWithBytesSentAndPortServesNextWrite)
{
    Start();
    Usb->QueueBulkOutAnswer({Answer::Accept});
    Usb->QueueBulkOutAnswer({Answer::Accept});
    Usb->QueueBulkOutAnswer({Answer::Never});
    auto op = W.Write(H, Pattern(300));
    Run();
    ASSERT_FALSE(op->Completed);

    if (GetParam().ByPurge) {
        auto purge = Ioctl(IOCTL_SERIAL_PURGE, AsBytes(ULONG{SERIAL_PURGE_TXABORT}));
        Run();
        EXPECT_EQ(purge->Status, STATUS_SUCCESS);
    } else {
        EXPECT_TRUE(W.Cancel(op));
        Run();
    }
    ASSERT_TRUE(op->Completed);
    EXPECT_EQ(op->Status, STATUS_CANCELLED);
    EXPECT_EQ(op->Information, 128u);
    EXPECT_TRUE(Usb->BulkOutPackets().back().Cancelled);
    ExpectNoSubRequestsLeft();

    const Bytes next = Pattern(80, 9);
    auto op2 = W.Write(H, next);
    Run();
    EXPECT_EQ(op2->Status, STATUS_SUCCESS);
    EXPECT_EQ(Slice(Usb->BulkOutBytes(), 128, 80), next);
}

INSTANTIATE_TEST_SUITE_P(Ways, WriteCancel,
                         ::testing::Values(CancelCase{"Application", false}, CancelCase{"Purge", true}),
                         test_support::CaseName());

// ---- transmit-empty ----

class TransmitEmpty : public Transmit {
protected:
    OpHandle Wait;
    void Arm(ULONG Mask)
    {
        auto set = Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, AsBytes(Mask));
        Wait = Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
        Run();
        ASSERT_EQ(set->Status, STATUS_SUCCESS);
        ASSERT_FALSE(Wait->Completed);
    }
    ULONG Events() const
    {
        ULONG value = 0;
        std::memcpy(&value, Wait->Output.data(), sizeof(value));
        return value;
    }
};

TEST_F(TransmitEmpty, LastWriteDone_CompletesWaitOnlyWhenNoWriteQueued)
{
    Start();
    Usb->SetDefaultBulkOutAnswer({Answer::Accept, 10 * kMillisecond});
    Arm(SERIAL_EV_TXEMPTY);

    auto op1 = W.Write(H, Pattern(100));
    auto op2 = W.Write(H, Pattern(100));
    Run();

    ASSERT_TRUE(op1->Completed && op2->Completed);
    EXPECT_GT(Wait->CompletedAt, op2->CompletedAt - 1) << "event raised while a write was still queued";
    ASSERT_TRUE(Wait->Completed);
    EXPECT_EQ(Wait->Status, STATUS_SUCCESS);
    EXPECT_EQ(Wait->Information, sizeof(ULONG));
    EXPECT_EQ(Events(), ULONG{SERIAL_EV_TXEMPTY});
}

TEST_F(TransmitEmpty, WriteDoneWithoutWait_EventNotKeptForLaterWait)
{
    Start();
    auto set = Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, AsBytes(ULONG{SERIAL_EV_TXEMPTY}));
    auto op = W.Write(H, Pattern(10));
    Run();
    ASSERT_TRUE(op->Completed);

    Wait = Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    Run();
    EXPECT_FALSE(Wait->Completed);
    W.Cancel(Wait);
    Run();
}

// ---- randomized run ----

// Bytes the device took were lost, doubled or reordered across time-outs, cancels and partial packets.
TEST_F(Transmit, RandomizedRun_EveryAcknowledgedByteCountedOnceInOrder)
{
    Start();
    std::mt19937 rng(0x5EED);
    auto pick = [&](int Low, int High) { return std::uniform_int_distribution<int>(Low, High)(rng); };
    std::vector<std::pair<Bytes, OpHandle>> writes;

    for (int round = 0; round < 80; ++round) {
        SetWriteTimeouts(pick(0, 2), pick(20, 400)); // every write ends, even on a packet never taken
        for (int k = pick(0, 6); k > 0; --k) {
            switch (pick(0, 5)) {
            case 0:
                Usb->QueueBulkOutAnswer({Answer::Partial, pick(0, 5) * kMillisecond, std::size_t(pick(0, 63))});
                break;
            case 1: Usb->QueueBulkOutAnswer({Answer::Fail, 0, 0, USBD_STATUS_DEV_NOT_RESPONDING}); break;
            case 2: Usb->QueueBulkOutAnswer({Answer::Never, 0, 0, 0, false, pick(0, 1) == 0}); break;
            case 3: Usb->QueueBulkOutAnswer({Answer::Accept, 0, 0, 0, true, pick(0, 1) == 0}); break;
            default: Usb->QueueBulkOutAnswer({Answer::Accept, pick(0, 40) * kMillisecond}); break;
            }
        }
        for (int n = pick(1, 3); n > 0; --n) {
            Bytes data = Pattern(pick(1, 400), unsigned(writes.size()));
            auto op = W.Write(H, data);
            writes.emplace_back(std::move(data), op);
        }
        if (pick(0, 3) == 0) {
            W.Clock().AdvanceBy(pick(0, 100) * kMillisecond);
            W.Cancel(writes[writes.size() - std::min<std::size_t>(writes.size(), pick(1, 2))].second);
        }
        Run();
    }

    ExpectWireHoldsWhatWritesReport(writes);
    ExpectNoSubRequestsLeft();
}

} // namespace

// Guards against a write cancelled before it is marked cancelable (the
// framework then runs the cancel routine only after the write callback
// returns) being started anyway or completed twice.
TEST_F(Transmit, CancelledBeforeMarkedCancelable_CompletedOnceCancelledWithNothingSent)
{
    Start();
    Usb->SetDefaultBulkOutAnswer({Answer::Accept, 10 * kMillisecond});
    const Bytes first = Pattern(64, 1), second = Pattern(100, 2);
    auto op1 = W.Write(H, first);
    auto op2 = W.Write(H, second);
    int presented = 0;
    W.SetTraceSink([&](const std::string &Line) {
        // The second write reaches the driver when the first completes; the
        // application cancels it at that moment, before it is marked.
        if (Line.find("Received a write request") != std::string::npos && ++presented == 1) {
            EXPECT_TRUE(W.Cancel(op2));
        }
    });
    Run();
    W.SetTraceSink({});

    ASSERT_TRUE(op1->Completed && op2->Completed);
    EXPECT_EQ(op1->Status, STATUS_SUCCESS);
    EXPECT_EQ(op2->Status, STATUS_CANCELLED);
    EXPECT_EQ(op2->Information, 0u);
    EXPECT_EQ(presented, 1);
    EXPECT_EQ(Usb->BulkOutBytes(), first);
    EXPECT_EQ(Usb->BulkOutPackets().size(), 1u) << "the cancelled write offered nothing to the device";
    ExpectNoSubRequestsLeft();

    auto op3 = W.Write(H, Pattern(10, 3));
    Run();
    EXPECT_EQ(op3->Status, STATUS_SUCCESS);
    EXPECT_EQ(op3->Information, 10u);
}

// Fault: an operation from FlushAsync reported no completion count, so a
// check that every request completed exactly once saw it as never completed.
TEST_F(Transmit, FlushAsyncAndWrite_EachCompleteExactlyOnce)
{
    Start();
    OpHandle write = W.Write(H, Text("abc"));
    OpHandle flush = W.FlushAsync(H);
    Run();
    EXPECT_EQ(write->Completions, 1);
    EXPECT_EQ(flush->Completions, 1);
    EXPECT_EQ(W.OperationsInFlight(), 0u);
}

// A lower driver that completes at once: the bulk-OUT completion runs inside
// WdfRequestSend, and a cancel's inside WdfRequestCancelSentRequest or the
// pipe's stop. Each write completes once, no lock is taken twice, and the
// wire holds exactly the bytes the writes report.
struct AtOnceCase {
    const char *Name;
    AnswerSpec Answer;
    bool CancelByApplication; /* else the write time-out ends it */
};

class WriteAtOnce : public Transmit, public ::testing::WithParamInterface<AtOnceCase> {};

TEST_P(WriteAtOnce, CompletionInsideTheSend_EachWriteCompletedOnceBytesOnTheWire)
{
    const AtOnceCase c = GetParam();
    Start();
    SetWriteTimeouts(0, c.CancelByApplication ? 0 : 50);
    Usb->SetDefaultBulkOutAnswer(c.Answer);
    std::vector<std::pair<Bytes, OpHandle>> writes;
    for (unsigned n = 0; n < 3; ++n) {
        Bytes data = Pattern(150 + n * 7, n);
        auto op = W.Write(H, data);
        writes.emplace_back(std::move(data), op);
    }
    Run();
    if (c.CancelByApplication) {
        for (auto &w : writes) {
            if (!w.second->Completed) W.Cancel(w.second);
        }
        Run();
    }
    ExpectWireHoldsWhatWritesReport(writes);
    ExpectNoSubRequestsLeft();
    auto after = W.Write(H, Pattern(10, 9));
    Usb->SetDefaultBulkOutAnswer({Answer::Accept});
    Run();
    if (!after->Completed) W.Cancel(after);
    Run();
    EXPECT_TRUE(after->Completed);
}

const AtOnceCase kAtOnceCases[] = {
    {"AcceptAtOnce", {Answer::Accept, 0, 0, 0, true, false}, true},
    {"PartialAtOnce", {Answer::Partial, 0, 20, 0, true, false}, true},
    {"FailAtOnce", {Answer::Fail, 0, 0, USBD_STATUS_DEV_NOT_RESPONDING, true, false}, true},
    {"NeverCancelAtOnceByApplication", {Answer::Never, 0, 0, 0, false, true}, true},
    {"NeverCancelAtOnceByTimeout", {Answer::Never, 0, 0, 0, false, true}, false},
};
INSTANTIATE_TEST_SUITE_P(Answers, WriteAtOnce, ::testing::ValuesIn(kAtOnceCases),
                         [](const ::testing::TestParamInfo<AtOnceCase> &I) { return std::string(I.param.Name); });

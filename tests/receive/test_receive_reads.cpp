// Receive path, consumer side: read requests under the read time-outs,
// queued reads, cancellation, purge, power, and a randomized run that checks
// every byte is delivered exactly once and every read completes once.
#include "test_receive_fixture.h"

#include <optional>
#include <random>

using namespace receive_test;

namespace {

// Reads are issued off the tick grid so that "at a tick" and "at once" differ.
constexpr VirtualTime kOffGrid = 1'234'567;

// ---- the read time-out table ----

enum class When {
    AtOnce,          // completed by the read call itself
    TotalAfter,      // at the first tick at or after issue + Delay
    PollAfterLast,   // at the first tick at or after the last arrival + Delay (at least 1 unit)
    WithLastArrival, // at the moment of the last arrival
    Pending,         // still waiting at the horizon
};

struct Arrival {
    VirtualTime At; // after the read is issued
    std::size_t Bytes;
};

struct TimeoutRow {
    const char *Name;
    ULONG Interval, Multiplier, Constant;
    std::size_t Length;
    std::size_t Buffered;
    std::vector<Arrival> Arrivals;
    When Completion;
    VirtualTime Delay;
    NTSTATUS Status;
    std::size_t Information;
};

constexpr ULONG M = MAXULONG;
constexpr VirtualTime ms = kMillisecond;

const TimeoutRow kRows[] = {
    {"ReturnImmediately_NothingBuffered", M, 0, 0, 10, 0, {}, When::AtOnce, 0, STATUS_SUCCESS, 0},
    {"ReturnImmediately_SomeBuffered", M, 0, 0, 10, 5, {}, When::AtOnce, 0, STATUS_SUCCESS, 5},
    {"AllZero_WaitsUntilFullNeverTimesOut",
     0,
     0,
     0,
     10,
     4,
     {{10 * kSecond, 6}},
     When::WithLastArrival,
     0,
     STATUS_SUCCESS,
     10},
    {"Total_NothingArrives_200ms", 0, 10, 100, 10, 0, {}, When::TotalAfter, 200 * ms, STATUS_TIMEOUT, 0},
    {"Total_SomeArrive_TimeoutWithThem",
     0,
     10,
     100,
     10,
     0,
     {{50 * ms, 3}},
     When::TotalAfter,
     200 * ms,
     STATUS_TIMEOUT,
     3},
    {"Total_FullBeforeTimeout", 0, 10, 100, 10, 0, {{50 * ms, 10}}, When::WithLastArrival, 0, STATUS_SUCCESS, 10},
    {"Total_MultiplierMaxulong_ConstantOnly", 0, M, 100, 1000, 0, {}, When::TotalAfter, 100 * ms, STATUS_TIMEOUT, 0},
    {"Total_MultiplierMaxulong_ZeroConstant_NextTick", 0, M, 0, 10, 3, {}, When::TotalAfter, 0, STATUS_TIMEOUT, 3},
    {"IntervalMaxulong_Total_OneByteDoesNotComplete",
     M,
     M,
     500,
     10,
     0,
     {{100 * ms, 1}},
     When::TotalAfter,
     500 * ms,
     STATUS_TIMEOUT,
     1},
    {"AnyData_NextBlockCompletes", M, 0, M, 10, 0, {{300 * ms, 4}}, When::WithLastArrival, 0, STATUS_SUCCESS, 4},
    {"AnyData_BlockLargerThanRead", M, 7, M, 10, 0, {{300 * ms, 30}}, When::WithLastArrival, 0, STATUS_SUCCESS, 10},
    {"AnyData_ZeroLengthBlockCompletesEmpty",
     M,
     0,
     M,
     10,
     0,
     {{300 * ms, 0}},
     When::WithLastArrival,
     0,
     STATUS_SUCCESS,
     0},
    {"Interval50_TimeoutAtTickAfterLastArrival",
     50,
     0,
     0,
     10,
     0,
     {{100 * ms, 3}},
     When::PollAfterLast,
     0,
     STATUS_TIMEOUT,
     3},
    {"Interval50_ArrivalsWithinOneTickCollected",
     50,
     0,
     0,
     10,
     0,
     {{100 * ms, 3}, {105 * ms, 2}},
     When::PollAfterLast,
     0,
     STATUS_TIMEOUT,
     5},
    {"Interval50_NoDataKeepsWaiting", 50, 0, 0, 10, 0, {}, When::Pending, 0, STATUS_PENDING, 0},
    {"Interval50_BufferedThenNothing", 50, 0, 0, 10, 3, {}, When::PollAfterLast, 0, STATUS_TIMEOUT, 3},
    {"Interval19999_PollsEachTick", 19'999, 0, 0, 10, 0, {{100 * ms, 3}}, When::PollAfterLast, 0, STATUS_TIMEOUT, 3},
    {"Interval20000_PollsEverySecond",
     20'000,
     0,
     0,
     10,
     0,
     {{100 * ms, 3}},
     When::PollAfterLast,
     kSecond,
     STATUS_TIMEOUT,
     3},
    {"Interval30000_OneSecondAfterLastArrival",
     30'000,
     0,
     0,
     10,
     0,
     {{100 * ms, 3}, {700 * ms, 1}},
     When::PollAfterLast,
     kSecond,
     STATUS_TIMEOUT,
     4},
    {"IntervalAndTotal_IntervalFirstAfterData",
     50,
     0,
     1000,
     10,
     0,
     {{100 * ms, 2}},
     When::PollAfterLast,
     0,
     STATUS_TIMEOUT,
     2},
};

class ReadTimeouts : public ReceiveFixture, public ::testing::WithParamInterface<TimeoutRow> {};

// Guards against any departure from the read time-out rules, row by row.
TEST_P(ReadTimeouts, Read_CompletesAsTheRowSays)
{
    const TimeoutRow &row = GetParam();
    Advance(kOffGrid);
    if (row.Buffered != 0) Send(row.Buffered);
    SetTimeouts(row.Interval, row.Multiplier, row.Constant);

    const VirtualTime issued = Now();
    auto op = Read(row.Length);
    VirtualTime last = issued;
    for (const Arrival &a : row.Arrivals) {
        if (a.Bytes == 0) {
            Usb->SendBulkIn({}, a.At);
        } else {
            Send(a.Bytes, a.At);
        }
        last = issued + a.At;
    }

    std::optional<VirtualTime> expected;
    switch (row.Completion) {
    case When::AtOnce: expected = issued; break;
    case When::TotalAfter: expected = TickAtOrAfter(issued + std::max<VirtualTime>(row.Delay, 1)); break;
    case When::PollAfterLast: expected = TickAtOrAfter(last + std::max<VirtualTime>(row.Delay, 1)); break;
    case When::WithLastArrival: expected = last; break;
    case When::Pending: break;
    }
    if (row.Arrivals.size() > 1 && row.Completion == When::PollAfterLast && row.Delay == 0) {
        // The row relies on no poll falling between its arrivals.
        ASSERT_GT(TickAfter(issued + row.Arrivals[0].At), last) << "row arrivals straddle a tick";
    }

    Advance(20 * kSecond);

    if (!expected) {
        EXPECT_FALSE(op->Completed) << "must keep waiting";
        return;
    }
    ExpectRead(op, row.Status, row.Information, row.Name);
    EXPECT_EQ(op->CompletedAt, *expected) << "completed " << op->CompletedAt - issued << " after issue";
    // Nothing that did not fit in the read is lost.
    const std::size_t rest = Sent - Received;
    EXPECT_EQ(DrainAndCheck(), rest);
}

INSTANTIATE_TEST_SUITE_P(Table, ReadTimeouts, ::testing::ValuesIn(kRows), test_support::CaseName());

// ---- reads in order, queued reads ----

class ReadQueueing : public ReceiveFixture {
protected:
    void SetUp() override
    {
        ReceiveFixture::SetUp();
        SetTimeouts(0, 0, 0); // reads wait until full
    }
};

// ---- cancellation ----

class ReadCancel : public ReadQueueing {};

// Guards against a cancelled current read losing its bytes or blocking the queue.
TEST_F(ReadCancel, CurrentRead_CancelledWithBytesSoFarAndNextBecomesCurrent)
{
    auto a = Read(10);
    Send(2);
    auto b = Read(5);

    ASSERT_TRUE(W.Cancel(a));
    Settle();

    ExpectRead(a, STATUS_CANCELLED, 2, "a");
    EXPECT_FALSE(b->Completed);
    Send(5);
    ExpectRead(b, STATUS_SUCCESS, 5, "b");
}

// Guards against a cancelled queued read becoming current or taking data.
TEST_F(ReadCancel, QueuedRead_CancelledEmptyAndSkipped)
{
    auto a = Read(10);
    auto b = Read(5);
    auto c = Read(3);

    ASSERT_TRUE(W.Cancel(b));
    Settle();
    ExpectRead(b, STATUS_CANCELLED, 0, "b");

    Send(13);
    ExpectRead(a, STATUS_SUCCESS, 10, "a");
    ExpectRead(c, STATUS_SUCCESS, 3, "c");
}

// Guards against a stale total timer of a cancelled read timing out the next read.
TEST_F(ReadCancel, CancelledRead_ItsTotalTimerDoesNotReachNextRead)
{
    SetTimeouts(0, 0, 1000);
    auto a = Read(10);
    Advance(100 * ms);
    ASSERT_TRUE(W.Cancel(a));
    Settle();
    ExpectRead(a, STATUS_CANCELLED, 0, "a");

    SetTimeouts(0, 0, 0);
    auto b = Read(5);
    Advance(3 * kSecond);
    EXPECT_FALSE(b->Completed) << "b has no time-out";
    Send(5);
    ExpectRead(b, STATUS_SUCCESS, 5, "b");
}

// Guards against a read cancelled while it is being started (before it is
// cancelable) being left pending, completed twice, or losing the bytes it took.
TEST_F(ReadCancel, CancelledBeforeMarkedCancelable_CompletedOnceWithItsBytes)
{
    auto a = Read(4);
    auto b = Read(10);
    CancelOnTrace("marking it cancelable", b);

    Send(6); // completes a; b starts with 2 bytes and is cancelled as it is marked

    W.SetTraceSink({});
    ExpectRead(a, STATUS_SUCCESS, 4, "a");
    ExpectRead(b, STATUS_SUCCESS, 2, "b: an error status would return none of them");
    EXPECT_TRUE(CancelTraced) << "the start path was reached";
    auto c = Read(3);
    Send(3);
    ExpectRead(c, STATUS_SUCCESS, 3, "c");
}

// Guards against a receive-abort purge leaving any read pending.
TEST_F(ReadCancel, PurgeRxabort_CancelsCurrentAndQueuedThenServesNewReads)
{
    auto a = Read(10);
    Send(2);
    auto b = Read(5);
    auto c = Read(5);

    Purge(SERIAL_PURGE_RXABORT);

    ExpectRead(a, STATUS_CANCELLED, 2, "a");
    ExpectRead(b, STATUS_CANCELLED, 0, "b");
    ExpectRead(c, STATUS_CANCELLED, 0, "c");
    auto d = Read(4);
    Send(4);
    ExpectRead(d, STATUS_SUCCESS, 4, "d");
}

// ---- power and removal ----

// Guards against a read parked behind a queued read whose cancellation is
// still in flight (the queue then counts it as held by the driver): with no
// read current, nothing would ever take the parked read out of the queue.
TEST_F(ReadCancel, ReadArrivingWhileQueuedCancelInFlight_IsServed)
{
    auto r1 = Read(4);
    auto r2 = Read(5);
    OpHandle r3;
    bool armed = true;
    // While the bulk-IN completion finishes r1, the application (another
    // thread) issues r3 and cancels r2.
    W.SetTraceSink([&](const std::string &Line) {
        if (armed && Line.find("Complete Request") != std::string::npos && !r1->Completed) {
            armed = false;
            r3 = W.Read(H, 3);
            W.Cancel(r2);
        }
    });
    Send(4);
    W.SetTraceSink({});
    Settle();
    ExpectRead(r1, STATUS_SUCCESS, 4, "r1");
    ASSERT_TRUE(r2->Completed);
    EXPECT_EQ(StatusName(r2->Status), StatusName(STATUS_CANCELLED));
    ASSERT_TRUE(r3);
    Send(3);
    Advance(5 * kSecond);
    EXPECT_TRUE(r3->Completed) << "r3 stranded in the read queue";
    auto r4 = Read(2);
    Send(2);
    Advance(5 * kSecond);
    EXPECT_TRUE(r4->Completed) << "r4 stranded behind it";
}

class ReadPower : public ReadQueueing {};

// Guards against a waiting read being lost or failed across sleep.
TEST_F(ReadPower, SleepWhileReadWaits_ReadCompletesAfterResume)
{
    auto a = Read(6);
    Send(2);

    W.SystemSleep();
    W.SystemResume();
    Settle();
    EXPECT_FALSE(a->Completed);
    Send(4);

    ExpectRead(a, STATUS_SUCCESS, 6, "a");
}

// Guards against removal hanging on, or leaking, a waiting read.
TEST_F(ReadPower, SurpriseRemovalWhileReadWaits_ReadCompletes)
{
    auto a = Read(6);
    auto b = Read(6);
    Send(2);

    W.SurpriseRemoveDevice(W.Devices().front());
    W.Clock().RunUntilIdle(Now() + kSecond);

    ASSERT_TRUE(a->Completed);
    ASSERT_TRUE(b->Completed);
    EXPECT_NE(a->Status, STATUS_PENDING);
    ASSERT_EQ(W.Close(H), STATUS_SUCCESS);
    W.Clock().RunUntilIdle(Now() + kSecond);
    EXPECT_EQ(W.LiveObjects(), 0u);
}

// ---- randomized run ----

class ReadRandomized : public ReceiveFixture {};

// Guards against any loss, duplication, reordering or double completion under
// random blocks, read lengths, time-outs and cancels.
TEST_F(ReadRandomized, SeededRun_EveryByteOnceInOrderEveryReadCompletedOnce)
{
    std::mt19937 rng(20240611u);
    auto pick = [&](int Low, int High) { return std::uniform_int_distribution<int>(Low, High)(rng); };
    struct Setting {
        ULONG Interval, Multiplier, Constant;
    };
    const Setting settings[] = {
        {M, 0, 0},   {0, 0, 0}, {0, 10, 100}, {0, M, 30},     {0, M, 0},
        {M, M, 200}, {M, 0, M}, {50, 0, 0},   {30'000, 0, 0}, {50, 1, 40},
    };
    std::vector<OpHandle> reads;
    std::vector<std::size_t> lengths;

    for (int step = 0; step < 600; ++step) {
        switch (pick(0, 9)) {
        case 0:
        case 1:
        case 2: {
            const int size = pick(0, 10) == 0 ? 0 : pick(1, 64);
            if (size == 0) {
                Usb->SendBulkIn({}, pick(0, 20) * ms);
            } else {
                Send(static_cast<std::size_t>(size), pick(0, 20) * ms);
            }
            break;
        }
        case 3: {
            const Setting &s = settings[pick(0, static_cast<int>(std::size(settings)) - 1)];
            SetTimeouts(s.Interval, s.Multiplier, s.Constant);
            break;
        }
        case 4:
        case 5: {
            const std::size_t length = static_cast<std::size_t>(pick(1, 300));
            reads.push_back(W.Read(H, length));
            lengths.push_back(length);
            break;
        }
        case 6: {
            if (!reads.empty()) W.Cancel(reads[static_cast<std::size_t>(pick(0, static_cast<int>(reads.size()) - 1))]);
            break;
        }
        default: Advance(pick(0, 30) * ms); break;
        }
        Settle();
    }
    // Let the device deliver what is still queued, then end every read.
    Advance(5 * kSecond);
    for (auto &op : reads) W.Cancel(op);
    Settle();

    for (std::size_t i = 0; i < reads.size(); ++i) {
        const OpHandle &op = reads[i];
        ASSERT_TRUE(op->Completed) << "read " << i;
        EXPECT_TRUE(op->Status == STATUS_SUCCESS || op->Status == STATUS_TIMEOUT || op->Status == STATUS_CANCELLED)
            << "read " << i << ": " << StatusName(op->Status);
        ASSERT_LE(op->Information, lengths[i]);
        ExpectStream(op, "randomized read");
    }
    DrainAndCheck();
    EXPECT_EQ(Received, Sent) << "every byte sent while open is delivered once";
}

} // namespace

// The world's clock: events run in order of due time and, for one due
// time, in the order they were scheduled, whatever was cancelled between
// them; an event's id never reaches a later event; what a cancelled
// event held goes with the cancel.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <memory>
#include <vector>

#include "Scheduler.h"

namespace {

using fx::EventId;
using fx::Scheduler;
using fx::VirtualTime;

TEST(Clock, Order_DueTimeThenScheduleOrderAcrossCancels)
{
    Scheduler S;
    std::vector<int> Ran;
    std::vector<int> Expected;
    std::vector<EventId> Ids;
    /* Due times repeat so that many events share one; every third is
       cancelled before anything runs. */
    const VirtualTime Due[] = {30, 10, 20, 10, 30, 0, 20, 10};
    for (int I = 0; I < 240; ++I) {
        Ids.push_back(S.ScheduleAt(Due[I % 8], [&Ran, I]() { Ran.push_back(I); }));
    }
    for (int I = 0; I < 240; I += 3) {
        EXPECT_TRUE(S.Cancel(Ids[static_cast<std::size_t>(I)]));
    }
    for (VirtualTime T : {0, 10, 20, 30}) {
        for (int I = 0; I < 240; ++I) {
            if (I % 3 != 0 && Due[I % 8] == T) Expected.push_back(I);
        }
    }
    EXPECT_EQ(S.Pending(), 160u);
    EXPECT_EQ(S.NextDue(), 0);
    S.RunUntilIdle();
    EXPECT_EQ(Ran, Expected);
    EXPECT_EQ(S.Now(), 30);
}

TEST(Clock, Cancel_IdOfAnEventGoneNamesNoLaterEvent)
{
    // Guards: an id whose event ran or was cancelled cancelling the event
    // scheduled after it in its place.
    Scheduler S;
    int Runs = 0;
    const EventId First = S.ScheduleAfter(5, [&]() { ++Runs; });
    S.RunUntilIdle();
    const EventId Cancelled = S.ScheduleAfter(5, [&]() { ++Runs; });
    EXPECT_TRUE(S.Cancel(Cancelled));
    const EventId Later = S.ScheduleAfter(5, [&]() { ++Runs; });
    EXPECT_NE(Later, First);
    EXPECT_NE(Later, Cancelled);
    EXPECT_FALSE(S.Cancel(First));
    EXPECT_FALSE(S.Cancel(Cancelled));
    EXPECT_FALSE(S.Cancel(0));
    EXPECT_FALSE(S.Cancel(~EventId{0}));
    S.RunUntilIdle();
    EXPECT_EQ(Runs, 2);
    EventId Gone = Later;
    EXPECT_FALSE(S.CancelIfQueued(Gone));
    EXPECT_EQ(Gone, 0u);
}

TEST(Clock, Cancel_ManyFarAheadLeaveTheQueueEmpty)
{
    Scheduler S;
    int Runs = 0;
    for (int Round = 0; Round < 50'000; ++Round) {
        EventId Timeout = S.ScheduleAfter(fx::kSecond * 3600, [&]() { ++Runs; });
        S.ScheduleAfter(1, [&]() { ++Runs; });
        EXPECT_TRUE(S.Cancel(Timeout));
        S.RunUntilIdle();
    }
    EXPECT_EQ(Runs, 50'000);
    EXPECT_EQ(S.Pending(), 0u);
    EXPECT_EQ(S.NextDue(), INT64_MAX);
    EXPECT_EQ(S.Now(), 50'000);
}

TEST(Clock, Cancel_WhatTheEventHeldMayCancelAnother)
{
    // Guards: the queue left half-updated while a cancelled event's
    // callable is destroyed, and that destructor cancels a second event.
    Scheduler S;
    int Runs = 0;
    EventId Second = 0;
    struct CancelsOnRelease {
        CancelsOnRelease(Scheduler *C, EventId *O) : Clock(C), Other(O) {}
        CancelsOnRelease(const CancelsOnRelease &) = delete;
        CancelsOnRelease &operator=(const CancelsOnRelease &) = delete;
        ~CancelsOnRelease() { EXPECT_TRUE(Clock->CancelIfQueued(*Other)); }
        Scheduler *Clock;
        EventId *Other;
    };
    auto Held = std::make_shared<CancelsOnRelease>(&S, &Second);
    const EventId First = S.ScheduleAfter(10, [Held, &Runs]() { ++Runs; });
    Held.reset();
    Second = S.ScheduleAfter(10, [&]() { ++Runs; });
    S.ScheduleAfter(20, [&]() { Runs += 10; });
    EXPECT_TRUE(S.Cancel(First));
    EXPECT_EQ(Second, 0u);
    EXPECT_EQ(S.Pending(), 1u);
    S.RunUntilIdle();
    EXPECT_EQ(Runs, 10);
}

} // namespace

namespace {

TEST(Clock, BlockingCalls_EachRunsToItsEndWhetherFiberIsNewOrReused)
{
    // Guards: a blocking call handed a fiber whose earlier call ended
    // running the earlier call again, or never running at all.
    Scheduler S;
    std::vector<std::string> Trace;
    bool Open = false;
    auto Call = [&](const std::string &Name) {
        S.RunBlockingCall([&, Name]() {
            Trace.push_back(Name + " waits");
            S.RunUntil([&]() { return Open; }, "the gate");
            Trace.push_back(Name + " ends");
        });
    };
    for (int Round = 0; Round < 3; ++Round) {
        Open = false;
        Call("a" + std::to_string(Round));
        Call("b" + std::to_string(Round)); /* two blocked at once */
        EXPECT_EQ(S.BlockedCalls(), 2u);
        S.ScheduleAfter(10, [&]() { Open = true; });
        S.RunUntilIdle();
        EXPECT_EQ(S.BlockedCalls(), 0u);
    }
    ASSERT_EQ(Trace.size(), 12u);
    for (int Round = 0; Round < 3; ++Round) {
        const std::string R = std::to_string(Round);
        const auto First = Trace.begin() + 4 * Round;
        EXPECT_EQ(
            std::vector<std::string>(First, First + 4),
            (std::vector<std::string>{"a" + R + " waits", "b" + R + " waits", "a" + R + " ends", "b" + R + " ends"}));
    }
}

TEST(Clock, BlockingCalls_ACallMadeByABlockedCallIsResumedByTheWorld)
{
    // Guards: a call made from inside another call returning, once it
    // blocks, to the call that made it, but then resumed by the world and
    // handing control back to a stack that has moved on since (or to the
    // outer call, finished or blocked elsewhere).
    Scheduler S;
    std::vector<std::string> Trace;
    bool Inner = false;
    bool Outer = false;
    S.RunBlockingCall([&]() {
        Trace.push_back("outer starts");
        S.RunBlockingCall([&]() {
            Trace.push_back("inner waits");
            S.RunUntil([&]() { return Inner; }, "the inner gate");
            Trace.push_back("inner ends at " + std::to_string(S.Now()));
        });
        Trace.push_back("outer waits");
        S.RunUntil([&]() { return Outer; }, "the outer gate");
        Trace.push_back("outer ends at " + std::to_string(S.Now()));
    });
    EXPECT_EQ(S.BlockedCalls(), 2u);
    S.ScheduleAfter(10, [&]() { Inner = true; });
    S.ScheduleAfter(20, [&]() { Outer = true; });
    S.RunUntilIdle();
    EXPECT_EQ(S.BlockedCalls(), 0u);
    EXPECT_EQ(Trace, (std::vector<std::string>{"outer starts", "inner waits", "outer waits", "inner ends at 10",
                                               "outer ends at 20"}));
}

TEST(Clock, BlockingCalls_FibersOfAnEndedClockServeTheNextOnItsOwnTime)
{
    // Guards: the fibers a clock's calls ended on are kept for the
    // process's next clocks; a call handed one must wait on the clock that
    // made it, at that clock's time, however many were out before.
    for (int Clock = 0; Clock < 4; ++Clock) {
        Scheduler S;
        S.AdvanceBy(1000 * (Clock + 1));
        const int Calls = 3 + 3 * Clock; /* more each time than were kept */
        std::vector<VirtualTime> Ended;
        bool Open = false;
        for (int I = 0; I < Calls; ++I) {
            S.RunBlockingCall([&]() {
                S.RunUntil([&]() { return Open; }, "the gate");
                Ended.push_back(S.Now());
            });
        }
        EXPECT_EQ(S.BlockedCalls(), static_cast<std::size_t>(Calls));
        S.ScheduleAfter(10, [&]() { Open = true; });
        S.RunUntilIdle();
        EXPECT_EQ(S.BlockedCalls(), 0u);
        EXPECT_EQ(Ended, std::vector<VirtualTime>(static_cast<std::size_t>(Calls), 1000 * (Clock + 1) + 10));
    }
}

} // namespace

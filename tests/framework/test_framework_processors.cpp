// Simulated processors: callbacks due together run interleaved at kit
// calls under a seeded schedule that replays exactly; spin locks, the
// device-wide lock and a DPC's one run at a time still exclude; spinning
// tasks waiting on each other are a Deadlock report.
#include "test_framework_fixture.h"

#include <algorithm>
#include <map>
#include <memory>

#include "core/Processors.h"

using namespace fwtest;

namespace {

/* What the callbacks of one run did, in order. */
std::vector<std::string> *g_Trace = nullptr;
std::map<WDFDPC, std::function<void()>> *g_Dpcs = nullptr;

VOID RunDpc(WDFDPC D) { (*g_Dpcs)[D](); }
void Mark(const std::string &What) { g_Trace->push_back(What); }

/* A kit call that changes nothing: a point where another processor may go on. */
void Step() { (void)KeQueryInterruptTime(); }

struct Schedule {
    int Count;
    const char *Kind;
};

class Processors : public FxTest, public ::testing::WithParamInterface<Schedule> {
protected:
    std::vector<std::string> Trace;
    std::map<WDFDPC, std::function<void()>> Dpcs;
    WDFSPINLOCK A = nullptr;
    WDFSPINLOCK B = nullptr;

    Processors()
    {
        g_Trace = &Trace;
        g_Dpcs = &Dpcs;
    }
    void Start(std::uint64_t Seed)
    {
        ASSERT_TRUE(W.SetProcessors(GetParam().Count, Seed, GetParam().Kind));
        Add(false);
        WDF_OBJECT_ATTRIBUTES Attr = ChildOfDevice();
        ASSERT_EQ(WdfSpinLockCreate(&Attr, &A), STATUS_SUCCESS);
        ASSERT_EQ(WdfSpinLockCreate(&Attr, &B), STATUS_SUCCESS);
    }
    WDFDPC Dpc(std::function<void()> Body, bool Serialized = false)
    {
        WDFDPC D = MakeDpc(RunDpc, Serialized);
        Dpcs[D] = std::move(Body);
        return D;
    }
    /* Two callbacks due at once, each marking its steps with its name. */
    std::vector<std::string> RunPair(const std::function<void(const std::string &)> &Body, bool Serialized = false)
    {
        Trace.clear();
        WDFDPC D1 = Dpc([Body]() { Body("x"); }, Serialized);
        WDFDPC D2 = Dpc([Body]() { Body("y"); }, Serialized);
        WdfDpcEnqueue(D1);
        WdfDpcEnqueue(D2);
        Run();
        return Trace;
    }
    /* TRUE when the trace has a step of one callback between two of the other. */
    static bool Interleaved(const std::vector<std::string> &T)
    {
        std::string Order;
        for (const std::string &S : T) Order += S[0];
        return Order.find("xyx") != std::string::npos || Order.find("yxy") != std::string::npos;
    }
};

const Schedule kSchedules[] = {{2, "random"}, {4, "random"}, {2, "priority"}, {4, "priority"}};
constexpr int kSeeds = 40;

void ThreeSteps(const std::string &N)
{
    Mark(N + "1");
    Step();
    Mark(N + "2");
    Step();
    Mark(N + "3");
}

TEST_P(Processors, CallbacksDueTogether_InterleaveAndTheSeedReplaysThem)
{
    Start(7);
    std::vector<std::string> First = RunPair(ThreeSteps);
    ASSERT_EQ(First.size(), 6u);
    bool Seen = Interleaved(First);
    for (int I = 0; I < kSeeds && !Seen; ++I) {
        Seen = Interleaved(RunPair(ThreeSteps));
    }
    EXPECT_TRUE(Seen) << "no schedule interleaved two callbacks due together";
}

/* The trace of five pairs of callbacks in a world of its own. */
std::vector<std::string> TraceOfSeed(const Schedule &S, std::uint64_t Seed)
{
    std::vector<std::string> Log;
    std::vector<std::string> Trace;
    std::map<WDFDPC, std::function<void()>> Dpcs;
    g_Trace = &Trace;
    g_Dpcs = &Dpcs;
    Hooks Mine;
    g_Hooks = &Mine;
    world::World W;
    W.SetDriverEntry(TestDriverEntry);
    EXPECT_TRUE(W.SetProcessors(S.Count, Seed, S.Kind));
    WDFDEVICE D = nullptr;
    Mine.AfterCreate = [&D](WDFDEVICE X) {
        D = X;
        return STATUS_SUCCESS;
    };
    world::DeviceNode *Node = W.AddDevice(nullptr, {});
    WDF_OBJECT_ATTRIBUTES Attr;
    WDF_OBJECT_ATTRIBUTES_INIT(&Attr);
    Attr.ParentObject = D;
    for (int I = 0; I < 5; ++I) {
        WDF_DPC_CONFIG C;
        WDF_DPC_CONFIG_INIT(&C, RunDpc);
        WDFDPC D1 = nullptr;
        WDFDPC D2 = nullptr;
        EXPECT_EQ(WdfDpcCreate(&C, &Attr, &D1), STATUS_SUCCESS);
        EXPECT_EQ(WdfDpcCreate(&C, &Attr, &D2), STATUS_SUCCESS);
        Dpcs[D1] = []() { ThreeSteps("x"); };
        Dpcs[D2] = []() { ThreeSteps("y"); };
        WdfDpcEnqueue(D1);
        WdfDpcEnqueue(D2);
        W.Clock().RunUntilIdle();
    }
    W.RemoveDevice(Node);
    W.Clock().RunUntilIdle();
    Log = Trace;
    return Log;
}

class Replay : public ::testing::TestWithParam<Schedule> {};

TEST_P(Replay, SameSeed_SameInterleavingOtherSeedsOthers)
{
    std::vector<std::string> First = TraceOfSeed(GetParam(), 99);
    EXPECT_EQ(TraceOfSeed(GetParam(), 99), First);
    bool Differs = false;
    for (std::uint64_t Seed = 1; Seed <= 20 && !Differs; ++Seed) {
        Differs = TraceOfSeed(GetParam(), Seed) != First;
    }
    EXPECT_TRUE(Differs) << "every seed gave the same schedule";
}

TEST_P(Processors, SpinLock_ExcludesTheOtherProcessor)
{
    Start(3);
    auto Guarded = [this](const std::string &N) {
        WdfSpinLockAcquire(A);
        ThreeSteps(N);
        WdfSpinLockRelease(A);
    };
    for (int I = 0; I < kSeeds; ++I) {
        std::vector<std::string> T = RunPair(Guarded);
        ASSERT_EQ(T.size(), 6u);
        EXPECT_FALSE(Interleaved(T)) << "two processors inside one spin lock";
    }
}

TEST_P(Processors, DeviceWideLock_SerializesItsCallbacks)
{
    Start(5);
    for (int I = 0; I < kSeeds; ++I) {
        std::vector<std::string> T = RunPair(ThreeSteps, true);
        ASSERT_EQ(T.size(), 6u);
        EXPECT_FALSE(Interleaved(T)) << "two serialized callbacks at once";
    }
}

TEST_P(Processors, IrqlIsEachProcessorsOwn)
{
    Start(11);
    for (int I = 0; I < kSeeds; ++I) {
        RunPair([this](const std::string &N) {
            if (N == "x") {
                WdfSpinLockAcquire(B);
                Step();
                Mark(KeGetCurrentIrql() == DISPATCH_LEVEL ? "x-dispatch" : "x-wrong");
                WdfSpinLockRelease(B);
                Step();
                Mark(KeGetCurrentIrql() == DISPATCH_LEVEL ? "x-dispatch" : "x-wrong");
            } else {
                Step();
                Mark(KeGetCurrentIrql() == DISPATCH_LEVEL ? "y-dispatch" : "y-wrong");
            }
        });
        for (const std::string &S : Trace) EXPECT_EQ(S.find("wrong"), std::string::npos) << S;
    }
}

// Guards against a DPC queued again by its own callback running a second
// time on another processor while the first run still goes on.
TEST_P(Processors, DpcQueuedFromItsCallback_RunsAfterItReturns)
{
    Start(13);
    static WDFDPC Self;
    static int Runs;
    Runs = 0;
    Trace.clear();
    Self = Dpc([]() {
        int Mine = ++Runs;
        Mark("begin");
        if (Mine < 4) WdfDpcEnqueue(Self);
        Step();
        Step();
        Mark("end");
    });
    WdfDpcEnqueue(Self);
    Run();
    ASSERT_EQ(Runs, 4);
    for (std::size_t I = 0; I + 1 < Trace.size(); I += 2) {
        EXPECT_EQ(Trace[I], "begin");
        EXPECT_EQ(Trace[I + 1], "end");
    }
}

TEST_P(Processors, OppositeNestingOnTwoProcessors_DeadlockReportedWithTheCycle)
{
    Start(1);
    bool Deadlocked = false;
    for (int I = 0; I < kSeeds && !Deadlocked; ++I) {
        RunPair([this](const std::string &N) {
            WDFSPINLOCK First = N == "x" ? A : B;
            WDFSPINLOCK Second = N == "x" ? B : A;
            WdfSpinLockAcquire(First);
            Step();
            WdfSpinLockAcquire(Second);
            WdfSpinLockRelease(Second);
            WdfSpinLockRelease(First);
        });
        for (const std::string &R : TakeReports()) {
            if (R.rfind("Deadlock", 0) != 0) continue;
            Deadlocked = true;
            EXPECT_NE(R.find("test_framework_processors.cpp"), std::string::npos) << R;
            EXPECT_EQ(std::count(R.begin(), R.end(), ';'), 1) << "two locks and their holders: " << R;
        }
    }
    EXPECT_TRUE(Deadlocked) << "no schedule ran the two nestings at once";
    /* The stuck callbacks never return: the device is left as it is. */
}

WDFTIMER g_Late = nullptr;
VOID LateTimer(WDFTIMER) { Mark("late ran"); }
VOID StoppingTimer(WDFTIMER)
{
    Step();
    Mark(WdfTimerStop(g_Late, FALSE) ? "stopped queued" : "stop found none");
}

// Guards against a timer that expired on one processor while another held
// the device-wide lock being stopped as if still queued: WdfTimerStop then
// returns FALSE and the callback runs once the lock is free.
TEST_P(Processors, TimerExpiredWhileLockHeld_StopReturnsFalseAndCallbackRunsLater)
{
    Start(17);
    bool SawLate = false;
    for (int I = 0; I < kSeeds; ++I) {
        WDFTIMER Stopper = nullptr;
        for (auto [Fn, Out] : {std::pair{&StoppingTimer, &Stopper}, std::pair{&LateTimer, &g_Late}}) {
            WDF_TIMER_CONFIG C;
            WDF_TIMER_CONFIG_INIT(&C, Fn);
            WDF_OBJECT_ATTRIBUTES Attr = ChildOfDevice();
            ASSERT_EQ(WdfTimerCreate(&C, &Attr, Out), STATUS_SUCCESS);
        }
        Trace.clear();
        WdfTimerStart(Stopper, -1);
        WdfTimerStart(g_Late, -1);
        Run();
        ASSERT_FALSE(Trace.empty());
        if (Trace[0] == "stopped queued") {
            EXPECT_EQ(Trace.size(), 1u) << "a timer stopped while queued ran";
        } else if (Trace[0] == "stop found none") {
            ASSERT_EQ(Trace.size(), 2u);
            EXPECT_EQ(Trace[1], "late ran");
            SawLate = true;
        } else {
            EXPECT_EQ(Trace, (std::vector<std::string>{"late ran", "stop found none"}));
        }
    }
    EXPECT_TRUE(SawLate) << "no schedule let the stopped timer's callback wait for the lock";
}

std::string ScheduleCase(const ::testing::TestParamInfo<Schedule> &I)
{
    return std::string(I.param.Kind) + std::to_string(I.param.Count);
}
INSTANTIATE_TEST_SUITE_P(Schedules, Processors, ::testing::ValuesIn(kSchedules), ScheduleCase);
INSTANTIATE_TEST_SUITE_P(Schedules, Replay, ::testing::ValuesIn(kSchedules), ScheduleCase);

} // namespace

// Fault: on a Hang report RunTask returned but left the hung task runnable,
// so a later wake resumed it on callables of a caller that had returned.
TEST_F(FxTest, RunTaskHang_TheHungTaskNeverResumesAfterTheCallerReturns)
{
    fx::ProcessorOptions Options;
    Options.Count = 2;
    fx::Processors P(
        Options, [](std::function<void()> *) { return false; }, []() { return false; });
    bool Wake = false;
    int Resumed = 0;
    {
        /* The caller's callable, gone once RunTask returns: a resumed task
           would call it (a use after free under AddressSanitizer). */
        auto Caller = std::make_unique<std::function<void()>>([&Resumed]() { ++Resumed; });
        std::function<void()> *Callable = Caller.get();
        P.RunTask(
            [&P, &Wake, Callable]() {
                P.Block([&Wake]() { return Wake; });
                (*Callable)();
            },
            false);
    }
    EXPECT_TRUE(Mentions(TakeReports(), "Hang"));
    Wake = true;
    EXPECT_FALSE(P.Drive());
    EXPECT_EQ(Resumed, 0);
}

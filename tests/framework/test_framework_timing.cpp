// Timers, DPCs, work items and spin locks of the hosted framework on the
// virtual clock, and the verifier rules around them.
#include "test_framework_fixture.h"

#include "FxCore.h"

using namespace fwtest;
using world::VirtualTime;

namespace {

std::vector<VirtualTime> *g_Fired = nullptr;
std::vector<KIRQL> *g_Irql = nullptr;
std::function<void(WDFTIMER)> *g_TimerBody = nullptr;

VOID RecordTimer(WDFTIMER T)
{
    g_Fired->push_back(fx::Clock().Now());
    g_Irql->push_back(KeGetCurrentIrql());
    if (g_TimerBody != nullptr && *g_TimerBody) (*g_TimerBody)(T);
}

int g_DpcRuns = 0;
VOID CountDpc(WDFDPC) { ++g_DpcRuns; }

int g_WorkRuns = 0;
KIRQL g_WorkIrql = 0xFF;
VOID CountWork(WDFWORKITEM)
{
    ++g_WorkRuns;
    g_WorkIrql = KeGetCurrentIrql();
}

class Timing : public FxTest {
protected:
    std::vector<VirtualTime> Fired;
    std::vector<KIRQL> Irqls;
    std::function<void(WDFTIMER)> Body;

    Timing()
    {
        g_Fired = &Fired;
        g_Irql = &Irqls;
        g_TimerBody = &Body;
        g_DpcRuns = 0;
        g_WorkRuns = 0;
        Add(false);
    }
    WDFTIMER MakeTimer(ULONG PeriodMs = 0)
    {
        WDF_TIMER_CONFIG C;
        WDF_TIMER_CONFIG_INIT(&C, RecordTimer);
        C.Period = PeriodMs;
        WDF_OBJECT_ATTRIBUTES A = ChildOfDevice();
        WDFTIMER T = nullptr;
        EXPECT_EQ(WdfTimerCreate(&C, &A, &T), STATUS_SUCCESS);
        return T;
    }
};

} // namespace

struct DueCase {
    const char *Name;
    VirtualTime Tick;
    VirtualTime StartAt;
    LONGLONG Due;
    VirtualTime Expected;
};

class TimerDue : public Timing, public ::testing::WithParamInterface<DueCase> {};

TEST_P(TimerDue, FiresAtFirstTickNotBeforeDueAndAfterNow)
{
    const DueCase c = GetParam();
    W.SetClockTick(c.Tick);
    W.Clock().AdvanceTo(c.StartAt);
    WDFTIMER T = MakeTimer();
    EXPECT_FALSE(WdfTimerStart(T, c.Due));
    Run();
    ASSERT_EQ(Fired.size(), 1u);
    EXPECT_EQ(Fired[0], c.Expected);
    EXPECT_EQ(Irqls[0], DISPATCH_LEVEL);
}

INSTANTIATE_TEST_SUITE_P(Table, TimerDue,
                         ::testing::Values(DueCase{"MinusOneAtZero", 156'250, 0, -1, 156'250},
                                           DueCase{"ZeroAtZero", 156'250, 0, 0, 156'250},
                                           DueCase{"ExactlyOneTick", 156'250, 0, -156'250, 156'250},
                                           DueCase{"JustPastOneTick", 156'250, 0, -156'251, 312'500},
                                           DueCase{"MidTickShortDelay", 156'250, 100'000, -10'000, 156'250},
                                           DueCase{"OnTickBoundaryMinusOne", 156'250, 156'250, -1, 312'500},
                                           DueCase{"Absolute", 156'250, 0, 400'000, 468'750},
                                           DueCase{"AbsoluteInThePast", 156'250, 500'000, 1, 625'000},
                                           DueCase{"OneMillisecondTick", 10'000, 0, -25'000, 30'000}),
                         test_support::CaseName());

TEST_F(Timing, Start_ReturnsTrueOnlyWhenItRearmedAQueuedTimer)
{
    WDFTIMER T = MakeTimer();
    EXPECT_FALSE(WdfTimerStart(T, -10'000'000));
    EXPECT_TRUE(WdfTimerStart(T, -20'000'000)); // re-armed: the first expiry is gone
    Run();
    ASSERT_EQ(Fired.size(), 1u);
    EXPECT_GE(Fired[0], 20'000'000);
    EXPECT_FALSE(WdfTimerStart(T, -1)); // fired: no longer queued
    Run();
    EXPECT_EQ(Fired.size(), 2u);
}

TEST_F(Timing, Stop_ReturnsTrueOnlyWhenItRemovedAQueuedTimer)
{
    WDFTIMER T = MakeTimer();
    EXPECT_FALSE(WdfTimerStop(T, FALSE));
    WdfTimerStart(T, -1'000'000);
    EXPECT_TRUE(WdfTimerStop(T, TRUE));
    EXPECT_FALSE(WdfTimerStop(T, FALSE));
    Run();
    EXPECT_TRUE(Fired.empty());
}

TEST_F(Timing, RearmFromOwnCallback_FiresAgain)
{
    WDFTIMER T = MakeTimer();
    Body = [this](WDFTIMER Self) {
        if (Fired.size() < 3) WdfTimerStart(Self, -50'000);
    };
    WdfTimerStart(T, -50'000);
    Run();
    EXPECT_EQ(Fired, (std::vector<VirtualTime>{156'250, 312'500, 468'750}));
}

TEST_F(Timing, PeriodicTimer_FiresEveryPeriodUntilStopped)
{
    WDFTIMER T = MakeTimer(100);
    WdfTimerStart(T, -1);
    W.Clock().AdvanceBy(world::kSecond / 2);
    WdfTimerStop(T, FALSE);
    Run();
    ASSERT_GE(Fired.size(), 4u);
    EXPECT_LE(Fired.size(), 5u);
}

// Guards against a timer callback running after the device (its parent) is gone.
TEST_F(Timing, DeviceRemoval_DropsQueuedExpiry)
{
    WDFTIMER T = MakeTimer();
    WdfTimerStart(T, -10'000'000);
    W.RemoveDevice(Node);
    Run();
    EXPECT_TRUE(Fired.empty());
}

TEST_F(Timing, CreateWithoutParent_FailsWithInvalidParameterAndReport)
{
    WDF_TIMER_CONFIG C;
    WDF_TIMER_CONFIG_INIT(&C, RecordTimer);
    WDFTIMER T = nullptr;
    EXPECT_EQ(WdfTimerCreate(&C, WDF_NO_OBJECT_ATTRIBUTES, &T), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(T, nullptr);
    EXPECT_TRUE(Mentions(TakeReports(), "ParentRequired"));
}

TEST_F(Timing, StopWithWaitAtDispatch_IsReported)
{
    WDFTIMER T = MakeTimer();
    Body = [](WDFTIMER Self) { WdfTimerStop(Self, TRUE); };
    WdfTimerStart(T, -1);
    Run();
    EXPECT_TRUE(Mentions(TakeReports(), "IrqlTooHigh"));
}

// ---- DPCs ----

TEST_F(Timing, DpcEnqueuedTwice_RunsOnceAndSecondEnqueueReturnsFalse)
{
    WDF_DPC_CONFIG C;
    WDF_DPC_CONFIG_INIT(&C, CountDpc);
    WDF_OBJECT_ATTRIBUTES A = ChildOfDevice();
    WDFDPC D;
    ASSERT_EQ(WdfDpcCreate(&C, &A, &D), STATUS_SUCCESS);
    EXPECT_TRUE(WdfDpcEnqueue(D));
    EXPECT_FALSE(WdfDpcEnqueue(D));
    Run();
    EXPECT_EQ(g_DpcRuns, 1);
    EXPECT_TRUE(WdfDpcEnqueue(D));
    EXPECT_TRUE(WdfDpcCancel(D, TRUE));
    EXPECT_FALSE(WdfDpcCancel(D, TRUE));
    Run();
    EXPECT_EQ(g_DpcRuns, 1);
}

// ---- work items ----

TEST_F(Timing, WorkItem_RunsOnceAtPassiveAndSerializedAtDispatchDeviceIsRefused)
{
    WDF_WORKITEM_CONFIG C;
    WDF_WORKITEM_CONFIG_INIT(&C, CountWork);
    WDF_OBJECT_ATTRIBUTES A = ChildOfDevice();
    WDFWORKITEM Item;
    EXPECT_EQ(WdfWorkItemCreate(&C, &A, &Item), STATUS_INVALID_DEVICE_REQUEST);
    C.AutomaticSerialization = FALSE;
    ASSERT_EQ(WdfWorkItemCreate(&C, &A, &Item), STATUS_SUCCESS);
    WdfWorkItemEnqueue(Item);
    WdfWorkItemEnqueue(Item);
    WdfWorkItemFlush(Item);
    EXPECT_EQ(g_WorkRuns, 1);
    EXPECT_EQ(g_WorkIrql, PASSIVE_LEVEL);
}

// ---- spin locks and IRQL rules ----
TEST_F(Timing, SpinLock_RaisesToDispatchAndRestores)
{
    WDFSPINLOCK L;
    WDF_OBJECT_ATTRIBUTES A = ChildOfDevice();
    ASSERT_EQ(WdfSpinLockCreate(&A, &L), STATUS_SUCCESS);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    WdfSpinLockAcquire(L);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    WdfSpinLockRelease(L);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

// Guards against a lock taken in one callback and released in another (a
// different processor on a real system) passing unnoticed.
TEST_F(Timing, LockReleasedByAnotherContext_Reported)
{
    static WDFSPINLOCK L;
    WDF_OBJECT_ATTRIBUTES A = ChildOfDevice();
    ASSERT_EQ(WdfSpinLockCreate(&A, &L), STATUS_SUCCESS);

    WDFTIMER T = MakeTimer();
    Body = [](WDFTIMER) { WdfSpinLockAcquire(L); };
    WdfTimerStart(T, -1);
    Run();
    EXPECT_TRUE(Mentions(TakeReports(), "SpinLockHeldOnReturn"));

    Body = [](WDFTIMER) { WdfSpinLockRelease(L); };
    WdfTimerStart(T, -1);
    Run();
    EXPECT_TRUE(Mentions(TakeReports(), "SpinLockNotOwner"));
}

TEST_F(Timing, LockMisuse_EachReported)
{
    WDFSPINLOCK L;
    WDF_OBJECT_ATTRIBUTES A = ChildOfDevice();
    ASSERT_EQ(WdfSpinLockCreate(&A, &L), STATUS_SUCCESS);

    WdfSpinLockAcquire(L);
    WdfSpinLockAcquire(L);
    EXPECT_TRUE(Mentions(TakeReports(), "SpinLockRecursive"));

    PAGED_CODE();
    EXPECT_TRUE(Mentions(TakeReports(), "PagedCodeAtDispatch"));

    WdfSpinLockRelease(L);
    WdfSpinLockRelease(L);
    EXPECT_TRUE(Mentions(TakeReports(), "SpinLockNotHeld"));

    PAGED_CODE();
    EXPECT_TRUE(TakeReports().empty());
}

// Guards against zeroed attributes slipping through (the real kit rejects them).
TEST_F(Timing, ZeroedAttributes_RejectedWithLengthMismatch)
{
    WDF_OBJECT_ATTRIBUTES A;
    RtlZeroMemory(&A, sizeof A);
    A.ParentObject = Dev;
    WDFSPINLOCK L = nullptr;
    EXPECT_EQ(WdfSpinLockCreate(&A, &L), STATUS_INFO_LENGTH_MISMATCH);
    EXPECT_TRUE(Mentions(TakeReports(), "BadAttributes"));
}

TEST_F(Timing, FaultInjection_FailsOnlyTheNthCall)
{
    W.FailNthCall("WdfTimerCreate", 2, STATUS_INSUFFICIENT_RESOURCES);
    WDF_TIMER_CONFIG C;
    WDF_TIMER_CONFIG_INIT(&C, RecordTimer);
    WDF_OBJECT_ATTRIBUTES A = ChildOfDevice();
    WDFTIMER T;
    EXPECT_EQ(WdfTimerCreate(&C, &A, &T), STATUS_SUCCESS);
    EXPECT_EQ(WdfTimerCreate(&C, &A, &T), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(WdfTimerCreate(&C, &A, &T), STATUS_SUCCESS);

    W.FailNthCall("ExAllocatePoolWithTag", 1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 16, 0x74736554U), nullptr);
    void *P = ExAllocatePoolWithTag(NonPagedPool, 16, 0x74736554U);
    ASSERT_NE(P, nullptr);
    EXPECT_EQ(W.PoolBlocksOutstanding(0x74736554U), 1u);
    ExFreePoolWithTag(P, 0x74736554U);
    EXPECT_EQ(W.PoolBlocksOutstanding(0x74736554U), 0u);
}

TEST_F(Timing, PoolDoubleFreeAndWrongTag_Reported)
{
    void *P = ExAllocatePoolWithTag(NonPagedPool, 8, 0x41414141U);
    ExFreePoolWithTag(P, 0x42424242U);
    EXPECT_TRUE(Mentions(TakeReports(), "PoolTagMismatch"));
    ExFreePoolWithTag(P, 0x41414141U);
    EXPECT_TRUE(Mentions(TakeReports(), "PoolFreeUnknown"));
}

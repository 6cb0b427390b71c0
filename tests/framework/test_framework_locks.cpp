// The verifier's lock-order graph: nestings of spin locks and of the
// device-wide lock recorded over the whole run, inversions reported with
// both nestings, and a spin lock acquired again by the thread holding it.
#include "test_framework_fixture.h"

#include <map>

using namespace fwtest;

namespace {

std::map<WDFDPC, std::function<void()>> *g_Bodies = nullptr;

VOID RunBody(WDFDPC D) { (*g_Bodies)[D](); }

/* Where each acquisition of a test callback is, by its label. */
std::map<std::string, int> g_Line;
#define ACQUIRE(Label, Lock) (g_Line[Label] = __LINE__, WdfSpinLockAcquire(Lock))

class LockOrder : public FxTest {
protected:
    std::map<WDFDPC, std::function<void()>> Bodies;
    WDFSPINLOCK A = nullptr;
    WDFSPINLOCK B = nullptr;

    LockOrder()
    {
        g_Bodies = &Bodies;
        g_Line.clear();
    }
    void AddWithLocks()
    {
        Add(false);
        WDF_OBJECT_ATTRIBUTES Attr = ChildOfDevice();
        ASSERT_EQ(WdfSpinLockCreate(&Attr, &A), STATUS_SUCCESS);
        ASSERT_EQ(WdfSpinLockCreate(&Attr, &B), STATUS_SUCCESS);
    }
    /* A DPC of the device whose callback is Body (under the device-wide
       lock when Serialized), run once now. */
    void RunInDpc(std::function<void()> Body, bool Serialized = false)
    {
        WDFDPC D = MakeDpc(RunBody, Serialized);
        Bodies[D] = std::move(Body);
        WdfDpcEnqueue(D);
        Run();
    }
    /* Outer then Inner, released in reverse. */
    static void Nest(WDFSPINLOCK Outer, WDFSPINLOCK Inner)
    {
        WdfSpinLockAcquire(Outer);
        WdfSpinLockAcquire(Inner);
        WdfSpinLockRelease(Inner);
        WdfSpinLockRelease(Outer);
    }
    static std::string At(const std::string &Label)
    {
        return "tests/framework/test_framework_locks.cpp:" + std::to_string(g_Line.at(Label));
    }
    static std::vector<std::string> Of(const std::vector<std::string> &Reports, const std::string &Rule)
    {
        std::vector<std::string> R;
        for (const std::string &S : Reports)
            if (S.rfind(Rule, 0) == 0) R.push_back(S);
        return R;
    }
};

TEST_F(LockOrder, InversionAcrossCallbacks_ReportedOnceWithBothNestings)
{
    AddWithLocks();
    RunInDpc([this]() {
        ACQUIRE("first.outer", A);
        ACQUIRE("first.inner", B);
        WdfSpinLockRelease(B);
        WdfSpinLockRelease(A);
    });
    EXPECT_TRUE(TakeReports().empty());
    RunInDpc([this]() {
        ACQUIRE("second.outer", B);
        ACQUIRE("second.inner", A);
        WdfSpinLockRelease(A);
        WdfSpinLockRelease(B);
    });
    std::vector<std::string> Inversions = Of(TakeReports(), "LockOrderInversion");
    ASSERT_EQ(Inversions.size(), 1u);
    const std::string &R = Inversions[0];
    /* Both nestings, each with the places of its two acquisitions. */
    std::string Now = "acquired at " + At("second.inner") + " in";
    std::string NowHeld = "(acquired at " + At("second.outer") + " in";
    std::string Then = "acquired at " + At("first.inner") + " in";
    std::string ThenHeld = "(acquired at " + At("first.outer") + " in";
    std::size_t P1 = R.find(Now), P2 = R.find(NowHeld), P3 = R.find(Then), P4 = R.find(ThenHeld);
    ASSERT_TRUE(P1 != std::string::npos && P2 != std::string::npos && P3 != std::string::npos &&
                P4 != std::string::npos)
        << R;
    EXPECT_TRUE(P1 < P2 && P2 < P3 && P3 < P4) << R;
    /* The locks are named by the line that created them. */
    EXPECT_NE(R.find("WdfSpinLockCreate(&Attr, &A)"), std::string::npos) << R;
    EXPECT_NE(R.find("WdfSpinLockCreate(&Attr, &B)"), std::string::npos) << R;

    /* The same inversion again is not a new finding. */
    RunInDpc([this]() { Nest(B, A); });
    EXPECT_TRUE(TakeReports().empty());
}

// Guards against the run's graph missing an inversion that no single lock
// pair shows: two pairs of locks of the same two kinds (created by the same
// code) nested in the two orders, as two worlds of one stress run would.
TEST_F(LockOrder, SameKindsInvertedAcrossPairs_ReportedByTheRunGraph)
{
    fx::SetRunLockGraph(true);
    Add(false);
    WDF_OBJECT_ATTRIBUTES Attr = ChildOfDevice();
    WDFSPINLOCK Locks[2][2] = {};
    for (auto &Pair : Locks) {
        ASSERT_EQ(WdfSpinLockCreate(&Attr, &Pair[0]), STATUS_SUCCESS);
        ASSERT_EQ(WdfSpinLockCreate(&Attr, &Pair[1]), STATUS_SUCCESS);
    }
    RunInDpc([&]() { Nest(Locks[0][0], Locks[0][1]); });
    EXPECT_TRUE(TakeReports().empty());
    RunInDpc([&]() { Nest(Locks[1][1], Locks[1][0]); });
    std::vector<std::string> Inversions = Of(TakeReports(), "LockOrderInversion");
    fx::SetRunLockGraph(false);
    ASSERT_EQ(Inversions.size(), 1u);
    EXPECT_NE(Inversions[0].find("across the run"), std::string::npos) << Inversions[0];
    EXPECT_NE(Inversions[0].find("WdfSpinLockCreate(&Attr, &Pair[0])"), std::string::npos) << Inversions[0];
    EXPECT_NE(Inversions[0].find("WdfSpinLockCreate(&Attr, &Pair[1])"), std::string::npos) << Inversions[0];
}

TEST_F(LockOrder, ConsistentNesting_NotReported)
{
    AddWithLocks();
    for (int I = 0; I < 3; ++I) {
        RunInDpc([this]() { Nest(A, B); });
        RunInDpc([this]() { Nest(A, B); }, true);
        RunInDpc([this]() {
            WdfSpinLockAcquire(B);
            WdfSpinLockRelease(B);
            WdfSpinLockAcquire(A);
            WdfSpinLockRelease(A);
        });
    }
    EXPECT_TRUE(TakeReports().empty());
}

// Guards against both false alarms and misses around a gate lock: both
// orders taken only under the device-wide lock never run together, but one
// nesting outside it can meet the other.
TEST_F(LockOrder, BothOrdersUnderDeviceWideLock_ReportedOnceOneNestingLeavesIt)
{
    AddWithLocks();
    RunInDpc(
        [this]() {
            WdfSpinLockAcquire(A);
            ACQUIRE("gated.inner", B);
            WdfSpinLockRelease(B);
            WdfSpinLockRelease(A);
        },
        true);
    RunInDpc([this]() { Nest(B, A); }, true);
    EXPECT_TRUE(TakeReports().empty());

    RunInDpc([this]() {
        WdfSpinLockAcquire(B);
        ACQUIRE("free.inner", A);
        WdfSpinLockRelease(A);
        WdfSpinLockRelease(B);
    });
    std::vector<std::string> Inversions = Of(TakeReports(), "LockOrderInversion");
    ASSERT_EQ(Inversions.size(), 1u);
    EXPECT_NE(Inversions[0].find(At("free.inner")), std::string::npos) << Inversions[0];
    EXPECT_NE(Inversions[0].find(At("gated.inner")), std::string::npos) << Inversions[0];
}

VOID CancelWithStatus(WDFREQUEST R) { WdfRequestComplete(R, STATUS_CANCELLED); }

// Guards against the device-wide lock escaping the graph: a serialized
// callback takes a spin lock under it, while elsewhere that spin lock is
// held around a kit call that runs a serialized callback inline (marking
// cancelable a request already cancelled).
TEST_F(LockOrder, DeviceWideLockInBothOrders_Reported)
{
    WDFQUEUE Manual = nullptr;
    H.AfterCreate = [&](WDFDEVICE D) { return CreateManualQueue(D, &Manual); };
    H.Read = [&](WDFQUEUE, WDFREQUEST R, size_t) { EXPECT_EQ(WdfRequestForwardToIoQueue(R, Manual), STATUS_SUCCESS); };
    Add(true);
    WDF_OBJECT_ATTRIBUTES Attr = ChildOfDevice();
    ASSERT_EQ(WdfSpinLockCreate(&Attr, &A), STATUS_SUCCESS);
    OpHandle Op = W.Read(File, 4);
    Run();
    WDFREQUEST Got = nullptr;
    RunInDpc([&]() { EXPECT_EQ(WdfIoQueueRetrieveNextRequest(Manual, &Got), STATUS_SUCCESS); });
    ASSERT_NE(Got, nullptr);
    EXPECT_TRUE(W.Cancel(Op));
    RunInDpc([&]() {
        ACQUIRE("holder", A);
        WdfRequestMarkCancelable(Got, CancelWithStatus);
        WdfSpinLockRelease(A);
    });
    ASSERT_TRUE(Op->Completed);
    EXPECT_TRUE(TakeReports().empty());

    RunInDpc([this]() { ACQUIRE("under", A), WdfSpinLockRelease(A); }, true);
    std::vector<std::string> Inversions = Of(TakeReports(), "LockOrderInversion");
    ASSERT_EQ(Inversions.size(), 1u);
    EXPECT_NE(Inversions[0].find("device-wide lock"), std::string::npos) << Inversions[0];
    EXPECT_NE(Inversions[0].find(At("under")), std::string::npos) << Inversions[0];
    EXPECT_NE(Inversions[0].find(At("holder")), std::string::npos) << Inversions[0];
}

TEST_F(LockOrder, RecursiveAcquireInCallback_ReportedWithBothAcquisitions)
{
    AddWithLocks();
    RunInDpc([this]() {
        ACQUIRE("once", A);
        ACQUIRE("twice", A);
        WdfSpinLockRelease(A);
    });
    std::vector<std::string> Recursive = Of(TakeReports(), "SpinLockRecursive");
    ASSERT_EQ(Recursive.size(), 1u);
    EXPECT_NE(Recursive[0].find(At("once")), std::string::npos) << Recursive[0];
    EXPECT_NE(Recursive[0].find(At("twice")), std::string::npos) << Recursive[0];
    /* The lock was released once and is free again. */
    RunInDpc([this]() { Nest(A, B); });
    EXPECT_TRUE(TakeReports().empty());
}

} // namespace

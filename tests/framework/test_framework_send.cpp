// Sending driver-created requests to I/O targets: the generic target rules
// (refusal without completion, time-out, cancel, stop) through a test target
// that holds what it is sent until the test completes it.
#include "test_framework_fixture.h"

#include "FxCore.h"

using namespace fwtest;

namespace {

/* Keeps submitted requests; an abort completes one with STATUS_CANCELLED as a
   later event, as a bus would. */
class HoldingTarget : public fx::IoTarget {
public:
    explicit HoldingTarget(fx::Device *Dev) : IoTarget(fx::ObjectType::IoTarget, Dev) {}
    std::vector<fx::Request *> Held;
    NTSTATUS Refuse = STATUS_PENDING;
    bool IgnoreAbort = false; /* the request finishes on its own regardless */
    bool NeedsFormat() const override { return false; }
    NTSTATUS Submit(fx::Request *R) override
    {
        if (Refuse != STATUS_PENDING) return Refuse;
        Held.push_back(R);
        return STATUS_PENDING;
    }
    void Abort(fx::Request *R) override
    {
        if (IgnoreAbort) return;
        fx::Clock().ScheduleAfter(
            0, [this, R]() { Finish(R, STATUS_CANCELLED); }, "abort");
    }
    void Finish(fx::Request *R, NTSTATUS S)
    {
        for (auto It = Held.begin(); It != Held.end(); ++It) {
            if (*It == R) {
                Held.erase(It);
                CompleteSent(R, S, 0);
                return;
            }
        }
    }
};

struct Completion {
    WDFREQUEST Request;
    NTSTATUS Status;
    KIRQL Irql;
};
std::vector<Completion> *g_Done = nullptr;

VOID OnSent(WDFREQUEST R, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS P, WDFCONTEXT)
{
    g_Done->push_back({R, P->IoStatus.Status, KeGetCurrentIrql()});
}

class Send : public FxTest {
protected:
    HoldingTarget *Target = nullptr;
    WDFIOTARGET TargetHandle = nullptr;
    std::vector<Completion> Done;

    Send()
    {
        g_Done = &Done;
        Add(false);
        fx::Device *DevObj = fx::DeviceFromHandle(Dev, "test");
        Target = new HoldingTarget(DevObj);
        EXPECT_EQ(Target->Commit(nullptr, fx::TryLookup(Dev), "test"), STATUS_SUCCESS);
        TargetHandle = Target->HandleAs<WDFIOTARGET>();
    }
    WDFREQUEST NewRequest()
    {
        WDF_OBJECT_ATTRIBUTES A = ChildOfDevice();
        WDFREQUEST R = nullptr;
        EXPECT_EQ(WdfRequestCreate(&A, TargetHandle, &R), STATUS_SUCCESS);
        WdfRequestSetCompletionRoutine(R, OnSent, nullptr);
        return R;
    }
};

} // namespace

TEST_F(Send, Completion_RunsRoutineAtDispatchWithStatus)
{
    WDFREQUEST R = NewRequest();
    ASSERT_TRUE(WdfRequestSend(R, TargetHandle, WDF_NO_SEND_OPTIONS));
    ASSERT_EQ(Target->Held.size(), 1u);
    Target->Finish(Target->Held[0], STATUS_SUCCESS);
    ASSERT_EQ(Done.size(), 1u);
    EXPECT_EQ(Done[0].Status, STATUS_SUCCESS);
    EXPECT_EQ(Done[0].Irql, DISPATCH_LEVEL);
    EXPECT_EQ(WdfRequestGetStatus(R), STATUS_SUCCESS);
    WdfObjectDelete(R);
}

// Guards against a completion routine running for a request that was never sent.
struct RefusalCase {
    const char *Name;
    bool Stop;
    NTSTATUS TargetRefusal;
    NTSTATUS Expected;
};
class SendRefused : public Send, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(SendRefused, ReturnsFalseWithStatusAndNoCompletion)
{
    const RefusalCase c = GetParam();
    if (c.Stop) WdfIoTargetStop(TargetHandle, WdfIoTargetCancelSentIo);
    Target->Refuse = c.TargetRefusal;
    WDFREQUEST R = NewRequest();
    EXPECT_FALSE(WdfRequestSend(R, TargetHandle, WDF_NO_SEND_OPTIONS));
    EXPECT_EQ(WdfRequestGetStatus(R), c.Expected);
    Run();
    EXPECT_TRUE(Done.empty());
    WdfObjectDelete(R);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SendRefused,
    ::testing::Values(RefusalCase{"StoppedTarget", true, STATUS_PENDING, STATUS_INVALID_DEVICE_STATE},
                      RefusalCase{"TargetRefuses", false, STATUS_NO_SUCH_DEVICE, STATUS_NO_SUCH_DEVICE}),
    test_support::CaseName());

TEST_F(Send, Timeout_CancelsAndCompletesWithIoTimeout)
{
    WDFREQUEST R = NewRequest();
    WDF_REQUEST_SEND_OPTIONS O;
    WDF_REQUEST_SEND_OPTIONS_INIT(&O, 0);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&O, WDF_REL_TIMEOUT_IN_MS(500));
    ASSERT_TRUE(WdfRequestSend(R, TargetHandle, &O));
    W.Clock().AdvanceBy(499 * world::kMillisecond);
    EXPECT_TRUE(Done.empty());
    W.Clock().AdvanceBy(world::kMillisecond);
    ASSERT_EQ(Done.size(), 1u);
    EXPECT_EQ(Done[0].Status, STATUS_IO_TIMEOUT);
    WdfObjectDelete(R);
}

// Guards against a request that completes on its own after its send
// time-out fired being reported as timed out: only the cancellation the
// time-out caused becomes STATUS_IO_TIMEOUT.
TEST_F(Send, TimeoutFiredButRequestFinishedOnItsOwn_KeepsItsStatus)
{
    Target->IgnoreAbort = true;
    WDF_REQUEST_SEND_OPTIONS O;
    WDF_REQUEST_SEND_OPTIONS_INIT(&O, 0);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&O, WDF_REL_TIMEOUT_IN_MS(10));
    WDFREQUEST Failed = NewRequest(), Succeeded = NewRequest(), Cancelled = NewRequest();
    ASSERT_TRUE(WdfRequestSend(Failed, TargetHandle, &O));
    ASSERT_TRUE(WdfRequestSend(Succeeded, TargetHandle, &O));
    ASSERT_TRUE(WdfRequestSend(Cancelled, TargetHandle, &O));
    W.Clock().AdvanceBy(20 * world::kMillisecond);
    ASSERT_TRUE(Done.empty());
    Target->Finish(fx::ToRequest(Failed, "test"), STATUS_DEVICE_NOT_CONNECTED);
    Target->Finish(fx::ToRequest(Succeeded, "test"), STATUS_SUCCESS);
    Target->Finish(fx::ToRequest(Cancelled, "test"), STATUS_CANCELLED);
    ASSERT_EQ(Done.size(), 3u);
    EXPECT_EQ(Done[0].Status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Done[1].Status, STATUS_SUCCESS);
    EXPECT_EQ(Done[2].Status, STATUS_IO_TIMEOUT);
    for (WDFREQUEST R : {Failed, Succeeded, Cancelled}) WdfObjectDelete(R);
}

TEST_F(Send, CancelSentAndStopWithCancel_CompleteAsCancelled)
{
    WDFREQUEST A = NewRequest();
    WDFREQUEST B = NewRequest();
    ASSERT_TRUE(WdfRequestSend(A, TargetHandle, WDF_NO_SEND_OPTIONS));
    ASSERT_TRUE(WdfRequestSend(B, TargetHandle, WDF_NO_SEND_OPTIONS));
    EXPECT_TRUE(WdfRequestCancelSentRequest(A));
    Run();
    ASSERT_EQ(Done.size(), 1u);
    EXPECT_EQ(Done[0].Request, A);
    EXPECT_EQ(Done[0].Status, STATUS_CANCELLED);
    EXPECT_FALSE(WdfRequestCancelSentRequest(A));           // no longer sent
    WdfIoTargetStop(TargetHandle, WdfIoTargetCancelSentIo); // returns once B is back
    ASSERT_EQ(Done.size(), 2u);
    EXPECT_EQ(Done[1].Request, B);
    EXPECT_EQ(WdfIoTargetStart(TargetHandle), STATUS_SUCCESS);
    EXPECT_TRUE(WdfRequestSend(A, TargetHandle, WDF_NO_SEND_OPTIONS));
    Target->Finish(Target->Held[0], STATUS_SUCCESS);
    WdfObjectDelete(A);
    WdfObjectDelete(B);
}

TEST_F(Send, SendTwiceOrDeleteWhileSent_Reported)
{
    WDFREQUEST R = NewRequest();
    ASSERT_TRUE(WdfRequestSend(R, TargetHandle, WDF_NO_SEND_OPTIONS));
    EXPECT_FALSE(WdfRequestSend(R, TargetHandle, WDF_NO_SEND_OPTIONS));
    EXPECT_TRUE(Mentions(TakeReports(), "RequestSentTwice"));
    WdfObjectDelete(R);
    EXPECT_TRUE(Mentions(TakeReports(), "DeleteOfSentRequest"));
    Target->Finish(Target->Held[0], STATUS_SUCCESS);
    WdfObjectDelete(R);
}

// ---- objects: contexts, references, deletion order ----
namespace {
struct TEST_CONTEXT {
    int Value;
    char Pad[60];
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(TEST_CONTEXT, GetTestContext)
struct OTHER_CONTEXT {
    int Value;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(OTHER_CONTEXT, GetOtherContext)

std::vector<std::string> *g_Order = nullptr;
VOID CleanupParent(WDFOBJECT) { g_Order->push_back("parent-cleanup"); }
VOID CleanupChild(WDFOBJECT) { g_Order->push_back("child-cleanup"); }
VOID DestroyChild(WDFOBJECT) { g_Order->push_back("child-destroy"); }
} // namespace

TEST_F(Send, Contexts_ZeroFilledTypedAndMappedBack)
{
    WDF_OBJECT_ATTRIBUTES A;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&A, TEST_CONTEXT);
    A.ParentObject = Dev;
    WDFMEMORY M;
    PVOID Buf;
    ASSERT_EQ(WdfMemoryCreate(&A, NonPagedPool, 0x6D656D54U, 16, &M, &Buf), STATUS_SUCCESS);
    TEST_CONTEXT *C = GetTestContext(M);
    ASSERT_NE(C, nullptr);
    EXPECT_EQ(C->Value, 0);
    EXPECT_EQ(WdfObjectContextGetObject(C), (WDFOBJECT)M);
    EXPECT_EQ(GetOtherContext(M), nullptr);
    WDF_OBJECT_ATTRIBUTES B;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&B, OTHER_CONTEXT);
    PVOID Other;
    ASSERT_EQ(WdfObjectAllocateContext(M, &B, &Other), STATUS_SUCCESS);
    EXPECT_EQ(Other, GetOtherContext(M));
    EXPECT_NE(WdfObjectAllocateContext(M, &B, &Other), STATUS_SUCCESS);
    WdfObjectDelete(M);
}

TEST_F(Send, MemoryBuffer_FreedAsPoolIsReportedAndStaysTheObjects)
{
    // Guards: an ExFreePool of a memory object's buffer was taken, and only
    // the object's own release later reported a double free.
    WDF_OBJECT_ATTRIBUTES A = ChildOfDevice();
    WDFMEMORY M;
    PVOID Buf;
    ASSERT_EQ(WdfMemoryCreate(&A, NonPagedPool, 0x6D656D54U, 16, &M, &Buf), STATUS_SUCCESS);
    EXPECT_EQ(W.MemoryBlocksOutstanding(0x6D656D54U), 1u);
    EXPECT_EQ(W.MemoryBytesOutstanding(0x6D656D54U), 16u);
    EXPECT_EQ(W.MemoryBlocksOutstanding(0x41414141U), 0u);
    ExFreePoolWithTag(Buf, 0x6D656D54U);
    EXPECT_TRUE(Mentions(TakeReports(), "PoolFreeUnknown"));
    static_cast<UCHAR *>(Buf)[15] = 1; /* still the object's: the sanitizers see no use after free */
    WdfObjectDelete(M);
    EXPECT_TRUE(TakeReports().empty());
    EXPECT_EQ(W.MemoryBlocksOutstanding(0x6D656D54U), 0u);
    EXPECT_EQ(W.PoolBytesOutstanding(), 0u);
}

TEST_F(Send, Delete_ChildrenFirstAndReferenceKeepsMemory)
{
    std::vector<std::string> Order;
    g_Order = &Order;
    WDF_OBJECT_ATTRIBUTES A = ChildOfDevice();
    A.EvtCleanupCallback = CleanupParent;
    WDFMEMORY Parent, Child;
    PVOID Buf;
    ASSERT_EQ(WdfMemoryCreate(&A, NonPagedPool, 0x6D656D54U, 8, &Parent, &Buf), STATUS_SUCCESS);
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&A, TEST_CONTEXT);
    A.ParentObject = Parent;
    A.EvtCleanupCallback = CleanupChild;
    A.EvtDestroyCallback = DestroyChild;
    ASSERT_EQ(WdfMemoryCreate(&A, NonPagedPool, 0x6D656D54U, 8, &Child, &Buf), STATUS_SUCCESS);
    GetTestContext(Child)->Value = 42;
    WdfObjectReference(Child);
    size_t Live = W.LiveObjects();
    WdfObjectDelete(Parent);
    EXPECT_EQ(Order, (std::vector<std::string>{"child-cleanup", "parent-cleanup"}));
    EXPECT_EQ(GetTestContext(Child)->Value, 42); // still referenced
    WdfObjectDereference(Child);
    EXPECT_EQ(Order.back(), "child-destroy");
    EXPECT_EQ(W.LiveObjects(), Live - 2);

    WdfObjectDelete(Child);
    EXPECT_TRUE(Mentions(TakeReports(), "DeletedHandle"));
    WdfSpinLockAcquire((WDFSPINLOCK)Dev);
    EXPECT_TRUE(Mentions(TakeReports(), "WrongHandleType"));
}

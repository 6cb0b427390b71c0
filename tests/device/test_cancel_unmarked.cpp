// A request the application cancels while the driver holds it and has not
// yet marked it cancelable: the framework records the cancellation, never
// calls the cancel routine, and WdfRequestMarkCancelableEx reports it; the
// driver must end the request itself. The cancel lands at the driver's kit
// call, as it would from another processor (World::AtNthCall).
#include "support/TestSupport.h"

#include <functional>

namespace {

using namespace world;
using namespace test_support;

class CancelUnmarked : public PortTest {
protected:
    void SetUp() override
    {
        PortTest::SetUp();
        Start();
        Open();
    }

    // The newest operation in flight is cancelled at the driver's next call
    // of Api; Landed tells whether it was still pending there.
    bool Landed = false;
    void CancelAtNext(const char *Api)
    {
        Landed = false;
        ASSERT_TRUE(W.AtNthCall(Api, 1, [this]() {
            std::vector<OpHandle> Pending = W.PendingOperations();
            Landed = !Pending.empty() && W.Cancel(Pending.back());
        }));
    }

    void ExpectEndedOnce(const OpHandle &Op, NTSTATUS Status, ULONG_PTR Information)
    {
        EXPECT_TRUE(Landed) << "the cancel found the request pending";
        ASSERT_TRUE(Op->Completed);
        EXPECT_EQ(Op->Completions, 1);
        EXPECT_EQ(StatusName(Op->Status), StatusName(Status));
        EXPECT_EQ(Op->Information, Information);
    }

    void CloseRemoveExpectNothingLeft()
    {
        EXPECT_EQ(W.OperationsInFlight(), 0u);
        EXPECT_EQ(W.Close(H), STATUS_SUCCESS);
        RemoveAndExpectNothingLeft();
    }
};

// Each row: what is buffered before the read, its length, the kit call the
// cancel lands at, and how the read ends.
struct ReadRow {
    const char *Name;
    const char *Buffered;
    std::size_t Length;
    const char *CancelAt;
    NTSTATUS Status;
    const char *Returned;
};

const ReadRow kReadRows[] = {
    // Guards against a waiting read cancelled before its marking being left pending for ever.
    {"NothingBuffered_AtMarking", "", 10, "WdfRequestMarkCancelableEx", STATUS_CANCELLED, ""},
    // Guards against the bytes a read took before its marking being dropped by an error status.
    {"PartlyFilled_AtMarking", "abc", 10, "WdfRequestMarkCancelableEx", STATUS_SUCCESS, "abc"},
    // Guards against a read cancelled before its fill taking buffered bytes it then drops.
    {"Satisfiable_BeforeTheFill", "abcdef", 4, "WdfRequestIsCanceled", STATUS_CANCELLED, ""},
};

class CancelUnmarkedRead : public CancelUnmarked, public ::testing::WithParamInterface<ReadRow> {};

TEST_P(CancelUnmarkedRead, EndsOnceAndLaterReadsGetEveryByte)
{
    const ReadRow &Row = GetParam();
    if (*Row.Buffered != '\0') {
        Usb->SendBulkInText(Row.Buffered);
        Run();
    }
    CancelAtNext(Row.CancelAt);
    OpHandle Read = W.Read(H, Row.Length);
    Run();

    ExpectEndedOnce(Read, Row.Status, std::string(Row.Returned).size());
    if (Row.Status == STATUS_SUCCESS) {
        EXPECT_EQ(Bytes(Read->Output.begin(), Read->Output.begin() + Read->Information), Text(Row.Returned));
    }

    // Nothing is stuck: the bytes the cancelled read did not take, then new
    // ones, reach the next read.
    std::string Left = std::string(Row.Buffered).substr(std::string(Row.Returned).size());
    OpHandle Next = W.Read(H, Left.size() + 2);
    Usb->SendBulkInText("xy");
    Run();
    ASSERT_TRUE(Next->Completed);
    EXPECT_EQ(Next->Status, STATUS_SUCCESS);
    EXPECT_EQ(Next->Output, Text(Left + "xy"));
    CloseRemoveExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(Rows, CancelUnmarkedRead, ::testing::ValuesIn(kReadRows), CaseName());

// Guards against a write cancelled before its marking being started anyway,
// completed twice, or holding the write queue so the next write never goes.
TEST_F(CancelUnmarked, Write_AtMarking_EndsCancelledWithNothingSent)
{
    CancelAtNext("WdfRequestMarkCancelableEx");
    OpHandle Write = W.Write(H, Text("lost"));
    Run();

    ExpectEndedOnce(Write, STATUS_CANCELLED, 0);
    EXPECT_TRUE(Usb->BulkOutBytes().empty());

    OpHandle Next = W.Write(H, Text("sent"));
    Run();
    ASSERT_TRUE(Next->Completed);
    EXPECT_EQ(Next->Status, STATUS_SUCCESS);
    EXPECT_EQ(Usb->BulkOutBytes(), Text("sent"));
    CloseRemoveExpectNothingLeft();
}

// Guards against a wait-on-mask cancelled before its marking being left as
// the pending wait: the next wait would be refused and an event would be
// stored into the buffer of a completed request.
TEST_F(CancelUnmarked, WaitOnMask_AtMarking_EndsCancelledAndNextWaitGetsTheEvent)
{
    OpHandle Set = Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, AsBytes(ULONG(SERIAL_EV_RXCHAR)));
    ASSERT_EQ(Set->Status, STATUS_SUCCESS);
    CancelAtNext("WdfRequestMarkCancelableEx");
    OpHandle Wait = W.DeviceIoControl(H, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    Run();

    ExpectEndedOnce(Wait, STATUS_CANCELLED, 0);

    OpHandle Next = W.DeviceIoControl(H, IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
    Run();
    EXPECT_FALSE(Next->Completed) << "refused as if a wait were still pending";
    Usb->SendBulkInText("e");
    Run();
    ASSERT_TRUE(Next->Completed);
    EXPECT_EQ(Next->Status, STATUS_SUCCESS);
    EXPECT_EQ(U32At(Next->Output, 0), ULONG(SERIAL_EV_RXCHAR));
    CloseRemoveExpectNothingLeft();
}

} // namespace

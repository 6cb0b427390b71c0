/*
 * test_control_waitmask.cpp - SET_WAIT_MASK / WAIT_ON_MASK: the pending
 * wait, events gathered before it, and its completion or cancellation by
 * the application, by close and by release of the hardware.
 */
#include "test_control_fixture.h"

namespace control_test {
namespace {

class WaitMask : public ControlFixture {
public:
    void SetUp() override { Bring(); }

    /* Wait is still pending, and the next break event completes it. */
    void ExpectBreakCompletes(const OpHandle &Wait)
    {
        EXPECT_FALSE(Wait->Completed);
        Interrupt(SerialState(0x04));
        ExpectWaitResult(Wait, SERIAL_EV_BREAK);
    }
};

TEST_F(WaitMask, Refusals_MaskZeroOrWaitPending)
{
    ExpectDone(WaitOnMask(), STATUS_INVALID_PARAMETER, 0); /* mask 0 after open */
    SetWaitMask(0x1FFF);
    EXPECT_EQ(QueryUlong(IOCTL_SERIAL_GET_WAIT_MASK), 0x1FFFu);
    OpHandle First = WaitFor(SERIAL_EV_RXCHAR);
    ExpectDone(WaitOnMask(), STATUS_INVALID_PARAMETER, 0);
    EXPECT_FALSE(First->Completed);
    Usb->SendBulkInText("a");
    Settle();
    ExpectWaitResult(First, SERIAL_EV_RXCHAR);
}

TEST_F(WaitMask, SetWaitMask_CompletesPendingWaitWithZero)
{
    OpHandle Wait = WaitFor(SERIAL_EV_RXCHAR);
    SetWaitMask(SERIAL_EV_CTS);
    ExpectWaitResult(Wait, 0);
    OpHandle Next = WaitOnMask();
    Interrupt(SerialState(0x01));
    ExpectWaitResult(Next, SERIAL_EV_CTS);
}

TEST_F(WaitMask, EventsBeforeWait_KeptPerMaskBit)
{
    SetWaitMask(SERIAL_EV_BREAK | SERIAL_EV_ERR);
    Interrupt(SerialState(0x04 | 0x10));
    SetWaitMask(SERIAL_EV_ERR); /* the break goes with its bit */
    ExpectWaitResult(WaitOnMask(), SERIAL_EV_ERR);
    OpHandle Wait = WaitFor(SERIAL_EV_BREAK | SERIAL_EV_ERR); /* reported once: this one waits */
    ExpectBreakCompletes(Wait);
}

TEST_F(WaitMask, Cancel_CompletesCancelledAndLaterEventsGoToNextWait)
{
    OpHandle Wait = WaitFor(SERIAL_EV_RXCHAR);
    EXPECT_TRUE(W.Cancel(Wait));
    Settle();
    ExpectDone(Wait, STATUS_CANCELLED, 0);
    Usb->SendBulkInText("c");
    Settle();
    OpHandle Next = WaitOnMask();
    EXPECT_FALSE(Next->Completed);
    Usb->SendBulkInText("d");
    Settle();
    ExpectWaitResult(Next, SERIAL_EV_RXCHAR);
}

TEST_F(WaitMask, CancelRacingCompletion_CompletesExactlyOnce)
{
    /* Every interleaving of the event, its DPC and the cancel step. */
    for (int Steps = 0; Steps < 6; Steps++) {
        SCOPED_TRACE(Steps);
        OpHandle Wait = WaitFor(SERIAL_EV_BREAK);
        Usb->SendInterrupt(SerialState(0x04));
        for (int I = 0; I < Steps; I++) {
            W.Clock().RunOne();
        }
        W.Cancel(Wait);
        Settle();
        ASSERT_TRUE(Wait->Completed);
        if (Wait->Status == STATUS_SUCCESS) {
            ExpectWaitResult(Wait, SERIAL_EV_BREAK);
        } else {
            ExpectDone(Wait, STATUS_CANCELLED, 0);
        }
        /* A stale completion DPC never completes the next wait. */
        OpHandle Next = WaitFor(SERIAL_EV_BREAK);
        Settle();
        ExpectBreakCompletes(Next);
    }
}

TEST_F(WaitMask, TransmitEmpty_CompletesWaitAfterLastWrite)
{
    OpHandle Wait = WaitFor(SERIAL_EV_TXEMPTY);
    OpHandle Write = W.Write(H, Bytes{'h', 'i'});
    Settle();
    ExpectDone(Write, STATUS_SUCCESS, 2);
    ExpectWaitResult(Wait, SERIAL_EV_TXEMPTY);
    EXPECT_FALSE(WaitOnMask()->Completed); /* never kept */
}

TEST_F(WaitMask, CloseAndReleaseHardware_CancelPendingWait)
{
    OpHandle Wait = WaitFor(SERIAL_EV_RXCHAR);
    ASSERT_EQ(W.Close(H), STATUS_SUCCESS);
    Settle();
    ExpectDone(Wait, STATUS_CANCELLED, 0);
    ASSERT_EQ(W.Open(u"COM5", &H), STATUS_SUCCESS);
    ExpectDone(WaitOnMask(), STATUS_INVALID_PARAMETER, 0); /* mask reset by the open */

    Wait = WaitFor(SERIAL_EV_BREAK);
    W.SystemSleep(); /* a power-down keeps it */
    W.SystemResume();
    Settle();
    EXPECT_FALSE(Wait->Completed);
    /* Result handed over, DPC not yet run, then the release flushes it. */
    Usb->SendInterrupt(SerialState(0x04));
    W.Clock().RunOne();
    ASSERT_EQ(W.StopDevice(Node), STATUS_SUCCESS);
    Settle();
    ASSERT_TRUE(Wait->Completed);
    EXPECT_TRUE(Wait->Status == STATUS_SUCCESS || Wait->Status == STATUS_CANCELLED) << world::StatusName(Wait->Status);
}

TEST_F(WaitMask, StaleCompletionDpc_LeavesNextWaitAlone)
{
    /* Guards a completion DPC queued for a cancelled wait completing its successor. */
    OpHandle First = WaitFor(SERIAL_EV_BREAK);
    W.Cancel(First);
    OpHandle Set = Ioctl(IOCTL_SERIAL_SET_WAIT_MASK, Le32(SERIAL_EV_BREAK), 0, false); /* queues the DPC */
    while (!First->Completed && W.Clock().RunOne()) {}
    ASSERT_EQ(First->Status, STATUS_CANCELLED) << "the DPC ran first: nothing stale to test";
    OpHandle Second = Ioctl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4, false);
    Settle();
    ExpectDone(Set, STATUS_SUCCESS, 4);
    ExpectBreakCompletes(Second);
}

TEST_F(WaitMask, ReleaseHardware_CancelsWaitingWait)
{
    OpHandle Wait = WaitFor(SERIAL_EV_RXCHAR);
    ASSERT_EQ(W.StopDevice(Node), STATUS_SUCCESS);
    Settle();
    ExpectDone(Wait, STATUS_CANCELLED, 0);
}

TEST_F(WaitMask, RemovalWithWaitPending_NothingLeaks)
{
    OpHandle Pending = WaitFor(SERIAL_EV_RXCHAR);
    ExpectCleanRemoval();
    EXPECT_TRUE(Pending->Completed);
}

} // namespace
} // namespace control_test

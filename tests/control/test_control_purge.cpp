/*
 * test_control_purge.cpp - IOCTL_SERIAL_PURGE: flag validation and the
 * effect of each flag on reads, writes, buffered bytes and a pending wait.
 */
#include "test_control_fixture.h"

namespace control_test {
namespace {

class Purge : public ControlFixture {
public:
    void SetUp() override { Bring(); }
    OpHandle PurgeWith(std::uint32_t Flags) { return Ioctl(IOCTL_SERIAL_PURGE, Le32(Flags)); }
    std::uint32_t Buffered() { return U32At(Query(IOCTL_SERIAL_GET_COMMSTATUS, 20), 8); }
};

TEST_F(Purge, Flags_ValidatedOnTheFourPurgeBits)
{
    for (std::uint32_t Flags : {0x00u, 0x10u, 0xFFFFFFF0u}) {
        ExpectDone(PurgeWith(Flags), STATUS_INVALID_PARAMETER, 0);
    }
    for (std::uint32_t Flags : {0x01u, 0x11u, 0x04u, 0x0Fu, 0xFFFFFFFFu}) {
        ExpectDone(PurgeWith(Flags), STATUS_SUCCESS, 4);
    }
}

TEST_F(Purge, RxAbort_CancelsReadsOnlyAndLaterReadsWork)
{
    OpHandle Reads[] = {W.Read(H, 10), W.Read(H, 10), W.Read(H, 10)};
    Usb->QueueBulkOutAnswer({world::Answer::Accept, 200 * world::kMillisecond});
    OpHandle Write = W.Write(H, Bytes(3, 'w'));
    Usb->SendBulkInText("abc"); /* the current read holds 3 of 10 */
    Settle(50 * world::kMillisecond);
    ExpectDone(PurgeWith(SERIAL_PURGE_RXABORT), STATUS_SUCCESS, 4);
    for (const OpHandle &Read : Reads) {
        ASSERT_TRUE(Read->Completed);
        EXPECT_EQ(Read->Status, STATUS_CANCELLED) << world::StatusName(Read->Status);
    }
    EXPECT_FALSE(Write->Completed);
    Settle(300 * world::kMillisecond);
    ExpectDone(Write, STATUS_SUCCESS, 3);
    OpHandle After = W.Read(H, 2);
    Usb->SendBulkInText("xy");
    Settle();
    ExpectDone(After, STATUS_SUCCESS, 2);
    EXPECT_EQ(After->Output, (Bytes{'x', 'y'}));
}

TEST_F(Purge, RxClear_DiscardsBufferedBytesTxClearNothing)
{
    Usb->SendBulkIn(Bytes(100, 'o'));
    Settle();
    ExpectDone(PurgeWith(SERIAL_PURGE_TXCLEAR), STATUS_SUCCESS, 4);
    EXPECT_EQ(Buffered(), 100u);
    ExpectDone(PurgeWith(SERIAL_PURGE_RXCLEAR), STATUS_SUCCESS, 4);
    EXPECT_EQ(Buffered(), 0u);
    Usb->SendBulkInText("new");
    OpHandle Read = W.Read(H, 3);
    Settle();
    ExpectDone(Read, STATUS_SUCCESS, 3);
    EXPECT_EQ(Read->Output, (Bytes{'n', 'e', 'w'}));
}

TEST_F(Purge, TxAbort_CancelsWritesLaterWritesWork)
{
    Usb->QueueBulkOutAnswer({world::Answer::Never});
    OpHandle Stuck = W.Write(H, Bytes(10, 'w'));
    OpHandle Queued = W.Write(H, Bytes(5, 'q'));
    Settle();
    ExpectDone(PurgeWith(SERIAL_PURGE_TXABORT), STATUS_SUCCESS, 4);
    Settle();
    for (const OpHandle &Write : {Stuck, Queued}) {
        ASSERT_TRUE(Write->Completed);
        EXPECT_EQ(Write->Status, STATUS_CANCELLED) << world::StatusName(Write->Status);
    }
    OpHandle Later = W.Write(H, Bytes{'o', 'k'});
    Settle();
    ExpectDone(Later, STATUS_SUCCESS, 2);
    const Bytes Wire = Usb->BulkOutBytes();
    EXPECT_EQ(Bytes(Wire.end() - 2, Wire.end()), (Bytes{'o', 'k'}));
}

TEST_F(Purge, AllFlags_LeavePendingWaitAndMask)
{
    OpHandle Wait = WaitFor(SERIAL_EV_RXCHAR);
    OpHandle Read = W.Read(H, 4);
    Settle();
    ExpectDone(PurgeWith(0xF), STATUS_SUCCESS, 4);
    EXPECT_EQ(Read->Status, STATUS_CANCELLED);
    EXPECT_FALSE(Wait->Completed);
    Usb->SendBulkInText("z");
    Settle();
    ExpectWaitResult(Wait, SERIAL_EV_RXCHAR);
}

} // namespace
} // namespace control_test

// The device model's transfer log in a long run: a bounded window of the
// latest transfers, with every transfer and every accepted bulk-OUT byte
// still counted.
#include "support/TestSupport.h"

using namespace test_support;

namespace {

class TransferLog : public PortTest {};

// Guards: a log that kept every transfer grew without bound in long runs;
// one that dropped records must not drop the newest or lose the counts.
TEST_F(TransferLog, Window_KeepsTheLatestAndCountsEveryTransfer)
{
    world::CdcAcmOptions Options;
    Options.TransferLogWindow = 8;
    Start(Options);
    Open();
    const std::uint64_t Before = Usb->TransfersRecorded();
    for (int I = 0; I < 40; ++I) {
        OpHandle Op = Ioctl(I % 2 == 0 ? IOCTL_SERIAL_SET_DTR : IOCTL_SERIAL_CLR_DTR);
        ASSERT_EQ(Op->Status, STATUS_SUCCESS);
    }
    OpHandle Write = W.Write(H, Text("0123456789"));
    Run();
    ASSERT_EQ(Write->Status, STATUS_SUCCESS);

    const auto &Log = Usb->Transfers();
    EXPECT_GE(Log.size(), 8u);
    EXPECT_LT(Log.size(), 16u);
    EXPECT_GE(Usb->TransfersRecorded(), Before + 41);
    // The window ends with the newest transfer and its ids run on without gaps.
    EXPECT_EQ(Log.back().Id, Usb->TransfersRecorded());
    for (std::size_t I = 1; I < Log.size(); ++I) EXPECT_EQ(Log[I].Id, Log[I - 1].Id + 1);
    EXPECT_EQ(Usb->BulkOutBytesAccepted(), 10u);
    EXPECT_EQ(Usb->BulkOutBytes(), Text("0123456789"));
}

} // namespace

// A device with an interrupt-OUT endpoint beside (or instead of) the
// interrupt-IN notification endpoint: the port takes only interrupt-IN for
// notifications, never reads or writes the OUT pipe, and works.
#include <gtest/gtest.h>

#include "support/TestSupport.h"

#include <ntddk.h>
#include <ntddser.h>

using namespace world;
using namespace test_support;

namespace {

constexpr std::uint8_t kInterruptOut = 0x03; // the first OUT number after bulk-OUT 0x02
constexpr std::uint8_t kSetLineCoding = 0x20;
constexpr ULONG kDcd = 0x80; // SERIAL_DCD_STATE in GET_MODEMSTATUS

struct InterruptOutCase {
    const char *Name;
    int Interfaces;
    bool InterruptIn;
};

class UsbInterruptOut : public PortTest, public ::testing::WithParamInterface<InterruptOutCase> {
protected:
    std::size_t TransfersOn(std::uint8_t Endpoint) const
    {
        std::size_t N = 0;
        for (const auto &t : Usb->Transfers()) N += t.Endpoint == Endpoint;
        return N;
    }
};

// Guards against the interrupt-OUT pipe, enumerated after interrupt-IN,
// being taken as the notification pipe: its continuous reader would fail
// and SERIAL_STATE would never be heard.
TEST_P(UsbInterruptOut, Start_NotificationsOnlyFromInterruptInAndDataPipesWork)
{
    const InterruptOutCase c = GetParam();
    CdcAcmOptions options;
    options.Interfaces = c.Interfaces;
    options.InterruptEndpoint = c.InterruptIn;
    options.ExtraInterruptOut = 1;
    Start(options);
    ASSERT_EQ(Node->StartStatus, STATUS_SUCCESS);
    EXPECT_EQ(Usb->OutstandingIn(Usb->InterruptAddress()), c.InterruptIn ? 1u : 0u);
    EXPECT_EQ(Usb->OutstandingIn(Usb->BulkInAddress()), 1u);
    Open();
    ReadsReturnAtOnce();

    auto baud = Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, AsBytes(ULONG{115200}));
    EXPECT_EQ(baud->Status, STATUS_SUCCESS);
    std::size_t coding = 0;
    for (const auto &t : Usb->ClassRequests()) coding += t.Setup.bRequest == kSetLineCoding;
    EXPECT_EQ(coding, c.InterruptIn ? 1u : 0u) << "without notifications the line settings stay local";

    Usb->SendSerialState(0x0001); // DCD
    Run();
    auto modem = Ioctl(IOCTL_SERIAL_GET_MODEMSTATUS, {}, sizeof(ULONG));
    ASSERT_EQ(modem->Status, STATUS_SUCCESS);
    EXPECT_EQ((FromBytes<ULONG>(modem->Output) & kDcd) != 0, c.InterruptIn);

    auto write = W.Write(H, Bytes{0x41, 0x42});
    Usb->SendBulkIn(Bytes{0x43});
    Run();
    auto read = W.Read(H, 1);
    Run();
    EXPECT_EQ(write->Status, STATUS_SUCCESS);
    EXPECT_EQ(Usb->BulkOutBytes(), (Bytes{0x41, 0x42}));
    ASSERT_TRUE(read->Completed);
    EXPECT_EQ(read->Output, (Bytes{0x43}));

    EXPECT_EQ(TransfersOn(kInterruptOut), 0u) << "the interrupt-OUT pipe is never used";
    ASSERT_EQ(W.Close(H), STATUS_SUCCESS);
    H = 0;
    RemoveAndExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(Table, UsbInterruptOut,
                         ::testing::Values(InterruptOutCase{"BesideInterruptInTwoInterfaces", 2, true},
                                           InterruptOutCase{"BesideInterruptInOneInterface", 1, true},
                                           InterruptOutCase{"InsteadOfInterruptIn", 2, false}),
                         test_support::CaseName());

} // namespace

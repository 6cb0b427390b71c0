/*
 * test_control_cdc.cpp - line settings sent to a device with the
 * notification endpoint as CDC class requests: the exact bytes on the
 * wire, storing only what the device accepted, failures and the time-out.
 */
#include "test_control_fixture.h"

namespace control_test {
namespace {

constexpr ULONG kIoctlPoolTag = 0x4C434F49; /* 'IOCL' */

class CdcRequests : public ControlFixture {
public:
    void SetUp() override
    {
        world::CdcAcmOptions Options;
        Options.CommInterfaceNumber = 2; /* so wIndex shows the interface */
        Options.DataInterfaceNumber = 3;
        Bring(Options);
    }

    /* Checks the one class request sent since the last call; returns its data. */
    Bytes ExpectSent(std::uint8_t Request, std::uint16_t Value, std::uint16_t Length)
    {
        std::vector<world::TransferRecord> All = Usb->ClassRequests();
        EXPECT_EQ(All.size(), Seen + 1);
        Seen = All.size();
        if (All.empty()) {
            return {};
        }
        const world::SetupPacket &S = All.back().Setup;
        EXPECT_EQ(S.bmRequestType, 0x21);
        EXPECT_EQ(S.bRequest, Request);
        EXPECT_EQ(S.wValue, Value);
        EXPECT_EQ(S.wIndex, 2);
        EXPECT_EQ(S.wLength, Length);
        return All.back().Data;
    }

    std::size_t Seen = 0;
};

TEST_F(CdcRequests, LineCoding_RateAndFormatWithStoredOther)
{
    ExpectDone(Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, Le32(115200)), STATUS_SUCCESS, 4);
    /* The initial format: one stop bit, even parity, 5 data bits. */
    EXPECT_EQ(ExpectSent(0x20, 0, 7), (Bytes{0x00, 0xC2, 0x01, 0x00, 0x00, 0x02, 0x05}));
    ExpectDone(Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, Le32(9600)), STATUS_SUCCESS, 4);
    ExpectSent(0x20, 0, 7);
    ExpectDone(Ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, Bytes{2, 0, 8}), STATUS_SUCCESS, 3);
    EXPECT_EQ(ExpectSent(0x20, 0, 7), (Bytes{0x80, 0x25, 0x00, 0x00, 0x02, 0x00, 0x08}));
    ExpectDone(Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, Le32(0)), STATUS_SUCCESS, 4);
    EXPECT_EQ(ExpectSent(0x20, 0, 7), (Bytes{0, 0, 0, 0, 0x02, 0x00, 0x08}));
    EXPECT_EQ(QueryUlong(IOCTL_SERIAL_GET_BAUD_RATE), 0u);
    EXPECT_EQ(Query(IOCTL_SERIAL_GET_LINE_CONTROL, 3), (Bytes{2, 0, 8}));
    EXPECT_EQ(W.PoolBlocksOutstanding(kIoctlPoolTag), 0u);
}

TEST_F(CdcRequests, ControlLinesAndBreak_OtherLineTakesStoredState)
{
    struct Step {
        ULONG Code;
        std::uint8_t Request;
        std::uint16_t Value;
        std::uint32_t DtrRts; /* afterwards */
    };
    const Step Steps[] = {
        {IOCTL_SERIAL_CLR_RTS, 0x22, 0x0000, 0x0},      {IOCTL_SERIAL_SET_RTS, 0x22, 0x0002, 0x2},
        {IOCTL_SERIAL_SET_DTR, 0x22, 0x0003, 0x3},      {IOCTL_SERIAL_CLR_RTS, 0x22, 0x0001, 0x1},
        {IOCTL_SERIAL_SET_RTS, 0x22, 0x0003, 0x3},      {IOCTL_SERIAL_CLR_DTR, 0x22, 0x0002, 0x2},
        {IOCTL_SERIAL_SET_BREAK_ON, 0x23, 0xFFFF, 0x2}, {IOCTL_SERIAL_SET_BREAK_OFF, 0x23, 0x0000, 0x2},
    };
    for (const Step &S : Steps) {
        SCOPED_TRACE(S.Value);
        ExpectDone(Ioctl(S.Code), STATUS_SUCCESS, 0);
        ExpectSent(S.Request, S.Value, 0);
        EXPECT_EQ(QueryUlong(IOCTL_SERIAL_GET_DTRRTS), S.DtrRts);
    }
    EXPECT_FALSE(Usb->BreakActive());
}

TEST_F(CdcRequests, Refusals_FailAndKeepStoredSettings)
{
    Usb->QueueControlAnswer({world::Answer::Accept, 300 * world::kMillisecond});
    OpHandle Slow = Ioctl(IOCTL_SERIAL_SET_RTS, {}, 0, false);
    Settle();
    EXPECT_FALSE(Slow->Completed);
    EXPECT_EQ(QueryUlong(IOCTL_SERIAL_GET_DTRRTS), 0u) << "stored before the device accepted";
    Settle(300 * world::kMillisecond);
    ExpectDone(Slow, STATUS_SUCCESS, 0);

    const std::pair<ULONG, Bytes> Codes[] = {
        {IOCTL_SERIAL_SET_BAUD_RATE, Le32(38400)},
        {IOCTL_SERIAL_SET_LINE_CONTROL, Bytes{2, 1, 7}},
        {IOCTL_SERIAL_SET_DTR, {}},
        {IOCTL_SERIAL_CLR_RTS, {}},
    };
    for (const auto &[Code, Input] : Codes) {
        SCOPED_TRACE(Code);
        for (world::Answer Kind : {world::Answer::Stall, world::Answer::Fail}) {
            Usb->QueueControlAnswer({Kind, 0, 0, USBD_STATUS_DEV_NOT_RESPONDING});
            OpHandle Op = Ioctl(Code, Input);
            ASSERT_TRUE(Op->Completed);
            EXPECT_FALSE(NT_SUCCESS(Op->Status));
            EXPECT_EQ(Op->Information, 0u);
        }
    }
    W.FailNthCall("WdfRequestCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    ExpectDone(Ioctl(IOCTL_SERIAL_SET_DTR), STATUS_INSUFFICIENT_RESOURCES, 0);
    W.FailNthCall("WdfMemoryCreate", 1, STATUS_INSUFFICIENT_RESOURCES);
    ExpectDone(Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, Le32(9600)), STATUS_INSUFFICIENT_RESOURCES, 0);
    W.ClearFaults();

    EXPECT_EQ(QueryUlong(IOCTL_SERIAL_GET_BAUD_RATE), 2400u);
    EXPECT_EQ(Query(IOCTL_SERIAL_GET_LINE_CONTROL, 3), (Bytes{0, 2, 5}));
    EXPECT_EQ(QueryUlong(IOCTL_SERIAL_GET_DTRRTS), 0x2u);
    EXPECT_EQ(W.PoolBlocksOutstanding(kIoctlPoolTag), 0u);
}

TEST_F(CdcRequests, SilentDevice_TimesOutAfterFiveSeconds)
{
    Usb->QueueControlAnswer({world::Answer::Never});
    const world::VirtualTime Sent = W.Clock().Now();
    OpHandle Op = Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, Le32(115200), 0, false);
    Settle(4900 * world::kMillisecond);
    EXPECT_FALSE(Op->Completed);
    Settle(200 * world::kMillisecond);
    ExpectDone(Op, STATUS_IO_TIMEOUT, 0);
    EXPECT_GE(Op->CompletedAt - Sent, 5 * world::kSecond);
    EXPECT_EQ(QueryUlong(IOCTL_SERIAL_GET_BAUD_RATE), 2400u);
}

TEST_F(CdcRequests, ShortLineBuffers_NothingSent)
{
    ExpectDone(Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, Bytes(3, 1)), STATUS_BUFFER_TOO_SMALL, 0);
    ExpectDone(Ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, Bytes(2, 1)), STATUS_BUFFER_TOO_SMALL, 0);
    EXPECT_TRUE(Usb->ClassRequests().empty());
}

TEST_F(CdcRequests, RemovalWithRequestOutstanding_NothingLeaks)
{
    Usb->QueueControlAnswer({world::Answer::Never});
    OpHandle Pending = Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, Le32(300));
    EXPECT_FALSE(Pending->Completed);
    ExpectCleanRemoval();
    EXPECT_TRUE(Pending->Completed);
}

} // namespace
} // namespace control_test

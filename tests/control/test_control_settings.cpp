/*
 * test_control_settings.cpp - the control-code dispatcher and the stored
 * port settings on a device without the notification endpoint, where line
 * settings are only stored: records, validation, buffer checks, refusals.
 */
#include "test_control_fixture.h"

#include <usbioctl.h>

namespace control_test {
namespace {

class PortSettings : public ControlFixture {
public:
    void SetUp() override
    {
        world::CdcAcmOptions Options;
        Options.InterruptEndpoint = false;
        Bring(Options);
    }
    std::uint32_t RxQueueSize() { return U32At(Query(IOCTL_SERIAL_GET_PROPERTIES, 64), 48); }
    std::uint32_t Buffered() { return U32At(Query(IOCTL_SERIAL_GET_COMMSTATUS, 20), 8); }
};

TEST_F(PortSettings, LocalSettings_InitialValuesThenStoredAsGiven)
{
    EXPECT_EQ(QueryUlong(IOCTL_SERIAL_GET_BAUD_RATE), 2400u);
    EXPECT_EQ(Query(IOCTL_SERIAL_GET_LINE_CONTROL, 3), (Bytes{0, 2, 5}));
    EXPECT_EQ(Query(IOCTL_SERIAL_GET_HANDFLOW, 16), Concat({Le32(0), Le32(0x40), Le32(17), Le32(19)}));
    EXPECT_EQ(Query(IOCTL_SERIAL_GET_CHARS, 6), Bytes(6, 0));

    ExpectDone(Ioctl(IOCTL_SERIAL_SET_BAUD_RATE, Le32(115200)), STATUS_SUCCESS, 0);
    EXPECT_EQ(QueryUlong(IOCTL_SERIAL_GET_BAUD_RATE), 115200u);
    ExpectDone(Ioctl(IOCTL_SERIAL_SET_LINE_CONTROL, Bytes{9, 7, 42}), STATUS_SUCCESS, 0); /* unvalidated */
    EXPECT_EQ(Query(IOCTL_SERIAL_GET_LINE_CONTROL, 3), (Bytes{9, 7, 42}));
    const Bytes Chars{0x1A, 0, 0, 0x7E, 0x11, 0x11}; /* XonChar == XoffChar is fine */
    ExpectDone(Ioctl(IOCTL_SERIAL_SET_CHARS, Chars), STATUS_SUCCESS, 0);
    EXPECT_EQ(Query(IOCTL_SERIAL_GET_CHARS, 6), Chars);
    const Bytes Timeouts = Concat({Le32(0xFFFFFFFF), Le32(0xFFFFFFFF), Le32(0xFFFFFFFF), Le32(4), Le32(5)});
    ExpectDone(Ioctl(IOCTL_SERIAL_SET_TIMEOUTS, Timeouts), STATUS_SUCCESS, 20);
    EXPECT_EQ(Query(IOCTL_SERIAL_GET_TIMEOUTS, 20), Timeouts);
    ExpectDone(Ioctl(IOCTL_SERIAL_SET_BREAK_ON), STATUS_SUCCESS, 0);
    ExpectDone(Ioctl(IOCTL_SERIAL_SET_BREAK_OFF), STATUS_SUCCESS, 0);
    EXPECT_TRUE(Usb->ClassRequests().empty());
}

TEST_F(PortSettings, DtrRts_TrackedInModemStatus)
{
    const std::pair<ULONG, std::uint32_t> Steps[] = {
        {IOCTL_SERIAL_SET_DTR, 0x1}, {IOCTL_SERIAL_SET_RTS, 0x3}, {IOCTL_SERIAL_CLR_DTR, 0x2},
        {IOCTL_SERIAL_SET_DTR, 0x3}, {IOCTL_SERIAL_CLR_RTS, 0x1}, {IOCTL_SERIAL_CLR_DTR, 0x0},
    };
    for (const auto &[Code, Lines] : Steps) {
        ExpectDone(Ioctl(Code), STATUS_SUCCESS, 0);
        EXPECT_EQ(ModemStatus(), Lines);
        EXPECT_EQ(QueryUlong(IOCTL_SERIAL_GET_DTRRTS), Lines);
    }
}

TEST_F(PortSettings, SetHandFlow_ValidatesEachRule)
{
    struct Case {
        std::uint32_t Control, Flow, Xon, Xoff;
        bool Valid;
    };
    const Case Cases[] = {
        {0x01, 0x40, 0, 0, true},
        {0x80000079, 0x800000DF, 100, 200, true}, /* every valid bit */
        {0x04, 0x40, 17, 19, false},              /* SERIAL_CONTROL_INVALID bits */
        {0x40000000, 0x40, 17, 19, false},
        {0x00, 0x20, 17, 19, false}, /* SERIAL_FLOW_INVALID bits */
        {0x00, 0x10000000, 17, 19, false},
        {0x03, 0x40, 17, 19, false},         /* DTR field 3 */
        {0x00, 0x40, 0xFFFFFFFF, 19, false}, /* negative limits */
        {0x00, 0x40, 17, 0x80000000, false},
    };
    Bytes Stored = Query(IOCTL_SERIAL_GET_HANDFLOW, 16);
    for (const Case &C : Cases) {
        SCOPED_TRACE(C.Control);
        Bytes Record = Concat({Le32(C.Control), Le32(C.Flow), Le32(C.Xon), Le32(C.Xoff)});
        ExpectDone(Ioctl(IOCTL_SERIAL_SET_HANDFLOW, Record), C.Valid ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER,
                   C.Valid ? 16 : 0);
        Stored = C.Valid ? Record : Stored;
        EXPECT_EQ(Query(IOCTL_SERIAL_GET_HANDFLOW, 16), Stored);
    }
}

TEST_F(PortSettings, SetQueueSize_AppliesOnlyInRange)
{
    const std::pair<std::uint32_t, std::uint32_t> Cases[] = {
        {200000, 8192}, {63, 8192},       {128001, 8192}, /* out of range: success, no effect */
        {8192, 8192},   {64, 8192},                       /* a ring of one packet could never take a block */
        {65, 65},       {128000, 128000}, {4096, 4096},
    };
    for (const auto &[InSize, Size] : Cases) {
        SCOPED_TRACE(InSize);
        ExpectDone(Ioctl(IOCTL_SERIAL_SET_QUEUE_SIZE, Concat({Le32(InSize), Le32(12345)})), STATUS_SUCCESS, 8);
        EXPECT_EQ(RxQueueSize(), Size);
    }
}

TEST_F(PortSettings, SetQueueSize_NotEnoughRoom_FailsAndKeepsBytes)
{
    Bytes Data(5000);
    for (std::size_t I = 0; I < Data.size(); I++) {
        Data[I] = std::uint8_t(I * 7 + 3);
    }
    Usb->SendBulkIn(Data);
    Settle();
    ASSERT_EQ(Buffered(), 5000u);
    /* 5000 does not fit either: one slot always stays free. */
    for (std::uint32_t InSize : {4096u, 5000u}) {
        ExpectDone(Ioctl(IOCTL_SERIAL_SET_QUEUE_SIZE, Concat({Le32(InSize), Le32(0)})), STATUS_INSUFFICIENT_RESOURCES,
                   0);
    }
    W.FailNthCall("ExAllocatePoolWithTag", 1, STATUS_INSUFFICIENT_RESOURCES);
    ExpectDone(Ioctl(IOCTL_SERIAL_SET_QUEUE_SIZE, Concat({Le32(7000), Le32(0)})), STATUS_INSUFFICIENT_RESOURCES, 0);
    W.ClearFaults();
    EXPECT_EQ(RxQueueSize(), 8192u);

    ExpectDone(Ioctl(IOCTL_SERIAL_SET_QUEUE_SIZE, Concat({Le32(6000), Le32(0)})), STATUS_SUCCESS, 8);
    EXPECT_EQ(RxQueueSize(), 6000u);
    OpHandle Read = W.Read(H, 5000);
    Settle();
    ExpectDone(Read, STATUS_SUCCESS, 5000);
    EXPECT_EQ(Read->Output, Data);
}

TEST_F(PortSettings, StatusRecords_ReportFixedAndBufferedValues)
{
    Usb->SendBulkIn(Bytes(100, 0x55));
    Settle();
    EXPECT_EQ(Query(IOCTL_SERIAL_GET_COMMSTATUS, 20), Concat({Le32(0), Le32(0), Le32(100), Le32(0), Le32(0)}));
    EXPECT_EQ(Query(IOCTL_SERIAL_GET_STATS, 24), Bytes(24, 0));
    ExpectDone(Ioctl(IOCTL_SERIAL_CLEAR_STATS), STATUS_SUCCESS, 0);
    EXPECT_EQ(QueryUlong(IOCTL_SERIAL_CONFIG_SIZE), 0u);
    /* SERIAL_COMMPROP; the queue maxima are the bulk packet sizes. */
    const Bytes Expected = Concat({Bytes{64, 0, 2, 0}, Le32(1), Le32(0), Le32(64), Le32(64), Le32(0x10000000), Le32(1),
                                   Le32(0xFF), Le32(0x7F), Le32(0x1007FFFB), Bytes{0x0F, 0, 0x05, 0x1F}, Le32(0),
                                   Le32(8192), Le32(0), Le32(0), Le32(0)});
    EXPECT_EQ(Query(IOCTL_SERIAL_GET_PROPERTIES, 64), Expected);
}

TEST_F(PortSettings, NoOpAndRefusedCodes)
{
    const ULONG Accepted[] = {
        IOCTL_SERIAL_IMMEDIATE_CHAR,    IOCTL_SERIAL_RESET_DEVICE,      IOCTL_SERIAL_SET_XOFF,
        IOCTL_SERIAL_SET_XON,           IOCTL_SERIAL_XOFF_COUNTER,      IOCTL_SERIAL_LSRMST_INSERT,
        IOCTL_SERIAL_GET_MODEM_CONTROL, IOCTL_SERIAL_SET_MODEM_CONTROL, IOCTL_SERIAL_SET_FIFO_CONTROL,
    };
    for (ULONG Code : Accepted) {
        SCOPED_TRACE(Code);
        ExpectDone(Ioctl(Code), STATUS_SUCCESS, 0); /* no buffer is fetched */
        ExpectDone(Ioctl(Code, Le32(1), 4), STATUS_SUCCESS, 0);
    }
    const ULONG Refused[] = {
        IOCTL_SERIAL_GET_COMMCONFIG,
        IOCTL_SERIAL_SET_COMMCONFIG,
        CTL_CODE(FILE_DEVICE_SERIAL_PORT, 40, METHOD_BUFFERED, FILE_ANY_ACCESS),
        CTL_CODE(FILE_DEVICE_SERIAL_PORT, 1, METHOD_NEITHER, FILE_ANY_ACCESS),
        CTL_CODE(FILE_DEVICE_USB, 258, METHOD_BUFFERED, FILE_ANY_ACCESS),
        IOCTL_SERENUM_GET_PORT_NAME,
    };
    for (ULONG Code : Refused) {
        SCOPED_TRACE(Code);
        ExpectDone(Ioctl(Code, Le32(115200), 64), STATUS_INVALID_PARAMETER, 0);
    }
    EXPECT_EQ(QueryUlong(IOCTL_SERIAL_GET_BAUD_RATE), 2400u);
}

TEST_F(PortSettings, ShortBuffers_FrameworkStatusAndNothingChanged)
{
    struct Case {
        ULONG Code;
        std::size_t Input, Output;
    };
    /* Every code that fetches a buffer, one byte short of its record. */
    const Case Cases[] = {
        {IOCTL_SERIAL_SET_BAUD_RATE, 3, 0},
        {IOCTL_SERIAL_SET_QUEUE_SIZE, 7, 0},
        {IOCTL_SERIAL_SET_LINE_CONTROL, 2, 0},
        {IOCTL_SERIAL_SET_TIMEOUTS, 19, 0},
        {IOCTL_SERIAL_GET_TIMEOUTS, 20, 19},
        {IOCTL_SERIAL_GET_WAIT_MASK, 4, 3},
        {IOCTL_SERIAL_SET_WAIT_MASK, 3, 4},
        {IOCTL_SERIAL_WAIT_ON_MASK, 4, 3},
        {IOCTL_SERIAL_PURGE, 3, 4},
        {IOCTL_SERIAL_GET_BAUD_RATE, 4, 3},
        {IOCTL_SERIAL_GET_LINE_CONTROL, 3, 2},
        {IOCTL_SERIAL_GET_CHARS, 6, 5},
        {IOCTL_SERIAL_SET_CHARS, 5, 6},
        {IOCTL_SERIAL_GET_HANDFLOW, 16, 15},
        {IOCTL_SERIAL_SET_HANDFLOW, 15, 16},
        {IOCTL_SERIAL_GET_MODEMSTATUS, 4, 3},
        {IOCTL_SERIAL_GET_COMMSTATUS, 20, 19},
        {IOCTL_SERIAL_GET_PROPERTIES, 64, 63},
        {IOCTL_SERIAL_GET_DTRRTS, 4, 3},
        {IOCTL_SERIAL_CONFIG_SIZE, 4, 3},
        {IOCTL_SERIAL_GET_STATS, 24, 23},
    };
    auto Snapshot = [this] {
        return std::vector<Bytes>{Query(IOCTL_SERIAL_GET_BAUD_RATE, 4),   Query(IOCTL_SERIAL_GET_LINE_CONTROL, 3),
                                  Query(IOCTL_SERIAL_GET_TIMEOUTS, 20),   Query(IOCTL_SERIAL_GET_CHARS, 6),
                                  Query(IOCTL_SERIAL_GET_HANDFLOW, 16),   Query(IOCTL_SERIAL_GET_WAIT_MASK, 4),
                                  Query(IOCTL_SERIAL_GET_PROPERTIES, 64), Query(IOCTL_SERIAL_GET_MODEMSTATUS, 4)};
    };
    SetWaitMask(0x1);
    const std::vector<Bytes> Before = Snapshot();
    for (const Case &C : Cases) {
        SCOPED_TRACE(C.Code);
        ExpectDone(Ioctl(C.Code, Bytes(C.Input, 0x0F), C.Output), STATUS_BUFFER_TOO_SMALL, 0);
    }
    EXPECT_EQ(Snapshot(), Before);
}

TEST_F(PortSettings, SetCodesWithSmallOutputBuffer_InformationCapped)
{
    /* Guards buffered I/O copying a setting's record size into a smaller output buffer. */
    struct Case {
        ULONG Code;
        Bytes Input;
        std::size_t Output;
        ULONG_PTR Information;
    };
    const Case Cases[] = {
        {IOCTL_SERIAL_SET_WAIT_MASK, Le32(1), 3, 3},
        {IOCTL_SERIAL_SET_TIMEOUTS, Bytes(20, 0), 8, 8},
        {IOCTL_SERIAL_SET_QUEUE_SIZE, Concat({Le32(4096), Le32(0)}), 1, 1},
        {IOCTL_SERIAL_PURGE, Le32(SERIAL_PURGE_RXCLEAR), 2, 2},
        {IOCTL_SERIAL_SET_TIMEOUTS, Bytes(20, 0), 32, 20},
    };
    for (const Case &C : Cases) {
        SCOPED_TRACE(C.Code);
        ExpectDone(Ioctl(C.Code, C.Input, C.Output), STATUS_SUCCESS, C.Information);
    }
}

} // namespace
} // namespace control_test

/*
 * test_sim_transcript.cpp - what brisum-sim shows: transcript formatting,
 * decoded setup packets and notifications, and the capture file's records.
 */
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "support/TestSupport.h"

#include "Pcap.h"
#include "Transcript.h"

using namespace sim;
using test_support::U32At;

namespace {

world::TransferRecord Record(world::TransferKind Kind, std::uint8_t Endpoint, Bytes Data, std::size_t Requested,
                             std::size_t Actual, VirtualTime Submitted, VirtualTime Completed)
{
    world::TransferRecord R;
    R.Id = 7;
    R.Kind = Kind;
    R.Endpoint = Endpoint;
    R.Data = std::move(Data);
    R.Requested = Requested;
    R.Actual = Actual;
    R.Status = Completed >= 0 ? USBD_STATUS_SUCCESS : USBD_STATUS_PENDING;
    R.SubmittedAt = Submitted;
    R.CompletedAt = Completed;
    return R;
}

/* Splits a pcap file into its records' payloads. */
std::vector<Bytes> Records(const Bytes &File)
{
    std::vector<Bytes> Out;
    std::size_t At = 24;
    while (At + 16 <= File.size()) {
        std::uint32_t Length = U32At(File, At + 8);
        Out.emplace_back(File.begin() + static_cast<std::ptrdiff_t>(At + 16),
                         File.begin() + static_cast<std::ptrdiff_t>(At + 16 + Length));
        At += 16 + Length;
    }
    EXPECT_EQ(At, File.size()) << "trailing bytes after the last record";
    return Out;
}

} // namespace

/* ---------------- transcript text ---------------- */

TEST(SimTranscript, Time_IsMillisecondsWithFourDecimals)
{
    EXPECT_EQ(FormatTime(0), "[      0.0000]");
    EXPECT_EQ(FormatTime(2'000'001), "[    200.0001]");
    EXPECT_EQ(FormatLine(156'250, "app", "r1: read 10"), "[     15.6250] app  r1: read 10");
}

TEST(SimTranscript, Bytes_ShowTextAndHex)
{
    EXPECT_EQ(FormatBytes({'h', 'i', '\r', '\n', 0x00, '"'}), "6 bytes \"hi\\r\\n\\x00\\\"\" <68 69 0d 0a 00 22>");
    EXPECT_EQ(FormatBytes({}), "0 bytes");
    EXPECT_EQ(FormatBytes({'x'}), "1 byte \"x\" <78>");
}

TEST(SimTranscript, LongData_ShowsItsHeadAndFullLength)
{
    Bytes Long(100, 'a');
    std::string S = FormatBytes(Long);
    EXPECT_EQ(S.substr(0, 10), "100 bytes ");
    EXPECT_NE(S.find(std::string(32, 'a') + "...\""), std::string::npos) << S;
    EXPECT_EQ(S.find(std::string(33, 'a')), std::string::npos) << S;
}

TEST(SimTranscript, ClassRequests_DecodeTheirFields)
{
    world::SetupPacket Coding{0x21, cdc::SetLineCoding, 0, 0, 7};
    EXPECT_EQ(DescribeSetup(Coding, {0x00, 0xc2, 0x01, 0x00, 0, 0, 8}), "SET_LINE_CODING 115200 8N1");
    EXPECT_EQ(DescribeSetup(Coding, {0x80, 0x25, 0, 0, 0, 2, 5}), "SET_LINE_CODING 9600 5E1");
    /* a short data stage shows the request without inventing a rate */
    EXPECT_EQ(DescribeSetup(Coding, {0x80}), "SET_LINE_CODING");
    EXPECT_EQ(DescribeSetup({0x21, cdc::SetControlLineState, 3, 0, 0}, {}), "SET_CONTROL_LINE_STATE DTR|RTS");
    EXPECT_EQ(DescribeSetup({0x21, cdc::SetControlLineState, 0, 0, 0}, {}), "SET_CONTROL_LINE_STATE 0");
    EXPECT_EQ(DescribeSetup({0x21, cdc::SendBreak, 0xFFFF, 0, 0}, {}), "SEND_BREAK on (until cleared)");
    EXPECT_EQ(DescribeSetup({0x21, cdc::SendBreak, 0, 0, 0}, {}), "SEND_BREAK off");
    EXPECT_EQ(DescribeSetup({0x80, 6, 0x0200, 0, 67}, {}), "GET_DESCRIPTOR configuration length 67");
    EXPECT_EQ(DescribeSetup({0x00, 9, 1, 0, 0}, {}), "SET_CONFIGURATION 1");
    EXPECT_EQ(DescribeSetup({0x41, 0x99, 0x1234, 2, 0}, {}), "vendor request 0x99 value 0x1234 index 0x0002");
    EXPECT_EQ(SetupBytes({0x21, 0x22, 0x0003, 0x0001, 0x0000}), (Bytes{0x21, 0x22, 3, 0, 1, 0, 0, 0}));
}

TEST(SimTranscript, Notifications_DecodeOrSayWhatIsMissing)
{
    EXPECT_EQ(DescribeNotification({0xA1, 0x20, 0, 0, 0, 0, 2, 0, 0x03, 0x00}), "SERIAL_STATE rxcarrier|txcarrier");
    EXPECT_EQ(DescribeNotification({0xA1, 0x20, 0, 0, 0, 0, 2, 0, 0x00, 0x00}), "SERIAL_STATE 0");
    EXPECT_EQ(DescribeNotification({0xA1, 0x20, 0, 0, 0, 0, 2, 0}), "SERIAL_STATE (no data)");
    EXPECT_EQ(DescribeNotification({0xA1, 0x00, 1, 0, 0, 0, 0, 0}), "NETWORK_CONNECTION connected");
    EXPECT_EQ(DescribeNotification({0xA1, 0x00, 0, 0, 0, 0, 0, 0}), "NETWORK_CONNECTION disconnected");
    EXPECT_EQ(DescribeNotification({0xA1, 0x20}), "partial notification");
    EXPECT_EQ(DescribeNotification({0xA1, 0x55, 2, 0, 0, 0, 0, 0}), "notification 0x55 value 0x0002 length 0");
}

/* ---------------- usbmon records ---------------- */

TEST(SimCapture, UsbmonHeader_FieldsAtTheirOffsets)
{
    UsbmonEvent E;
    E.Time = 12'345'678'9; /* 12.3456789 s */
    E.UrbId = 0x1122334455667788ull;
    E.Type = 'S';
    E.XferType = 2;
    E.Endpoint = 0x00;
    E.Device = 3;
    E.Bus = 1;
    E.HasSetup = true;
    const std::uint8_t Setup[8] = {0x21, 0x20, 0, 0, 0, 0, 7, 0};
    std::memcpy(E.Setup, Setup, 8);
    E.Status = -115;
    E.Length = 7;
    E.Data = {0x00, 0xc2, 0x01, 0x00, 0, 0, 8};
    Bytes H = EncodeUsbmon(E);
    ASSERT_EQ(H.size(), 64u + 7u);
    EXPECT_EQ(H[0], 0x88);
    EXPECT_EQ(H[8], 'S');
    EXPECT_EQ(H[9], 2);
    EXPECT_EQ(H[11], 3);
    EXPECT_EQ(H[12], 1);
    EXPECT_EQ(H[14], 0);               /* setup present */
    EXPECT_EQ(H[15], 0);               /* data present */
    EXPECT_EQ(U32At(H, 16), 12u);      /* seconds */
    EXPECT_EQ(U32At(H, 24), 345'678u); /* microseconds */
    EXPECT_EQ(static_cast<std::int32_t>(U32At(H, 28)), -115);
    EXPECT_EQ(U32At(H, 32), 7u);
    EXPECT_EQ(U32At(H, 36), 7u); /* captured length */
    EXPECT_EQ(H[40], 0x21);
    EXPECT_EQ(H[41], 0x20);
    EXPECT_EQ(H[64], 0x00);
    EXPECT_EQ(H[65], 0xc2);
}

TEST(SimCapture, InSubmission_CarriesNoDataAndTheInFlag)
{
    PcapWriter W;
    W.AddTransfers({Record(world::TransferKind::BulkIn, 0x82, {'o', 'k'}, 64, 2, 10, 20)}, 1, 0);
    auto R = Records(W.Encode());
    ASSERT_EQ(R.size(), 2u);
    EXPECT_EQ(R[0][8], 'S');
    EXPECT_EQ(R[0][15], '<');
    EXPECT_EQ(U32At(R[0], 32), 64u); /* requested */
    EXPECT_EQ(U32At(R[0], 36), 0u);
    EXPECT_EQ(R[1][8], 'C');
    EXPECT_EQ(U32At(R[1], 32), 2u); /* actual */
    ASSERT_EQ(R[1].size(), 66u);
    EXPECT_EQ(R[1][64], 'o');
    EXPECT_EQ(R[1][10], 0x82);
    EXPECT_EQ(R[1][9], 3); /* bulk */
}

TEST(SimCapture, OutTransfer_DataOnSubmissionOnly)
{
    PcapWriter W;
    W.AddTransfers({Record(world::TransferKind::BulkOut, 0x02, {'a', 'b', 'c'}, 3, 2, 5, 9)}, 2, 0);
    auto R = Records(W.Encode());
    ASSERT_EQ(R.size(), 2u);
    EXPECT_EQ(R[0].size(), 67u);
    EXPECT_EQ(R[1].size(), 64u);
    EXPECT_EQ(R[1][15], '>');
    EXPECT_EQ(U32At(R[1], 32), 2u); /* the device took 2 */
    EXPECT_EQ(R[0][11], 2);         /* device address */
}

TEST(SimCapture, PendingTransfer_HasOnlyItsSubmission)
{
    PcapWriter W;
    W.AddTransfers({Record(world::TransferKind::InterruptIn, 0x81, {}, 16, 0, 0, -1)}, 1, 0);
    auto R = Records(W.Encode());
    ASSERT_EQ(R.size(), 1u);
    EXPECT_EQ(R[0][9], 1); /* interrupt */
}

TEST(SimCapture, Statuses_MapToUsbmonErrnos)
{
    EXPECT_EQ(UsbmonStatus(USBD_STATUS_SUCCESS, false), 0);
    EXPECT_EQ(UsbmonStatus(USBD_STATUS_SUCCESS, true), -2);
    EXPECT_EQ(UsbmonStatus(USBD_STATUS_CANCELED, false), -2);
    EXPECT_EQ(UsbmonStatus(USBD_STATUS_STALL_PID, false), -32);
    EXPECT_EQ(UsbmonStatus(USBD_STATUS_DEVICE_GONE, false), -108);
    EXPECT_EQ(UsbmonStatus(USBD_STATUS_DEV_NOT_RESPONDING, false), -71);
}

TEST(SimCapture, File_HasTheHeaderAndRecordsInTimeOrder)
{
    PcapWriter W;
    W.AddTransfers({Record(world::TransferKind::BulkOut, 0x02, {'b'}, 1, 1, 500, 600)}, 1, 0);
    W.AddTransfers({Record(world::TransferKind::BulkOut, 0x02, {'a'}, 1, 1, 100, 200)}, 1, 0);
    Bytes F = W.Encode();
    EXPECT_EQ(U32At(F, 0), 0xA1B23C4Du); /* nanosecond timestamps */
    EXPECT_EQ(U32At(F, 20), 220u);       /* DLT_USB_LINUX_MMAPPED */
    auto R = Records(F);
    ASSERT_EQ(R.size(), 4u);
    EXPECT_EQ(R[0][64], 'a');
    EXPECT_EQ(R[2][64], 'b');
    /* the record timestamp is in nanoseconds: 100 units of 100 ns */
    EXPECT_EQ(U32At(F, 24 + 4), 10'000u);
}

TEST(SimCapture, Streamed_SameBytesAsWrittenAtTheEndAndHoldsOnlyTheUnreleased)
{
    /* a transfer outstanding at 10 completes at 30, after another one of the
       same device went out and back at 20; a second device at 20 too */
    auto Long = Record(world::TransferKind::BulkOut, 0x02, {'a'}, 1, 1, 10, 30);
    Long.Id = 1;
    auto Short = Record(world::TransferKind::BulkIn, 0x82, {'b'}, 64, 1, 20, 20);
    Short.Id = 2;
    const auto Other = Record(world::TransferKind::BulkIn, 0x82, {'c'}, 64, 1, 20, 20);
    PcapWriter AtEnd;
    AtEnd.AddTransfers({Long, Short}, 1, 0);
    AtEnd.AddTransfers({Other}, 2, 0);

    const std::string Path = ::testing::TempDir() + "streamed.pcap";
    std::string Error;
    PcapWriter Streamed;
    ASSERT_TRUE(Streamed.Open(Path, Error)) << Error;
    const std::uint64_t Device2 = std::uint64_t{1} << 48;
    Streamed.Add(SubmissionEvent(Long, 1, 0), 8);
    Streamed.Release(20, 0);
    EXPECT_EQ(Streamed.Held(), 0u);
    Streamed.Add(SubmissionEvent(Other, 2, 0), Device2 + 8);
    Streamed.Add(CompletionEvent(Other, 2, 0), Device2 + 9);
    Streamed.Add(SubmissionEvent(Short, 1, 0), 10);
    Streamed.Add(CompletionEvent(Short, 1, 0), 11);
    Streamed.Release(20, 9); /* the outstanding one may still complete at 20, before them all */
    EXPECT_EQ(Streamed.Held(), 4u);
    Streamed.Add(CompletionEvent(Long, 1, 0), 9);
    Streamed.Release(30, 0);
    EXPECT_EQ(Streamed.Held(), 1u);
    ASSERT_TRUE(Streamed.Close(Error)) << Error;

    std::ifstream F(Path, std::ios::binary);
    Bytes File((std::istreambuf_iterator<char>(F)), std::istreambuf_iterator<char>());
    EXPECT_EQ(File, AtEnd.Encode());
    EXPECT_EQ(Streamed.Size(), 6u);
}

TEST(SimCapture, Enumeration_DescribesTheDevice)
{
    Bytes Device(18, 0x12);
    Bytes Config = {9, 2, 12, 0, 1, 5, 0, 0x80, 50, 0xAA, 0xBB, 0xCC};
    PcapWriter W;
    W.AddEnumeration(Device, Config, 4, 0);
    auto R = Records(W.Encode());
    ASSERT_EQ(R.size(), 8u);
    /* GET_DESCRIPTOR device, configuration header, whole configuration, SET_CONFIGURATION */
    EXPECT_EQ(R[0][40 + 3], 1);
    EXPECT_EQ(R[1].size(), 64u + 18u);
    EXPECT_EQ(R[3].size(), 64u + 9u);
    EXPECT_EQ(R[4][40 + 6], 12); /* wLength = wTotalLength */
    EXPECT_EQ(R[5].size(), 64u + 12u);
    EXPECT_EQ(R[6][41], 9);
    EXPECT_EQ(R[6][42], 5); /* bConfigurationValue from the descriptor */
    for (const auto &Rec : R) EXPECT_EQ(Rec[11], 4);
}

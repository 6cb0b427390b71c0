// USB configuration: which pipes the port ends up using for each device
// layout, seen from the device's side of the wire.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "support/TestSupport.h"

#include <ntddk.h>
#include <ntddser.h>

using namespace world;
using namespace test_support;

namespace {

constexpr ULONG kPairTag = 0x52494150;       // "PAIR"
constexpr ULONG kDescriptorTag = 0x43534544; // "DESC"
constexpr std::uint8_t kSetLineCoding = 0x20;

class UsbConfigPipes : public PortTest {
protected:
    // A read of Length bytes that returns at once with whatever is buffered.
    OpHandle ReadNow(std::size_t Length)
    {
        ReadsReturnAtOnce();
        auto op = W.Read(H, Length);
        Run();
        EXPECT_TRUE(op->Completed);
        return op;
    }

    std::vector<TransferRecord> ClassRequests(std::uint8_t Request) const
    {
        std::vector<TransferRecord> out;
        for (const auto &t : Usb->ClassRequests())
            if (t.Setup.bRequest == Request) out.push_back(t);
        return out;
    }

    // Exercises all three pipes: data in, data out, a line-coding request.
    void ExpectAllThreePipesWork(std::uint16_t ClassIndex)
    {
        Open();
        Usb->SendBulkIn(Bytes{0x10, 0x20, 0x30});
        Run();
        auto read = ReadNow(3);
        EXPECT_EQ(read->Status, STATUS_SUCCESS);
        EXPECT_EQ(read->Output, (Bytes{0x10, 0x20, 0x30}));

        auto write = W.Write(H, Bytes{0x44, 0x55});
        Run();
        ASSERT_TRUE(write->Completed);
        EXPECT_EQ(write->Status, STATUS_SUCCESS);
        EXPECT_EQ(Usb->BulkOutBytes(), (Bytes{0x44, 0x55}));

        auto baud = W.DeviceIoControl(H, IOCTL_SERIAL_SET_BAUD_RATE, AsBytes(ULONG{115200}), 0);
        Run();
        ASSERT_TRUE(baud->Completed);
        EXPECT_EQ(baud->Status, STATUS_SUCCESS);
        const auto coding = ClassRequests(kSetLineCoding);
        ASSERT_EQ(coding.size(), 1u);
        EXPECT_EQ(coding[0].Setup.wIndex, ClassIndex);
    }
};

struct InterfaceLayout {
    const char *Name;
    int Interfaces;
    std::uint8_t CommInterfaceNumber;
    std::uint8_t DataInterfaceNumber;
};

class UsbConfigLayouts : public UsbConfigPipes, public ::testing::WithParamInterface<InterfaceLayout> {};

// Both readers run, the pair array of a multi-interface selection is freed,
// and class requests carry the communication interface's number.
TEST_P(UsbConfigLayouts, AllPipesFound_PairArrayFreed_ClassRequestsToCommunicationInterface)
{
    const InterfaceLayout c = GetParam();
    CdcAcmOptions options;
    options.Interfaces = c.Interfaces;
    options.CommInterfaceNumber = c.CommInterfaceNumber;
    options.DataInterfaceNumber = c.DataInterfaceNumber;
    Start(options);

    ASSERT_EQ(Node->StartStatus, STATUS_SUCCESS);
    EXPECT_EQ(Usb->OutstandingIn(Usb->InterruptAddress()), 1u);
    EXPECT_EQ(Usb->OutstandingIn(Usb->BulkInAddress()), 1u);
    EXPECT_EQ(W.PoolBlocksOutstanding(kPairTag), 0u) << "pair array not freed after selection";
    ExpectAllThreePipesWork(c.CommInterfaceNumber);
}

INSTANTIATE_TEST_SUITE_P(Table, UsbConfigLayouts,
                         ::testing::Values(InterfaceLayout{"TwoInterfaces", 2, 0, 1},
                                           // Regression: using the interface index instead of its number sent every
                                           // class request to the wrong interface when the numbers are not 0 and 1.
                                           InterfaceLayout{"CommunicationInterfaceNumberedOne", 2, 1, 0},
                                           InterfaceLayout{"SingleInterface", 1, 0, 1}),
                         test_support::CaseName());

TEST_F(UsbConfigPipes, TwoBulkInPipes_LastEnumeratedOneRead)
{
    CdcAcmOptions options;
    options.ExtraBulkIn = 1; // endpoint 0x83, after 0x82
    Start(options);

    ASSERT_EQ(Node->StartStatus, STATUS_SUCCESS);
    EXPECT_EQ(Usb->OutstandingIn(0x83), 1u);
    EXPECT_EQ(Usb->OutstandingIn(Usb->BulkInAddress()), 0u);
}

TEST_F(UsbConfigPipes, NoInterruptPipe_StartsAndLineSettingsStayLocal)
{
    CdcAcmOptions options;
    options.InterruptEndpoint = false;
    Start(options);

    ASSERT_EQ(Node->StartStatus, STATUS_SUCCESS);
    EXPECT_EQ(Usb->OutstandingIn(Usb->BulkInAddress()), 1u);
    Open();
    auto baud = W.DeviceIoControl(H, IOCTL_SERIAL_SET_BAUD_RATE, AsBytes(ULONG{9600}), 0);
    Run();
    ASSERT_TRUE(baud->Completed);
    EXPECT_EQ(baud->Status, STATUS_SUCCESS);
    EXPECT_TRUE(Usb->ClassRequests().empty());
}

TEST_F(UsbConfigPipes, NoBulkOutPipe_StartsAndReadsAndControlCodesWork)
{
    CdcAcmOptions options;
    options.BulkOutEndpoint = false;
    Start(options);

    ASSERT_EQ(Node->StartStatus, STATUS_SUCCESS);
    Open();
    Usb->SendBulkIn(Bytes{0x61});
    Run();
    auto read = ReadNow(1);
    EXPECT_EQ(read->Status, STATUS_SUCCESS);
    EXPECT_EQ(read->Output, (Bytes{0x61}));
    auto baud = W.DeviceIoControl(H, IOCTL_SERIAL_GET_BAUD_RATE, {}, sizeof(ULONG));
    Run();
    EXPECT_EQ(baud->Status, STATUS_SUCCESS);
}

TEST_F(UsbConfigPipes, SizeQueryReportsZeroLength_StartFailsBufferTooSmall)
{
    CdcAcmOptions options;
    options.ReportedTotalLength = 0;
    Start(options);

    EXPECT_EQ(Node->StartStatus, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Usb->OutstandingIn(Usb->BulkInAddress()), 0u);
    RemoveAndExpectNothingLeft();
}

struct ConfigFault {
    const char *Api;
    NTSTATUS Status;
};

class UsbConfigPipesFault : public UsbConfigPipes, public ::testing::WithParamInterface<ConfigFault> {};

TEST_P(UsbConfigPipesFault, FailingStep_StartFailsWithItsStatus_RemovalLeaksNothing)
{
    const ConfigFault c = GetParam();
    W.FailNthCall(c.Api, 1, c.Status);
    Start(CdcAcmOptions{});

    EXPECT_EQ(Node->StartStatus, c.Status);
    RemoveAndExpectNothingLeft();
}

INSTANTIATE_TEST_SUITE_P(Table, UsbConfigPipesFault,
                         ::testing::Values(ConfigFault{"WdfUsbTargetDeviceCreate", STATUS_INSUFFICIENT_RESOURCES},
                                           ConfigFault{"WdfMemoryCreate", STATUS_INSUFFICIENT_RESOURCES},
                                           ConfigFault{"WdfUsbTargetDeviceSelectConfig", STATUS_UNSUCCESSFUL},
                                           // the pair array of a two-interface device
                                           ConfigFault{"ExAllocatePoolWithTag", STATUS_INSUFFICIENT_RESOURCES},
                                           ConfigFault{"WdfObjectAllocateContext", STATUS_INSUFFICIENT_RESOURCES},
                                           ConfigFault{"WdfUsbTargetPipeConfigContinuousReader",
                                                       STATUS_INSUFFICIENT_RESOURCES}),
                         [](const auto &Info) { return std::string(Info.param.Api); });

TEST_F(UsbConfigPipes, SecondPreparation_ReusesTargetAndRunsAgain)
{
    Start(CdcAcmOptions{});
    ASSERT_EQ(Node->StartStatus, STATUS_SUCCESS);
    const std::size_t descriptorsBefore = W.PoolBlocksOutstanding(kDescriptorTag);

    ASSERT_EQ(W.StopDevice(Node), STATUS_SUCCESS);
    Run();
    EXPECT_EQ(Usb->OutstandingIn(Usb->BulkInAddress()), 0u);
    ASSERT_EQ(W.StartDevice(Node), STATUS_SUCCESS);
    Run();

    EXPECT_EQ(Usb->OutstandingIn(Usb->BulkInAddress()), 1u);
    EXPECT_EQ(Usb->OutstandingIn(Usb->InterruptAddress()), 1u);
    // One more descriptor copy per preparation, nothing else accumulates.
    EXPECT_LE(W.PoolBlocksOutstanding(kDescriptorTag), descriptorsBefore + 1);
    ExpectAllThreePipesWork(0);

    W.Close(H);
    RemoveAndExpectNothingLeft();
}

} // namespace

// Fault: a bulk-IN pipe whose wMaxPacketSize is 0 was taken as the receive
// pipe, and its continuous reader was configured with no transfer length.
TEST_F(UsbConfigPipes, ZeroPacketBulkIn_NotUsedAndNoReaderConfigured)
{
    CdcAcmOptions options;
    options.BulkInPacket = 0;
    Start(options);

    EXPECT_EQ(Usb->OutstandingIn(Usb->BulkInAddress()), 0u);
    if (Node->StartStatus == STATUS_SUCCESS) {
        Open();
        auto write = W.Write(H, Text("ok"));
        Run();
        EXPECT_TRUE(write->Completed);
    }
}

// The start's descriptor dump reaches a listening trace, and the debug
// filter the driver asks before it formats one reports what is kept.
TEST_F(UsbConfigPipes, DescriptorDump_TracedOnlyWhenTheFilterKeepsIt)
{
    EXPECT_EQ(DbgQueryDebugFilterState(DPFLTR_IHVDRIVER_ID, DPFLTR_INFO_LEVEL), (NTSTATUS)FALSE);
    std::vector<std::string> lines;
    W.SetTraceSink([&](const std::string &S) { lines.push_back(S); });
    EXPECT_EQ(DbgQueryDebugFilterState(DPFLTR_IHVDRIVER_ID, DPFLTR_INFO_LEVEL), (NTSTATUS)TRUE);
    Start();
    W.SetTraceSink(nullptr); /* lines goes before the fixture's removal traces */
    ASSERT_EQ(Node->StartStatus, STATUS_SUCCESS);
    auto has = [&](const char *Text) {
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string &L) { return L.find(Text) != std::string::npos; });
    };
    EXPECT_TRUE(has("----- Device descriptor -----"));
    EXPECT_TRUE(has("----- Configuration descriptor -----"));
    EXPECT_TRUE(has("----- Pipe information -----"));
    EXPECT_TRUE(has("idVendor"));
}

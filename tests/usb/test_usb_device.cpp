// The simulated CDC ACM device seen from the bus: descriptors, IN data
// delivery, answers to OUT and class transfers, loopback, aborts and unplug.
// Driven directly through UsbDeviceModel on a scheduler of its own.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

#include "CdcAcmDevice.h"
#include "support/TestSupport.h"
#include "Scheduler.h"

using namespace world;
using test_support::Text;

namespace {

struct Outcome {
    bool Done = false;
    USBD_STATUS Status = USBD_STATUS_PENDING;
    Bytes Data;
    std::size_t Actual = 0;
    VirtualTime At = -1;
};
using OutcomeP = std::shared_ptr<Outcome>;

struct Descriptor {
    std::uint8_t Type;
    Bytes Raw;
};

std::vector<Descriptor> Walk(const Bytes &Config)
{
    std::vector<Descriptor> Out;
    for (std::size_t At = 0; At + 2 <= Config.size() && Config[At] >= 2; At += Config[At]) {
        Out.push_back({Config[At + 1], Bytes(Config.begin() + At, Config.begin() + At + Config[At])});
    }
    return Out;
}

class UsbModel : public ::testing::Test {
protected:
    Scheduler Clock;
    std::unique_ptr<CdcAcmDevice> Dev;

    void Make(CdcAcmOptions Options = {})
    {
        Dev = std::make_unique<CdcAcmDevice>(Options);
        Dev->Attach(Clock);
    }
    void SetUp() override { Make(); }

    UsbDeviceModel::Completion Into(const OutcomeP &O)
    {
        return [this, O](USBD_STATUS St, const Bytes &Data, std::size_t Actual) {
            EXPECT_FALSE(O->Done) << "a transfer completed twice";
            O->Done = true;
            O->Status = St;
            O->Data = Data;
            O->Actual = Actual;
            O->At = Clock.Now();
        };
    }
    OutcomeP In(std::uint8_t Endpoint, std::size_t Length)
    {
        auto O = std::make_shared<Outcome>();
        Dev->SubmitIn(Endpoint, Length, Into(O));
        return O;
    }
    /* An IN transfer, and the scheduler run until idle after it. */
    OutcomeP InThenRun(std::uint8_t Endpoint, std::size_t Length)
    {
        OutcomeP O = In(Endpoint, Length);
        Run();
        return O;
    }
    OutcomeP Out(const Bytes &Data, std::uint8_t Endpoint = 0x02)
    {
        auto O = std::make_shared<Outcome>();
        Dev->SubmitOut(Endpoint, Data, Into(O));
        return O;
    }
    OutcomeP Control(SetupPacket Setup, const Bytes &Data = {})
    {
        auto O = std::make_shared<Outcome>();
        Dev->SubmitControl(Setup, Data, Into(O));
        return O;
    }
    static SetupPacket Class(std::uint8_t Request, std::uint16_t Value, std::uint16_t Length, std::uint16_t Index = 0,
                             bool DeviceToHost = false)
    {
        return SetupPacket{static_cast<std::uint8_t>(DeviceToHost ? 0xA1 : 0x21), Request, Value, Index, Length};
    }
    void Run() { Clock.RunUntilIdle(); }
};

// ---- descriptors ----

struct LayoutCase {
    const char *Name;
    CdcAcmOptions Options;
    /* per interface: interface number, class, then endpoint addresses with their transfer type */
    std::vector<std::pair<std::uint8_t, std::uint8_t>> Interfaces;
    std::vector<std::vector<std::pair<std::uint8_t, std::uint8_t>>> Endpoints;
};

CdcAcmOptions With(void (*Edit)(CdcAcmOptions &))
{
    CdcAcmOptions O;
    Edit(O);
    return O;
}

class UsbModelLayouts : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(UsbModelLayouts, Configuration_ListsInterfacesAndEndpointsInOrder)
{
    const LayoutCase &C = GetParam();
    CdcAcmDevice Dev(C.Options);
    const Bytes Config = Dev.ConfigurationDescriptor();
    ASSERT_GE(Config.size(), 9u);
    EXPECT_EQ(Config[2] | (Config[3] << 8), static_cast<int>(Config.size())) << "wTotalLength";
    EXPECT_EQ(Config[4], C.Interfaces.size()) << "bNumInterfaces";

    std::vector<std::pair<std::uint8_t, std::uint8_t>> Interfaces;
    std::vector<std::vector<std::pair<std::uint8_t, std::uint8_t>>> Endpoints;
    std::vector<std::size_t> Declared;
    for (const Descriptor &D : Walk(Config)) {
        if (D.Type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            Interfaces.emplace_back(D.Raw[2], D.Raw[5]);
            Endpoints.emplace_back();
            Declared.push_back(D.Raw[4]);
            EXPECT_EQ(D.Raw[3], 0) << "alternate setting";
        } else if (D.Type == USB_ENDPOINT_DESCRIPTOR_TYPE) {
            ASSERT_FALSE(Endpoints.empty());
            Endpoints.back().emplace_back(D.Raw[2], D.Raw[3] & 3);
        }
    }
    EXPECT_EQ(Interfaces, C.Interfaces);
    EXPECT_EQ(Endpoints, C.Endpoints);
    for (std::size_t I = 0; I < Endpoints.size(); ++I) {
        EXPECT_EQ(Declared[I], Endpoints[I].size()) << "bNumEndpoints of interface " << I;
    }
}

constexpr std::uint8_t Int = USB_ENDPOINT_TYPE_INTERRUPT;
constexpr std::uint8_t Bulk = USB_ENDPOINT_TYPE_BULK;
constexpr std::uint8_t Iso = USB_ENDPOINT_TYPE_ISOCHRONOUS;

INSTANTIATE_TEST_SUITE_P(
    Layouts, UsbModelLayouts,
    ::testing::Values(
        LayoutCase{"TwoInterfaces", {}, {{0, 0x02}, {1, 0x0A}}, {{{0x81, Int}}, {{0x82, Bulk}, {0x02, Bulk}}}},
        LayoutCase{"OneInterface",
                   With([](CdcAcmOptions &O) { O.Interfaces = 1; }),
                   {{0, 0x02}},
                   {{{0x81, Int}, {0x82, Bulk}, {0x02, Bulk}}}},
        LayoutCase{"NoInterruptEndpoint",
                   With([](CdcAcmOptions &O) { O.InterruptEndpoint = false; }),
                   {{0, 0x02}, {1, 0x0A}},
                   {{}, {{0x82, Bulk}, {0x02, Bulk}}}},
        LayoutCase{"ExtraPipesAfterTheUsualOnes",
                   With([](CdcAcmOptions &O) {
                       O.ExtraBulkIn = 1;
                       O.ExtraBulkOut = 1;
                       O.ExtraInterruptIn = 1;
                       O.ExtraIsochronousIn = true;
                   }),
                   {{0, 0x02}, {1, 0x0A}},
                   {{{0x81, Int}, {0x84, Int}}, {{0x82, Bulk}, {0x02, Bulk}, {0x83, Bulk}, {0x03, Bulk}, {0x85, Iso}}}},
        LayoutCase{"OtherInterfaceNumbers",
                   With([](CdcAcmOptions &O) {
                       O.CommInterfaceNumber = 2;
                       O.DataInterfaceNumber = 3;
                   }),
                   {{2, 0x02}, {3, 0x0A}},
                   {{{0x81, Int}}, {{0x82, Bulk}, {0x02, Bulk}}}}),
    test_support::CaseName());

TEST(UsbModelDescriptors, CommunicationInterface_CarriesAcmFunctionalDescriptorsNamingTheDataInterface)
{
    CdcAcmOptions O;
    O.CommInterfaceNumber = 2;
    O.DataInterfaceNumber = 5;
    CdcAcmDevice Dev(O);
    std::vector<Bytes> Functional;
    Bytes Comm;
    for (const Descriptor &D : Walk(Dev.ConfigurationDescriptor())) {
        if (D.Type == 0x24) {
            Functional.push_back(D.Raw);
        } else if (D.Type == USB_INTERFACE_DESCRIPTOR_TYPE && Comm.empty()) {
            Comm = D.Raw;
        }
    }
    ASSERT_EQ(Comm.size(), 9u);
    EXPECT_EQ(Bytes(Comm.begin() + 5, Comm.begin() + 8), (Bytes{0x02, 0x02, 0x01})) << "CDC, ACM, AT commands";
    ASSERT_EQ(Functional.size(), 4u);
    EXPECT_EQ(Functional[0][2], 0x00) << "header";
    EXPECT_EQ(Functional[1][2], 0x01) << "call management";
    EXPECT_EQ(Functional[1][4], 5) << "call management names the data interface";
    EXPECT_EQ(Functional[2][2], 0x02) << "ACM";
    EXPECT_EQ(Functional[3], (Bytes{0x05, 0x24, 0x06, 2, 5})) << "union: communication controls data";
}

TEST(UsbModelDescriptors, RemoteWake_SetsTheConfigurationAttributeBit)
{
    CdcAcmOptions O;
    EXPECT_EQ(CdcAcmDevice(O).ConfigurationDescriptor()[7], 0x80);
    O.RemoteWake = true;
    EXPECT_EQ(CdcAcmDevice(O).ConfigurationDescriptor()[7], 0xA0);
    const Bytes D = CdcAcmDevice(O).DeviceDescriptor();
    ASSERT_EQ(D.size(), 18u);
    EXPECT_EQ(D[1], USB_DEVICE_DESCRIPTOR_TYPE);
    EXPECT_EQ(D[17], 1) << "one configuration";
}

TEST(UsbModelDescriptors, ReportedLength_DefaultsToTheRealLengthAndHonoursAnOverride)
{
    CdcAcmOptions O;
    CdcAcmDevice Plain(O);
    EXPECT_EQ(Plain.ReportedConfigurationLength(), Plain.ConfigurationDescriptor().size());
    O.ReportedTotalLength = 0;
    EXPECT_EQ(CdcAcmDevice(O).ReportedConfigurationLength(), 0);
}

TEST(UsbModelDescriptors, InvalidOptions_AreRefused)
{
    CdcAcmOptions O;
    O.Interfaces = 3;
    EXPECT_THROW(CdcAcmDevice{O}, std::invalid_argument);
    O.Interfaces = 2;
    O.DataInterfaceNumber = O.CommInterfaceNumber;
    EXPECT_THROW(CdcAcmDevice{O}, std::invalid_argument);
}

// ---- IN transfers ----

TEST_F(UsbModel, BulkIn_NeverCompletesInsideTheSubmitCall)
{
    Dev->SendBulkInText("abc");
    auto R = In(0x82, 64);
    EXPECT_FALSE(R->Done);
    Run();
    ASSERT_TRUE(R->Done);
    EXPECT_EQ(R->Data, Text("abc"));
}

TEST_F(UsbModel, BulkIn_ReadShorterThanTheBlockGetsItsHeadAndTheRestComesNext)
{
    Dev->SendBulkInText("0123456789");
    Dev->SendBulkInText("xy");
    auto A = InThenRun(0x82, 4);
    auto B = InThenRun(0x82, 64);
    auto C = InThenRun(0x82, 64);
    EXPECT_EQ(A->Data, Text("0123"));
    EXPECT_EQ(A->Actual, 4u);
    EXPECT_EQ(B->Data, Text("456789")) << "one block per read: the rest of the cut block, not the next block";
    EXPECT_EQ(C->Data, Text("xy"));
    EXPECT_EQ(Dev->QueuedBulkIn(), 0u);
}

TEST_F(UsbModel, BulkIn_LargeDataIsCutIntoPacketsAndEmptyBlockIsAZeroLengthPacket)
{
    Bytes Big(150);
    for (std::size_t I = 0; I < Big.size(); ++I) Big[I] = static_cast<std::uint8_t>(I);
    Dev->SendBulkIn(Big);
    Dev->SendBulkIn({});
    std::vector<OutcomeP> Reads;
    for (int I = 0; I < 4; ++I) {
        Reads.push_back(In(0x82, 512));
        Run();
    }
    EXPECT_EQ(Reads[0]->Actual, 64u);
    EXPECT_EQ(Reads[1]->Actual, 64u);
    EXPECT_EQ(Reads[2]->Actual, 22u);
    Bytes Joined;
    for (int I = 0; I < 3; ++I) Joined.insert(Joined.end(), Reads[I]->Data.begin(), Reads[I]->Data.end());
    EXPECT_EQ(Joined, Big);
    ASSERT_TRUE(Reads[3]->Done);
    EXPECT_EQ(Reads[3]->Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(Reads[3]->Actual, 0u);
}

TEST_F(UsbModel, BulkIn_BlocksArriveAtTheirTimeAndInOrder)
{
    Dev->SendBulkInText("late", 10 * kMillisecond);
    Dev->SendBulkInText("early", 2 * kMillisecond); // queued behind "late": never overtakes it
    auto A = In(0x82, 64);
    Clock.AdvanceBy(9 * kMillisecond);
    EXPECT_FALSE(A->Done);
    Run();
    ASSERT_TRUE(A->Done);
    EXPECT_EQ(A->Data, Text("late"));
    EXPECT_EQ(A->At, 10 * kMillisecond);
    auto B = InThenRun(0x82, 64);
    EXPECT_EQ(B->Data, Text("early"));
    EXPECT_EQ(B->At, 10 * kMillisecond);
}

TEST_F(UsbModel, BulkIn_DataQueuedBeforeAttachIsDeliveredAfterwards)
{
    Dev = std::make_unique<CdcAcmDevice>();
    Dev->SendBulkInText("before");
    EXPECT_EQ(Dev->QueuedBulkIn(), 1u);
    Dev->Attach(Clock);
    auto R = InThenRun(0x82, 64);
    EXPECT_EQ(R->Data, Text("before"));
}

TEST_F(UsbModel, FailNextIn_FailsTheWaitingReadOnlyOnce)
{
    auto A = InThenRun(0x82, 64);
    EXPECT_FALSE(A->Done);
    Dev->FailNextIn(0x82, USBD_STATUS_DEV_NOT_RESPONDING);
    Run();
    ASSERT_TRUE(A->Done);
    EXPECT_EQ(A->Status, USBD_STATUS_DEV_NOT_RESPONDING);
    Dev->SendBulkInText("ok");
    auto B = InThenRun(0x82, 64);
    EXPECT_EQ(B->Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(B->Data, Text("ok"));
}

TEST_F(UsbModel, InterruptIn_NotificationLongerThanAPacketIsCut)
{
    CdcAcmOptions O;
    O.InterruptPacket = 8;
    Make(O);
    Dev->SendSerialState(0x0003);
    auto A = InThenRun(0x81, 8);
    auto B = InThenRun(0x81, 8);
    EXPECT_EQ(A->Data, (Bytes{0xA1, 0x20, 0, 0, 0, 0, 2, 0}));
    EXPECT_EQ(B->Data, (Bytes{0x03, 0x00}));
    EXPECT_EQ(Dev->Transfers()[0].Kind, TransferKind::InterruptIn);
}

TEST_F(UsbModel, Submit_ToAnEndpointTheLayoutLacksFails)
{
    CdcAcmOptions O;
    O.InterruptEndpoint = false;
    Make(O);
    auto A = In(0x81, 16);
    auto B = Out(Text("x"), 0x82);
    Run();
    EXPECT_EQ(A->Status, USBD_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(B->Status, USBD_STATUS_INVALID_PARAMETER);
}

// ---- OUT answers ----

struct OutCase {
    const char *Name;
    AnswerSpec Spec;
    USBD_STATUS Status; // PENDING: never completes
    std::size_t Actual;
    VirtualTime At;
};

class UsbModelBulkOut : public UsbModel, public ::testing::WithParamInterface<OutCase> {};

TEST_P(UsbModelBulkOut, Answer_DecidesStatusBytesTakenAndTime)
{
    const OutCase &C = GetParam();
    Dev->QueueBulkOutAnswer(C.Spec);
    auto R = Out(Text("0123456789abcdef"));
    Run();
    if (C.Status == USBD_STATUS_PENDING) {
        EXPECT_FALSE(R->Done);
        EXPECT_EQ(Dev->OutstandingOut(), 1u);
        return;
    }
    ASSERT_TRUE(R->Done);
    EXPECT_EQ(R->Status, C.Status);
    EXPECT_EQ(R->Actual, C.Actual);
    EXPECT_EQ(R->At, C.At);
    const Bytes Offered = Text("0123456789abcdef");
    EXPECT_EQ(Dev->BulkOutBytes(), Bytes(Offered.begin(), Offered.begin() + static_cast<std::ptrdiff_t>(C.Actual)));
    ASSERT_EQ(Dev->BulkOutPackets().size(), 1u);
    EXPECT_EQ(Dev->BulkOutPackets()[0].Data, Text("0123456789abcdef")) << "the record keeps what the host offered";
}

INSTANTIATE_TEST_SUITE_P(
    Answers, UsbModelBulkOut,
    ::testing::Values(
        OutCase{"Accept", {Answer::Accept, 0, 0, 0}, USBD_STATUS_SUCCESS, 16, 0},
        OutCase{"AcceptLater", {Answer::Accept, 3 * kMillisecond, 0, 0}, USBD_STATUS_SUCCESS, 16, 3 * kMillisecond},
        OutCase{"Partial", {Answer::Partial, 0, 10, 0}, USBD_STATUS_SUCCESS, 10, 0},
        OutCase{"Stall", {Answer::Stall, 0, 0, 0}, USBD_STATUS_STALL_PID, 0, 0},
        OutCase{"Fail",
                {Answer::Fail, kMillisecond, 0, USBD_STATUS_DEV_NOT_RESPONDING},
                USBD_STATUS_DEV_NOT_RESPONDING,
                0,
                kMillisecond},
        OutCase{"Never", {Answer::Never, 0, 0, 0}, USBD_STATUS_PENDING, 0, 0}),
    test_support::CaseName());

TEST_F(UsbModel, BulkOut_QueuedAnswersGoFirstThenTheDefault)
{
    Dev->SetDefaultBulkOutAnswer({Answer::Stall});
    Dev->QueueBulkOutAnswer({Answer::Accept});
    auto A = Out(Text("a"));
    auto B = Out(Text("b"));
    Run();
    EXPECT_EQ(A->Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(B->Status, USBD_STATUS_STALL_PID);
}

TEST_F(UsbModel, Abort_CancelsAnOutstandingTransferExactlyOnce)
{
    Dev->QueueBulkOutAnswer({Answer::Accept, 5 * kMillisecond});
    auto R = Out(Text("abc"));
    const std::uint64_t Id = Dev->Transfers().back().Id;
    EXPECT_TRUE(Dev->Abort(Id));
    EXPECT_FALSE(R->Done) << "the cancellation is scheduled, not run inside Abort";
    Run();
    ASSERT_TRUE(R->Done);
    EXPECT_EQ(R->Status, USBD_STATUS_CANCELED);
    EXPECT_TRUE(Dev->Transfers().back().Cancelled);
    EXPECT_TRUE(Dev->BulkOutBytes().empty()) << "a cancelled transfer delivers nothing";
    EXPECT_FALSE(Dev->Abort(Id));
}

// Guards against an aborted read still receiving the block that was due.
TEST_F(UsbModel, Abort_OfAWaitingReadLeavesTheDataForTheNextRead)
{
    auto A = InThenRun(0x82, 64);
    Dev->SendBulkInText("keep");
    EXPECT_TRUE(Dev->Abort(Dev->Transfers().back().Id));
    auto B = InThenRun(0x82, 64);
    EXPECT_EQ(A->Status, USBD_STATUS_CANCELED);
    EXPECT_TRUE(A->Data.empty());
    EXPECT_EQ(B->Data, Text("keep"));
}

TEST_F(UsbModel, Disconnect_FailsOutstandingAndLaterTransfers)
{
    Dev->QueueBulkOutAnswer({Answer::Never});
    auto Read = In(0x82, 64);
    auto Write = Out(Text("x"));
    Run();
    Dev->Disconnect();
    EXPECT_FALSE(Dev->Connected());
    Run();
    EXPECT_EQ(Read->Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(Write->Status, USBD_STATUS_DEVICE_GONE);
    auto Later = Control(Class(0x22, 1, 0));
    Run();
    EXPECT_EQ(Later->Status, USBD_STATUS_DEVICE_GONE);
    EXPECT_EQ(Dev->OutstandingIn(0x82) + Dev->OutstandingOut() + Dev->OutstandingControl(), 0u);
}

// ---- control transfers ----

TEST_F(UsbModel, SetLineCoding_TakesHoldOnlyWhenAccepted)
{
    const Bytes Coding{0x00, 0xC2, 0x01, 0x00, 0x00, 0x00, 0x08};
    Dev->QueueControlAnswer({Answer::Stall});
    auto Stalled = Control(Class(0x20, 0, 7), Coding);
    Run();
    EXPECT_EQ(Stalled->Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(Dev->LineCoding(), (Bytes{0x80, 0x25, 0, 0, 0, 0, 8})) << "power-up coding kept";

    auto Accepted = Control(Class(0x20, 0, 7), Coding);
    Run();
    EXPECT_EQ(Accepted->Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(Dev->LineCoding(), Coding);
    auto Read = Control(Class(0x21, 0, 7, 0, true));
    Run();
    EXPECT_EQ(Read->Data, Coding);
    auto Requests = Dev->ClassRequests();
    ASSERT_EQ(Requests.size(), 3u);
    EXPECT_EQ(Requests[1].Data, Coding);
    EXPECT_EQ(Requests[1].Setup.wLength, 7);
}

// Guards against a driver addressing class requests to the wrong interface
// or sending a malformed data stage without anything noticing.
TEST_F(UsbModel, ClassRequest_WrongInterfaceOrLengthStallsWithoutEffect)
{
    auto WrongInterface = Control(Class(0x22, 3, 0, /*Index*/ 1));
    auto ShortCoding = Control(Class(0x20, 0, 6), Bytes(6, 0));
    auto Unknown = Control(Class(0x42, 0, 0));
    Run();
    EXPECT_EQ(WrongInterface->Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(ShortCoding->Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(Unknown->Status, USBD_STATUS_STALL_PID);
    EXPECT_EQ(Dev->ControlLineState(), 0);
}

TEST_F(UsbModel, ControlLineStateAndBreak_FollowAcceptedRequests)
{
    Control(Class(0x22, 0x3, 0));
    Control(Class(0x23, 0xFFFF, 0));
    Run();
    EXPECT_EQ(Dev->ControlLineState(), 0x3);
    EXPECT_TRUE(Dev->BreakActive());
    Dev->QueueControlAnswer({Answer::Never});
    auto Pending = Control(Class(0x22, 0x0, 0));
    Run();
    EXPECT_FALSE(Pending->Done);
    EXPECT_EQ(Dev->OutstandingControl(), 1u);
    Dev->Abort(Dev->Transfers().back().Id);
    Run();
    EXPECT_EQ(Pending->Status, USBD_STATUS_CANCELED);
    EXPECT_EQ(Dev->ControlLineState(), 0x3) << "a request that never completed changes nothing";
}

TEST_F(UsbModel, StandardRequests_AnsweredAtOnceAndRecorded)
{
    auto Desc = Control(SetupPacket{0x80, 0x06, 0x0100, 0, 8});
    Run();
    const Bytes Device = Dev->DeviceDescriptor();
    EXPECT_EQ(Desc->Data, Bytes(Device.begin(), Device.begin() + 8)) << "cut at wLength";
    Bytes Config;
    EXPECT_EQ(Dev->StandardRequest(SetupPacket{0x80, 0x06, 0x0200, 0, 0xFFFF}, {}, &Config), USBD_STATUS_SUCCESS);
    EXPECT_EQ(Config, Dev->ConfigurationDescriptor());
    EXPECT_EQ(Dev->StandardRequest(SetupPacket{0x00, 0x09, 7, 0, 0}, {}, nullptr), USBD_STATUS_STALL_PID)
        << "no configuration 7";
    EXPECT_EQ(Dev->Transfers().size(), 3u);
}

// ---- loopback ----

TEST_F(UsbModel, Loopback_LineChangesComeBackAsSerialState)
{
    CdcAcmOptions O;
    O.Loopback = true;
    Make(O);
    Control(Class(0x22, 0x1, 0)); // DTR
    Run();
    auto First = InThenRun(0x81, 16);
    EXPECT_EQ(First->Data, (Bytes{0xA1, 0x20, 0, 0, 0, 0, 2, 0, 0x02, 0x00})) << "DTR comes back as DSR";
    Control(Class(0x22, 0x3, 0)); // DTR and RTS
    Control(Class(0x22, 0x3, 0)); // no change: no notification
    Run();
    auto Second = InThenRun(0x81, 16);
    auto Third = InThenRun(0x81, 16);
    ASSERT_TRUE(Second->Done);
    EXPECT_EQ(Second->Data[8], 0x03) << "RTS comes back as carrier";
    EXPECT_FALSE(Third->Done);
}

TEST_F(UsbModel, Loopback_EchoesOnlyTheBytesTheDeviceTook)
{
    CdcAcmOptions O;
    O.Loopback = true;
    Make(O);
    Dev->QueueBulkOutAnswer({Answer::Partial, 0, 3});
    Out(Text("hello"));
    Out(Text("lo"));
    Run();
    auto A = InThenRun(0x82, 64);
    auto B = InThenRun(0x82, 64);
    EXPECT_EQ(A->Data, Text("hel"));
    EXPECT_EQ(B->Data, Text("lo"));
}

} // namespace

// The framework's USB target objects through the kit API: descriptors,
// configuration selection, pipes, transfers on the default and data pipes,
// and the continuous reader. A device is added (not started) so the driver
// has no USB target of its own; the test drives its own with a small set of
// callbacks.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CdcAcmDevice.h"
#include "support/TestSupport.h"
#include "FxHost.h"
#include "World.h"

#include <wdfusb.h>

using namespace world;
using test_support::Text;

namespace {

struct TEST_BUFFER_CONTEXT {
    ULONG Marker;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(TEST_BUFFER_CONTEXT, TestBufferContext)

constexpr ULONG kTestTag = 0x74737554; /* 'Tust' */

struct SentResult {
    bool Done = false;
    NTSTATUS Status = STATUS_PENDING;
    ULONG_PTR Information = 0;
    WDF_USB_REQUEST_COMPLETION_PARAMS Usb{};
    KIRQL Irql = 0xFF;
    VirtualTime At = -1;
};

struct ReadSeen {
    Bytes Data;
    WDFCONTEXT Context;
    KIRQL Irql;
    bool HasBufferContext;
    WDFMEMORY Buffer;
};

struct FailureSeen {
    NTSTATUS Status;
    USBD_STATUS Usbd;
    KIRQL Irql;
};

class UsbStandIn : public test_support::WorldTest {
protected:
    std::shared_ptr<CdcAcmDevice> Dev;
    WDFDEVICE Device = nullptr;
    WDFUSBDEVICE Usb = nullptr;

    /* What the test callbacks saw. */
    static UsbStandIn *Self;
    std::vector<ReadSeen> Reads;
    std::vector<FailureSeen> Failures;
    bool HoldBuffers = false;
    BOOLEAN RestartAfterFailure = TRUE;

    void SetUp() override
    {
        WorldTest::SetUp();
        Self = this;
    }
    void TearDown() override
    {
        Self = nullptr;
        WorldTest::TearDown();
    }

    WDFDEVICE AddUnstarted(const std::shared_ptr<CdcAcmDevice> &Model, const char16_t *Port)
    {
        DeviceNode *Node = W.AddDevice(Model, test_support::PortKey(Port), /*Start*/ false);
        EXPECT_NE(Node, nullptr);
        if (Node == nullptr) return nullptr;
        fx::Device *D = fx::DeviceOfNode(Node);
        EXPECT_NE(D, nullptr);
        return D == nullptr ? nullptr : D->DeviceHandle();
    }
    void Make(CdcAcmOptions Options = {}, bool Target = true)
    {
        Dev = std::make_shared<CdcAcmDevice>(Options);
        Device = AddUnstarted(Dev, u"COM7");
        ASSERT_NE(Device, nullptr);
        if (Target) {
            ASSERT_EQ(WdfUsbTargetDeviceCreate(Device, WDF_NO_OBJECT_ATTRIBUTES, &Usb), STATUS_SUCCESS);
        }
    }
    NTSTATUS SelectAllAtSettingZero()
    {
        UCHAR Count = WdfUsbTargetDeviceGetNumInterfaces(Usb);
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params;
        std::vector<WDF_USB_INTERFACE_SETTING_PAIR> Pairs(Count);
        if (Count == 1) {
            WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&Params);
        } else {
            for (UCHAR I = 0; I < Count; ++I) Pairs[I] = {WdfUsbTargetDeviceGetInterface(Usb, I), 0};
            WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&Params, Count, Pairs.data());
        }
        return WdfUsbTargetDeviceSelectConfig(Usb, WDF_NO_OBJECT_ATTRIBUTES, &Params);
    }
    WDFUSBPIPE Pipe(UCHAR Interface, UCHAR Index, PWDF_USB_PIPE_INFORMATION Info = nullptr)
    {
        return WdfUsbInterfaceGetConfiguredPipe(WdfUsbTargetDeviceGetInterface(Usb, Interface), Index, Info);
    }
    WDFUSBPIPE BulkIn() { return Pipe(1, 0); }
    WDFUSBPIPE BulkOut() { return Pipe(1, 1); }

    /* A driver-style request with a memory of Data (or Length zero bytes). */
    WDFREQUEST NewRequest(const Bytes &Data, WDFMEMORY *Memory, std::size_t Length = 0)
    {
        WDF_OBJECT_ATTRIBUTES Attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&Attributes);
        Attributes.ParentObject = Usb;
        WDFREQUEST Request = nullptr;
        EXPECT_EQ(WdfRequestCreate(&Attributes, WdfUsbTargetDeviceGetIoTarget(Usb), &Request), STATUS_SUCCESS);
        WDF_OBJECT_ATTRIBUTES_INIT(&Attributes);
        Attributes.ParentObject = Request;
        PVOID Buffer = nullptr;
        const std::size_t Size = Data.empty() ? Length : Data.size();
        EXPECT_EQ(WdfMemoryCreate(&Attributes, NonPagedPool, kTestTag, Size, Memory, &Buffer), STATUS_SUCCESS);
        if (!Data.empty()) std::memcpy(Buffer, Data.data(), Data.size());
        return Request;
    }
    Bytes MemoryBytes(WDFMEMORY Memory, std::size_t Count)
    {
        size_t Size = 0;
        auto *P = static_cast<std::uint8_t *>(WdfMemoryGetBuffer(Memory, &Size));
        return Bytes(P, P + std::min(Count, static_cast<std::size_t>(Size)));
    }
    std::shared_ptr<SentResult> Send(WDFREQUEST Request, WDFIOTARGET Target, LONGLONG Timeout = 0)
    {
        auto Result = std::make_shared<SentResult>();
        WdfRequestSetCompletionRoutine(Request, OnRequestDone, Result.get());
        WDF_REQUEST_SEND_OPTIONS Options;
        WDF_REQUEST_SEND_OPTIONS_INIT(&Options, 0);
        if (Timeout != 0) WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&Options, Timeout);
        EXPECT_TRUE(WdfRequestSend(Request, Target, &Options));
        Sent.push_back(Result);
        return Result;
    }
    std::vector<std::shared_ptr<SentResult>> Sent;

    /* A device selected at setting zero whose bulk-in pipe has a continuous
       reader, configured and started. */
    void StartBulkInReader()
    {
        Make();
        ASSERT_EQ(SelectAllAtSettingZero(), STATUS_SUCCESS);
        ASSERT_EQ(ConfigReader(BulkIn()), STATUS_SUCCESS);
        ASSERT_EQ(WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(BulkIn())), STATUS_SUCCESS);
    }

    NTSTATUS ConfigReader(WDFUSBPIPE P, UCHAR PendingReads = 1, size_t Length = 64)
    {
        WDF_USB_CONTINUOUS_READER_CONFIG Config;
        WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&Config, OnRead, this, Length);
        Config.NumPendingReads = PendingReads;
        Config.EvtUsbTargetPipeReadersFailed = OnReadersFailed;
        WDF_OBJECT_ATTRIBUTES Attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&Attributes, TEST_BUFFER_CONTEXT);
        Config.BufferAttributes = &Attributes;
        return WdfUsbTargetPipeConfigContinuousReader(P, &Config);
    }
    std::vector<Bytes> ReadData() const
    {
        std::vector<Bytes> Out;
        for (const ReadSeen &R : Reads) Out.push_back(R.Data);
        return Out;
    }

    static void OnRequestDone(WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS Params, WDFCONTEXT Context)
    {
        auto *R = static_cast<SentResult *>(Context);
        R->Done = true;
        R->Status = Params->IoStatus.Status;
        R->Information = Params->IoStatus.Information;
        if (Params->Type == WdfRequestTypeUsb && Params->Parameters.Usb.Completion != nullptr) {
            R->Usb = *Params->Parameters.Usb.Completion;
        }
        R->Irql = KeGetCurrentIrql();
        R->At = Self->W.Clock().Now();
    }
    static void OnRead(WDFUSBPIPE, WDFMEMORY Buffer, size_t Count, WDFCONTEXT Context)
    {
        size_t Size = 0;
        auto *P = static_cast<std::uint8_t *>(WdfMemoryGetBuffer(Buffer, &Size));
        Self->Reads.push_back(
            {Bytes(P, P + Count), Context, KeGetCurrentIrql(), TestBufferContext(Buffer) != nullptr, Buffer});
        if (Self->HoldBuffers) WdfObjectReference(Buffer);
    }
    static BOOLEAN OnReadersFailed(WDFUSBPIPE, NTSTATUS Status, USBD_STATUS Usbd)
    {
        Self->Failures.push_back({Status, Usbd, KeGetCurrentIrql()});
        return Self->RestartAfterFailure;
    }
};
UsbStandIn *UsbStandIn::Self = nullptr;

// ---- descriptors and information ----

struct ConfigQueryCase {
    const char *Name;
    std::optional<std::uint16_t> Reported;
};

class UsbConfigQuery : public UsbStandIn, public ::testing::WithParamInterface<ConfigQueryCase> {};

TEST_P(UsbConfigQuery, SizeQueryShortBufferAndFullRead_HonourTheReportedLength)
{
    CdcAcmOptions O;
    O.ReportedTotalLength = GetParam().Reported;
    Make(O);
    const Bytes Real = Dev->ConfigurationDescriptor();
    const USHORT Expected = GetParam().Reported ? *GetParam().Reported : static_cast<USHORT>(Real.size());

    USHORT Length = 0;
    EXPECT_EQ(WdfUsbTargetDeviceRetrieveConfigDescriptor(Usb, nullptr, &Length), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Length, Expected);

    std::vector<std::uint8_t> Buffer(Expected + 8, 0xEE);
    if (Expected > 0) {
        Length = Expected - 1;
        EXPECT_EQ(WdfUsbTargetDeviceRetrieveConfigDescriptor(Usb, Buffer.data(), &Length), STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(Length, Expected);
    }
    Length = static_cast<USHORT>(Buffer.size());
    EXPECT_EQ(WdfUsbTargetDeviceRetrieveConfigDescriptor(Usb, Buffer.data(), &Length), STATUS_SUCCESS);
    EXPECT_EQ(Length, Expected);
    const std::size_t Same = std::min<std::size_t>(Expected, Real.size());
    EXPECT_TRUE(std::equal(Real.begin(), Real.begin() + Same, Buffer.begin()));
    EXPECT_EQ(Buffer[Expected], 0xEE) << "nothing written past the reported length";
}

INSTANTIATE_TEST_SUITE_P(Lengths, UsbConfigQuery,
                         ::testing::Values(ConfigQueryCase{"Real", std::nullopt}, ConfigQueryCase{"Zero", 0},
                                           ConfigQueryCase{"Truncated", 20}),
                         test_support::CaseName());

TEST_F(UsbStandIn, Create_ReadsTheDescriptorsOverTheDefaultPipe)
{
    Make();
    USB_DEVICE_DESCRIPTOR D;
    WdfUsbTargetDeviceGetDeviceDescriptor(Usb, &D);
    EXPECT_EQ(D.bLength, 18);
    EXPECT_EQ(Bytes(reinterpret_cast<std::uint8_t *>(&D), reinterpret_cast<std::uint8_t *>(&D) + 18),
              Dev->DeviceDescriptor());
    std::vector<std::uint16_t> Requested;
    for (const TransferRecord &T : Dev->Transfers()) {
        ASSERT_EQ(T.Kind, TransferKind::Control);
        EXPECT_EQ(T.Setup.bRequest, 0x06) << "GET_DESCRIPTOR";
        Requested.push_back(T.Setup.wValue);
    }
    EXPECT_EQ(Requested, (std::vector<std::uint16_t>{0x0100, 0x0200, 0x0200}));
    ASSERT_EQ(SelectAllAtSettingZero(), STATUS_SUCCESS);
    EXPECT_EQ(Dev->Transfers().back().Setup.bRequest, 0x09) << "SET_CONFIGURATION";
    EXPECT_EQ(Dev->Transfers().back().Setup.wValue, 1);
}

TEST_F(UsbStandIn, RetrieveInformation_TraitsFollowTheConfigurationAttributes)
{
    for (bool Wake : {false, true}) {
        CdcAcmOptions O;
        O.RemoteWake = Wake;
        auto Model = std::make_shared<CdcAcmDevice>(O);
        WDFDEVICE D = AddUnstarted(Model, Wake ? u"COM21" : u"COM20");
        WDFUSBDEVICE U = nullptr;
        ASSERT_EQ(WdfUsbTargetDeviceCreate(D, WDF_NO_OBJECT_ATTRIBUTES, &U), STATUS_SUCCESS);
        WDF_USB_DEVICE_INFORMATION Info;
        WDF_USB_DEVICE_INFORMATION_INIT(&Info);
        ASSERT_EQ(WdfUsbTargetDeviceRetrieveInformation(U, &Info), STATUS_SUCCESS);
        EXPECT_EQ((Info.Traits & WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE) != 0, Wake);
        EXPECT_EQ(Info.Traits & WDF_USB_DEVICE_TRAIT_SELF_POWERED, 0u) << "bus powered";
    }
}

// ---- configuration selection ----

enum class Select { Single, Pairs, Multi, PairsDuplicate, PairsSettingOne, PairsTooFew };

struct SelectCase {
    const char *Name;
    int Interfaces;
    Select How;
    NTSTATUS Status;
    std::vector<int> PipesPerInterface;
};

class UsbSelection : public UsbStandIn, public ::testing::WithParamInterface<SelectCase> {};

TEST_P(UsbSelection, Params_ValidatedAndPipesCreatedForTheConfiguredSettings)
{
    const SelectCase &C = GetParam();
    CdcAcmOptions O;
    O.Interfaces = C.Interfaces;
    Make(O);
    const UCHAR Count = WdfUsbTargetDeviceGetNumInterfaces(Usb);
    ASSERT_EQ(Count, C.Interfaces);
    std::vector<WDF_USB_INTERFACE_SETTING_PAIR> Pairs;
    for (UCHAR I = 0; I < Count; ++I) Pairs.push_back({WdfUsbTargetDeviceGetInterface(Usb, I), 0});
    UCHAR PairCount = Count;
    switch (C.How) {
    case Select::PairsDuplicate: Pairs.back().UsbInterface = Pairs.front().UsbInterface; break;
    case Select::PairsSettingOne: Pairs.back().SettingIndex = 1; break;
    case Select::PairsTooFew: PairCount = 1; break;
    default: break;
    }
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params;
    if (C.How == Select::Single) {
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&Params);
    } else if (C.How == Select::Multi) {
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&Params, 0, nullptr);
    } else {
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&Params, PairCount, Pairs.data());
    }
    EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(Usb, WDF_NO_OBJECT_ATTRIBUTES, &Params), C.Status);
    std::vector<int> Pipes;
    for (UCHAR I = 0; I < Count; ++I) {
        WDFUSBINTERFACE If = WdfUsbTargetDeviceGetInterface(Usb, I);
        Pipes.push_back(WdfUsbInterfaceGetNumConfiguredPipes(If));
        EXPECT_EQ(WdfUsbInterfaceGetConfiguredSettingIndex(If), 0);
    }
    EXPECT_EQ(Pipes, C.PipesPerInterface);
    if (C.Status == STATUS_SUCCESS && C.How == Select::Single) {
        EXPECT_EQ(Params.Types.SingleInterface.NumberConfiguredPipes, 3);
        EXPECT_EQ(Params.Types.SingleInterface.ConfiguredUsbInterface, WdfUsbTargetDeviceGetInterface(Usb, 0));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Params, UsbSelection,
    ::testing::Values(SelectCase{"SingleOnTwoInterfaces", 2, Select::Single, STATUS_INVALID_PARAMETER, {0, 0}},
                      SelectCase{"PairsOnTwoInterfaces", 2, Select::Pairs, STATUS_SUCCESS, {1, 2}},
                      SelectCase{"MultiOnTwoInterfaces", 2, Select::Multi, STATUS_SUCCESS, {1, 2}},
                      SelectCase{"SingleOnOneInterface", 1, Select::Single, STATUS_SUCCESS, {3}},
                      SelectCase{"PairsOnOneInterface", 1, Select::Pairs, STATUS_SUCCESS, {3}},
                      SelectCase{"SameInterfaceTwice", 2, Select::PairsDuplicate, STATUS_INVALID_PARAMETER, {0, 0}},
                      SelectCase{
                          "SettingThatDoesNotExist", 2, Select::PairsSettingOne, STATUS_INVALID_PARAMETER, {0, 0}},
                      SelectCase{"InterfaceLeftOut", 2, Select::PairsTooFew, STATUS_INVALID_PARAMETER, {0, 0}}),
    test_support::CaseName());

TEST_F(UsbStandIn, SelectConfig_InterfaceOfAnotherDeviceIsRefused)
{
    Make();
    auto Other = std::make_shared<CdcAcmDevice>();
    WDFUSBDEVICE OtherUsb = nullptr;
    ASSERT_EQ(WdfUsbTargetDeviceCreate(AddUnstarted(Other, u"COM8"), WDF_NO_OBJECT_ATTRIBUTES, &OtherUsb),
              STATUS_SUCCESS);
    WDF_USB_INTERFACE_SETTING_PAIR Pairs[2] = {{WdfUsbTargetDeviceGetInterface(Usb, 0), 0},
                                               {WdfUsbTargetDeviceGetInterface(OtherUsb, 1), 0}};
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&Params, 2, Pairs);
    EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(Usb, WDF_NO_OBJECT_ATTRIBUTES, &Params), STATUS_INVALID_PARAMETER);
}

TEST_F(UsbStandIn, SelectConfig_AgainReplacesThePipes)
{
    Make();
    ASSERT_EQ(SelectAllAtSettingZero(), STATUS_SUCCESS);
    WDFUSBPIPE Old = BulkIn();
    const std::size_t Live = W.LiveObjects();
    ASSERT_EQ(SelectAllAtSettingZero(), STATUS_SUCCESS);
    EXPECT_EQ(W.LiveObjects(), Live) << "the old pipes are deleted, new ones take their place";
    EXPECT_NE(BulkIn(), Old);
    WdfUsbTargetPipeGetType(Old);
    ASSERT_EQ(TakeReports().size(), 1u) << "the old pipe handle is dead";
}

TEST_F(UsbStandIn, Interfaces_AndPipes_DescribeTheSelectedSetting)
{
    CdcAcmOptions O;
    O.CommInterfaceNumber = 4;
    O.DataInterfaceNumber = 6;
    O.ExtraIsochronousIn = true;
    Make(O);
    ASSERT_EQ(SelectAllAtSettingZero(), STATUS_SUCCESS);
    WDFUSBINTERFACE Comm = WdfUsbTargetDeviceGetInterface(Usb, 0);
    WDFUSBINTERFACE Data = WdfUsbTargetDeviceGetInterface(Usb, 1);
    EXPECT_EQ(WdfUsbTargetDeviceGetInterface(Usb, 2), nullptr);
    EXPECT_EQ(WdfUsbInterfaceGetInterfaceNumber(Comm), 4);
    EXPECT_EQ(WdfUsbInterfaceGetInterfaceNumber(Data), 6);
    EXPECT_EQ(WdfUsbInterfaceGetNumEndpoints(Data, 0), 3);
    EXPECT_EQ(WdfUsbInterfaceGetNumEndpoints(Data, 1), 0) << "no setting 1";
    USB_INTERFACE_DESCRIPTOR D;
    WdfUsbInterfaceGetDescriptor(Comm, 0, &D);
    EXPECT_EQ(D.bInterfaceNumber, 4);
    EXPECT_EQ(D.bInterfaceClass, 0x02);

    struct Expect {
        UCHAR If, Index, Address;
        WDF_USB_PIPE_TYPE Type;
        ULONG Packet;
        bool In;
    };
    for (const Expect &E :
         {Expect{0, 0, 0x81, WdfUsbPipeTypeInterrupt, 16, true}, Expect{1, 0, 0x82, WdfUsbPipeTypeBulk, 64, true},
          Expect{1, 1, 0x02, WdfUsbPipeTypeBulk, 64, false}, Expect{1, 2, 0x83, WdfUsbPipeTypeIsochronous, 64, true}}) {
        WDF_USB_PIPE_INFORMATION Info;
        WDF_USB_PIPE_INFORMATION_INIT(&Info);
        WDFUSBPIPE P = Pipe(E.If, E.Index, &Info);
        ASSERT_NE(P, nullptr);
        EXPECT_EQ(Info.EndpointAddress, E.Address);
        EXPECT_EQ(Info.PipeType, E.Type);
        EXPECT_EQ(Info.MaximumPacketSize, E.Packet);
        EXPECT_EQ(Info.SettingIndex, 0);
        EXPECT_EQ(WdfUsbTargetPipeGetType(P), E.Type);
        EXPECT_EQ(WdfUsbTargetPipeIsInEndpoint(P), E.In);
        EXPECT_EQ(WdfUsbTargetPipeIsOutEndpoint(P), !E.In);
    }
    EXPECT_EQ(Pipe(1, 3), nullptr);
}

// ---- transfers on the data pipes ----

struct WriteCase {
    const char *Name;
    AnswerSpec Spec;
    NTSTATUS Status;
    USBD_STATUS Usbd;
    std::size_t Length;
};

class UsbPipeWrites : public UsbStandIn, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(UsbPipeWrites, Answer_ReachesTheCompletionRoutineAsStatusAndLength)
{
    const WriteCase &C = GetParam();
    Make();
    ASSERT_EQ(SelectAllAtSettingZero(), STATUS_SUCCESS);
    Dev->QueueBulkOutAnswer(C.Spec);
    WDFMEMORY Memory;
    WDFREQUEST Request = NewRequest(Text("hello"), &Memory);
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForWrite(BulkOut(), Request, Memory, nullptr), STATUS_SUCCESS);
    auto R = Send(Request, WdfUsbTargetPipeGetIoTarget(BulkOut()));
    EXPECT_FALSE(R->Done) << "completion is never run inside WdfRequestSend";
    Run();
    ASSERT_TRUE(R->Done);
    EXPECT_EQ(R->Status, C.Status);
    EXPECT_EQ(R->Usb.UsbdStatus, C.Usbd);
    EXPECT_EQ(R->Usb.Type, WdfUsbRequestTypePipeWrite);
    EXPECT_EQ(R->Usb.Parameters.PipeWrite.Length, C.Length);
    EXPECT_EQ(R->Irql, DISPATCH_LEVEL);
    ASSERT_EQ(Dev->BulkOutPackets().size(), 1u);
    EXPECT_EQ(Dev->BulkOutPackets()[0].Data, Text("hello"));
}

INSTANTIATE_TEST_SUITE_P(
    Answers, UsbPipeWrites,
    ::testing::Values(WriteCase{"Accept", {Answer::Accept}, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 5},
                      WriteCase{"Partial", {Answer::Partial, 0, 2}, STATUS_SUCCESS, USBD_STATUS_SUCCESS, 2},
                      WriteCase{"Stall", {Answer::Stall}, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID, 0},
                      WriteCase{"DeviceGone",
                                {Answer::Fail, 0, 0, USBD_STATUS_DEVICE_GONE},
                                STATUS_NO_SUCH_DEVICE,
                                USBD_STATUS_DEVICE_GONE,
                                0}),
    test_support::CaseName());

TEST_F(UsbStandIn, BulkOut_NeverAnsweredWriteTimesOutAndIsCancelledAtTheDevice)
{
    Make();
    ASSERT_EQ(SelectAllAtSettingZero(), STATUS_SUCCESS);
    Dev->QueueBulkOutAnswer({Answer::Never});
    WDFMEMORY Memory;
    WDFREQUEST Request = NewRequest(Text("stuck"), &Memory);
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForWrite(BulkOut(), Request, Memory, nullptr), STATUS_SUCCESS);
    auto R = Send(Request, WdfUsbTargetPipeGetIoTarget(BulkOut()), WDF_REL_TIMEOUT_IN_SEC(1));
    Run();
    ASSERT_TRUE(R->Done);
    EXPECT_EQ(R->Status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(R->At, kSecond);
    EXPECT_TRUE(Dev->BulkOutPackets()[0].Cancelled);
    EXPECT_EQ(Dev->OutstandingOut(), 0u);
}

TEST_F(UsbStandIn, BulkIn_ReadLengthMustBeWholePacketsUnlessTheCheckIsOff)
{
    Make();
    ASSERT_EQ(SelectAllAtSettingZero(), STATUS_SUCCESS);
    WDFMEMORY Memory;
    WDFREQUEST Request = NewRequest({}, &Memory, 10);
    EXPECT_EQ(WdfUsbTargetPipeFormatRequestForRead(BulkIn(), Request, Memory, nullptr), STATUS_INVALID_BUFFER_SIZE);
    WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(BulkIn());
    ASSERT_EQ(WdfUsbTargetPipeFormatRequestForRead(BulkIn(), Request, Memory, nullptr), STATUS_SUCCESS);
    auto R = Send(Request, WdfUsbTargetPipeGetIoTarget(BulkIn()));
    Dev->SendBulkInText("abcdefghijklmno");
    Run();
    ASSERT_TRUE(R->Done);
    EXPECT_EQ(R->Status, STATUS_SUCCESS);
    EXPECT_EQ(R->Usb.Parameters.PipeRead.Length, 10u);
    EXPECT_EQ(MemoryBytes(Memory, 10), Text("abcdefghij"));
    EXPECT_EQ(Dev->Transfers().back().Requested, 10u);
}

TEST_F(UsbStandIn, Format_WrongDirectionIsReported)
{
    Make();
    ASSERT_EQ(SelectAllAtSettingZero(), STATUS_SUCCESS);
    WDFMEMORY Memory;
    WDFREQUEST Request = NewRequest(Text("x"), &Memory);
    EXPECT_EQ(WdfUsbTargetPipeFormatRequestForWrite(BulkIn(), Request, Memory, nullptr), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(TakeReports().size(), 1u);
}

TEST_F(UsbStandIn, ResetSynchronously_ResetsTheEndpointAtPassiveLevelOnly)
{
    Make();
    ASSERT_EQ(SelectAllAtSettingZero(), STATUS_SUCCESS);
    EXPECT_EQ(WdfUsbTargetPipeResetSynchronously(BulkOut(), WDF_NO_HANDLE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(Dev->EndpointResets(0x02), 1u);
    {
        fx::IrqlScope Dispatch(DISPATCH_LEVEL);
        EXPECT_FALSE(NT_SUCCESS(WdfUsbTargetPipeResetSynchronously(BulkOut(), WDF_NO_HANDLE, nullptr)));
    }
    EXPECT_EQ(TakeReports().size(), 1u);
    EXPECT_EQ(Dev->EndpointResets(0x02), 1u);
    Dev->Disconnect();
    EXPECT_EQ(WdfUsbTargetPipeResetSynchronously(BulkOut(), WDF_NO_HANDLE, nullptr), STATUS_NO_SUCH_DEVICE);
}

// ---- control transfers ----

TEST_F(UsbStandIn, ControlTransfer_SendsTheSetupWithLengthFromTheMemory)
{
    Make();
    const Bytes Coding{0x00, 0xC2, 0x01, 0x00, 0x00, 0x00, 0x08};
    WDFMEMORY Memory;
    WDFREQUEST Request = NewRequest(Coding, &Memory);
    WDF_USB_CONTROL_SETUP_PACKET Setup;
    WDF_USB_CONTROL_SETUP_PACKET_INIT_CLASS(&Setup, BmRequestHostToDevice, BmRequestToInterface, 0x20, 0, 0);
    Setup.Packet.wLength = 99; // the framework fills it from the memory
    ASSERT_EQ(WdfUsbTargetDeviceFormatRequestForControlTransfer(Usb, Request, &Setup, Memory, nullptr), STATUS_SUCCESS);
    auto R = Send(Request, WdfUsbTargetDeviceGetIoTarget(Usb));
    Run();
    ASSERT_TRUE(R->Done);
    EXPECT_EQ(R->Status, STATUS_SUCCESS);
    EXPECT_EQ(R->Usb.Parameters.DeviceControlTransfer.Length, 7u);
    auto Class = Dev->ClassRequests();
    ASSERT_EQ(Class.size(), 1u);
    EXPECT_EQ(Class[0].Setup.bmRequestType, 0x21);
    EXPECT_EQ(Class[0].Setup.wLength, 7);
    EXPECT_EQ(Class[0].Data, Coding);
    EXPECT_EQ(Dev->LineCoding(), Coding);
}

TEST_F(UsbStandIn, ControlTransfer_InStageLandsInTheMemory)
{
    Make();
    WDFMEMORY Memory;
    WDFREQUEST Request = NewRequest({}, &Memory, 7);
    WDF_USB_CONTROL_SETUP_PACKET Setup;
    WDF_USB_CONTROL_SETUP_PACKET_INIT_CLASS(&Setup, BmRequestDeviceToHost, BmRequestToInterface, 0x21, 0, 0);
    ASSERT_EQ(WdfUsbTargetDeviceFormatRequestForControlTransfer(Usb, Request, &Setup, Memory, nullptr), STATUS_SUCCESS);
    auto R = Send(Request, WdfUsbTargetDeviceGetIoTarget(Usb));
    Run();
    ASSERT_TRUE(R->Done);
    EXPECT_EQ(R->Status, STATUS_SUCCESS);
    EXPECT_EQ(MemoryBytes(Memory, 7), Dev->LineCoding());
}

TEST_F(UsbStandIn, ControlTransfer_UnansweredTimesOutWithIoTimeout)
{
    Make();
    Dev->QueueControlAnswer({Answer::Never});
    WDFMEMORY Memory;
    WDFREQUEST Request = NewRequest({}, &Memory, 1);
    WDF_USB_CONTROL_SETUP_PACKET Setup;
    WDF_USB_CONTROL_SETUP_PACKET_INIT_CLASS(&Setup, BmRequestHostToDevice, BmRequestToInterface, 0x22, 3, 0);
    ASSERT_EQ(WdfUsbTargetDeviceFormatRequestForControlTransfer(Usb, Request, &Setup, nullptr, nullptr),
              STATUS_SUCCESS);
    auto R = Send(Request, WdfUsbTargetDeviceGetIoTarget(Usb), WDF_REL_TIMEOUT_IN_SEC(5));
    W.Clock().AdvanceBy(5 * kSecond - 1);
    EXPECT_FALSE(R->Done);
    Run();
    ASSERT_TRUE(R->Done);
    EXPECT_EQ(R->Status, STATUS_IO_TIMEOUT);
    EXPECT_EQ(R->At, 5 * kSecond);
    EXPECT_EQ(Dev->ControlLineState(), 0) << "a request that timed out changes nothing at the device";
    EXPECT_TRUE(Dev->ClassRequests()[0].Cancelled);
}

// Guards against a completion reaching a target that was deleted while the
// request was in flight (the request would never complete, or worse).
TEST_F(UsbStandIn, DeletingTheUsbDevice_GivesBackItsSentRequestsCancelled)
{
    Make();
    Dev->QueueControlAnswer({Answer::Never});
    WDF_OBJECT_ATTRIBUTES Attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&Attributes);
    Attributes.ParentObject = Device;
    WDFREQUEST Request = nullptr;
    ASSERT_EQ(WdfRequestCreate(&Attributes, WdfUsbTargetDeviceGetIoTarget(Usb), &Request), STATUS_SUCCESS);
    WDF_USB_CONTROL_SETUP_PACKET Setup;
    WDF_USB_CONTROL_SETUP_PACKET_INIT_CLASS(&Setup, BmRequestHostToDevice, BmRequestToInterface, 0x23, 0xFFFF, 0);
    ASSERT_EQ(WdfUsbTargetDeviceFormatRequestForControlTransfer(Usb, Request, &Setup, nullptr, nullptr),
              STATUS_SUCCESS);
    auto R = Send(Request, WdfUsbTargetDeviceGetIoTarget(Usb));
    Run();
    WdfObjectDelete(Usb);
    ASSERT_TRUE(R->Done);
    EXPECT_EQ(R->Status, STATUS_CANCELLED);
    Run();
    EXPECT_EQ(Dev->OutstandingControl(), 0u);
    WdfObjectDelete(Request);
}

// ---- continuous reader ----

TEST_F(UsbStandIn, Reader_IdleUntilStartedThenOneReadOfExactlyTransferLength)
{
    Make();
    ASSERT_EQ(SelectAllAtSettingZero(), STATUS_SUCCESS);
    ASSERT_EQ(ConfigReader(BulkIn()), STATUS_SUCCESS);
    Dev->SendBulkInText("one");
    Run();
    EXPECT_EQ(Dev->OutstandingIn(0x82), 0u) << "configured but not started";
    EXPECT_TRUE(Reads.empty());

    ASSERT_EQ(WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(BulkIn())), STATUS_SUCCESS);
    Dev->SendBulkInText("two");
    Dev->SendBulkInText("three", kMillisecond);
    Run();
    EXPECT_EQ(ReadData(), (std::vector<Bytes>{Text("one"), Text("two"), Text("three")}));
    EXPECT_EQ(Dev->OutstandingIn(0x82), 1u);
    for (const TransferRecord &T : Dev->Transfers()) {
        if (T.Kind == TransferKind::BulkIn) {
            EXPECT_EQ(T.Requested, 64u);
        }
    }
    for (const ReadSeen &R : Reads) {
        EXPECT_EQ(R.Context, this);
        EXPECT_EQ(R.Irql, DISPATCH_LEVEL);
        EXPECT_TRUE(R.HasBufferContext) << "every buffer carries the configured context";
    }
}

TEST_F(UsbStandIn, Reader_DefaultPendingReadsIsTwo)
{
    Make();
    ASSERT_EQ(SelectAllAtSettingZero(), STATUS_SUCCESS);
    ASSERT_EQ(ConfigReader(BulkIn(), 0), STATUS_SUCCESS);
    ASSERT_EQ(WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(BulkIn())), STATUS_SUCCESS);
    Run();
    EXPECT_EQ(Dev->OutstandingIn(0x82), 2u);
}

TEST_F(UsbStandIn, Reader_StopCancelsThePendingReadAndStartResumes)
{
    ASSERT_NO_FATAL_FAILURE(StartBulkInReader());
    WDFIOTARGET Target = WdfUsbTargetPipeGetIoTarget(BulkIn());
    Run();
    WdfIoTargetStop(Target, WdfIoTargetCancelSentIo);
    EXPECT_EQ(Dev->OutstandingIn(0x82), 0u) << "the stop returns once the read is back";
    Dev->SendBulkInText("while stopped");
    Run();
    EXPECT_TRUE(Reads.empty());
    EXPECT_TRUE(Failures.empty()) << "a cancelled read is no reader failure";
    ASSERT_EQ(WdfIoTargetStart(Target), STATUS_SUCCESS);
    Run();
    EXPECT_EQ(ReadData(), (std::vector<Bytes>{Text("while stopped")}));
}

TEST_F(UsbStandIn, Reader_HeldBufferStaysValidAndDoesNotBlockTheNextRead)
{
    ASSERT_NO_FATAL_FAILURE(StartBulkInReader());
    HoldBuffers = true;
    Dev->SendBulkInText("held");
    Run();
    HoldBuffers = false;
    EXPECT_EQ(Dev->OutstandingIn(0x82), 1u) << "a held buffer does not count against the pending reads";
    Dev->SendBulkInText("next");
    Run();
    ASSERT_EQ(Reads.size(), 2u);
    EXPECT_EQ(MemoryBytes(Reads[0].Buffer, 4), Text("held"));
    EXPECT_NE(TestBufferContext(Reads[0].Buffer), nullptr);
    // Guards against a held buffer outliving the driver's last reference
    // (freed only at some later reader activity, as a lazy framework would).
    const std::size_t LiveWhileHeld = W.LiveObjects();
    WdfObjectDereference(Reads[0].Buffer);
    EXPECT_EQ(W.LiveObjects(), LiveWhileHeld - 1) << "the buffer goes with the driver's last reference";
    Dev->SendBulkInText("after");
    Run();
    EXPECT_EQ(Reads.size(), 3u);
}

struct FailureCase {
    const char *Name;
    BOOLEAN Restart;
};

class UsbReaderFailure : public UsbStandIn, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(UsbReaderFailure, FailedRead_ReportedAtPassiveThenRestartedAfterAResetOnlyWhenAsked)
{
    ASSERT_NO_FATAL_FAILURE(StartBulkInReader());
    Run();
    RestartAfterFailure = GetParam().Restart;
    Dev->FailNextIn(0x82, USBD_STATUS_DEV_NOT_RESPONDING);
    Run();
    ASSERT_EQ(Failures.size(), 1u);
    EXPECT_FALSE(NT_SUCCESS(Failures[0].Status));
    EXPECT_EQ(Failures[0].Usbd, USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(Failures[0].Irql, PASSIVE_LEVEL);
    EXPECT_EQ(Dev->EndpointResets(0x82), GetParam().Restart ? 1u : 0u);
    EXPECT_EQ(Dev->OutstandingIn(0x82), GetParam().Restart ? 1u : 0u);
    Dev->SendBulkInText("again");
    Run();
    EXPECT_EQ(Reads.size(), GetParam().Restart ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Answers, UsbReaderFailure,
                         ::testing::Values(FailureCase{"Restart", TRUE}, FailureCase{"StayStopped", FALSE}),
                         test_support::CaseName());

// Guards against an endless fail-restart loop once the device is unplugged.
TEST_F(UsbStandIn, Reader_UnpluggedDeviceFailsOnceAndIsNotRestarted)
{
    ASSERT_NO_FATAL_FAILURE(StartBulkInReader());
    Run();
    Dev->Disconnect();
    EXPECT_LT(W.Clock().RunUntilIdle(), 100u);
    ASSERT_EQ(Failures.size(), 1u);
    EXPECT_EQ(Failures[0].Status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(Dev->OutstandingIn(0x82), 0u);
}

TEST_F(UsbStandIn, Reader_ConfigurationMistakesAreRefused)
{
    Make();
    ASSERT_EQ(SelectAllAtSettingZero(), STATUS_SUCCESS);
    EXPECT_EQ(ConfigReader(BulkIn(), 1, 10), STATUS_INVALID_BUFFER_SIZE) << "not a whole packet";
    WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(BulkIn());
    ASSERT_EQ(ConfigReader(BulkIn(), 1, 10), STATUS_SUCCESS);
    EXPECT_EQ(ConfigReader(BulkIn()), STATUS_INVALID_DEVICE_STATE) << "configured twice";
    EXPECT_EQ(ConfigReader(BulkOut()), STATUS_INVALID_DEVICE_REQUEST) << "an OUT pipe";
    EXPECT_EQ(TakeReports().size(), 2u);
}

} // namespace

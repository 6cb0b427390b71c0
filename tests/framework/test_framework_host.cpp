// The host's records and entry points around the framework: registry device
// map, serial-port count, device interfaces, file objects, WDM
// pre-processing and the object accounting the leak checks rely on.
#include "test_framework_fixture.h"

using namespace fwtest;

namespace {

DEFINE_GUID(kTestInterface, 0xD6B78DFF, 0xB260, 0x4161, 0x84, 0xED, 0x09, 0xCA, 0x26, 0x7F, 0x15, 0x16);

NTSTATUS AnswerQuery(WDFDEVICE, PIRP Irp)
{
    PIO_STACK_LOCATION S = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS Status = STATUS_INVALID_PARAMETER;
    Irp->IoStatus.Information = 0;
    if (S->Parameters.QueryFile.FileInformationClass == FilePositionInformation &&
        S->Parameters.QueryFile.Length >= sizeof(FILE_POSITION_INFORMATION)) {
        auto *P = (PFILE_POSITION_INFORMATION)Irp->AssociatedIrp.SystemBuffer;
        P->CurrentByteOffset.QuadPart = 0x1122;
        Irp->IoStatus.Information = sizeof *P;
        Status = STATUS_SUCCESS;
    }
    Irp->IoStatus.Status = Status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

/* Completes the flush twice: a driver fault the verifier must catch. */
NTSTATUS CompleteTwice(WDFDEVICE, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

struct PATTERN_CONTEXT {
    UCHAR Bytes[40];
};
WDF_DECLARE_CONTEXT_TYPE(PATTERN_CONTEXT)

bool AllZero(const void *P, size_t N)
{
    auto *B = static_cast<const UCHAR *>(P);
    for (size_t I = 0; I < N; ++I) {
        if (B[I] != 0) return false;
    }
    return true;
}

} // namespace

TEST_F(FxTest, DeviceMapAndSerialCount_RecordWhatTheDriverWrites)
{
    H.AfterCreate = [](WDFDEVICE) {
        static WCHAR Port[] = L"COM7";
        NTSTATUS S = RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\FxTest0", REG_SZ, Port,
                                           sizeof Port);
        IoGetConfigurationInformation()->SerialCount++;
        return S;
    };
    ULONG Before = W.SerialCount();
    Add(false);
    EXPECT_EQ(W.SerialCount(), Before + 1);
    auto Map = W.DeviceMap(u"serialcomm");
    ASSERT_EQ(Map.count(u"\\Device\\FxTest0"), 1u);
    EXPECT_EQ(Map[u"\\Device\\FxTest0"].Data, world::RegistryValue::String(u"COM7").Data);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\device\\fxtest0"), STATUS_SUCCESS);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\FxTest0"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(W.DeviceMap().empty());
}

TEST_F(FxTest, DeviceInterface_EnabledAtStartDisabledAtRemoval)
{
    H.AfterCreate = [](WDFDEVICE D) { return WdfDeviceCreateDeviceInterface(D, &kTestInterface, nullptr); };
    Node = W.AddDevice(nullptr, {}, false);
    ASSERT_EQ(Node->AddStatus, STATUS_SUCCESS);
    using Ifs = std::vector<std::pair<std::string, bool>>;
    EXPECT_EQ(W.DeviceInterfaces(Node), (Ifs{{"{D6B78DFF-B260-4161-84ED-09CA267F1516}", false}}));
    ASSERT_EQ(W.StartDevice(Node), STATUS_SUCCESS);
    EXPECT_EQ(W.DeviceInterfaces(Node), (Ifs{{"{D6B78DFF-B260-4161-84ED-09CA267F1516}", true}}));
    W.RemoveDevice(Node);
    EXPECT_TRUE(W.DeviceInterfaces(Node).empty()); // gone with the device
}

TEST_F(FxTest, ExclusiveDevice_SecondOpenDeniedUntilClose)
{
    H.WithFileCallbacks = true;
    Add();
    world::FileHandle Second = 0;
    EXPECT_EQ(W.Open(H.Name, &Second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(Second, 0);
    EXPECT_EQ(W.Close(File), STATUS_SUCCESS);
    EXPECT_EQ(W.Close(File), STATUS_INVALID_HANDLE);
    EXPECT_EQ(W.Open(H.Name, &Second), STATUS_SUCCESS);
    EXPECT_EQ(H.Log, (std::vector<std::string>{"d0entry:5", "create", "close", "create"}));
    EXPECT_EQ(W.Read(File, 1)->Status, STATUS_INVALID_HANDLE); // the closed handle
}

TEST_F(FxTest, OpenByUnknownOrForeignName_Fails)
{
    W.ReserveName(u"\\Device\\Other");
    Add(false);
    world::FileHandle F;
    EXPECT_EQ(W.Open(u"\\Device\\Nothing", &F), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(W.Open(u"\\Device\\Other", &F), STATUS_ACCESS_DENIED);
}

TEST(FxWdm, PreprocessCallback_AnswersAndDoubleCompletionIsReported)
{
    world::World W;
    Hooks H;
    g_Hooks = &H;
    W.SetDriverEntry([](PDRIVER_OBJECT D, PUNICODE_STRING P) {
        WDF_DRIVER_CONFIG C;
        WDF_DRIVER_CONFIG_INIT(&C, [](WDFDRIVER, PWDFDEVICE_INIT Init) -> NTSTATUS {
            WdfDeviceInitAssignWdmIrpPreprocessCallback(Init, AnswerQuery, IRP_MJ_QUERY_INFORMATION, nullptr, 0);
            WdfDeviceInitAssignWdmIrpPreprocessCallback(Init, CompleteTwice, IRP_MJ_FLUSH_BUFFERS, nullptr, 0);
            UNICODE_STRING Name;
            RtlInitUnicodeString(&Name, L"\\Device\\Wdm0");
            WdfDeviceInitAssignName(Init, &Name);
            WDFDEVICE Dev;
            return WdfDeviceCreate(&Init, WDF_NO_OBJECT_ATTRIBUTES, &Dev);
        });
        return WdfDriverCreate(D, P, WDF_NO_OBJECT_ATTRIBUTES, &C, WDF_NO_HANDLE);
    });
    W.AddDevice(nullptr, {});
    world::FileHandle F;
    ASSERT_EQ(W.Open(u"\\Device\\Wdm0", &F), STATUS_SUCCESS);
    OpHandle Q = W.QueryInformation(F, FilePositionInformation, 8);
    ASSERT_TRUE(Q->Completed);
    EXPECT_EQ(Q->Status, STATUS_SUCCESS);
    EXPECT_EQ(Q->Information, 8u);
    EXPECT_EQ(Q->Output, (Bytes{0x22, 0x11, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(W.QueryInformation(F, FileBasicInformation, 40)->Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(W.SetInformation(F, FileEndOfFileInformation, Bytes(8))->Status, STATUS_INVALID_DEVICE_REQUEST);

    W.CollectVerifierReports(true);
    EXPECT_EQ(W.Flush(F)->Status, STATUS_SUCCESS);
    ASSERT_EQ(W.VerifierReports().size(), 1u);
    EXPECT_EQ(W.VerifierReports()[0].rfind("IrpCompletedTwice", 0), 0u);
}

// Guards against framework requests piling up (a leak the device check would miss).
TEST_F(FxTest, CompletedRequests_LeaveNoLiveObjects)
{
    Add();
    size_t Before = W.LiveObjects();
    for (int I = 0; I < 5; ++I) {
        W.Write(File, Bytes(3, (std::uint8_t)I));
        W.DeviceIoControl(File, 0x1B0000, Bytes(4), 4);
    }
    EXPECT_EQ(W.LiveObjects(), Before);
    W.Close(File);
    EXPECT_EQ(W.LiveObjects(), Before - 1); // the file object
}

// Guards against the removal asking EvtIoStop about requests its purge
// cancels: the power-managed queues are purged first (a held cancelable
// request goes to its cancel routine), then EvtIoStop with the purge action
// goes to what the driver still holds, and the removal waits for it.
TEST_F(FxTest, Removal_PurgeCancelsHeldCancelableThenStopWithPurgeForTheRest)
{
    std::vector<WDFREQUEST> Held;
    WDFQUEUE Other = nullptr;
    std::vector<ULONG> StopFlags;
    H.AfterCreate = [&](WDFDEVICE D) {
        WDF_IO_QUEUE_CONFIG C;
        WDF_IO_QUEUE_CONFIG_INIT(&C, WdfIoQueueDispatchManual);
        return WdfIoQueueCreate(D, &C, WDF_NO_OBJECT_ATTRIBUTES, &Other);
    };
    H.Read = [&](WDFQUEUE, WDFREQUEST R, size_t) {
        Held.push_back(R);
        if (Held.size() == 1) {
            WdfRequestMarkCancelable(R, [](WDFREQUEST Req) {
                g_Hooks->Log.push_back("cancel");
                WdfRequestComplete(Req, STATUS_CANCELLED);
            });
            EXPECT_EQ(WdfRequestForwardToIoQueue(R, Other), STATUS_INVALID_DEVICE_REQUEST);
        }
    };
    H.Stop = [&](WDFQUEUE, WDFREQUEST R, ULONG Flags) {
        StopFlags.push_back(Flags);
        WdfRequestComplete(R, STATUS_DEVICE_REMOVED);
    };
    Add();
    OpHandle Cancelable = W.Read(File, 1);
    OpHandle Plain = W.Read(File, 1);
    EXPECT_TRUE(Mentions(TakeReports(), "ForwardOfCancelableRequest"));
    H.Log.clear();
    W.SurpriseRemoveDevice(Node);
    EXPECT_EQ(Cancelable->Status, STATUS_CANCELLED);
    EXPECT_EQ(Plain->Status, STATUS_DEVICE_REMOVED);
    ASSERT_EQ(StopFlags.size(), 1u) << "only the request the purge could not cancel";
    EXPECT_EQ(StopFlags[0], (ULONG)WdfRequestStopActionPurge);
    ASSERT_GE(H.Log.size(), 3u);
    EXPECT_EQ((std::vector<std::string>(H.Log.begin(), H.Log.begin() + 3)),
              (std::vector<std::string>{"cancel", "stop", "d0exit:5"}));
    Run();
    EXPECT_TRUE(TakeReports().empty());
}

// Guards against a recycled block handing the driver what its last owner
// left: every memory-object buffer and context starts zeroed, however often
// blocks of its size have been made, dirtied and freed before.
TEST_F(FxTest, MemoryAndContexts_StartZeroedWhenTheirBlocksAreReused)
{
    int Dirty = 0;
    H.Write = [&](WDFQUEUE, WDFREQUEST R, size_t L) {
        for (size_t Size : {size_t(1), size_t(64), size_t(100), size_t(512), size_t(5000)}) {
            WDF_OBJECT_ATTRIBUTES A = ChildOfDevice();
            WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(&A, PATTERN_CONTEXT);
            WDFMEMORY M = nullptr;
            PVOID Buffer = nullptr;
            ASSERT_EQ(WdfMemoryCreate(&A, NonPagedPool, 0x74736554, Size, &M, &Buffer), STATUS_SUCCESS);
            PATTERN_CONTEXT *C = WdfObjectGet_PATTERN_CONTEXT(M);
            EXPECT_TRUE(AllZero(Buffer, Size)) << Size;
            EXPECT_TRUE(AllZero(C->Bytes, sizeof C->Bytes)) << Size;
            RtlFillMemory(Buffer, Size, 0xA5);
            RtlFillMemory(C->Bytes, sizeof C->Bytes, 0x5A);
            ++Dirty;
            WdfObjectDelete(M);
        }
        WdfRequestCompleteWithInformation(R, STATUS_SUCCESS, L);
    };
    Add();
    for (int I = 0; I < 3; ++I) {
        EXPECT_EQ(W.Write(File, Bytes(1, 0))->Status, STATUS_SUCCESS);
    }
    EXPECT_EQ(Dirty, 15);
}

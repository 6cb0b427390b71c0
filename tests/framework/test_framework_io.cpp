// Queues, requests and cancellation of the hosted framework, seen from the
// application side (the World's I/O manager) and from the test driver.
#include "test_framework_fixture.h"

#include <cstring>

#include <ntstrsafe.h>

using namespace fwtest;

namespace {

constexpr ULONG kIoctl = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

/* Parks every read on a manual queue created by the fixture. */
class Queues : public FxTest {
protected:
    WDFQUEUE Manual = nullptr;
    std::vector<WDFREQUEST> Held; /* requests the test driver keeps */

    void AddWithManualQueue()
    {
        H.AfterCreate = [this](WDFDEVICE D) { return CreateManualQueue(D, &Manual); };
        Add();
    }
};

} // namespace

TEST_F(Queues, ZeroLengthReadAndWrite_CompletedByFrameworkWithoutReachingDriver)
{
    int Calls = 0;
    H.Read = [&](WDFQUEUE, WDFREQUEST R, size_t) {
        ++Calls;
        WdfRequestComplete(R, STATUS_SUCCESS);
    };
    H.Write = [&](WDFQUEUE, WDFREQUEST R, size_t) {
        ++Calls;
        WdfRequestComplete(R, STATUS_SUCCESS);
    };
    Add();
    OpHandle R = W.Read(File, 0);
    OpHandle Wr = W.Write(File, {});
    ASSERT_TRUE(R->Completed && Wr->Completed);
    EXPECT_EQ(R->Status, STATUS_SUCCESS);
    EXPECT_EQ(R->Information, 0u);
    EXPECT_EQ(Wr->Status, STATUS_SUCCESS);
    EXPECT_EQ(Calls, 0);
}

TEST_F(Queues, RequestTypeWithoutCallback_FailsInvalidDeviceRequest)
{
    Add();
    OpHandle Op = W.InternalDeviceControl(File, kIoctl, {}, 0);
    ASSERT_TRUE(Op->Completed);
    EXPECT_EQ(Op->Status, STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(Queues, SequentialQueue_PresentsNextOnlyAfterCompletion)
{
    H.Dispatch = WdfIoQueueDispatchSequential;
    H.Write = [&](WDFQUEUE, WDFREQUEST R, size_t) { Held.push_back(R); };
    Add();
    OpHandle A = W.Write(File, {1});
    OpHandle B = W.Write(File, {2, 3});
    Run();
    ASSERT_EQ(Held.size(), 1u);
    WdfRequestCompleteWithInformation(Held[0], STATUS_SUCCESS, 1);
    EXPECT_TRUE(A->Completed);
    ASSERT_EQ(Held.size(), 2u);
    WdfRequestCompleteWithInformation(Held[1], STATUS_SUCCESS, 2);
    EXPECT_EQ(B->Information, 2u);
}

TEST_F(Queues, ParallelQueue_PresentsAllAtOnceAtDispatchLevel)
{
    std::vector<KIRQL> Irql;
    H.Read = [&](WDFQUEUE, WDFREQUEST R, size_t) {
        Irql.push_back(KeGetCurrentIrql());
        Held.push_back(R);
    };
    Add();
    W.Read(File, 4);
    W.Read(File, 4);
    EXPECT_EQ(Held.size(), 2u);
    EXPECT_EQ(Irql, (std::vector<KIRQL>{DISPATCH_LEVEL, DISPATCH_LEVEL}));
    for (auto R : Held) WdfRequestComplete(R, STATUS_SUCCESS);
}

TEST_F(Queues, ManualQueue_RetrieveInOrderAndStateCounts)
{
    H.Read = [&](WDFQUEUE, WDFREQUEST R, size_t) { ASSERT_EQ(WdfRequestForwardToIoQueue(R, Manual), STATUS_SUCCESS); };
    AddWithManualQueue();
    ULONG Queued = 9, Owned = 9;
    EXPECT_EQ(WdfIoQueueGetState(Manual, &Queued, &Owned) & (WdfIoQueueNoRequests | WdfIoQueueDriverNoRequests),
              WdfIoQueueNoRequests | WdfIoQueueDriverNoRequests);
    OpHandle A = W.Read(File, 1);
    OpHandle B = W.Read(File, 2);
    WDF_IO_QUEUE_STATE S = WdfIoQueueGetState(Manual, &Queued, &Owned);
    EXPECT_EQ(Queued, 2u);
    EXPECT_EQ(Owned, 0u);
    EXPECT_FALSE(S & WdfIoQueueNoRequests);

    WDFREQUEST R = nullptr;
    ASSERT_EQ(WdfIoQueueRetrieveNextRequest(Manual, &R), STATUS_SUCCESS);
    WDF_REQUEST_PARAMETERS P;
    WDF_REQUEST_PARAMETERS_INIT(&P);
    WdfRequestGetParameters(R, &P);
    EXPECT_EQ(P.Parameters.Read.Length, 1u); // oldest first
    S = WdfIoQueueGetState(Manual, &Queued, &Owned);
    EXPECT_EQ(Queued, 1u);
    EXPECT_EQ(Owned, 1u);
    EXPECT_FALSE(S & WdfIoQueueDriverNoRequests);
    WdfRequestComplete(R, STATUS_SUCCESS);
    ASSERT_EQ(WdfIoQueueRetrieveNextRequest(Manual, &R), STATUS_SUCCESS);
    WdfRequestComplete(R, STATUS_SUCCESS);
    EXPECT_EQ(WdfIoQueueRetrieveNextRequest(Manual, &R), STATUS_NO_MORE_ENTRIES);
    EXPECT_EQ(R, nullptr);
    EXPECT_TRUE(A->Completed && B->Completed);
}

TEST_F(Queues, Purge_CancelsQueuedRefusesNewUntilStarted)
{
    H.Read = [&](WDFQUEUE, WDFREQUEST R, size_t) { WdfRequestForwardToIoQueue(R, Manual); };
    AddWithManualQueue();
    OpHandle A = W.Read(File, 1);
    WdfIoQueuePurge(Manual, nullptr, nullptr);
    Run();
    ASSERT_TRUE(A->Completed);
    EXPECT_EQ(A->Status, STATUS_CANCELLED);
    EXPECT_EQ(H.Log, (std::vector<std::string>{"d0entry:5", "canceled-on-queue"}));

    /* A purged queue takes nothing: the forward fails as busy and the
       driver keeps the request; completed with that status, the caller
       sees STATUS_DEVICE_BUSY. */
    NTSTATUS Forward = STATUS_SUCCESS;
    H.Read = [&](WDFQUEUE, WDFREQUEST R, size_t) {
        Forward = WdfRequestForwardToIoQueue(R, Manual);
        if (!NT_SUCCESS(Forward)) WdfRequestComplete(R, Forward);
    };
    OpHandle B = W.Read(File, 1);
    EXPECT_EQ(Forward, STATUS_WDF_BUSY);
    EXPECT_EQ(B->Status, STATUS_DEVICE_BUSY);

    WdfIoQueueStart(Manual);
    OpHandle C = W.Read(File, 1);
    EXPECT_EQ(Forward, STATUS_SUCCESS);
    EXPECT_FALSE(C->Completed);
}

// ---- cancellation ----
namespace {
std::vector<WDFREQUEST> *g_Cancelled = nullptr;
VOID RecordCancel(WDFREQUEST R)
{
    g_Cancelled->push_back(R);
    WdfRequestComplete(R, STATUS_CANCELLED);
}

class Cancel : public Queues {
protected:
    std::vector<WDFREQUEST> Cancelled;
    Cancel() { g_Cancelled = &Cancelled; }

    /* The test driver keeps every read, marked cancelable with RecordCancel. */
    void HoldReadsCancelable()
    {
        H.Read = [this](WDFQUEUE, WDFREQUEST R, size_t) {
            Held.push_back(R);
            WdfRequestMarkCancelable(R, RecordCancel);
        };
    }
};
} // namespace

TEST_F(Cancel, QueuedRequest_RemovedAndCanceledOnQueueRuns)
{
    H.Read = [&](WDFQUEUE, WDFREQUEST R, size_t) { WdfRequestForwardToIoQueue(R, Manual); };
    AddWithManualQueue();
    OpHandle A = W.Read(File, 1);
    EXPECT_TRUE(W.Cancel(A));
    Run();
    EXPECT_EQ(A->Status, STATUS_CANCELLED);
    WDFREQUEST R;
    EXPECT_EQ(WdfIoQueueRetrieveNextRequest(Manual, &R), STATUS_NO_MORE_ENTRIES);
    EXPECT_FALSE(W.Cancel(A)); // already completed
}

TEST_F(Cancel, MarkedCancelable_RoutineRunsAsSeparateStepAndUnmarkFailsMeanwhile)
{
    HoldReadsCancelable();
    Add();
    OpHandle A = W.Read(File, 1);
    ASSERT_EQ(Held.size(), 1u);
    EXPECT_TRUE(W.Cancel(A));
    EXPECT_TRUE(Cancelled.empty()); // not inside the cancel call
    EXPECT_TRUE(WdfRequestIsCanceled(Held[0]));
    EXPECT_EQ(WdfRequestUnmarkCancelable(Held[0]), STATUS_CANCELLED);
    Run();
    ASSERT_EQ(Cancelled.size(), 1u);
    EXPECT_EQ(A->Status, STATUS_CANCELLED);
}

TEST_F(Cancel, UnmarkBeforeCancel_DriverKeepsOwnership)
{
    HoldReadsCancelable();
    Add();
    OpHandle A = W.Read(File, 1);
    EXPECT_EQ(WdfRequestUnmarkCancelable(Held[0]), STATUS_SUCCESS);
    W.Cancel(A);
    Run();
    EXPECT_TRUE(Cancelled.empty());
    EXPECT_FALSE(A->Completed);
    WdfRequestCompleteWithInformation(Held[0], STATUS_SUCCESS, 1);
    EXPECT_EQ(A->Status, STATUS_SUCCESS);
}

TEST_F(Cancel, MarkAfterCancel_RoutineRunsInsideMarkAndExReturnsCancelled)
{
    H.Read = [&](WDFQUEUE, WDFREQUEST R, size_t) { Held.push_back(R); };
    Add();
    OpHandle A = W.Read(File, 1);
    OpHandle B = W.Read(File, 1);
    W.Cancel(A);
    W.Cancel(B);
    EXPECT_EQ(WdfRequestMarkCancelableEx(Held[1], RecordCancel), STATUS_CANCELLED);
    EXPECT_FALSE(B->Completed);
    WdfRequestMarkCancelable(Held[0], RecordCancel);
    EXPECT_EQ(Cancelled.size(), 1u);
    EXPECT_TRUE(A->Completed);
    WdfRequestComplete(Held[1], STATUS_CANCELLED);
}

TEST_F(Cancel, UnmarkOfUnmarkedRequest_Reported)
{
    H.Read = [&](WDFQUEUE, WDFREQUEST R, size_t) { Held.push_back(R); };
    Add();
    W.Read(File, 1);
    EXPECT_NE(WdfRequestUnmarkCancelable(Held[0]), STATUS_SUCCESS);
    EXPECT_TRUE(Mentions(TakeReports(), "UnmarkNotCancelable"));
    WdfRequestComplete(Held[0], STATUS_SUCCESS);
}

// Guards against a purge leaving a held cancelable request to hang forever.
TEST_F(Cancel, PurgeOfQueue_AlsoCancelsHeldCancelableRequests)
{
    H.Read = [&](WDFQUEUE, WDFREQUEST R, size_t) { WdfRequestForwardToIoQueue(R, Manual); };
    AddWithManualQueue();
    OpHandle A = W.Read(File, 1);
    WDFREQUEST R;
    ASSERT_EQ(WdfIoQueueRetrieveNextRequest(Manual, &R), STATUS_SUCCESS);
    WdfRequestMarkCancelable(R, RecordCancel);
    WdfIoQueuePurge(Manual, nullptr, nullptr);
    EXPECT_EQ(WdfRequestUnmarkCancelable(R), STATUS_CANCELLED);
    Run();
    EXPECT_EQ(A->Status, STATUS_CANCELLED);
}

// Guards against a close that cancels what the driver holds: the handle's
// clean-up leaves a held cancelable request alone, and the file is closed
// only once that request has completed.
TEST_F(Cancel, CloseHandle_HeldCancelableRequestStaysPending_FileCloseAfterItCompletes)
{
    H.WithFileCallbacks = true;
    HoldReadsCancelable();
    Add();
    OpHandle A = W.Read(File, 1);
    EXPECT_EQ(W.Close(File), STATUS_SUCCESS);
    Run();
    EXPECT_FALSE(A->Completed);
    EXPECT_TRUE(Cancelled.empty());
    EXPECT_NE(H.Log.back(), "close");
    ASSERT_EQ(WdfRequestUnmarkCancelable(Held[0]), STATUS_SUCCESS);
    WdfRequestCompleteWithInformation(Held[0], STATUS_SUCCESS, 1);
    Run();
    EXPECT_EQ(A->Status, STATUS_SUCCESS);
    EXPECT_EQ(H.Log.back(), "close");
}

// ---- requests and the verifier ----
TEST_F(Queues, DoubleCompletionAndUseAfterCompletion_Reported)
{
    H.Read = [&](WDFQUEUE, WDFREQUEST R, size_t) { Held.push_back(R); };
    Add();
    OpHandle A = W.Read(File, 4);
    WdfRequestCompleteWithInformation(Held[0], STATUS_SUCCESS, 0);
    WdfRequestCompleteWithInformation(Held[0], STATUS_SUCCESS, 0);
    EXPECT_FALSE(TakeReports().empty());
    WDF_REQUEST_PARAMETERS P;
    WDF_REQUEST_PARAMETERS_INIT(&P);
    WdfRequestGetParameters(Held[0], &P);
    EXPECT_FALSE(TakeReports().empty());
    EXPECT_EQ(A->Status, STATUS_SUCCESS);
}

// Guards against a driver reporting more bytes than the caller's buffer holds.
TEST_F(Queues, ReadInformationBeyondBuffer_Reported)
{
    H.Read = [&](WDFQUEUE, WDFREQUEST R, size_t) { WdfRequestCompleteWithInformation(R, STATUS_SUCCESS, 5); };
    Add();
    W.Read(File, 4);
    EXPECT_TRUE(Mentions(TakeReports(), "InformationTooLarge"));
}

struct BufferCase {
    const char *Name;
    size_t In, Out, MinIn, MinOut;
    NTSTATUS InStatus, OutStatus;
};
class RequestBuffers : public FxTest, public ::testing::WithParamInterface<BufferCase> {};

TEST_P(RequestBuffers, RetrieveHonoursMinimumAndAbsence)
{
    const BufferCase c = GetParam();
    NTSTATUS InStatus = 1, OutStatus = 1;
    size_t InLen = 99, OutLen = 99;
    H.Ioctl = [&](WDFQUEUE, WDFREQUEST R, size_t, size_t, ULONG) {
        PVOID Buf;
        InStatus = WdfRequestRetrieveInputBuffer(R, c.MinIn, &Buf, &InLen);
        OutStatus = WdfRequestRetrieveOutputBuffer(R, c.MinOut, &Buf, &OutLen);
        if (NT_SUCCESS(OutStatus)) std::memset(Buf, 0xAB, OutLen);
        WdfRequestCompleteWithInformation(R, STATUS_SUCCESS, NT_SUCCESS(OutStatus) ? OutLen : 0);
    };
    Add();
    OpHandle Op = W.DeviceIoControl(File, kIoctl, Bytes(c.In, 1), c.Out);
    EXPECT_EQ(InStatus, c.InStatus);
    EXPECT_EQ(OutStatus, c.OutStatus);
    EXPECT_EQ(InLen, NT_SUCCESS(c.InStatus) ? c.In : 0);
    EXPECT_EQ(OutLen, NT_SUCCESS(c.OutStatus) ? c.Out : 0);
    if (NT_SUCCESS(c.OutStatus)) {
        EXPECT_EQ(Op->Output, Bytes(c.Out, 0xAB));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, RequestBuffers,
    ::testing::Values(BufferCase{"BothFit", 4, 8, 4, 8, STATUS_SUCCESS, STATUS_SUCCESS},
                      BufferCase{"InputShort", 3, 8, 4, 1, STATUS_BUFFER_TOO_SMALL, STATUS_SUCCESS},
                      BufferCase{"OutputShort", 4, 7, 1, 8, STATUS_SUCCESS, STATUS_BUFFER_TOO_SMALL},
                      BufferCase{"NoBuffersMinimumZero", 0, 0, 0, 0, STATUS_BUFFER_TOO_SMALL, STATUS_BUFFER_TOO_SMALL}),
    test_support::CaseName());

// ---- power: idle, sleep, stop callbacks ----
TEST_F(Queues, IdleSettings_PowerDownAfterTimeoutAndRequestPowersUp)
{
    H.AfterCreate = [](WDFDEVICE D) {
        WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS S;
        WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(&S, IdleUsbSelectiveSuspend);
        S.IdleTimeout = 2000;
        return WdfDeviceAssignS0IdleSettings(D, &S);
    };
    Add();
    W.Clock().AdvanceBy(1999 * world::kMillisecond);
    EXPECT_EQ(Node->Power, world::DevicePowerState::D0);
    W.Clock().AdvanceBy(world::kMillisecond);
    EXPECT_EQ(Node->Power, world::DevicePowerState::Dx);
    EXPECT_EQ(H.Log.back(), "d0exit:3"); // WdfPowerDeviceD2
    OpHandle R = W.Read(File, 1);
    EXPECT_FALSE(R->Completed); // held until the device is back in D0
    W.Clock().RunUntil([&] { return R->Completed; }, "the read");
    EXPECT_EQ(Node->Power, world::DevicePowerState::D0);
    EXPECT_EQ(H.Log.back(), "d0entry:3");
    Run(); // idle again once the request is gone
    EXPECT_EQ(Node->Power, world::DevicePowerState::Dx);
    ASSERT_TRUE(W.IdleSettings(Node).has_value());
    EXPECT_EQ(W.IdleSettings(Node)->IdleTimeout, 2000u);
}

TEST_F(Queues, SystemSleep_StopsHeldRequestsThenResumes)
{
    H.Read = [&](WDFQUEUE, WDFREQUEST R, size_t) { Held.push_back(R); };
    Add();
    OpHandle A = W.Read(File, 1);
    W.SystemSleep();
    EXPECT_EQ((std::vector<std::string>(H.Log.end() - 2, H.Log.end())), (std::vector<std::string>{"stop", "d0exit:4"}));
    OpHandle B = W.Read(File, 1);
    EXPECT_EQ(Held.size(), 1u); // not presented while out of D0
    W.SystemResume();
    Run();
    EXPECT_EQ(Held.size(), 2u);
    for (auto R : Held) WdfRequestComplete(R, STATUS_SUCCESS);
    EXPECT_TRUE(A->Completed && B->Completed);
}

// ---- names, registry, removal ----
namespace {
NTSTATUS TryTwoNames(WDFDRIVER, PWDFDEVICE_INIT Init);
std::vector<NTSTATUS> g_Tries;
} // namespace

TEST(FxNames, DeviceCreate_RetriesOnSameInitAfterCollision)
{
    world::World W;
    Hooks H;
    g_Hooks = &H;
    g_Tries.clear();
    W.SetDriverEntry([](PDRIVER_OBJECT D, PUNICODE_STRING P) {
        WDF_DRIVER_CONFIG C;
        WDF_DRIVER_CONFIG_INIT(&C, TryTwoNames);
        return WdfDriverCreate(D, P, WDF_NO_OBJECT_ATTRIBUTES, &C, WDF_NO_HANDLE);
    });
    W.ReserveName(u"\\Device\\Name0");
    world::DeviceNode *N = W.AddDevice(nullptr, {});
    EXPECT_EQ(N->AddStatus, STATUS_SUCCESS);
    EXPECT_EQ(g_Tries, (std::vector<NTSTATUS>{STATUS_OBJECT_NAME_COLLISION, STATUS_SUCCESS}));
    EXPECT_EQ(N->NtName, u"\\Device\\Name1");
}

namespace {
NTSTATUS TryTwoNames(WDFDRIVER, PWDFDEVICE_INIT Init)
{
    WDFDEVICE D;
    for (const char16_t *Name : {u"\\Device\\Name0", u"\\Device\\Name1"}) {
        UNICODE_STRING U;
        RtlInitUnicodeString(&U, (PCWSTR)Name);
        WdfDeviceInitAssignName(Init, &U);
        NTSTATUS S = WdfDeviceCreate(&Init, WDF_NO_OBJECT_ATTRIBUTES, &D);
        g_Tries.push_back(S);
        if (NT_SUCCESS(S)) return S;
    }
    return STATUS_UNSUCCESSFUL;
}
} // namespace

TEST_F(FxTest, SymbolicLinks_CollideAndGoWithTheirDevice)
{
    NTSTATUS First = 1, Second = 1;
    H.AfterCreate = [&](WDFDEVICE D) {
        UNICODE_STRING L;
        RtlInitUnicodeString(&L, (PCWSTR)u"\\DosDevices\\COM9");
        First = WdfDeviceCreateSymbolicLink(D, &L);
        Second = WdfDeviceCreateSymbolicLink(D, &L);
        return STATUS_SUCCESS;
    };
    Add(false);
    EXPECT_EQ(First, STATUS_SUCCESS);
    EXPECT_EQ(Second, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(W.SymbolicLink(u"\\DosDevices\\com9"), std::u16string(u"\\Device\\FxTest0"));
    world::FileHandle F;
    EXPECT_EQ(W.Open(u"COM9", &F), STATUS_SUCCESS);
    EXPECT_EQ(W.Open(u"COM9", &F), STATUS_ACCESS_DENIED); // exclusive
    W.RemoveDevice(Node);
    EXPECT_FALSE(W.SymbolicLink(u"\\DosDevices\\COM9").has_value());
    EXPECT_FALSE(W.NameExists(u"\\Device\\FxTest0"));
}

struct RegCase {
    const char *Name;
    world::RegistryValue Value;
    USHORT Capacity;
    NTSTATUS UlongStatus, StringStatus;
    USHORT ByteLength;
};
class Registry : public FxTest, public ::testing::WithParamInterface<RegCase> {};

TEST_P(Registry, QueryByTypeAndSize)
{
    const RegCase c = GetParam();
    NTSTATUS U = 1, S = 1;
    USHORT Len = 0;
    std::u16string Got;
    H.AfterCreate = [&](WDFDEVICE D) {
        WDFKEY K;
        NTSTATUS St =
            WdfDeviceOpenRegistryKey(D, PLUGPLAY_REGKEY_DEVICE, KEY_QUERY_VALUE, WDF_NO_OBJECT_ATTRIBUTES, &K);
        if (!NT_SUCCESS(St)) return St;
        UNICODE_STRING Name;
        RtlInitUnicodeString(&Name, (PCWSTR)u"Value");
        ULONG V = 0;
        U = WdfRegistryQueryULong(K, &Name, &V);
        WCHAR Buf[64];
        UNICODE_STRING Out{0, c.Capacity, Buf};
        S = WdfRegistryQueryUnicodeString(K, &Name, &Len, &Out);
        if (NT_SUCCESS(S)) Got.assign((const char16_t *)Buf, Out.Length / 2);
        WdfRegistryClose(K);
        return STATUS_SUCCESS;
    };
    Add(false, world::HardwareKey{{u"value", c.Value}});
    EXPECT_EQ(U, c.UlongStatus);
    EXPECT_EQ(S, c.StringStatus);
    if (c.ByteLength != 0) {
        EXPECT_EQ(Len, c.ByteLength);
    }
    if (NT_SUCCESS(S)) {
        EXPECT_EQ(Got, u"COM12");
    }
}

INSTANTIATE_TEST_SUITE_P(Table, Registry,
                         ::testing::Values(RegCase{"Dword", world::RegistryValue::Dword(1), 64, STATUS_SUCCESS,
                                                   STATUS_OBJECT_TYPE_MISMATCH, 0},
                                           RegCase{"StringFits", world::RegistryValue::String(u"COM12"), 10,
                                                   STATUS_OBJECT_TYPE_MISMATCH, STATUS_SUCCESS, 12},
                                           RegCase{"StringTooLong", world::RegistryValue::String(u"COM12"), 8,
                                                   STATUS_OBJECT_TYPE_MISMATCH, STATUS_BUFFER_OVERFLOW, 12}),
                         test_support::CaseName());

// Guards against a device's pool leak going unnoticed at removal.
TEST_F(FxTest, Removal_RunsCleanupAndReportsPoolLeftBehind)
{
    H.AfterCreate = [](WDFDEVICE) {
        ExAllocatePoolWithTag(NonPagedPool, 32, 0x6B61654CU);
        return STATUS_SUCCESS;
    };
    Add(false);
    W.RemoveDevice(Node);
    EXPECT_EQ(H.Log.back(), "cleanup");
    EXPECT_TRUE(Mentions(TakeReports(), "PoolLeak"));
    EXPECT_EQ(W.LiveObjects(), 0u);
}

TEST_F(FxTest, SurpriseRemoval_DeviceDeletedOnlyAfterLastClose)
{
    H.WithFileCallbacks = true;
    Add();
    W.SurpriseRemoveDevice(Node);
    EXPECT_NE(H.Log.back(), "cleanup");
    EXPECT_EQ(W.Read(File, 1)->Status, STATUS_DELETE_PENDING);
    W.Close(File);
    Run();
    EXPECT_EQ((std::vector<std::string>(H.Log.end() - 2, H.Log.end())), (std::vector<std::string>{"close", "cleanup"}));
}

TEST_F(FxTest, FailedDeviceAdd_DeletesCreatedDevice)
{
    H.AfterCreate = [](WDFDEVICE) { return STATUS_INSUFFICIENT_RESOURCES; };
    Node = W.AddDevice(nullptr, {});
    EXPECT_EQ(Node->AddStatus, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(H.Log, (std::vector<std::string>{"cleanup"}));
    EXPECT_FALSE(W.NameExists(H.Name));
}

// Fault: CONTAINING_RECORD spelled the field's offset as a member access
// through a null pointer, undefined behaviour the sanitized build stopped
// at when the driver walked its held reader buffers at clean-up.
TEST(FxKernel, ContainingRecord_OfAnEntryInsideItsRecordIsTheRecord)
{
    struct Held {
        ULONG Length;
        ULONGLONG Pad;
        LIST_ENTRY ListEntry;
    };
    Held Records[2] = {};
    LIST_ENTRY Head;
    InitializeListHead(&Head);
    InsertTailList(&Head, &Records[0].ListEntry);
    InsertTailList(&Head, &Records[1].ListEntry);
    PLIST_ENTRY Entry = RemoveHeadList(&Head);
    EXPECT_EQ(CONTAINING_RECORD(Entry, Held, ListEntry), &Records[0]);
    Entry = RemoveHeadList(&Head);
    EXPECT_EQ(CONTAINING_RECORD(Entry, Held, ListEntry), &Records[1]);
    EXPECT_TRUE(IsListEmpty(&Head));
}

// ---- trace formatting ----
struct FormatCase {
    const char *Name;
    std::function<void()> Print;
    std::string Expected;
};

TEST(FxFormat, KernelConversionsAndSizes)
{
    world::World W;
    std::string Out;
    W.SetTraceSink([&](const std::string &S) { Out = S; });
    static const WCHAR Wide[] = L"Serial";
    UNICODE_STRING U;
    RtlInitUnicodeString(&U, Wide);
    const FormatCase Cases[] = {
        {"ws and d", [&] { DbgPrint("%ws%d", Wide, 7); }, "Serial7"},
        {"zero pad hex", [&] { DbgPrint("%08X|%x", 0xBEEFu, 255u); }, "0000BEEF|ff"},
        {"width left", [&] { DbgPrint("[%-4d][%4u]", -3, 12u); }, "[-3  ][  12]"},
        {"wZ", [&] { DbgPrint("%wZ!", &U); }, "Serial!"},
        {"64-bit", [&] { DbgPrint("%I64u %llx %zu", 1ULL << 40, 0x123456789ULL, (size_t)42); },
         "1099511627776 123456789 42"},
        {"l is 32-bit", [&] { DbgPrint("%lu %ld", (ULONG)4000000000U, (LONG)-5); }, "4000000000 -5"},
        {"p", [&] { DbgPrint("%p", (void *)0x1234); }, "0000000000001234"},
        {"c s S percent", [&] { DbgPrint("%c%s%S%%", 'a', "bc", Wide); }, "abcSerial%"},
        {"short", [&] { DbgPrint("%hd %hu", (int)(short)-2, 65535u); }, "-2 65535"},
    };
    for (auto &C : Cases) {
        C.Print();
        EXPECT_EQ(Out, C.Expected) << C.Name;
    }
    WCHAR Small[6];
    EXPECT_EQ(RtlStringCbPrintfW(Small, sizeof Small, L"%ws%d", L"\\Dev", 12), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string((const char16_t *)Small), u"\\Dev1");
    WCHAR Big[32];
    EXPECT_EQ(RtlStringCbPrintfW(Big, sizeof Big, L"%ws%d", L"\\Device\\Serial", 3), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string((const char16_t *)Big), u"\\Device\\Serial3");
}

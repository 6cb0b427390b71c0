// Queue semantics the driver depends on, as the kit defines them: retrieval
// from a paused manual queue and its ready notification, the deferred cancel
// routine of a request marked after its cancellation, busy forwarding,
// cancellation of requests that never reached the driver, and the removal
// order of purge and EvtIoStop.
#include "test_framework_fixture.h"

#include <algorithm>

using namespace fwtest;

namespace {

constexpr ULONG kIoctl = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);

std::vector<std::string> *g_Log = nullptr;
VOID LogReady(WDFQUEUE, WDFCONTEXT) { g_Log->push_back("ready"); }
VOID CancelAndLog(WDFREQUEST R)
{
    g_Log->push_back("cancel");
    WdfRequestComplete(R, STATUS_CANCELLED);
}

/* The default queue forwards every read to a manual, power-managed queue
   with a ready notification. */
class ManualQueue : public FxTest {
protected:
    WDFQUEUE Manual = nullptr;
    ManualQueue() { g_Log = &H.Log; }

    void AddParking(bool RoutedHere = false)
    {
        H.AfterCreate = [this, RoutedHere](WDFDEVICE D) {
            WDF_IO_QUEUE_CONFIG C;
            WDF_IO_QUEUE_CONFIG_INIT(&C, WdfIoQueueDispatchManual);
            C.EvtIoCanceledOnQueue = OnCanceledOnQueue;
            C.EvtIoStop = OnStop;
            NTSTATUS S = WdfIoQueueCreate(D, &C, WDF_NO_OBJECT_ATTRIBUTES, &Manual);
            if (NT_SUCCESS(S)) S = WdfIoQueueReadyNotify(Manual, LogReady, nullptr);
            if (NT_SUCCESS(S) && RoutedHere) S = WdfDeviceConfigureRequestDispatching(D, Manual, WdfRequestTypeRead);
            return S;
        };
        if (!RoutedHere) {
            H.Read = [this](WDFQUEUE, WDFREQUEST R, size_t) {
                NTSTATUS S = WdfRequestForwardToIoQueue(R, Manual);
                if (!NT_SUCCESS(S)) WdfRequestComplete(R, S);
            };
        }
        Add();
        H.Log.clear();
    }
    NTSTATUS Retrieve(WDFREQUEST *R) { return WdfIoQueueRetrieveNextRequest(Manual, R); }
    size_t Count(const std::string &Entry) const { return (size_t)std::count(H.Log.begin(), H.Log.end(), Entry); }
};

} // namespace

// Guards against a manual queue handing out requests while its device is
// out of D0, and against its waiting requests being forgotten at power-up.
TEST_F(ManualQueue, PoweredOffOrStopped_RetrievalPausedAndReadyNotifiedWhenRunningAgain)
{
    AddParking();
    OpHandle A = W.Read(File, 1);
    Run();
    EXPECT_EQ(Count("ready"), 1u) << "empty to one request";
    OpHandle B = W.Read(File, 1);
    Run();
    EXPECT_EQ(Count("ready"), 1u) << "not empty before";

    W.SystemSleep();
    WDFREQUEST R = nullptr;
    EXPECT_EQ(Retrieve(&R), STATUS_WDF_PAUSED);
    EXPECT_EQ(R, nullptr);
    EXPECT_EQ(WdfIoQueueGetState(Manual, nullptr, nullptr) & WdfIoQueuePnpHeld, WdfIoQueuePnpHeld);
    W.SystemResume();
    Run();
    EXPECT_EQ(Count("ready"), 2u) << "powered on with requests waiting";
    ASSERT_EQ(Retrieve(&R), STATUS_SUCCESS);
    WdfRequestComplete(R, STATUS_SUCCESS);
    EXPECT_TRUE(A->Completed);

    WdfIoQueueStopSynchronously(Manual);
    EXPECT_EQ(Retrieve(&R), STATUS_WDF_PAUSED);
    WdfIoQueueStart(Manual);
    Run();
    EXPECT_EQ(Count("ready"), 3u) << "started with a request waiting";
    ASSERT_EQ(Retrieve(&R), STATUS_SUCCESS);
    WdfRequestComplete(R, STATUS_SUCCESS);
    EXPECT_TRUE(B->Completed);
    EXPECT_EQ(Retrieve(&R), STATUS_NO_MORE_ENTRIES);
}

// Guards against the cancel routine of a request marked cancelable after it
// was cancelled running inside the marking call while the caller holds the
// device-wide lock (the kit runs it once the callback has returned).
TEST_F(ManualQueue, MarkCancelableOnCancelledRequestUnderDeviceLock_RoutineRunsAfterCallback)
{
    WDFREQUEST Held = nullptr;
    H.Read = [&](WDFQUEUE, WDFREQUEST R, size_t) { Held = R; };
    H.Ioctl = [&](WDFQUEUE, WDFREQUEST R, size_t, size_t, ULONG) {
        WdfRequestMarkCancelable(Held, CancelAndLog);
        H.Log.push_back("marked");
        EXPECT_EQ(WdfRequestUnmarkCancelable(Held), STATUS_CANCELLED);
        H.Log.push_back("callback returns");
        WdfRequestComplete(R, STATUS_SUCCESS);
    };
    Add();
    H.Log.clear();
    OpHandle A = W.Read(File, 1);
    ASSERT_TRUE(W.Cancel(A));
    EXPECT_FALSE(A->Completed) << "held, not cancelable";
    OpHandle C = W.DeviceIoControl(File, kIoctl, {}, 0);
    Run();
    EXPECT_EQ(H.Log, (std::vector<std::string>{"marked", "callback returns", "cancel"}));
    EXPECT_EQ(A->Status, STATUS_CANCELLED);
    EXPECT_EQ(C->Status, STATUS_SUCCESS);
}

// Guards against a forward to a queue that takes no requests failing with
// anything but the kit's busy status, which reaches the caller as
// STATUS_DEVICE_BUSY.
TEST_F(ManualQueue, ForwardToPurgedQueue_BusyAndCompletedAsDeviceBusy)
{
    NTSTATUS Forward = STATUS_SUCCESS;
    AddParking();
    H.Read = [&](WDFQUEUE, WDFREQUEST R, size_t) {
        Forward = WdfRequestForwardToIoQueue(R, Manual);
        if (!NT_SUCCESS(Forward)) WdfRequestComplete(R, Forward);
    };
    WdfIoQueuePurgeSynchronously(Manual);
    OpHandle A = W.Read(File, 1);
    EXPECT_EQ(Forward, STATUS_WDF_BUSY);
    ASSERT_TRUE(A->Completed);
    EXPECT_EQ(A->Status, STATUS_DEVICE_BUSY);
}

// Guards against EvtIoCanceledOnQueue being called for a request the driver
// never saw (routed straight to a manual queue): the kit completes it.
TEST_F(ManualQueue, CancelOfNeverPresentedRequest_CompletedByFrameworkNotCanceledOnQueue)
{
    AddParking(true);
    OpHandle A = W.Read(File, 1);
    Run();
    ASSERT_FALSE(A->Completed);
    ASSERT_TRUE(W.Cancel(A));
    Run();
    EXPECT_EQ(A->Status, STATUS_CANCELLED);
    EXPECT_EQ(Count("canceled-on-queue"), 0u);

    // Retrieved once and requeued, a request counts as presented.
    OpHandle B = W.Read(File, 1);
    Run();
    WDFREQUEST R = nullptr;
    ASSERT_EQ(Retrieve(&R), STATUS_SUCCESS);
    H.Stop = [](WDFQUEUE, WDFREQUEST Req, ULONG) { WdfRequestStopAcknowledge(Req, TRUE); };
    W.SystemSleep();
    W.SystemResume();
    Run();
    ASSERT_TRUE(W.Cancel(B));
    Run();
    EXPECT_EQ(B->Status, STATUS_CANCELLED);
    EXPECT_EQ(Count("canceled-on-queue"), 1u);
}

/*
 * Queue.cpp - the device's I/O queues, the queue idle test and the queue flush.
 *
 * Reads and control codes arrive on the parallel default queue, writes on
 * their own sequential queue; three manual queues hold the reads,
 * wait-mask requests and purges that the driver parks. Every queue inherits
 * the device's synchronization scope, so the framework runs all queue
 * callbacks and the cancel routines of their requests under the one
 * device-wide lock.
 *
 * Parked requests and the queues' pauses
 *   A parked request is taken out of its manual queue when the one in
 *   front of it is done. The framework refuses that retrieval
 *   (STATUS_WDF_PAUSED) while the queue is powered off, which is where the
 *   device is when a read's time-out or cancellation ends it during a
 *   system sleep or selective suspend; and a request parked behind one
 *   whose cancellation is still in flight finds nobody in front of it at
 *   all. Each manual queue therefore has a ready notification: the
 *   framework calls it when the queue goes from empty to holding requests
 *   and again when it is started or powered on with requests in it, and it
 *   makes the oldest parked request current whenever none is.
 */
#include "Driver.h"
#include "../receive/quoltread.h"
#include "../transmit/Write.h"
#include "../control/Control.h"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(PAGE, CreateQueues)
#endif

/*
 * Shared step of the mask and purge ready notifications: under Lock, the
 * lock that guards *CurrentRequest, when no request of Queue is being
 * processed the oldest parked one becomes current and Start processes it
 * and every one parked behind it. Runs under the device-wide lock, like the
 * control dispatcher that otherwise starts them.
 */
static VOID SerialResumeParkedRequests(PDEVICE_EXT_CONTEXT DeviceContext, WDFSPINLOCK Lock, WDFQUEUE Queue,
                                       WDFREQUEST *CurrentRequest, VOID (*Start)(PDEVICE_EXT_CONTEXT))
{
    WDFREQUEST Request;

    WdfSpinLockAcquire(Lock);
    if (*CurrentRequest == NULL && NT_SUCCESS(WdfIoQueueRetrieveNextRequest(Queue, &Request))) {
        BrisumTrace(TRACE_INFO, "brisum : Parked request(0x%p) resumes\n", Request);
        *CurrentRequest = Request;
        Start(DeviceContext);
    }
    WdfSpinLockRelease(Lock);
}

VOID SerialMaskQueueReady(WDFQUEUE Queue, WDFCONTEXT Context)
{
    PDEVICE_EXT_CONTEXT DeviceContext = GetDeviceContext(WdfIoQueueGetDevice(Queue));

    UNREFERENCED_PARAMETER(Context);
    SerialResumeParkedRequests(DeviceContext, DeviceContext->MaskLock, Queue, &DeviceContext->CurrentMaskRequest,
                               SerialStartMask);
}

VOID SerialPurgeQueueReady(WDFQUEUE Queue, WDFCONTEXT Context)
{
    PDEVICE_EXT_CONTEXT DeviceContext = GetDeviceContext(WdfIoQueueGetDevice(Queue));

    UNREFERENCED_PARAMETER(Context);
    SerialResumeParkedRequests(DeviceContext, DeviceContext->IoctlLock, Queue, &DeviceContext->CurrentPurgeRequest,
                               SerialPurge);
}

static VOID SerialInitQueueConfig(PWDF_IO_QUEUE_CONFIG Config, WDF_IO_QUEUE_DISPATCH_TYPE DispatchType);

/* Creates a manual queue for parked requests with its ready notification. */
static NTSTATUS SerialCreateParkingQueue(WDFDEVICE Device, PFN_WDF_IO_QUEUE_STATE QueueReady, WDFQUEUE *Queue)
{
    NTSTATUS Status;
    WDF_IO_QUEUE_CONFIG Config;

    SerialInitQueueConfig(&Config, WdfIoQueueDispatchManual);
    Status = WdfIoQueueCreate(Device, &Config, WDF_NO_OBJECT_ATTRIBUTES, Queue);
    if (!NT_SUCCESS(Status)) {
        goto End;
    }
    Status = WdfIoQueueReadyNotify(*Queue, QueueReady, WDF_NO_CONTEXT);

End:
    return Status;
}

/* Fills the settings every queue shares: power-managed by default, no
   zero-length requests, the stop and cancelled-on-queue callbacks. */
static VOID SerialInitQueueConfig(PWDF_IO_QUEUE_CONFIG Config, WDF_IO_QUEUE_DISPATCH_TYPE DispatchType)
{
    WDF_IO_QUEUE_CONFIG_INIT(Config, DispatchType);
    Config->PowerManaged = WdfUseDefault;
    Config->AllowZeroLengthRequests = FALSE;
    Config->EvtIoStop = BRISUM_IOStop;
    Config->EvtIoCanceledOnQueue = IOCanceledOnQueue;
}

NTSTATUS CreateQueues(PDEVICE_EXT_CONTEXT DeviceContext)
{
    NTSTATUS Status;
    WDF_IO_QUEUE_CONFIG Config;
    WDFQUEUE DefaultQueue = NULL;
    WDFDEVICE Device = DeviceContext->WdfDevice;

    PAGED_CODE();

    SerialInitQueueConfig(&Config, WdfIoQueueDispatchParallel);
    Config.DefaultQueue = TRUE;
    Config.Settings.Parallel.NumberOfPresentedRequests = (ULONG)-1;
    Config.EvtIoRead = SerialEvtIoRead;
    Config.EvtIoDeviceControl = SerialEvtIoDeviceControl;
    Status = WdfIoQueueCreate(Device, &Config, WDF_NO_OBJECT_ATTRIBUTES, &DefaultQueue);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Create default queue failed with status : 0x%p.\n", BRISUM_STATUS(Status));
        goto End;
    }

    Status = SerialCreateParkingQueue(Device, SerialReadQueueReady, &DeviceContext->ReadQueue);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Create read queue  failed (0x%p)\n", BRISUM_STATUS(Status));
        goto End;
    }

    SerialInitQueueConfig(&Config, WdfIoQueueDispatchSequential);
    Config.EvtIoWrite = SerialEvtIoWrite;
    Status = WdfIoQueueCreate(Device, &Config, WDF_NO_OBJECT_ATTRIBUTES, &DeviceContext->WriteQueue);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Create write queue failed (0x%p)\n", BRISUM_STATUS(Status));
        goto End;
    }
    Status = WdfDeviceConfigureRequestDispatching(Device, DeviceContext->WriteQueue, WdfRequestTypeWrite);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Configure Request Dispatching failed (0x%p)\n", BRISUM_STATUS(Status));
        goto End;
    }

    Status = SerialCreateParkingQueue(Device, SerialMaskQueueReady, &DeviceContext->MaskQueue);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Create mask queue failed (0x%p)\n", BRISUM_STATUS(Status));
        goto End;
    }

    Status = SerialCreateParkingQueue(Device, SerialPurgeQueueReady, &DeviceContext->PurgeQueue);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Create purge queue failed (0x%p)\n", BRISUM_STATUS(Status));
        goto End;
    }

End:
    return Status;
}

BOOLEAN SerialIsQueueIdle(WDFQUEUE Queue)
{
    WDF_IO_QUEUE_STATE State;

    State = WdfIoQueueGetState(Queue, NULL, NULL);
    /* Idle means nothing waits in the queue and nothing taken from it is
       still owned by the driver. */
    return (BOOLEAN)(((ULONG)State & WdfIoQueueNoRequests) != 0 && ((ULONG)State & WdfIoQueueDriverNoRequests) != 0);
}

/* Caller holds the lock that guards *CurrentRequest (ReadLock, IoctlLock or
   MaskLock); the cancel routine called here runs with it held. */
VOID SerialCancelCurrentRequest(WDFREQUEST *CurrentRequest)
{
    NTSTATUS Status;
    WDFREQUEST Request;
    PREQUEST_CONTEXT RequestContext;
    PFN_WDF_REQUEST_CANCEL CancelRoutine;

    Request = *CurrentRequest;
    if (Request == NULL) {
        return;
    }

    RequestContext = GetRequestContext(Request);
    CancelRoutine = RequestContext->CancelRoutine;
    if ((RequestContext->ReferenceFlags & REFERENCE_CANCEL) != 0) {
        Status = WdfRequestUnmarkCancelable(Request);
        if (!NT_SUCCESS(Status)) {
            /* The framework is already cancelling the request: its cancel
               routine completes it. */
            BrisumTrace(TRACE_INFO, "brisum : SerialFlushQueue: request 0x%p already cancelling (0x%p)\n", Request,
                        BRISUM_STATUS(Status));
            return;
        }
        RequestContext->CancelRoutine = NULL;
    }
    if (CancelRoutine != NULL) {
        CancelRoutine(Request);
    }
}

VOID SerialFlushQueue(WDFQUEUE Queue, WDFREQUEST *CurrentRequest)
{
    /* Purge first, so that a cancel routine looking for the next waiting
       request finds none. */
    WdfIoQueuePurge(Queue, WDF_NO_EVENT_CALLBACK, WDF_NO_CONTEXT);
    SerialCancelCurrentRequest(CurrentRequest);
    WdfIoQueueStart(Queue);
}

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
    WDFREQUEST request;

    WdfSpinLockAcquire(Lock);
    if (*CurrentRequest == NULL && NT_SUCCESS(WdfIoQueueRetrieveNextRequest(Queue, &request))) {
        BrisumTrace(TRACE_INFO, "brisum : Parked request(0x%p) resumes\n", request);
        *CurrentRequest = request;
        Start(DeviceContext);
    }
    WdfSpinLockRelease(Lock);
}

VOID SerialMaskQueueReady(WDFQUEUE Queue, WDFCONTEXT Context)
{
    PDEVICE_EXT_CONTEXT deviceContext = GetDeviceContext(WdfIoQueueGetDevice(Queue));

    UNREFERENCED_PARAMETER(Context);
    SerialResumeParkedRequests(deviceContext, deviceContext->MaskLock, Queue, &deviceContext->CurrentMaskRequest,
                               SerialStartMask);
}

VOID SerialPurgeQueueReady(WDFQUEUE Queue, WDFCONTEXT Context)
{
    PDEVICE_EXT_CONTEXT deviceContext = GetDeviceContext(WdfIoQueueGetDevice(Queue));

    UNREFERENCED_PARAMETER(Context);
    SerialResumeParkedRequests(deviceContext, deviceContext->IoctlLock, Queue, &deviceContext->CurrentPurgeRequest,
                               SerialPurge);
}

static VOID SerialInitQueueConfig(PWDF_IO_QUEUE_CONFIG Config, WDF_IO_QUEUE_DISPATCH_TYPE DispatchType);

/* Creates a manual queue for parked requests with its ready notification. */
static NTSTATUS SerialCreateParkingQueue(WDFDEVICE Device, PFN_WDF_IO_QUEUE_STATE QueueReady, WDFQUEUE *Queue)
{
    NTSTATUS status;
    WDF_IO_QUEUE_CONFIG config;

    SerialInitQueueConfig(&config, WdfIoQueueDispatchManual);
    status = WdfIoQueueCreate(Device, &config, WDF_NO_OBJECT_ATTRIBUTES, Queue);
    if (!NT_SUCCESS(status)) {
        goto End;
    }
    status = WdfIoQueueReadyNotify(*Queue, QueueReady, WDF_NO_CONTEXT);

End:
    return status;
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
    NTSTATUS status;
    WDF_IO_QUEUE_CONFIG config;
    WDFQUEUE defaultQueue = NULL;
    WDFDEVICE device = DeviceContext->WdfDevice;

    PAGED_CODE();

    SerialInitQueueConfig(&config, WdfIoQueueDispatchParallel);
    config.DefaultQueue = TRUE;
    config.Settings.Parallel.NumberOfPresentedRequests = (ULONG)-1;
    config.EvtIoRead = SerialEvtIoRead;
    config.EvtIoDeviceControl = SerialEvtIoDeviceControl;
    status = WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &defaultQueue);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Create default queue failed with status : 0x%p.\n", BRISUM_STATUS(status));
        goto End;
    }

    status = SerialCreateParkingQueue(device, SerialReadQueueReady, &DeviceContext->ReadQueue);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Create read queue  failed (0x%p)\n", BRISUM_STATUS(status));
        goto End;
    }

    SerialInitQueueConfig(&config, WdfIoQueueDispatchSequential);
    config.EvtIoWrite = SerialEvtIoWrite;
    status = WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &DeviceContext->WriteQueue);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Create write queue failed (0x%p)\n", BRISUM_STATUS(status));
        goto End;
    }
    status = WdfDeviceConfigureRequestDispatching(device, DeviceContext->WriteQueue, WdfRequestTypeWrite);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Configure Request Dispatching failed (0x%p)\n", BRISUM_STATUS(status));
        goto End;
    }

    status = SerialCreateParkingQueue(device, SerialMaskQueueReady, &DeviceContext->MaskQueue);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Create mask queue failed (0x%p)\n", BRISUM_STATUS(status));
        goto End;
    }

    status = SerialCreateParkingQueue(device, SerialPurgeQueueReady, &DeviceContext->PurgeQueue);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Create purge queue failed (0x%p)\n", BRISUM_STATUS(status));
        goto End;
    }

End:
    return status;
}

BOOLEAN SerialIsQueueIdle(WDFQUEUE Queue)
{
    WDF_IO_QUEUE_STATE state;

    state = WdfIoQueueGetState(Queue, NULL, NULL);
    /* Idle means nothing waits in the queue and nothing taken from it is
       still owned by the driver. */
    return (BOOLEAN)(((ULONG)state & WdfIoQueueNoRequests) != 0 && ((ULONG)state & WdfIoQueueDriverNoRequests) != 0);
}

/* Caller holds the lock that guards *CurrentRequest (ReadLock, IoctlLock or
   MaskLock); the cancel routine called here runs with it held. */
VOID SerialCancelCurrentRequest(WDFREQUEST *CurrentRequest)
{
    NTSTATUS status;
    WDFREQUEST request;
    PREQUEST_CONTEXT requestContext;
    PFN_WDF_REQUEST_CANCEL cancelRoutine;

    request = *CurrentRequest;
    if (request == NULL) {
        return;
    }

    requestContext = GetRequestContext(request);
    cancelRoutine = requestContext->CancelRoutine;
    if ((requestContext->ReferenceFlags & REFERENCE_CANCEL) != 0) {
        status = WdfRequestUnmarkCancelable(request);
        if (!NT_SUCCESS(status)) {
            /* The framework is already cancelling the request: its cancel
               routine completes it. */
            BrisumTrace(TRACE_INFO, "brisum : SerialFlushQueue: request 0x%p already cancelling (0x%p)\n", request,
                        BRISUM_STATUS(status));
            return;
        }
        requestContext->CancelRoutine = NULL;
    }
    if (cancelRoutine != NULL) {
        cancelRoutine(request);
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

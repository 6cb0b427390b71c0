/*
 * Queue.cpp - the device's I/O queues, the queue idle test and the queue flush.
 *
 * Reads and control codes arrive on the parallel default queue, writes on
 * their own sequential queue; three manual queues hold the reads,
 * wait-mask requests and purges that the driver parks. Every queue inherits
 * the device's synchronization scope, so the framework runs all queue
 * callbacks and the cancel routines of their requests under the one
 * device-wide lock.
 */
#include "Driver.h"
#include "../receive/quoltread.h"
#include "../transmit/Write.h"
#include "../control/Control.h"

#ifdef ALLOC_PRAGMA
#pragma alloc_text(PAGE, CreateQueues)
#endif

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
        BrisumTrace(TRACE_ERROR, "brisum : Create default queue failed with status : 0x%p.\n", (PVOID)(LONG_PTR)status);
        goto End;
    }

    SerialInitQueueConfig(&config, WdfIoQueueDispatchManual);
    status = WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &DeviceContext->ReadQueue);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Create read queue  failed (0x%p)\n", (PVOID)(LONG_PTR)status);
        goto End;
    }

    SerialInitQueueConfig(&config, WdfIoQueueDispatchSequential);
    config.EvtIoWrite = SerialEvtIoWrite;
    status = WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &DeviceContext->WriteQueue);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Create write queue failed (0x%p)\n", (PVOID)(LONG_PTR)status);
        goto End;
    }
    status = WdfDeviceConfigureRequestDispatching(device, DeviceContext->WriteQueue, WdfRequestTypeWrite);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Configure Request Dispatching failed (0x%p)\n", (PVOID)(LONG_PTR)status);
        goto End;
    }

    SerialInitQueueConfig(&config, WdfIoQueueDispatchManual);
    status = WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &DeviceContext->MaskQueue);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Create mask queue failed (0x%p)\n", (PVOID)(LONG_PTR)status);
        goto End;
    }

    SerialInitQueueConfig(&config, WdfIoQueueDispatchManual);
    status = WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &DeviceContext->PurgeQueue);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Create purge queue failed (0x%p)\n", (PVOID)(LONG_PTR)status);
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
                        (PVOID)(LONG_PTR)status);
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

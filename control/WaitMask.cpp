/*
 * WaitMask.cpp - SET_WAIT_MASK and WAIT_ON_MASK: the wait mask, the one
 * pending wait, its completion DPC and its cancel routine.
 *
 * The pending wait (CurrentWaitRequest) is in one of two states:
 *   waiting      WaitMaskLocation points at its output buffer; an event
 *                source that finds it stores the events there, empties
 *                WaitMaskLocation and enqueues CompleteWaitMaskDpc;
 *   with result  its buffer holds the events (or 0) and WaitMaskLocation
 *                is empty; CompleteWaitMaskDpc completes it.
 * All of these fields change only under EventLock, so no source stores into
 * the buffer of a wait that was already completed.
 *
 * Two parties may end the wait: the DPC (success) and SerialCancelWait
 * (cancelled). Its REQUEST_CONTEXT.ReferenceFlags records which of them may
 * still act (REFERENCE_WAIT for the DPC, REFERENCE_CANCEL while the request
 * is marked cancelable); the one that clears the last bit completes it.
 * The DPC and the framework's call of the cancel routine are serialized by
 * the device-wide lock; the hardware release calls the cancel routine
 * directly under MaskLock, outside that lock, so the DPC and the
 * framework's call also hold MaskLock while they decide.
 *
 * Lock order: MaskLock -> EventLock; MaskLock is never held with another of
 * the five original locks.
 */
#include "Control.h"
#include "../driver/Driver.h"
#include "../receive/quoltread.h"

/*
 * SET_WAIT_MASK: a wait that is still waiting completes with 0; the new
 * mask applies, and events seen earlier survive only where the new mask
 * keeps their bit. Caller holds MaskLock.
 */
static VOID SerialSetWaitMask(PDEVICE_EXT_CONTEXT DeviceContext, WDFREQUEST Request, ULONG NewMask)
{
    WdfSpinLockAcquire(DeviceContext->EventLock);
    if (DeviceContext->CurrentWaitRequest != NULL && DeviceContext->WaitMaskLocation != NULL) {
        *DeviceContext->WaitMaskLocation = 0;
        DeviceContext->WaitMaskLocation = NULL;
        WdfDpcEnqueue(DeviceContext->CompleteWaitMaskDpc);
    }
    DeviceContext->ulCurrentMask = NewMask;
    DeviceContext->HistoryMask &= NewMask;
    WdfSpinLockRelease(DeviceContext->EventLock);

    BrisumTrace(TRACE_INFO, "brisum : Set Wait Mask 0x%x\n", NewMask);
    SerialCompleteIoctl(Request, STATUS_SUCCESS, sizeof(ULONG));
}

/*
 * WAIT_ON_MASK: refused while the mask is 0 or another wait is pending;
 * otherwise it becomes the pending wait, completed at once (through the
 * DPC) by events gathered before it arrived. Caller holds MaskLock.
 */
static VOID SerialWaitOnMask(PDEVICE_EXT_CONTEXT DeviceContext, WDFREQUEST Request, PULONG Result)
{
    PREQUEST_CONTEXT RequestContext = GetRequestContext(Request);
    NTSTATUS Status;
    BOOLEAN Refuse;

    WdfSpinLockAcquire(DeviceContext->EventLock);
    Refuse = (BOOLEAN)(DeviceContext->ulCurrentMask == 0 || DeviceContext->CurrentWaitRequest != NULL);
    WdfSpinLockRelease(DeviceContext->EventLock);
    if (Refuse) {
        BrisumTrace(TRACE_WARNING, "brisum : Wait On Mask(0x%p) refused: no mask or a wait pending\n", Request);
        SerialCompleteRequest(SITE_MASK_REFUSED, Request, STATUS_INVALID_PARAMETER, 0);
        return;
    }
    /* File clean-up ends the pending wait after it began: a wait set up
       now would outlive the close. */
    if (SerialFileCleanupStarted(DeviceContext)) {
        BrisumTrace(TRACE_INFO, "brisum : Wait On Mask(0x%p) after clean-up began, cancelled\n", Request);
        SerialCompleteRequest(SITE_MASK_AFTER_CLEANUP, Request, STATUS_CANCELLED, 0);
        return;
    }

    /* The Ex form reports a request cancelled before it was marked instead
       of running the cancel routine inside the call, so the wait is never
       half set up when the cancel routine sees it. */
    /* The routine and both references are recorded before the request is
       marked: a cancel routine that runs as soon as it is marked (on
       another processor) must find itself recorded, which tells it that
       the framework called it and that it takes MaskLock; it then waits
       for this set-up, which holds MaskLock, to finish. */
    RequestContext->CancelRoutine = SerialCancelWait;
    RequestContext->ReferenceFlags = REFERENCE_CANCEL | REFERENCE_WAIT;
    Status = WdfRequestMarkCancelableEx(Request, SerialCancelWait);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_INFO, "brisum : Wait On Mask(0x%p) cancelled before it was pending (0x%p)\n", Request,
                    BRISUM_STATUS(Status));
        RequestContext->CancelRoutine = NULL;
        RequestContext->ReferenceFlags = 0;
        SerialCompleteRequest(SITE_MASK_CANCELLED, Request, STATUS_CANCELLED, 0);
        return;
    }

    WdfSpinLockAcquire(DeviceContext->EventLock);
    DeviceContext->CurrentWaitRequest = Request;
    if (DeviceContext->HistoryMask != 0) {
        *Result = DeviceContext->HistoryMask;
        DeviceContext->HistoryMask = 0;
        WdfDpcEnqueue(DeviceContext->CompleteWaitMaskDpc);
    } else if (SerialFileCleanupStarted(DeviceContext)) {
        /* Clean-up began since the test above and may have found no wait
           pending (it tests CurrentWaitRequest under EventLock): the wait
           ends at once with no event, as a change of mask ends it. */
        *Result = 0;
        WdfDpcEnqueue(DeviceContext->CompleteWaitMaskDpc);
    } else {
        *Result = 0;
        DeviceContext->WaitMaskLocation = Result;
    }
    WdfSpinLockRelease(DeviceContext->EventLock);
    BrisumTrace(TRACE_INFO, "brisum : Wait On Mask(0x%p) pending\n", Request);
}

/*
 * Processes CurrentMaskRequest, then every mask request parked in MaskQueue.
 * Caller holds MaskLock and has set CurrentMaskRequest.
 */
VOID SerialStartMask(PDEVICE_EXT_CONTEXT DeviceContext)
{
    WDFREQUEST Request;
    PREQUEST_CONTEXT RequestContext;
    NTSTATUS Status;

    while (DeviceContext->CurrentMaskRequest != NULL) {
        Request = DeviceContext->CurrentMaskRequest;
        RequestContext = GetRequestContext(Request);
        DeviceContext->CurrentMaskRequest = NULL;

        if (RequestContext->IoControlCode == IOCTL_SERIAL_SET_WAIT_MASK) {
            SerialSetWaitMask(DeviceContext, Request, *(PULONG)RequestContext->SystemBuffer);
        } else {
            NT_ASSERT(RequestContext->IoControlCode == IOCTL_SERIAL_WAIT_ON_MASK);
            SerialWaitOnMask(DeviceContext, Request, (PULONG)RequestContext->SystemBuffer);
        }

        Status = WdfIoQueueRetrieveNextRequest(DeviceContext->MaskQueue, &Request);
        if (NT_SUCCESS(Status)) {
            DeviceContext->CurrentMaskRequest = Request;
        }
    }
}

VOID SerialCompleteWaitOnMask(WDFDPC Dpc)
{
    PDEVICE_EXT_CONTEXT DeviceContext = GetDeviceContext(WdfDpcGetParentObject(Dpc));
    WDFREQUEST Request;
    PREQUEST_CONTEXT RequestContext;
    BOOLEAN Complete = FALSE;

    WdfSpinLockAcquire(DeviceContext->MaskLock);
    WdfSpinLockAcquire(DeviceContext->EventLock);
    Request = DeviceContext->CurrentWaitRequest;
    /* No wait, or one still waiting: this DPC was queued for a wait that
       has since been cancelled, and must not complete its successor. */
    if (Request == NULL || DeviceContext->WaitMaskLocation != NULL) {
        goto Release;
    }

    RequestContext = GetRequestContext(Request);
    RequestContext->ReferenceFlags = RequestContext->ReferenceFlags & ~REFERENCE_WAIT;
    if ((RequestContext->ReferenceFlags & REFERENCE_CANCEL) != 0) {
        /* Fails only when cancellation has begun: the cancel routine, which
           the framework runs after this DPC, completes the wait. */
        if (NT_SUCCESS(WdfRequestUnmarkCancelable(Request))) {
            RequestContext->ReferenceFlags = RequestContext->ReferenceFlags & ~REFERENCE_CANCEL;
            RequestContext->CancelRoutine = NULL;
        }
    }
    if (RequestContext->ReferenceFlags == 0) {
        DeviceContext->CurrentWaitRequest = NULL;
        Complete = TRUE;
    }

Release:
    WdfSpinLockRelease(DeviceContext->EventLock);
    WdfSpinLockRelease(DeviceContext->MaskLock);
    if (Complete) {
        SerialCompleteRequest(SITE_WAIT_DPC, Request, STATUS_SUCCESS, sizeof(ULONG));
    }
}

/*
 * Cancel routine of the pending wait. Called either by the framework (under
 * the device-wide lock) or directly through CancelRoutine by
 * SerialFlushQueue, which holds MaskLock, runs outside the device-wide lock
 * and clears CancelRoutine once it has unmarked the request. The
 * framework's call therefore still finds the routine recorded (nobody can
 * unmark a request whose cancellation has begun) and takes MaskLock, so it
 * never overlaps the flush or the completion DPC; the direct call already
 * holds it.
 */
VOID SerialCancelWait(WDFREQUEST Request)
{
    PDEVICE_EXT_CONTEXT DeviceContext = GetDeviceContext(WdfIoQueueGetDevice(WdfRequestGetIoQueue(Request)));
    PREQUEST_CONTEXT RequestContext = GetRequestContext(Request);
    BOOLEAN FromFramework = (BOOLEAN)(RequestContext->CancelRoutine != NULL);
    BOOLEAN Complete = FALSE;

    if (FromFramework) {
        WdfSpinLockAcquire(DeviceContext->MaskLock);
    }
    WdfSpinLockAcquire(DeviceContext->EventLock);
    /* Only the pending wait carries this routine, and the parties that end
       it are serialized, so it is still the pending wait here. */
    NT_ASSERT(DeviceContext->CurrentWaitRequest == Request);
    if (DeviceContext->CurrentWaitRequest != Request) {
        goto Release;
    }
    if (DeviceContext->WaitMaskLocation != NULL) {
        *DeviceContext->WaitMaskLocation = 0;
        DeviceContext->WaitMaskLocation = NULL;
    }
    RequestContext->ReferenceFlags = RequestContext->ReferenceFlags & ~(REFERENCE_WAIT | REFERENCE_CANCEL);
    RequestContext->CancelRoutine = NULL;
    if (RequestContext->ReferenceFlags == 0) {
        DeviceContext->CurrentWaitRequest = NULL;
        Complete = TRUE;
    }

Release:
    WdfSpinLockRelease(DeviceContext->EventLock);
    if (FromFramework) {
        WdfSpinLockRelease(DeviceContext->MaskLock);
    }
    if (Complete) {
        BrisumTrace(TRACE_INFO, "brisum : Wait On Mask(0x%p) cancelled\n", Request);
        SerialCompleteRequest(SITE_WAIT_CANCEL, Request, STATUS_CANCELLED, 0);
    }
}

/*
 * Ends the pending wait and every mask request waiting in MaskQueue: the
 * queue flush, with the queue purged before MaskLock is taken. A purge may
 * run driver callbacks (IOCanceledOnQueue, a cancel routine) under the
 * device-wide lock, which the dispatcher and the wait's DPC hold when they
 * take MaskLock; purging under MaskLock would nest the two the other way
 * round. Caller holds no driver lock and runs outside the device-wide lock
 * (hardware release, file clean-up).
 */
VOID SerialEndMaskRequests(PDEVICE_EXT_CONTEXT DeviceContext)
{
    BOOLEAN Waiting;

    /* The wait's DPC clears CurrentWaitRequest under EventLock on another
       processor: the test reads it under the same lock. */
    WdfSpinLockAcquire(DeviceContext->EventLock);
    Waiting = DeviceContext->CurrentWaitRequest != NULL;
    WdfSpinLockRelease(DeviceContext->EventLock);
    if (SerialIsQueueIdle(DeviceContext->MaskQueue) && !Waiting) {
        return;
    }
    WdfIoQueuePurge(DeviceContext->MaskQueue, WDF_NO_EVENT_CALLBACK, WDF_NO_CONTEXT);
    WdfSpinLockAcquire(DeviceContext->MaskLock);
    SerialCancelCurrentRequest(&DeviceContext->CurrentWaitRequest);
    WdfSpinLockRelease(DeviceContext->MaskLock);
    WdfIoQueueStart(DeviceContext->MaskQueue);
}

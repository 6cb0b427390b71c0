/*
 * Write.cpp - the transmit path.
 *
 * Writes arrive one at a time from the sequential WriteQueue. The current
 * write is cut into bulk-OUT sub-requests of at most one packet, sent one
 * after the other: each is started from the completion of the one before.
 * A write ends early through the write total time-out, its cancellation
 * (by the framework or the transmit purge), a failing sub-request or the
 * port refusing I/O; whatever the reason, it is completed in one place,
 * SerialCompleteWrite, which also reports SERIAL_EV_TXEMPTY.
 *
 * Ownership of the current write
 *   The "transfer chain" (SerialStartWriteRequest, the sub-request out at
 *   the pipe, IoWriteComplete, a queued StartWriteDpc) owns the write while
 *   WriteTransferActive is TRUE. Exactly one party holds that token at a
 *   time and hands it on: arrival -> SerialStartWriteRequest (or
 *   StartWriteDpc) -> the pipe -> IoWriteComplete -> the next start, until
 *   a party finds the write finished or aborted, clears the token and
 *   enqueues CompleteWriteDpc. SerialCompleteWrite completes the write only
 *   while the token is free. After a time-out or cancellation it therefore
 *   does not release the sub-request that is still out: it asks the pipe
 *   to give it back (WdfRequestCancelSentRequest), and the write is
 *   completed on the pass that follows its return. So:
 *   - a sub-request is released exactly once: by IoWriteComplete when it
 *     comes back (by the canceller instead, when it comes back while the
 *     canceller is inside WdfRequestCancelSentRequest with its handle), or
 *     by the sender when it could not be sent;
 *   - nothing touches a write or its buffer after its completion;
 *   - every byte the device acknowledged, even for a sub-request that came
 *     back after a time-out or cancellation, is counted in the write's
 *     Information.
 *
 * How a write ends (Status, Information)
 *   all bytes sent                      STATUS_SUCCESS, the write length
 *   a sub-request fails                 its status, bytes before it
 *   total time-out                      STATUS_SUCCESS, bytes sent
 *   cancelled (framework or purge)      STATUS_CANCELLED, bytes sent
 *   cancelled before it was marked      STATUS_CANCELLED, 0 (nothing sent)
 *   a driver-side failure (allocation,  the failing call's status,
 *     formatting, sending, buffer)        bytes sent
 *   port stops accepting I/O meanwhile  STATUS_DELETE_PENDING, bytes sent
 *   port refusing I/O at arrival        STATUS_DELETE_PENDING, 0 (at once)
 *   no bulk-OUT pipe                    STATUS_INVALID_DEVICE_STATE, 0 (at once)
 *
 *   When reasons compete (a time-out, then a cancellation before the
 *   completion pass ran), the first one stands: the write ends as the
 *   time-out or the cancellation that came first.
 */
#include "Write.h"
#include "../driver/Driver.h"
#include "../receive/quoltread.h"
#include "../control/Control.h"

/* WriteTimerState */
#define WRITE_TIMER_IDLE 0
#define WRITE_TIMER_ARMED 1
#define WRITE_TIMER_FIRED 2

/* Largest relative due time, in 100 ns units. */
#define WRITE_MAX_DUE_TIME ((ULONGLONG)MAXLONGLONG)

/*
 * Records Failure as the write's completion status unless a failure is
 * recorded already: the first failure is the one reported.
 * Caller holds WriteLock.
 */
static VOID SerialRecordWriteFailure(PREQUEST_CONTEXT WriteContext, NTSTATUS Failure)
{
    if (NT_SUCCESS(WriteContext->Status)) {
        WriteContext->Status = Failure;
    }
}

/*
 * Gives up the transfer chain's hold on the current write, recording
 * Failure (when it is a failure), and schedules the completion pass.
 * Caller holds the token and does NOT hold WriteLock.
 */
static VOID SerialEndWriteTransfer(PDEVICE_EXT_CONTEXT DeviceContext, PREQUEST_CONTEXT WriteContext, NTSTATUS Failure)
{
    WdfSpinLockAcquire(DeviceContext->WriteLock);
    NT_ASSERT(DeviceContext->WriteTransferActive);
    if (!NT_SUCCESS(Failure)) {
        SerialRecordWriteFailure(WriteContext, Failure);
    }
    DeviceContext->WriteTransferActive = FALSE;
    WdfSpinLockRelease(DeviceContext->WriteLock);

    WdfDpcEnqueue(DeviceContext->CompleteWriteDpc);
}

/*
 * Asks the pipe to give back the sub-request that is out, when there is one
 * and nobody is asking already. While SubRequestCancelling is set the
 * sub-request stays valid: IoWriteComplete leaves its release to this
 * routine, and SerialCompleteWrite does not complete the write. Called
 * without WriteLock (the completion routine may run inside the cancel call).
 */
static VOID SerialCancelSubRequest(PDEVICE_EXT_CONTEXT DeviceContext)
{
    WDFREQUEST subRequest = NULL;
    WDFREQUEST returned;
    BOOLEAN completePass;

    WdfSpinLockAcquire(DeviceContext->WriteLock);
    if (DeviceContext->CurrentSubRequest != NULL && DeviceContext->SubRequestSent &&
        !DeviceContext->SubRequestCancelling) {
        subRequest = DeviceContext->CurrentSubRequest;
        DeviceContext->SubRequestCancelling = TRUE;
    }
    WdfSpinLockRelease(DeviceContext->WriteLock);

    if (subRequest == NULL) {
        return;
    }

    BrisumTrace(TRACE_INFO, "brisum : Cancel sub write request(0x%p)\n", subRequest);
    WdfRequestCancelSentRequest(subRequest);

    WdfSpinLockAcquire(DeviceContext->WriteLock);
    DeviceContext->SubRequestCancelling = FALSE;
    returned = DeviceContext->ReturnedSubRequest;
    DeviceContext->ReturnedSubRequest = NULL;
    completePass = (BOOLEAN)(DeviceContext->CurrentWriteRequest != NULL && !DeviceContext->WriteTransferActive);
    WdfSpinLockRelease(DeviceContext->WriteLock);

    if (returned != NULL) {
        NT_ASSERT(returned == subRequest);
        WdfObjectDelete(returned);
    }
    if (completePass) {
        /* A completion pass may have found the sub-request still being
           cancelled; let it run again. */
        WdfDpcEnqueue(DeviceContext->CompleteWriteDpc);
    }
}

/*
 * Relative due time of the write total time-out: -10,000 x (L x M + C)
 * milliseconds in 100 ns units, L x M + C computed in 64 bits. L saturates
 * at MAXULONG rather than wrapping, and a product beyond the largest
 * relative due time is clamped to it.
 */
static LONGLONG SerialWriteDueTime(size_t WriteLength, ULONG Multiplier, ULONG Constant)
{
    ULONGLONG length = (WriteLength > MAXULONG) ? MAXULONG : (ULONGLONG)WriteLength;
    ULONGLONG milliseconds = length * Multiplier + Constant; /* < 2^64 for 32-bit operands */

    if (milliseconds > WRITE_MAX_DUE_TIME / 10000) {
        return -(LONGLONG)WRITE_MAX_DUE_TIME;
    }
    return -(LONGLONG)(milliseconds * 10000);
}

VOID SerialEvtIoWrite(WDFQUEUE Queue, WDFREQUEST Request, size_t Length)
{
    WDFDEVICE device = WdfIoQueueGetDevice(Queue);
    PDEVICE_EXT_CONTEXT deviceContext = GetDeviceContext(device);
    PREQUEST_CONTEXT writeContext = GetRequestContext(Request);
    SERIAL_TIMEOUTS timeouts;
    PVOID buffer = NULL;
    size_t bufferLength = 0;
    NTSTATUS status;

    BrisumTrace(TRACE_INFO, "brisum : Received a write request(0x%p) of %d bytes\n", Request, (int)Length);

    /* The dispatcher that changes Timeouts runs under the same device-wide
       lock as this callback, so the copy is consistent without IoctlLock. */
    timeouts = deviceContext->Timeouts;

    if (!CanAcceptIoRequest(device)) {
        BrisumTrace(TRACE_WARNING, "brisum : Write request(0x%p) refused, device is not accept IoRequest.\n", Request);
        SerialCompleteRequest(SITE_WRITE_REFUSED, Request, STATUS_DELETE_PENDING, 0);
        return;
    }

    /* Without a usable bulk-OUT pipe the bytes have nowhere to go. */
    if (deviceContext->BulkOutPipe == NULL || deviceContext->BulkOutMaxPacketSize == 0) {
        BrisumTrace(TRACE_WARNING, "brisum : Write request(0x%p) refused, no bulk-out pipe.\n", Request);
        SerialCompleteRequest(SITE_WRITE_REFUSED, Request, STATUS_INVALID_DEVICE_STATE, 0);
        return;
    }

    status = WdfRequestRetrieveInputBuffer(Request, 1, &buffer, &bufferLength);
    if (!NT_SUCCESS(status) || buffer == NULL || bufferLength == 0) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfRequestRetrieveInputBuffer failed (0x%p)\n", BRISUM_STATUS(status));
        SerialCompleteRequest(SITE_WRITE_REFUSED, Request, NT_SUCCESS(status) ? STATUS_INVALID_PARAMETER : status, 0);
        return;
    }

    WdfSpinLockAcquire(deviceContext->WriteLock);
    /* The sequential queue presents a write only when the previous one is completed. */
    NT_ASSERT(deviceContext->CurrentWriteRequest == NULL);
    NT_ASSERT(!deviceContext->WriteTransferActive);
    deviceContext->WriteAbortCode = 0;
    deviceContext->CurrentSubRequest = NULL;
    deviceContext->SubRequestSent = FALSE;
    deviceContext->CurrentSubRequestLength = 0;
    NT_ASSERT(!deviceContext->SubRequestCancelling && deviceContext->ReturnedSubRequest == NULL);
    deviceContext->CurrentWriteRequest = Request;
    deviceContext->WriteTransferActive = TRUE; /* the start below holds the write */

    writeContext->Status = STATUS_SUCCESS;
    writeContext->DeviceContext = deviceContext;
    writeContext->Length = bufferLength;
    writeContext->BytesTransferred = 0;
    writeContext->SubRequest = NULL;
    /* Set before marking: once marked, the cancel routine may run (after
       this callback, under the device-wide lock) and clears the bit. */
    writeContext->ReferenceFlags = REFERENCE_CANCEL;
    writeContext->CancelRoutine = SerialCancelCurrentWrite;
    WdfSpinLockRelease(deviceContext->WriteLock);

    /* A write cancelled before it could be marked is not started: the Ex
       form reports the cancellation instead of queueing the cancel routine
       for later, and the write ends as cancelled with no byte sent, through
       the one completion pass. */
    status = WdfRequestMarkCancelableEx(Request, SerialCancelCurrentWrite);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_INFO, "brisum : Write request(0x%p) cancelled before it was started (0x%p)\n", Request,
                    BRISUM_STATUS(status));
        WdfSpinLockAcquire(deviceContext->WriteLock);
        writeContext->ReferenceFlags = 0;
        writeContext->CancelRoutine = NULL;
        deviceContext->WriteAbortCode = SERIAL_COMPLETE_WRITE_CANCEL;
        WdfSpinLockRelease(deviceContext->WriteLock);
        deviceContext->WriteTimerState = WRITE_TIMER_IDLE;
        SerialEndWriteTransfer(deviceContext, writeContext, STATUS_SUCCESS);
        return;
    }

    if (timeouts.WriteTotalTimeoutMultiplier != 0 || timeouts.WriteTotalTimeoutConstant != 0) {
        LONGLONG dueTime = SerialWriteDueTime(bufferLength, timeouts.WriteTotalTimeoutMultiplier,
                                              timeouts.WriteTotalTimeoutConstant);
        deviceContext->WriteTimerState = WRITE_TIMER_ARMED;
        WdfTimerStart(deviceContext->WriteTotalTimer, dueTime);
    } else {
        deviceContext->WriteTimerState = WRITE_TIMER_IDLE;
    }

    if (deviceContext->DriverMode == 1) {
        WdfDpcEnqueue(deviceContext->StartWriteDpc); /* the DPC takes over the token */
    } else {
        SerialStartWriteRequest(deviceContext, Request, buffer);
    }
}

/*
 * Builds the next sub-request of Request from Buffer (the write's input
 * buffer) and sends it to the bulk-OUT pipe. The caller holds the transfer
 * token; it passes to the sub-request when sent, otherwise this routine
 * gives it up and schedules the completion pass. Called without WriteLock.
 */
VOID SerialStartWriteRequest(PDEVICE_EXT_CONTEXT DeviceContext, WDFREQUEST Request, PVOID Buffer)
{
    PREQUEST_CONTEXT writeContext = GetRequestContext(Request);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDFIOTARGET pipeTarget;
    WDFREQUEST subRequest = NULL;
    WDFMEMORY memory = NULL;
    PVOID memoryBuffer = NULL;
    PREQUEST_CONTEXT subContext;
    size_t offset;
    ULONG chunk;
    BOOLEAN cancelNow = FALSE;
    NTSTATUS status;

    WdfSpinLockAcquire(DeviceContext->WriteLock);
    NT_ASSERT(DeviceContext->WriteTransferActive);
    NT_ASSERT(DeviceContext->CurrentWriteRequest == Request);
    NT_ASSERT(DeviceContext->CurrentSubRequest == NULL);
    if (DeviceContext->WriteAbortCode == SERIAL_COMPLETE_WRITE_CANCEL ||
        DeviceContext->WriteAbortCode == SERIAL_COMPLETE_WRITE_TOTAL) {
        WdfSpinLockRelease(DeviceContext->WriteLock);
        BrisumTrace(TRACE_INFO, "brisum : Write request(0x%p) aborted (%d), no further transfer\n", Request,
                    DeviceContext->WriteAbortCode);
        SerialEndWriteTransfer(DeviceContext, writeContext, STATUS_SUCCESS);
        return;
    }
    offset = writeContext->BytesTransferred;
    chunk = (writeContext->Length < DeviceContext->BulkOutMaxPacketSize) ? (ULONG)writeContext->Length
                                                                          : DeviceContext->BulkOutMaxPacketSize;
    WdfSpinLockRelease(DeviceContext->WriteLock);

    if (chunk == 0) {
        /* Only a bulk-OUT packet size of 0 gets here (a write with bytes
           left always has a chunk); nothing could ever be sent. */
        BrisumTrace(TRACE_ERROR, "brisum : Write request(0x%p) has an empty chunk\n", Request);
        SerialEndWriteTransfer(DeviceContext, writeContext, STATUS_INVALID_DEVICE_STATE);
        return;
    }

    pipeTarget = WdfUsbTargetPipeGetIoTarget(DeviceContext->BulkOutPipe);

    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, REQUEST_CONTEXT);
    attributes.ParentObject = DeviceContext->UsbDevice;
    status = WdfRequestCreate(&attributes, pipeTarget, &subRequest);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Create sub write request failed (0x%p)\n", BRISUM_STATUS(status));
        SerialEndWriteTransfer(DeviceContext, writeContext, status);
        return;
    }
    subContext = GetRequestContext(subRequest);
    subContext->DeviceContext = DeviceContext;
    subContext->ParentRequest = Request;
    subContext->Length = chunk;

    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = subRequest; /* deleting the sub-request frees it */
    status = WdfMemoryCreate(&attributes, NonPagedPool, WRITE_POOL_TAG, chunk, &memory, &memoryBuffer);
    if (!NT_SUCCESS(status) || memory == NULL) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfMemoryCreate for sub write request failed (0x%p)\n",
                    BRISUM_STATUS(status));
        WdfObjectDelete(subRequest);
        SerialEndWriteTransfer(DeviceContext, writeContext, NT_SUCCESS(status) ? STATUS_INSUFFICIENT_RESOURCES : status);
        return;
    }

    status = WdfMemoryCopyFromBuffer(memory, 0, (PUCHAR)Buffer + offset, chunk);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfMemoryCopyFromBuffer failed (0x%p)\n", BRISUM_STATUS(status));
        WdfObjectDelete(subRequest);
        SerialEndWriteTransfer(DeviceContext, writeContext, status);
        return;
    }

    status = WdfUsbTargetPipeFormatRequestForWrite(DeviceContext->BulkOutPipe, subRequest, memory, NULL);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfUsbTargetPipeFormatRequestForWrite failed (0x%p)\n",
                    BRISUM_STATUS(status));
        WdfObjectDelete(subRequest);
        SerialEndWriteTransfer(DeviceContext, writeContext, status);
        return;
    }

    WdfRequestSetCompletionRoutine(subRequest, IoWriteComplete, writeContext);

    /* Publish the sub-request, unless the write was aborted meanwhile. */
    WdfSpinLockAcquire(DeviceContext->WriteLock);
    if (DeviceContext->WriteAbortCode != 0) {
        WdfSpinLockRelease(DeviceContext->WriteLock);
        WdfObjectDelete(subRequest);
        SerialEndWriteTransfer(DeviceContext, writeContext, STATUS_SUCCESS);
        return;
    }
    DeviceContext->CurrentSubRequest = subRequest;
    DeviceContext->SubRequestSent = FALSE;
    DeviceContext->CurrentSubRequestLength = chunk;
    writeContext->SubRequest = subRequest;
    WdfSpinLockRelease(DeviceContext->WriteLock);

    /* The completion routine may run, and release the sub-request, before
       WdfRequestSend returns: this reference keeps the handle valid here. */
    WdfObjectReference(subRequest);

    if (!WdfRequestSend(subRequest, pipeTarget, WDF_NO_SEND_OPTIONS)) {
        status = WdfRequestGetStatus(subRequest);
        BrisumTrace(TRACE_ERROR, "brisum : WdfRequestSend Sub Request failed (0x%p)\n", BRISUM_STATUS(status));
        WdfSpinLockAcquire(DeviceContext->WriteLock);
        DeviceContext->CurrentSubRequest = NULL;
        writeContext->SubRequest = NULL;
        WdfSpinLockRelease(DeviceContext->WriteLock);
        WdfObjectDelete(subRequest);
        WdfObjectDereference(subRequest);
        SerialEndWriteTransfer(DeviceContext, writeContext, NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status);
        return;
    }

    /* Sent. A time-out or cancellation that came in between could not have
       it cancelled yet (it was not sent); do it now on their behalf. */
    WdfSpinLockAcquire(DeviceContext->WriteLock);
    if (DeviceContext->CurrentSubRequest == subRequest) {
        DeviceContext->SubRequestSent = TRUE;
        cancelNow = (BOOLEAN)(DeviceContext->WriteAbortCode != 0);
    }
    WdfSpinLockRelease(DeviceContext->WriteLock);

    if (cancelNow) {
        SerialCancelSubRequest(DeviceContext);
    }
    WdfObjectDereference(subRequest);
}

VOID SerialStartWriteFromDpc(WDFDPC Dpc)
{
    PDEVICE_EXT_CONTEXT deviceContext = GetDeviceContext(WdfDpcGetParentObject(Dpc));
    WDFREQUEST request;
    PVOID buffer = NULL;
    size_t bufferLength = 0;
    NTSTATUS status;

    WdfSpinLockAcquire(deviceContext->WriteLock);
    request = deviceContext->CurrentWriteRequest;
    if (request == NULL || !deviceContext->WriteTransferActive || deviceContext->CurrentSubRequest != NULL) {
        /* Only the holder of the token enqueues this DPC, and the write
           cannot be completed while the token is held. */
        NT_ASSERT(FALSE);
        WdfSpinLockRelease(deviceContext->WriteLock);
        return;
    }
    WdfSpinLockRelease(deviceContext->WriteLock);

    status = WdfRequestRetrieveInputBuffer(request, 1, &buffer, &bufferLength);
    if (!NT_SUCCESS(status) || buffer == NULL || bufferLength == 0) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfRequestRetrieveInputBuffer failed (0x%p)\n", BRISUM_STATUS(status));
        SerialEndWriteTransfer(deviceContext, GetRequestContext(request),
                               NT_SUCCESS(status) ? STATUS_INVALID_PARAMETER : status);
        return;
    }

    SerialStartWriteRequest(deviceContext, request, buffer);
}

/*
 * Completion of a sub-request. Runs outside the device-wide lock, at up to
 * DISPATCH_LEVEL. The write is still current and not completed: the token
 * travelled with the sub-request.
 */
VOID IoWriteComplete(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_COMPLETION_PARAMS Params, WDFCONTEXT Context)
{
    PREQUEST_CONTEXT writeContext = (PREQUEST_CONTEXT)Context;
    PDEVICE_EXT_CONTEXT deviceContext = GetRequestContext(Request)->DeviceContext;
    WDFREQUEST write = (WDFREQUEST)WdfObjectContextGetObject(writeContext);
    NTSTATUS status = Params->IoStatus.Status;
    size_t transferred;
    BOOLEAN accepting;
    BOOLEAN finished;
    BOOLEAN release = TRUE;
    PVOID buffer = NULL;
    size_t bufferLength = 0;

    UNREFERENCED_PARAMETER(Target);

    if (Params->Parameters.Usb.Completion != NULL) {
        transferred = Params->Parameters.Usb.Completion->Parameters.PipeWrite.Length;
    } else {
        transferred = Params->IoStatus.Information;
    }

    accepting = CanAcceptIoRequest(deviceContext->WdfDevice);

    WdfSpinLockAcquire(deviceContext->WriteLock);
    NT_ASSERT(deviceContext->WriteTransferActive);
    NT_ASSERT(deviceContext->CurrentWriteRequest == write);
    NT_ASSERT(deviceContext->CurrentSubRequest == Request);

    if (NT_SUCCESS(status)) {
        /* A lower stack cannot take more than it was offered; never count
           more than the sub-request carried. */
        if (transferred > deviceContext->CurrentSubRequestLength) {
            transferred = deviceContext->CurrentSubRequestLength;
        }
        writeContext->BytesTransferred += transferred;
        writeContext->Length -= transferred;
    } else if (deviceContext->WriteAbortCode == 0) {
        BrisumTrace(TRACE_ERROR, "brisum : Sub write request(0x%p) failed (0x%p)\n", Request,
                    BRISUM_STATUS(status));
        SerialRecordWriteFailure(writeContext, status);
    }

    deviceContext->CurrentSubRequest = NULL;
    deviceContext->SubRequestSent = FALSE;
    deviceContext->CurrentSubRequestLength = 0;
    writeContext->SubRequest = NULL;
    if (deviceContext->SubRequestCancelling) {
        /* Someone is inside WdfRequestCancelSentRequest with this handle;
           it releases the sub-request when that call returns. */
        deviceContext->ReturnedSubRequest = Request;
        release = FALSE;
    }

    finished = (BOOLEAN)(deviceContext->WriteAbortCode != 0 || writeContext->Length == 0 || !NT_SUCCESS(status) ||
                         !accepting);
    if (finished) {
        if (!accepting && writeContext->Length != 0 && deviceContext->WriteAbortCode == 0) {
            BrisumTrace(TRACE_WARNING, "brisum : Clear request(0x%p) ,device is not accept IoRequest.\n", write);
            SerialRecordWriteFailure(writeContext, STATUS_DELETE_PENDING);
        }
        deviceContext->WriteTransferActive = FALSE;
    }
    WdfSpinLockRelease(deviceContext->WriteLock);

    if (release) {
        WdfObjectDelete(Request);
    }

    if (finished) {
        WdfDpcEnqueue(deviceContext->CompleteWriteDpc);
        return;
    }

    /* More to send: the token passes to the next start. A sub-request that
       took fewer bytes than it carried, or none, is followed by one that
       starts at the first byte not taken. */
    if (deviceContext->DriverMode == 1) {
        WdfDpcEnqueue(deviceContext->StartWriteDpc);
        return;
    }

    status = WdfRequestRetrieveInputBuffer(write, 1, &buffer, &bufferLength);
    if (!NT_SUCCESS(status) || buffer == NULL || bufferLength == 0) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfRequestRetrieveInputBuffer failed (0x%p)\n", BRISUM_STATUS(status));
        SerialEndWriteTransfer(deviceContext, writeContext, NT_SUCCESS(status) ? STATUS_INVALID_PARAMETER : status);
        return;
    }
    SerialStartWriteRequest(deviceContext, write, buffer);
}

VOID SerialWriteTimeout(WDFTIMER Timer)
{
    PDEVICE_EXT_CONTEXT deviceContext = GetDeviceContext(WdfTimerGetParentObject(Timer));

    /* An expiry that was already on its way when its write was completed
       (the stop could not withdraw it) must not end the next write. */
    if (deviceContext->WriteTimerStaleExpiries != 0) {
        deviceContext->WriteTimerStaleExpiries--;
        BrisumTrace(TRACE_INFO, "brisum : Stale write time-out ignored\n");
        return;
    }
    if (deviceContext->WriteTimerState != WRITE_TIMER_ARMED) {
        return;
    }
    deviceContext->WriteTimerState = WRITE_TIMER_FIRED;

    BrisumTrace(TRACE_INFO, "brisum : Write total time-out\n");

    WdfSpinLockAcquire(deviceContext->WriteLock);
    if (deviceContext->CurrentWriteRequest != NULL && deviceContext->WriteAbortCode == 0) {
        deviceContext->WriteAbortCode = SERIAL_COMPLETE_WRITE_TOTAL;
    }
    WdfSpinLockRelease(deviceContext->WriteLock);

    WdfDpcEnqueue(deviceContext->CompleteWriteDpc);
}

/*
 * Cancel routine of the current write: called by the framework, or by the
 * transmit purge through CancelRoutine (then IoctlLock is held and the
 * write was unmarked by SerialFlushQueue). The write is completed by
 * SerialCompleteWrite once the sub-request out at the pipe is back.
 */
VOID SerialCancelCurrentWrite(WDFREQUEST Request)
{
    PDEVICE_EXT_CONTEXT deviceContext = GetDeviceContext(WdfIoQueueGetDevice(WdfRequestGetIoQueue(Request)));
    PREQUEST_CONTEXT writeContext = GetRequestContext(Request);

    BrisumTrace(TRACE_INFO, "brisum : Cancel write request(0x%p)\n", Request);

    WdfSpinLockAcquire(deviceContext->WriteLock);
    NT_ASSERT(deviceContext->CurrentWriteRequest == Request);
    /* The write is no longer cancelable: this routine has run. */
    InterlockedAnd64((LONG64 volatile *)&writeContext->ReferenceFlags, ~(LONG64)REFERENCE_CANCEL);
    writeContext->CancelRoutine = NULL;
    /* The first reason to end a write is the one that stands. */
    if (deviceContext->WriteAbortCode == 0) {
        deviceContext->WriteAbortCode = SERIAL_COMPLETE_WRITE_CANCEL;
    }
    WdfSpinLockRelease(deviceContext->WriteLock);

    WdfDpcEnqueue(deviceContext->CompleteWriteDpc);
}

VOID SerialCompleteWrite(WDFDPC Dpc)
{
    PDEVICE_EXT_CONTEXT deviceContext = GetDeviceContext(WdfDpcGetParentObject(Dpc));
    WDFREQUEST write;
    PREQUEST_CONTEXT writeContext;
    BOOLEAN cancelSubRequest;
    NTSTATUS status;
    NTSTATUS completionStatus;
    ULONG_PTR information;
    BOOLEAN complete = FALSE;

    WdfSpinLockAcquire(deviceContext->WriteLock);
    write = deviceContext->CurrentWriteRequest;
    if (write == NULL) {
        WdfSpinLockRelease(deviceContext->WriteLock);
        return;
    }
    if (deviceContext->WriteTransferActive || deviceContext->SubRequestCancelling) {
        /* The transfer chain still holds the write, or its last sub-request
           is still being cancelled. If the write is to end early, ask the
           pipe to give the sub-request back; whoever lets go of the write
           schedules this pass again. */
        cancelSubRequest = (BOOLEAN)(deviceContext->WriteTransferActive && deviceContext->WriteAbortCode != 0);
        WdfSpinLockRelease(deviceContext->WriteLock);
        if (cancelSubRequest) {
            SerialCancelSubRequest(deviceContext);
        }
        return;
    }
    WdfSpinLockRelease(deviceContext->WriteLock);

    writeContext = GetRequestContext(write);

    if (deviceContext->WriteTimerState == WRITE_TIMER_ARMED) {
        if (!WdfTimerStop(deviceContext->WriteTotalTimer, FALSE)) {
            /* Expired, its routine not yet run: ignore it when it does. */
            deviceContext->WriteTimerStaleExpiries++;
        }
    }
    deviceContext->WriteTimerState = WRITE_TIMER_IDLE;

    if ((writeContext->ReferenceFlags & REFERENCE_CANCEL) != 0) {
        if (writeContext->CancelRoutine == NULL) {
            /* Unmarked by the queue's stop routine. */
            InterlockedAnd64((LONG64 volatile *)&writeContext->ReferenceFlags, ~(LONG64)REFERENCE_CANCEL);
        } else {
            status = WdfRequestUnmarkCancelable(write);
            if (NT_SUCCESS(status)) {
                InterlockedAnd64((LONG64 volatile *)&writeContext->ReferenceFlags, ~(LONG64)REFERENCE_CANCEL);
                writeContext->CancelRoutine = NULL;
            } else {
                /* The framework is cancelling the write: its cancel routine
                   runs after this pass and schedules the one that completes. */
                BrisumTrace(TRACE_INFO, "brisum : Write request(0x%p) is being cancelled (0x%p)\n", write,
                            BRISUM_STATUS(status));
                return;
            }
        }
    }

    WdfSpinLockAcquire(deviceContext->WriteLock);
    if (writeContext->ReferenceFlags == 0) {
        completionStatus = writeContext->Status;
        if (deviceContext->WriteAbortCode == SERIAL_COMPLETE_WRITE_CANCEL && NT_SUCCESS(completionStatus) &&
            writeContext->Length != 0) {
            completionStatus = STATUS_CANCELLED;
        }
        information = writeContext->BytesTransferred;
        deviceContext->CurrentWriteRequest = NULL;
        complete = TRUE;
    }
    WdfSpinLockRelease(deviceContext->WriteLock);

    if (!complete) {
        return;
    }

    /* Completed outside WriteLock: completing may present the next write,
       whose arrival takes WriteLock. */
    BrisumTrace(TRACE_INFO, "brisum : Complete write request(0x%p) status 0x%p, %d bytes\n", write,
                BRISUM_STATUS(completionStatus), (int)information);
    SerialCompleteRequest(SITE_WRITE_COMPLETE, write, completionStatus, information);

    /* Transmit-empty: only to a wait that is waiting, only when no write is
       current or queued. The event is never kept in HistoryMask. */
    WdfSpinLockAcquire(deviceContext->EventLock);
    if ((deviceContext->ulCurrentMask & SERIAL_EV_TXEMPTY) != 0 && deviceContext->CurrentWriteRequest == NULL &&
        deviceContext->CurrentWaitRequest != NULL && deviceContext->WaitMaskLocation != NULL &&
        SerialIsQueueIdle(deviceContext->WriteQueue)) {
        SerialDeliverEventsLocked(deviceContext, SERIAL_EV_TXEMPTY);
    }
    WdfSpinLockRelease(deviceContext->EventLock);
}

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
    WDFREQUEST SubRequest = NULL;
    WDFREQUEST Returned;
    BOOLEAN CompletePass;

    WdfSpinLockAcquire(DeviceContext->WriteLock);
    if (DeviceContext->CurrentSubRequest != NULL && DeviceContext->SubRequestSent &&
        !DeviceContext->SubRequestCancelling) {
        SubRequest = DeviceContext->CurrentSubRequest;
        DeviceContext->SubRequestCancelling = TRUE;
    }
    WdfSpinLockRelease(DeviceContext->WriteLock);

    if (SubRequest == NULL) {
        return;
    }

    BrisumTrace(TRACE_INFO, "brisum : Cancel sub write request(0x%p)\n", SubRequest);
    WdfRequestCancelSentRequest(SubRequest);

    WdfSpinLockAcquire(DeviceContext->WriteLock);
    DeviceContext->SubRequestCancelling = FALSE;
    Returned = DeviceContext->ReturnedSubRequest;
    DeviceContext->ReturnedSubRequest = NULL;
    CompletePass = (BOOLEAN)(DeviceContext->CurrentWriteRequest != NULL && !DeviceContext->WriteTransferActive);
    WdfSpinLockRelease(DeviceContext->WriteLock);

    if (Returned != NULL) {
        NT_ASSERT(Returned == SubRequest);
        WdfObjectDelete(Returned);
    }
    if (CompletePass) {
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
    ULONGLONG Length = (WriteLength > MAXULONG) ? MAXULONG : (ULONGLONG)WriteLength;
    ULONGLONG Milliseconds = Length * Multiplier + Constant; /* < 2^64 for 32-bit operands */

    if (Milliseconds > WRITE_MAX_DUE_TIME / 10000) {
        return -(LONGLONG)WRITE_MAX_DUE_TIME;
    }
    return -(LONGLONG)(Milliseconds * 10000);
}

VOID SerialEvtIoWrite(WDFQUEUE Queue, WDFREQUEST Request, size_t Length)
{
    WDFDEVICE Device = WdfIoQueueGetDevice(Queue);
    PDEVICE_EXT_CONTEXT DeviceContext = GetDeviceContext(Device);
    PREQUEST_CONTEXT WriteContext = GetRequestContext(Request);
    SERIAL_TIMEOUTS Timeouts;
    PVOID Buffer = NULL;
    size_t BufferLength = 0;
    NTSTATUS Status;

    BrisumTrace(TRACE_INFO, "brisum : Received a write request(0x%p) of %d bytes\n", Request, (int)Length);

    /* The dispatcher that changes Timeouts runs under the same device-wide
       lock as this callback, so the copy is consistent without IoctlLock. */
    Timeouts = DeviceContext->Timeouts;

    if (!CanAcceptIoRequest(Device)) {
        BrisumTrace(TRACE_WARNING, "brisum : Write request(0x%p) refused, device is not accept IoRequest.\n", Request);
        SerialCompleteRequest(SITE_WRITE_REFUSED, Request, STATUS_DELETE_PENDING, 0);
        return;
    }

    /* Without a usable bulk-OUT pipe the bytes have nowhere to go. */
    if (DeviceContext->BulkOutPipe == NULL || DeviceContext->BulkOutMaxPacketSize == 0) {
        BrisumTrace(TRACE_WARNING, "brisum : Write request(0x%p) refused, no bulk-out pipe.\n", Request);
        SerialCompleteRequest(SITE_WRITE_REFUSED, Request, STATUS_INVALID_DEVICE_STATE, 0);
        return;
    }

    Status = WdfRequestRetrieveInputBuffer(Request, 1, &Buffer, &BufferLength);
    if (!NT_SUCCESS(Status) || Buffer == NULL || BufferLength == 0) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfRequestRetrieveInputBuffer failed (0x%p)\n", BRISUM_STATUS(Status));
        SerialCompleteRequest(SITE_WRITE_REFUSED, Request, NT_SUCCESS(Status) ? STATUS_INVALID_PARAMETER : Status, 0);
        return;
    }

    WdfSpinLockAcquire(DeviceContext->WriteLock);
    /* The sequential queue presents a write only when the previous one is completed. */
    NT_ASSERT(DeviceContext->CurrentWriteRequest == NULL);
    NT_ASSERT(!DeviceContext->WriteTransferActive);
    DeviceContext->WriteAbortCode = 0;
    DeviceContext->CurrentSubRequest = NULL;
    DeviceContext->SubRequestSent = FALSE;
    DeviceContext->CurrentSubRequestLength = 0;
    NT_ASSERT(!DeviceContext->SubRequestCancelling && DeviceContext->ReturnedSubRequest == NULL);
    DeviceContext->CurrentWriteRequest = Request;
    DeviceContext->WriteTransferActive = TRUE; /* the start below holds the write */

    WriteContext->Status = STATUS_SUCCESS;
    WriteContext->DeviceContext = DeviceContext;
    WriteContext->Length = BufferLength;
    WriteContext->BytesTransferred = 0;
    WriteContext->SubRequest = NULL;
    /* Set before marking: once marked, the cancel routine may run (after
       this callback, under the device-wide lock) and clears the bit. */
    WriteContext->ReferenceFlags = REFERENCE_CANCEL;
    WriteContext->CancelRoutine = SerialCancelCurrentWrite;
    WdfSpinLockRelease(DeviceContext->WriteLock);

    /* A write cancelled before it could be marked is not started: the Ex
       form reports the cancellation instead of queueing the cancel routine
       for later, and the write ends as cancelled with no byte sent, through
       the one completion pass. */
    Status = WdfRequestMarkCancelableEx(Request, SerialCancelCurrentWrite);
    /* File clean-up purges WriteQueue after it began, which cancels a write
       already marked: a write marked after that is refused here, unless its
       cancellation already began (its cancel routine then ends it as it
       ends any write cancelled while it starts). */
    if (NT_SUCCESS(Status) && SerialFileCleanupStarted(DeviceContext) &&
        NT_SUCCESS(WdfRequestUnmarkCancelable(Request))) {
        Status = STATUS_CANCELLED;
    }
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_INFO, "brisum : Write request(0x%p) cancelled before it was started (0x%p)\n", Request,
                    BRISUM_STATUS(Status));
        WdfSpinLockAcquire(DeviceContext->WriteLock);
        WriteContext->ReferenceFlags = 0;
        WriteContext->CancelRoutine = NULL;
        DeviceContext->WriteAbortCode = SERIAL_COMPLETE_WRITE_CANCEL;
        WdfSpinLockRelease(DeviceContext->WriteLock);
        DeviceContext->WriteTimerState = WRITE_TIMER_IDLE;
        SerialEndWriteTransfer(DeviceContext, WriteContext, STATUS_SUCCESS);
        return;
    }

    if (Timeouts.WriteTotalTimeoutMultiplier != 0 || Timeouts.WriteTotalTimeoutConstant != 0) {
        LONGLONG DueTime =
            SerialWriteDueTime(BufferLength, Timeouts.WriteTotalTimeoutMultiplier, Timeouts.WriteTotalTimeoutConstant);
        DeviceContext->WriteTimerState = WRITE_TIMER_ARMED;
        WdfTimerStart(DeviceContext->WriteTotalTimer, DueTime);
    } else {
        DeviceContext->WriteTimerState = WRITE_TIMER_IDLE;
    }

    if (DeviceContext->DriverMode == 1) {
        WdfDpcEnqueue(DeviceContext->StartWriteDpc); /* the DPC takes over the token */
    } else {
        SerialStartWriteRequest(DeviceContext, Request, Buffer);
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
    PREQUEST_CONTEXT WriteContext = GetRequestContext(Request);
    WDF_OBJECT_ATTRIBUTES Attributes;
    WDFIOTARGET PipeTarget;
    WDFUSBPIPE Pipe;
    WDFREQUEST SubRequest = NULL;
    WDFMEMORY Memory = NULL;
    PVOID MemoryBuffer = NULL;
    PREQUEST_CONTEXT SubContext;
    size_t Offset;
    ULONG Chunk;
    BOOLEAN CancelNow = FALSE;
    NTSTATUS Status;

    WdfSpinLockAcquire(DeviceContext->WriteLock);
    NT_ASSERT(DeviceContext->WriteTransferActive);
    NT_ASSERT(DeviceContext->CurrentWriteRequest == Request);
    NT_ASSERT(DeviceContext->CurrentSubRequest == NULL);
    if (DeviceContext->WriteAbortCode == SERIAL_COMPLETE_WRITE_CANCEL ||
        DeviceContext->WriteAbortCode == SERIAL_COMPLETE_WRITE_TOTAL) {
        WdfSpinLockRelease(DeviceContext->WriteLock);
        BrisumTrace(TRACE_INFO, "brisum : Write request(0x%p) aborted (%d), no further transfer\n", Request,
                    DeviceContext->WriteAbortCode);
        SerialEndWriteTransfer(DeviceContext, WriteContext, STATUS_SUCCESS);
        return;
    }
    Offset = WriteContext->BytesTransferred;
    Chunk = (WriteContext->Length < DeviceContext->BulkOutMaxPacketSize) ? (ULONG)WriteContext->Length
                                                                         : DeviceContext->BulkOutMaxPacketSize;
    Pipe = DeviceContext->BulkOutPipe;
    WdfSpinLockRelease(DeviceContext->WriteLock);

    if (Chunk == 0 || Pipe == NULL) {
        /* Only a bulk-OUT packet size of 0, or a pipe a failed restart
           took away, gets here (a write with bytes left always has a
           chunk); nothing could ever be sent. */
        BrisumTrace(TRACE_ERROR, "brisum : Write request(0x%p) has no bulk-OUT pipe to send on\n", Request);
        SerialEndWriteTransfer(DeviceContext, WriteContext, STATUS_INVALID_DEVICE_STATE);
        return;
    }

    PipeTarget = WdfUsbTargetPipeGetIoTarget(Pipe);

    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&Attributes, REQUEST_CONTEXT);
    Attributes.ParentObject = DeviceContext->UsbDevice;
    Status = WdfRequestCreate(&Attributes, PipeTarget, &SubRequest);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Create sub write request failed (0x%p)\n", BRISUM_STATUS(Status));
        SerialEndWriteTransfer(DeviceContext, WriteContext, Status);
        return;
    }
    SubContext = GetRequestContext(SubRequest);
    SubContext->DeviceContext = DeviceContext;
    SubContext->ParentRequest = Request;
    SubContext->Length = Chunk;

    WDF_OBJECT_ATTRIBUTES_INIT(&Attributes);
    Attributes.ParentObject = SubRequest; /* deleting the sub-request frees it */
    Status = WdfMemoryCreate(&Attributes, NonPagedPool, WRITE_POOL_TAG, Chunk, &Memory, &MemoryBuffer);
    if (!NT_SUCCESS(Status) || Memory == NULL) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfMemoryCreate for sub write request failed (0x%p)\n",
                    BRISUM_STATUS(Status));
        WdfObjectDelete(SubRequest);
        SerialEndWriteTransfer(DeviceContext, WriteContext,
                               NT_SUCCESS(Status) ? STATUS_INSUFFICIENT_RESOURCES : Status);
        return;
    }

    Status = WdfMemoryCopyFromBuffer(Memory, 0, (PUCHAR)Buffer + Offset, Chunk);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfMemoryCopyFromBuffer failed (0x%p)\n", BRISUM_STATUS(Status));
        WdfObjectDelete(SubRequest);
        SerialEndWriteTransfer(DeviceContext, WriteContext, Status);
        return;
    }

    Status = WdfUsbTargetPipeFormatRequestForWrite(Pipe, SubRequest, Memory, NULL);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfUsbTargetPipeFormatRequestForWrite failed (0x%p)\n",
                    BRISUM_STATUS(Status));
        WdfObjectDelete(SubRequest);
        SerialEndWriteTransfer(DeviceContext, WriteContext, Status);
        return;
    }

    WdfRequestSetCompletionRoutine(SubRequest, IoWriteComplete, WriteContext);

    /* Publish the sub-request, unless the write was aborted meanwhile. */
    WdfSpinLockAcquire(DeviceContext->WriteLock);
    if (DeviceContext->WriteAbortCode != 0) {
        WdfSpinLockRelease(DeviceContext->WriteLock);
        WdfObjectDelete(SubRequest);
        SerialEndWriteTransfer(DeviceContext, WriteContext, STATUS_SUCCESS);
        return;
    }
    DeviceContext->CurrentSubRequest = SubRequest;
    DeviceContext->SubRequestSent = FALSE;
    DeviceContext->CurrentSubRequestLength = Chunk;
    WriteContext->SubRequest = SubRequest;
    WdfSpinLockRelease(DeviceContext->WriteLock);

    /* The completion routine may run, and release the sub-request, before
       WdfRequestSend returns: this reference keeps the handle valid here. */
    WdfObjectReference(SubRequest);

    if (!WdfRequestSend(SubRequest, PipeTarget, WDF_NO_SEND_OPTIONS)) {
        Status = WdfRequestGetStatus(SubRequest);
        BrisumTrace(TRACE_ERROR, "brisum : WdfRequestSend Sub Request failed (0x%p)\n", BRISUM_STATUS(Status));
        WdfSpinLockAcquire(DeviceContext->WriteLock);
        DeviceContext->CurrentSubRequest = NULL;
        WriteContext->SubRequest = NULL;
        WdfSpinLockRelease(DeviceContext->WriteLock);
        WdfObjectDelete(SubRequest);
        WdfObjectDereference(SubRequest);
        SerialEndWriteTransfer(DeviceContext, WriteContext, NT_SUCCESS(Status) ? STATUS_UNSUCCESSFUL : Status);
        return;
    }

    /* Sent. A time-out or cancellation that came in between could not have
       it cancelled yet (it was not sent); do it now on their behalf. */
    WdfSpinLockAcquire(DeviceContext->WriteLock);
    if (DeviceContext->CurrentSubRequest == SubRequest) {
        DeviceContext->SubRequestSent = TRUE;
        CancelNow = (BOOLEAN)(DeviceContext->WriteAbortCode != 0);
    }
    WdfSpinLockRelease(DeviceContext->WriteLock);

    if (CancelNow) {
        SerialCancelSubRequest(DeviceContext);
    }
    WdfObjectDereference(SubRequest);
}

VOID SerialStartWriteFromDpc(WDFDPC Dpc)
{
    PDEVICE_EXT_CONTEXT DeviceContext = GetDeviceContext(WdfDpcGetParentObject(Dpc));
    WDFREQUEST Request;
    PVOID Buffer = NULL;
    size_t BufferLength = 0;
    NTSTATUS Status;

    WdfSpinLockAcquire(DeviceContext->WriteLock);
    Request = DeviceContext->CurrentWriteRequest;
    if (Request == NULL || !DeviceContext->WriteTransferActive || DeviceContext->CurrentSubRequest != NULL) {
        /* Only the holder of the token enqueues this DPC, and the write
           cannot be completed while the token is held. */
        NT_ASSERT(FALSE);
        WdfSpinLockRelease(DeviceContext->WriteLock);
        return;
    }
    WdfSpinLockRelease(DeviceContext->WriteLock);

    Status = WdfRequestRetrieveInputBuffer(Request, 1, &Buffer, &BufferLength);
    if (!NT_SUCCESS(Status) || Buffer == NULL || BufferLength == 0) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfRequestRetrieveInputBuffer failed (0x%p)\n", BRISUM_STATUS(Status));
        SerialEndWriteTransfer(DeviceContext, GetRequestContext(Request),
                               NT_SUCCESS(Status) ? STATUS_INVALID_PARAMETER : Status);
        return;
    }

    SerialStartWriteRequest(DeviceContext, Request, Buffer);
}

/*
 * Completion of a sub-request. Runs outside the device-wide lock, at up to
 * DISPATCH_LEVEL. The write is still current and not completed: the token
 * travelled with the sub-request.
 */
VOID IoWriteComplete(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_COMPLETION_PARAMS Params, WDFCONTEXT Context)
{
    PREQUEST_CONTEXT WriteContext = (PREQUEST_CONTEXT)Context;
    PDEVICE_EXT_CONTEXT DeviceContext = GetRequestContext(Request)->DeviceContext;
    WDFREQUEST Write = (WDFREQUEST)WdfObjectContextGetObject(WriteContext);
    NTSTATUS Status = Params->IoStatus.Status;
    size_t Transferred;
    BOOLEAN Accepting;
    BOOLEAN Finished;
    BOOLEAN Release = TRUE;
    PVOID Buffer = NULL;
    size_t BufferLength = 0;

    UNREFERENCED_PARAMETER(Target);

    if (Params->Parameters.Usb.Completion != NULL) {
        Transferred = Params->Parameters.Usb.Completion->Parameters.PipeWrite.Length;
    } else {
        Transferred = Params->IoStatus.Information;
    }

    Accepting = CanAcceptIoRequest(DeviceContext->WdfDevice);

    WdfSpinLockAcquire(DeviceContext->WriteLock);
    NT_ASSERT(DeviceContext->WriteTransferActive);
    NT_ASSERT(DeviceContext->CurrentWriteRequest == Write);
    NT_ASSERT(DeviceContext->CurrentSubRequest == Request);

    if (NT_SUCCESS(Status)) {
        /* A lower stack cannot take more than it was offered; never count
           more than the sub-request carried. */
        if (Transferred > DeviceContext->CurrentSubRequestLength) {
            Transferred = DeviceContext->CurrentSubRequestLength;
        }
        WriteContext->BytesTransferred += Transferred;
        WriteContext->Length -= Transferred;
    } else if (DeviceContext->WriteAbortCode == 0) {
        BrisumTrace(TRACE_ERROR, "brisum : Sub write request(0x%p) failed (0x%p)\n", Request, BRISUM_STATUS(Status));
        SerialRecordWriteFailure(WriteContext, Status);
    }

    DeviceContext->CurrentSubRequest = NULL;
    DeviceContext->SubRequestSent = FALSE;
    DeviceContext->CurrentSubRequestLength = 0;
    WriteContext->SubRequest = NULL;
    if (DeviceContext->SubRequestCancelling) {
        /* Someone is inside WdfRequestCancelSentRequest with this handle;
           it releases the sub-request when that call returns. */
        DeviceContext->ReturnedSubRequest = Request;
        Release = FALSE;
    }

    Finished =
        (BOOLEAN)(DeviceContext->WriteAbortCode != 0 || WriteContext->Length == 0 || !NT_SUCCESS(Status) || !Accepting);
    if (Finished) {
        if (!Accepting && WriteContext->Length != 0 && DeviceContext->WriteAbortCode == 0) {
            BrisumTrace(TRACE_WARNING, "brisum : Clear request(0x%p) ,device is not accept IoRequest.\n", Write);
            SerialRecordWriteFailure(WriteContext, STATUS_DELETE_PENDING);
        }
        DeviceContext->WriteTransferActive = FALSE;
    }
    WdfSpinLockRelease(DeviceContext->WriteLock);

    if (Release) {
        WdfObjectDelete(Request);
    }

    if (Finished) {
        WdfDpcEnqueue(DeviceContext->CompleteWriteDpc);
        return;
    }

    /* More to send: the token passes to the next start. A sub-request that
       took fewer bytes than it carried, or none, is followed by one that
       starts at the first byte not taken. */
    if (DeviceContext->DriverMode == 1) {
        WdfDpcEnqueue(DeviceContext->StartWriteDpc);
        return;
    }

    Status = WdfRequestRetrieveInputBuffer(Write, 1, &Buffer, &BufferLength);
    if (!NT_SUCCESS(Status) || Buffer == NULL || BufferLength == 0) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfRequestRetrieveInputBuffer failed (0x%p)\n", BRISUM_STATUS(Status));
        SerialEndWriteTransfer(DeviceContext, WriteContext, NT_SUCCESS(Status) ? STATUS_INVALID_PARAMETER : Status);
        return;
    }
    SerialStartWriteRequest(DeviceContext, Write, Buffer);
}

VOID SerialWriteTimeout(WDFTIMER Timer)
{
    PDEVICE_EXT_CONTEXT DeviceContext = GetDeviceContext(WdfTimerGetParentObject(Timer));

    /* An expiry that was already on its way when its write was completed
       (the stop could not withdraw it) must not end the next write. */
    if (DeviceContext->WriteTimerStaleExpiries != 0) {
        DeviceContext->WriteTimerStaleExpiries--;
        BrisumTrace(TRACE_INFO, "brisum : Stale write time-out ignored\n");
        return;
    }
    if (DeviceContext->WriteTimerState != WRITE_TIMER_ARMED) {
        return;
    }
    DeviceContext->WriteTimerState = WRITE_TIMER_FIRED;

    BrisumTrace(TRACE_INFO, "brisum : Write total time-out\n");

    WdfSpinLockAcquire(DeviceContext->WriteLock);
    if (DeviceContext->CurrentWriteRequest != NULL && DeviceContext->WriteAbortCode == 0) {
        DeviceContext->WriteAbortCode = SERIAL_COMPLETE_WRITE_TOTAL;
    }
    WdfSpinLockRelease(DeviceContext->WriteLock);

    WdfDpcEnqueue(DeviceContext->CompleteWriteDpc);
}

/*
 * Cancel routine of the current write: called by the framework, or by the
 * transmit purge through CancelRoutine (then IoctlLock is held and the
 * write was unmarked by SerialFlushQueue). The write is completed by
 * SerialCompleteWrite once the sub-request out at the pipe is back.
 */
VOID SerialCancelCurrentWrite(WDFREQUEST Request)
{
    PDEVICE_EXT_CONTEXT DeviceContext = GetDeviceContext(WdfIoQueueGetDevice(WdfRequestGetIoQueue(Request)));
    PREQUEST_CONTEXT WriteContext = GetRequestContext(Request);

    BrisumTrace(TRACE_INFO, "brisum : Cancel write request(0x%p)\n", Request);

    WdfSpinLockAcquire(DeviceContext->WriteLock);
    NT_ASSERT(DeviceContext->CurrentWriteRequest == Request);
    /* The write is no longer cancelable: this routine has run. */
    InterlockedAnd64((LONG64 volatile *)&WriteContext->ReferenceFlags, ~(LONG64)REFERENCE_CANCEL);
    WriteContext->CancelRoutine = NULL;
    /* The first reason to end a write is the one that stands. */
    if (DeviceContext->WriteAbortCode == 0) {
        DeviceContext->WriteAbortCode = SERIAL_COMPLETE_WRITE_CANCEL;
    }
    WdfSpinLockRelease(DeviceContext->WriteLock);

    WdfDpcEnqueue(DeviceContext->CompleteWriteDpc);
}

VOID SerialCompleteWrite(WDFDPC Dpc)
{
    PDEVICE_EXT_CONTEXT DeviceContext = GetDeviceContext(WdfDpcGetParentObject(Dpc));
    WDFREQUEST Write;
    PREQUEST_CONTEXT WriteContext;
    BOOLEAN CancelSubRequest;
    NTSTATUS Status;
    NTSTATUS CompletionStatus;
    ULONG_PTR Information;
    BOOLEAN Complete = FALSE;

    WdfSpinLockAcquire(DeviceContext->WriteLock);
    Write = DeviceContext->CurrentWriteRequest;
    if (Write == NULL) {
        WdfSpinLockRelease(DeviceContext->WriteLock);
        return;
    }
    if (DeviceContext->WriteTransferActive || DeviceContext->SubRequestCancelling) {
        /* The transfer chain still holds the write, or its last sub-request
           is still being cancelled. If the write is to end early, ask the
           pipe to give the sub-request back; whoever lets go of the write
           schedules this pass again. */
        CancelSubRequest = (BOOLEAN)(DeviceContext->WriteTransferActive && DeviceContext->WriteAbortCode != 0);
        WdfSpinLockRelease(DeviceContext->WriteLock);
        if (CancelSubRequest) {
            SerialCancelSubRequest(DeviceContext);
        }
        return;
    }
    WdfSpinLockRelease(DeviceContext->WriteLock);

    WriteContext = GetRequestContext(Write);

    if (DeviceContext->WriteTimerState == WRITE_TIMER_ARMED) {
        if (!WdfTimerStop(DeviceContext->WriteTotalTimer, FALSE)) {
            /* Expired, its routine not yet run: ignore it when it does. */
            DeviceContext->WriteTimerStaleExpiries++;
        }
    }
    DeviceContext->WriteTimerState = WRITE_TIMER_IDLE;

    if ((WriteContext->ReferenceFlags & REFERENCE_CANCEL) != 0) {
        if (WriteContext->CancelRoutine == NULL) {
            /* Unmarked by the queue's stop routine. */
            InterlockedAnd64((LONG64 volatile *)&WriteContext->ReferenceFlags, ~(LONG64)REFERENCE_CANCEL);
        } else {
            Status = WdfRequestUnmarkCancelable(Write);
            if (NT_SUCCESS(Status)) {
                InterlockedAnd64((LONG64 volatile *)&WriteContext->ReferenceFlags, ~(LONG64)REFERENCE_CANCEL);
                WriteContext->CancelRoutine = NULL;
            } else {
                /* The framework is cancelling the write: its cancel routine
                   runs after this pass and schedules the one that completes. */
                BrisumTrace(TRACE_INFO, "brisum : Write request(0x%p) is being cancelled (0x%p)\n", Write,
                            BRISUM_STATUS(Status));
                return;
            }
        }
    }

    WdfSpinLockAcquire(DeviceContext->WriteLock);
    if (WriteContext->ReferenceFlags == 0) {
        CompletionStatus = WriteContext->Status;
        if (DeviceContext->WriteAbortCode == SERIAL_COMPLETE_WRITE_CANCEL && NT_SUCCESS(CompletionStatus) &&
            WriteContext->Length != 0) {
            CompletionStatus = STATUS_CANCELLED;
        }
        Information = WriteContext->BytesTransferred;
        DeviceContext->CurrentWriteRequest = NULL;
        Complete = TRUE;
    }
    WdfSpinLockRelease(DeviceContext->WriteLock);

    if (!Complete) {
        return;
    }

    /* Completed outside WriteLock: completing may present the next write,
       whose arrival takes WriteLock. */
    BrisumTrace(TRACE_INFO, "brisum : Complete write request(0x%p) status 0x%p, %d bytes\n", Write,
                BRISUM_STATUS(CompletionStatus), (int)Information);
    SerialCompleteRequest(SITE_WRITE_COMPLETE, Write, CompletionStatus, Information);

    /* Transmit-empty: only to a wait that is waiting, only when no write is
       current or queued. The event is never kept in HistoryMask. */
    WdfSpinLockAcquire(DeviceContext->EventLock);
    if ((DeviceContext->ulCurrentMask & SERIAL_EV_TXEMPTY) != 0 && DeviceContext->CurrentWriteRequest == NULL &&
        DeviceContext->CurrentWaitRequest != NULL && DeviceContext->WaitMaskLocation != NULL &&
        SerialIsQueueIdle(DeviceContext->WriteQueue)) {
        SerialDeliverEventsLocked(DeviceContext, SERIAL_EV_TXEMPTY);
    }
    WdfSpinLockRelease(DeviceContext->EventLock);
}

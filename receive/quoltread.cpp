/*
 * quoltread.cpp - the receive path.
 *
 * Producer: the bulk-IN continuous reader (BulkInPipeReadComplete) stores
 * each block in the receive ring or, when the ring is short of room, keeps
 * the reader's memory object on HeldMemoryList. Consumer: read requests,
 * served one at a time (CurrentReadRequest) in arrival order, the others
 * parked in ReadQueue, under the serial read time-out rules.
 *
 * Who completes the current read
 *   Four parties can finish the current read: the bulk-IN completion, the
 *   total timer, the interval timer and the cancel routine. The read's
 *   REQUEST_CONTEXT.ReferenceFlags names the parties that still hold it
 *   (REFERENCE_CANCEL, REFERENCE_TOTAL_TIMER, REFERENCE_INTERVAL_TIMER); a
 *   finishing party withdraws whom it can (SerialReadRundown) and completes
 *   the read only when no reference remains, otherwise the last holder does.
 *
 *   Race-freedom: every change of a read's ReferenceFlags, the rundown, the
 *   test of the remaining flags, the completion and the replacement of
 *   CurrentReadRequest happen in one region with BulkInLock held. The four
 *   parties run on different processors (the bulk-IN completion outside the
 *   framework's device-wide lock), so BulkInLock is what orders them:
 *   exactly one party finds the flags empty, and it completes the read
 *   before any other party can look at CurrentReadRequest again.
 *
 *   A read that has just become current is "starting": its ReferenceFlags
 *   is 0 until SerialStartRead has filled it, marked it cancelable and armed
 *   its timers, all in one BulkInLock region. A waiting read always holds at
 *   least one reference, so under BulkInLock "current with empty flags"
 *   means "starting". Only SerialStartRead completes a starting read: the
 *   bulk-IN completion leaves it alone (its bytes stay in the ring, where the
 *   start's fill finds them), and a receive purge that calls the cancel
 *   routine directly only records the cancellation (REQUEST_CONTEXT.Status =
 *   STATUS_CANCELLED), which the start honours. No party ever sees a
 *   half-set-up read.
 *
 *   The read is marked cancelable with WdfRequestMarkCancelableEx while
 *   BulkInLock is held: for a request cancelled before that point it returns
 *   STATUS_CANCELLED instead of running the cancel routine inline (which
 *   would take BulkInLock again). A read found cancelled before its fill
 *   ends as STATUS_CANCELLED having taken nothing; one cancelled between
 *   the fill and the marking hands the bytes it took over with success.
 *
 * No byte is lost to an error status
 *   A read completed with STATUS_CANCELLED returns no data to the
 *   application, so the cancel path never fills a read. A read whose length
 *   is met completes with success whoever finishes it, and an outcome a
 *   party decided before leaving the completion to another (served by data:
 *   SERIAL_COMPLETE_READ_COMPLETE; timed out: SERIAL_COMPLETE_READ_TOTAL)
 *   stands against a later cancellation (SerialReadFinalStatus).
 *
 * Held data bound
 *   HeldMemoryBytes counts the bytes on HeldMemoryList. When a held block
 *   brings it to HELD_MEMORY_LIMIT the bulk-IN reader is paused: its I/O
 *   target is stopped from a PASSIVE_LEVEL work item, so the device is simply
 *   not read and nothing is lost. A fill that drains the list below the limit
 *   resumes it. See SerialBulkInReaderWorkItem.
 *
 * Every routine here runs at up to DISPATCH_LEVEL (the work item and the
 * readers-failed callback at PASSIVE_LEVEL, but both take BulkInLock), so
 * none is pageable.
 */
#include "quoltread.h"
#include "../control/Control.h"
#include "../driver/Driver.h"

/* Held bytes at which the bulk-IN reader is paused: 64 KiB, 1024 blocks of
   the usual 64-byte packet. The bound is soft by the few blocks that
   complete between the decision and the stop of the pipe. */
#define HELD_MEMORY_LIMIT (64U * 1024U)

/* ReadIntervalCount holds a byte count (0 or more) or a completion code
   (negative). Counts saturate so that they never turn into a code. */
static LONG SerialIntervalCountFromBytes(ULONGLONG Bytes)
{
    return (Bytes > (ULONGLONG)MAXLONG) ? MAXLONG : (LONG)Bytes;
}

/* Takes the next read from ReadQueue and makes it current.
   Caller holds BulkInLock. TRUE when a read became current; the caller
   starts it with SerialStartRead after releasing BulkInLock. */
static BOOLEAN SerialTakeNextReadLocked(PDEVICE_EXT_CONTEXT DeviceContext)
{
    WDFREQUEST Next = NULL;
    NTSTATUS Status;

    Status = WdfIoQueueRetrieveNextRequest(DeviceContext->ReadQueue, &Next);
    if (!NT_SUCCESS(Status) || Next == NULL) {
        DeviceContext->CurrentReadRequest = NULL;
        return FALSE;
    }
    BrisumTrace(TRACE_INFO, "brisum : Next read request(0x%p) becomes current\n", Next);
    DeviceContext->CurrentReadRequest = Next;
    return TRUE;
}

/*
 * The status the current read completes with, given the one the finishing
 * party proposes. A read whose length is met completes with success,
 * whoever finishes it. Otherwise an outcome already decided by a party that
 * left the completion to another stands: served by data (success) or timed
 * out (STATUS_TIMEOUT) beats a later cancellation, whose error status would
 * return none of the bytes the read holds. Caller holds BulkInLock.
 */
static NTSTATUS SerialReadFinalStatus(PDEVICE_EXT_CONTEXT DeviceContext, NTSTATUS Proposed)
{
    if (DeviceContext->ReadBytesNeeded == 0 || DeviceContext->ReadIntervalCount == SERIAL_COMPLETE_READ_COMPLETE) {
        return STATUS_SUCCESS;
    }
    if (Proposed == STATUS_CANCELLED && DeviceContext->ReadIntervalCount == SERIAL_COMPLETE_READ_TOTAL) {
        return STATUS_TIMEOUT;
    }
    return Proposed;
}

/* Completes the current read, whose references are all gone, with Status
   (as SerialReadFinalStatus decides) and the bytes copied so far, then
   makes the next queued read current.
   Caller holds BulkInLock. Returns what SerialTakeNextReadLocked returns. */
static BOOLEAN SerialFinishCurrentReadLocked(PDEVICE_EXT_CONTEXT DeviceContext, int Site, NTSTATUS Status)
{
    WDFREQUEST Request = DeviceContext->CurrentReadRequest;
    PREQUEST_CONTEXT ReadContext;

    NT_ASSERT(Request != NULL);
    ReadContext = GetRequestContext(Request);
    NT_ASSERT(ReadContext->ReferenceFlags == 0);

    ReadContext->CancelRoutine = NULL;
    DeviceContext->CurrentReadRequest = NULL;
    SerialCompleteRequest(Site, Request, SerialReadFinalStatus(DeviceContext, Status),
                          (ULONG_PTR)ReadContext->BytesTransferred);
    return SerialTakeNextReadLocked(DeviceContext);
}

/* Asks the work item to bring the reader in line with BulkInReaderPaused.
   Caller holds BulkInLock; enqueuing is allowed at DISPATCH_LEVEL and does
   nothing when the work item is already queued. */
static VOID SerialKickReaderWorkItemLocked(PDEVICE_EXT_CONTEXT DeviceContext)
{
    if (DeviceContext->BulkInReaderWorkItem != NULL) {
        WdfWorkItemEnqueue(DeviceContext->BulkInReaderWorkItem);
    }
}

/* ------------------------------------------------------------------ */
/* Bulk-IN reader                                                      */
/* ------------------------------------------------------------------ */

VOID BulkInPipeReadComplete(WDFUSBPIPE Pipe, WDFMEMORY Buffer, size_t NumBytesTransferred, WDFCONTEXT Context)
{
    PDEVICE_EXT_CONTEXT DeviceContext = (PDEVICE_EXT_CONTEXT)Context;
    PCIRCULAR_BUFFER Ring;
    PUCHAR Data;
    ULONG Count = (ULONG)NumBytesTransferred;
    BOOLEAN StartNext = FALSE;

    UNREFERENCED_PARAMETER(Pipe);
    NT_ASSERT(DeviceContext != NULL);
    /* The reader's transfer length is one packet: no block is longer. */
    NT_ASSERT(NumBytesTransferred <= DeviceContext->BulkInMaxPacketSize);

    WdfSpinLockAcquire(DeviceContext->BulkInLock);
    Ring = &DeviceContext->ReceiveBuffer;

    /* 1. Port not open (or its ring could not be allocated): drop. */
    if (Ring->Buffer == NULL) {
        BrisumTrace(TRACE_INFO, "brisum : Port closed, %u received bytes dropped\n", Count);
        goto Exit;
    }

    /* 2. A block got through: the reader works again. */
    DeviceContext->LastReadFailed = FALSE;

    /* 3. Store the block in arrival order. The ring holds only older bytes
          than the held list, so once the list is non-empty every block joins
          its tail until a fill has drained it. */
    Data = (PUCHAR)WdfMemoryGetBuffer(Buffer, NULL);
    if (IsListEmpty(&DeviceContext->HeldMemoryList) &&
        Ring->BufferSize - Ring->DataLen > DeviceContext->BulkInMaxPacketSize) {
        NTSTATUS Status = PushCircularBuffer(Ring, Data, Count);
        if (!NT_SUCCESS(Status)) {
            BrisumTrace(TRACE_ERROR, "brisum : !!!!!!!!!!Push Data Failed ,Lost data here!!!!!!!\n");
            goto Exit;
        }
    } else if (Count != 0) {
        /* Keep the framework's buffer instead of copying it; the extra
           reference keeps it alive after this routine returns. A block of
           0 bytes carries nothing and is not held. */
        PREADER_CONTEXT ReaderContext = GetReaderContext(Buffer);
        ReaderContext->Length = Count;
        InsertTailList(&DeviceContext->HeldMemoryList, &ReaderContext->ListEntry);
        WdfObjectReference(Buffer);
        DeviceContext->HeldMemoryBytes += Count;
        if (DeviceContext->BulkInReaderPaused) {
            /* Paused, yet a block came: the stop is still on its way, or
               D0 entry or a reader restart started the pipe again. Either
               way the work item (re)applies the pause. */
            SerialKickReaderWorkItemLocked(DeviceContext);
        } else if (DeviceContext->HeldMemoryBytes >= HELD_MEMORY_LIMIT && DeviceContext->BulkInReaderWorkItem != NULL) {
            BrisumTrace(TRACE_WARNING, "brisum : %u bytes held, pausing the bulk-in reader\n",
                        DeviceContext->HeldMemoryBytes);
            DeviceContext->BulkInReaderPaused = TRUE;
            SerialKickReaderWorkItemLocked(DeviceContext);
        }
    }

    /* 4. Receive events, for a pending wait-on-mask only. */
    WdfSpinLockAcquire(DeviceContext->EventLock);
    if (DeviceContext->ulCurrentMask != 0 && DeviceContext->CurrentWaitRequest != NULL) {
        ULONG Mask = DeviceContext->ulCurrentMask;
        ULONG Events = 0;
        if (DeviceContext->CarrierPresent && (Mask & SERIAL_EV_RXFLAG) != 0) {
            Events |= SERIAL_EV_RXFLAG;
        }
        if ((Mask & SERIAL_EV_RXCHAR) != 0) {
            Events |= SERIAL_EV_RXCHAR;
        }
        /* The ring always keeps one slot free: the divisor is never 0. */
        if ((Mask & SERIAL_EV_RX80FULL) != 0 && Ring->BufferSize / (Ring->BufferSize - Ring->DataLen) >= 3) {
            Events |= SERIAL_EV_RX80FULL;
        }
        SerialDeliverEventsLocked(DeviceContext, Events);
    }
    WdfSpinLockRelease(DeviceContext->EventLock);

    /* 5. and 6. Serve the current read, unless it is still being started
          (empty flags): the start's own fill collects these bytes. */
    if (DeviceContext->CurrentReadRequest != NULL) {
        WDFREQUEST Request = DeviceContext->CurrentReadRequest;
        PREQUEST_CONTEXT ReadContext = GetRequestContext(Request);
        BOOLEAN Done;

        if (ReadContext->ReferenceFlags == 0) {
            goto Exit;
        }
        Done = SerialFillReadRequest(DeviceContext, ReadContext);
        if (ReadContext->CompleteOnAnyData) {
            /* Served: whoever completes the read, it completes with success. */
            DeviceContext->ReadIntervalCount = SERIAL_COMPLETE_READ_COMPLETE;
            if (SerialReadRundown(&DeviceContext->CurrentReadRequest, DeviceContext->ReadIntervalTimer,
                                  DeviceContext->ReadTotalTimer, 1) == 0) {
                StartNext = SerialFinishCurrentReadLocked(DeviceContext, SITE_BULKIN_ANY_DATA, STATUS_SUCCESS);
            }
        } else if (Done) {
            DeviceContext->ReadIntervalCount = SERIAL_COMPLETE_READ_COMPLETE;
            if (SerialReadRundown(&DeviceContext->CurrentReadRequest, DeviceContext->ReadIntervalTimer,
                                  DeviceContext->ReadTotalTimer, 1) == 0) {
                StartNext = SerialFinishCurrentReadLocked(DeviceContext, SITE_BULKIN_FULL, STATUS_SUCCESS);
            }
        } else if (DeviceContext->ReadIntervalCount >= 0) {
            /* A negative count is a completion code left for a timer
               routine that still holds the read; it must survive. */
            DeviceContext->ReadIntervalCount =
                SerialIntervalCountFromBytes((ULONGLONG)(ULONG)DeviceContext->ReadIntervalCount + Count);
            if (DeviceContext->ReadIntervalTimer != NULL && ReadContext->UseIntervalTimer &&
                WdfTimerStop(DeviceContext->ReadIntervalTimer, FALSE)) {
                /* Pushes the next interval poll back. A poll that has already
                   fired (its routine waiting for the device-wide lock) is
                   not armed again: one arming and one pending routine for
                   the same reference would let the routine outlive the
                   read and act on the next one. */
                (void)WdfTimerStart(DeviceContext->ReadIntervalTimer, *DeviceContext->IntervalPollInUse);
            }
        }
    }

Exit:
    WdfSpinLockRelease(DeviceContext->BulkInLock);
    if (StartNext) {
        SerialStartRead(DeviceContext);
    }
}

/* Moves held blocks into the ring, oldest first, while it has room for a
   whole packet. Caller holds BulkInLock. TRUE when a block moved. */
static BOOLEAN SerialDrainHeldMemoryLocked(PDEVICE_EXT_CONTEXT DeviceContext)
{
    PCIRCULAR_BUFFER Ring = &DeviceContext->ReceiveBuffer;
    BOOLEAN Drained = FALSE;

    while (!IsListEmpty(&DeviceContext->HeldMemoryList) &&
           Ring->BufferSize - Ring->DataLen > DeviceContext->BulkInMaxPacketSize) {
        PLIST_ENTRY Entry = RemoveHeadList(&DeviceContext->HeldMemoryList);
        PREADER_CONTEXT ReaderContext = CONTAINING_RECORD(Entry, READER_CONTEXT, ListEntry);
        WDFMEMORY Memory = (WDFMEMORY)WdfObjectContextGetObject(ReaderContext);
        PUCHAR Data = (PUCHAR)WdfMemoryGetBuffer(Memory, NULL);
        ULONG Length = (ULONG)ReaderContext->Length;
        NTSTATUS Status = PushCircularBuffer(Ring, Data, Length);

        if (!NT_SUCCESS(Status)) {
            /* Cannot happen: no held block is longer than a packet. Keep
               the block where it was rather than lose it. */
            BrisumTrace(TRACE_ERROR, "brisum : Moving a held block into the ring failed (0x%08X)\n", Status);
            NT_ASSERT(NT_SUCCESS(Status));
            InsertHeadList(&DeviceContext->HeldMemoryList, Entry);
            break;
        }
        DeviceContext->HeldMemoryBytes -= Length;
        WdfObjectDereference(Memory);
        Drained = TRUE;
    }
    return Drained;
}

/*
 * Feeds the current read from what the driver holds. Held blocks move into
 * the ring as the copy out of it makes room, until the read is satisfied or
 * both the ring and the held list are empty: every received byte is
 * available to the read in front of it, so a read never waits beside data.
 * The loop ends: each round moves bytes out of the held list or the ring,
 * or stops (a ring that can take no block moves nothing).
 */
BOOLEAN SerialFillReadRequest(PDEVICE_EXT_CONTEXT DeviceContext, PREQUEST_CONTEXT ReadContext)
{
    PCIRCULAR_BUFFER Ring = &DeviceContext->ReceiveBuffer;
    BOOLEAN Drained = FALSE;
    BOOLEAN Satisfied = FALSE;

    for (;;) {
        BOOLEAN Moved = SerialDrainHeldMemoryLocked(DeviceContext);
        ULONG Need = DeviceContext->ReadBytesNeeded;
        ULONG Take = (Ring->DataLen < Need) ? Ring->DataLen : Need;

        Drained = Drained || Moved;
        if (Take != 0) {
            (void)PullCircularBuffer(Ring, (PUCHAR)ReadContext->SystemBuffer + ReadContext->BytesTransferred, Take);
            ReadContext->BytesTransferred += Take;
            DeviceContext->ReadBytesNeeded = Need - Take;
        }
        if (DeviceContext->ReadBytesNeeded == 0) {
            Satisfied = TRUE;
            break;
        }
        if (!Moved && Take == 0) {
            break;
        }
    }

    /* The held list shrank: a reader paused at the limit may read again. */
    if (Drained && DeviceContext->BulkInReaderPaused && DeviceContext->HeldMemoryBytes < HELD_MEMORY_LIMIT) {
        BrisumTrace(TRACE_INFO, "brisum : %u bytes held, resuming the bulk-in reader\n",
                    DeviceContext->HeldMemoryBytes);
        DeviceContext->BulkInReaderPaused = FALSE;
        SerialKickReaderWorkItemLocked(DeviceContext);
    }
    return Satisfied;
}

BOOLEAN BulkInPipeReadersFailed(WDFUSBPIPE Pipe, NTSTATUS Status, USBD_STATUS UsbdStatus)
{
    PDEVICE_EXT_CONTEXT DeviceContext = GetPipeContext(Pipe)->DeviceContext;

    BrisumTrace(TRACE_ERROR, "brisum : Bulk-in reader failed (0x%08X, USBD 0x%08X)\n", Status, UsbdStatus);

    /* Refuses reads and writes until a block gets through again. */
    WdfSpinLockAcquire(DeviceContext->BulkInLock);
    DeviceContext->LastReadFailed = TRUE;
    WdfSpinLockRelease(DeviceContext->BulkInLock);

    if (KeGetCurrentIrql() == APC_LEVEL) {
        WDFIOTARGET Target = WdfUsbTargetPipeGetIoTarget(Pipe);
        NTSTATUS Status;

        WdfIoTargetStop(Target, WdfIoTargetCancelSentIo);
        Status = WdfUsbTargetPipeResetSynchronously(Pipe, NULL, NULL);
        if (!NT_SUCCESS(Status)) {
            BrisumTrace(TRACE_ERROR, "brisum : WdfUsbTargetPipeResetSynchronously failed (0x%08X)\n", Status);
        }
        Status = WdfIoTargetStart(Target);
        if (!NT_SUCCESS(Status)) {
            BrisumTrace(TRACE_ERROR, "brisum : WdfIoTargetStart Bulk In failed (0x%08X)\n", Status);
        }
    }

    /* The framework resets the pipe and restarts the reader. */
    return TRUE;
}

/*
 * Brings the bulk-IN reader in line with BulkInReaderPaused: paused stops the
 * pipe's I/O target (its pending read is cancelled, nothing was transferred
 * by it), running starts it again.
 *
 * Runs at PASSIVE_LEVEL, outside the device-wide lock. It applies the wanted
 * state and looks again until what it applied is still what is wanted, so a
 * change made while it ran (or an instance running beside it) is never left
 * unapplied. It does not start the pipe while the device is out of D0: D0
 * entry starts it, and if the reader is still paused then, the first block
 * that arrives asks for the pause again.
 */
VOID SerialBulkInReaderWorkItem(WDFWORKITEM WorkItem)
{
    PDEVICE_EXT_CONTEXT DeviceContext = GetDeviceContext(WdfWorkItemGetParentObject(WorkItem));
    BOOLEAN Applied = FALSE;
    BOOLEAN AnyApplied = FALSE;

    for (;;) {
        BOOLEAN Paused;
        BOOLEAN InD0;
        WDFIOTARGET Target;

        WdfSpinLockAcquire(DeviceContext->BulkInLock);
        Paused = DeviceContext->BulkInReaderPaused;
        InD0 = DeviceContext->DeviceInD0;
        WdfSpinLockRelease(DeviceContext->BulkInLock);

        if (AnyApplied && Paused == Applied) {
            break;
        }
        if (DeviceContext->BulkInPipe == NULL) {
            break;
        }
        Target = WdfUsbTargetPipeGetIoTarget(DeviceContext->BulkInPipe);
        if (Paused) {
            BrisumTrace(TRACE_INFO, "brisum : Stopping the bulk-in reader\n");
            WdfIoTargetStop(Target, WdfIoTargetCancelSentIo);
        } else if (InD0) {
            NTSTATUS Status;
            BrisumTrace(TRACE_INFO, "brisum : Restarting the bulk-in reader\n");
            Status = WdfIoTargetStart(Target);
            if (!NT_SUCCESS(Status)) {
                BrisumTrace(TRACE_ERROR, "brisum : WdfIoTargetStart Bulk In failed (0x%08X)\n", Status);
            }
        }
        Applied = Paused;
        AnyApplied = TRUE;
    }
}

/* ------------------------------------------------------------------ */
/* Shared accept and completion routines                               */
/* ------------------------------------------------------------------ */

BOOLEAN CanAcceptIoRequest(WDFDEVICE Device)
{
    PDEVICE_EXT_CONTEXT DeviceContext = GetDeviceContext(Device);
    BOOLEAN Removed, ReadFailed, InD0;

    if (!DeviceContext->DeviceStarted) {
        BrisumTrace(TRACE_WARNING, "brisum : Can not accept the IO request with device is not start !\n");
        return FALSE;
    }
    /* The bulk-in completion sets LastReadFailed and the D0 callbacks set
       DeviceInD0 while requests and completions run on other processors:
       all three are read under the lock their writers hold. Callers hold
       no driver lock. */
    WdfSpinLockAcquire(DeviceContext->BulkInLock);
    Removed = DeviceContext->DeviceRemoved;
    ReadFailed = DeviceContext->LastReadFailed;
    InD0 = DeviceContext->DeviceInD0;
    WdfSpinLockRelease(DeviceContext->BulkInLock);
    if (Removed) {
        BrisumTrace(TRACE_WARNING, "brisum : Can not accept the IO request with device is removed !\n");
        return FALSE;
    }
    if (ReadFailed) {
        BrisumTrace(TRACE_WARNING, "brisum : Can not accept the IO request with last read failed!\n");
        return FALSE;
    }
    if (!InD0) {
        BrisumTrace(TRACE_WARNING, "brisum : Can not accept the IO request with power is not D0 !\n");
        return FALSE;
    }
    return TRUE;
}

BOOLEAN SerialFileCleanupStarted(PDEVICE_EXT_CONTEXT DeviceContext)
{
    return (BOOLEAN)(InterlockedCompareExchange(&DeviceContext->FileCleanupStarted, FALSE, FALSE) != FALSE);
}

VOID SerialCompleteRequest(int Site, WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information)
{
    if (Request == NULL) {
        return;
    }
    BrisumTrace(TRACE_INFO, "brisum : [%d]Complete Request : 0x%p with status 0x%p .\n", Site, Request,
                (PVOID)(ULONG_PTR)(ULONG)Status);
    WdfRequestCompleteWithInformation(Request, Status, Information);
}

/* ------------------------------------------------------------------ */
/* Read requests                                                       */
/* ------------------------------------------------------------------ */

VOID SerialEvtIoRead(WDFQUEUE Queue, WDFREQUEST Request, size_t Length)
{
    WDFDEVICE Device = WdfIoQueueGetDevice(Queue);
    PDEVICE_EXT_CONTEXT DeviceContext = GetDeviceContext(Device);
    PREQUEST_CONTEXT ReadContext = GetRequestContext(Request);
    NTSTATUS Status;
    PVOID Buffer = NULL;
    size_t BufferLength = 0;
    BOOLEAN Start = FALSE;

    BrisumTrace(TRACE_INFO, "brisum : Received a read request(0x%p) of %d bytes\n", Request, (int)Length);

    ReadContext->Length = Length;
    ReadContext->CancelRoutine = SerialCancelCurrentRead;
    ReadContext->DeviceContext = DeviceContext;

    if (!CanAcceptIoRequest(Device)) {
        SerialCompleteRequest(SITE_READ_REFUSED, Request, STATUS_DELETE_PENDING, 0);
        return;
    }

    WdfSpinLockAcquire(DeviceContext->ReadLock);

    /* Clean-up ends the file's reads under ReadLock: a read that comes
       after it began would be left pending past the close. */
    if (SerialFileCleanupStarted(DeviceContext)) {
        BrisumTrace(TRACE_INFO, "brisum : Read request(0x%p) after clean-up began, cancelled\n", Request);
        ReadContext->CancelRoutine = NULL;
        SerialCompleteRequest(SITE_READ_AFTER_CLEANUP, Request, STATUS_CANCELLED, 0);
        goto Exit;
    }

    Status = WdfRequestRetrieveOutputBuffer(Request, Length, &Buffer, &BufferLength);
    if (!NT_SUCCESS(Status) || BufferLength == 0 || Buffer == NULL) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfRequestRetrieveOutputBuffer failed (0x%08X)\n", Status);
        ReadContext->CancelRoutine = NULL;
        SerialCompleteRequest(SITE_READ_NO_BUFFER, Request, Status, 0);
        goto Exit;
    }
    ReadContext->SystemBuffer = Buffer;

    /* The choice between starting and parking is made under BulkInLock as
       well, against the completion paths that take the next read out of
       ReadQueue under it: a read parked here is always found by the
       completion of the read in front of it. */
    WdfSpinLockAcquire(DeviceContext->BulkInLock);
    if (SerialIsQueueIdle(DeviceContext->ReadQueue) && DeviceContext->CurrentReadRequest == NULL) {
        DeviceContext->CurrentReadRequest = Request;
        Start = TRUE;
    } else {
        Status = WdfRequestForwardToIoQueue(Request, DeviceContext->ReadQueue);
        /* A read cancelled while queued counts as held by the driver until
           its IOCanceledOnQueue has run, so the queue can look busy while no
           read is current and no completion will ever come to take the read
           just parked: the oldest parked read becomes current now. */
        if (NT_SUCCESS(Status) && DeviceContext->CurrentReadRequest == NULL) {
            Start = SerialTakeNextReadLocked(DeviceContext);
        }
    }
    WdfSpinLockRelease(DeviceContext->BulkInLock);

    if (Start) {
        SerialStartRead(DeviceContext);
    } else if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfRequestForwardToIoQueue failed (0x%08X)\n", Status);
        ReadContext->CancelRoutine = NULL;
        SerialCompleteRequest(SITE_READ_FORWARD_FAILED, Request, Status, 0);
    }

Exit:
    WdfSpinLockRelease(DeviceContext->ReadLock);
}

/*
 * Ready notification of ReadQueue (runs under the device-wide lock, as the
 * read callback does). A read parked while no read is current, or left in
 * the queue by a completion that found the queue powered off, is taken out
 * here: the same choice as the read callback's, under the same locks.
 */
VOID SerialReadQueueReady(WDFQUEUE Queue, WDFCONTEXT Context)
{
    PDEVICE_EXT_CONTEXT DeviceContext = GetDeviceContext(WdfIoQueueGetDevice(Queue));
    BOOLEAN Start = FALSE;

    UNREFERENCED_PARAMETER(Context);

    WdfSpinLockAcquire(DeviceContext->ReadLock);
    WdfSpinLockAcquire(DeviceContext->BulkInLock);
    if (DeviceContext->CurrentReadRequest == NULL) {
        Start = SerialTakeNextReadLocked(DeviceContext);
    }
    WdfSpinLockRelease(DeviceContext->BulkInLock);
    if (Start) {
        SerialStartRead(DeviceContext);
    }
    WdfSpinLockRelease(DeviceContext->ReadLock);
}

/*
 * Serves CurrentReadRequest and, each time one completes at once, the next
 * one from ReadQueue. Called by the read callback (ReadLock held) and by
 * every path that made a queued read current (no driver lock held).
 */
VOID SerialStartRead(PDEVICE_EXT_CONTEXT DeviceContext)
{
    for (;;) {
        WDFREQUEST Request;
        PREQUEST_CONTEXT ReadContext;
        SERIAL_TIMEOUTS Timeouts;
        ULONG Need;
        ULONG Multiplier;
        BOOLEAN ReturnWhatPresent = FALSE;
        BOOLEAN ReturnIfAny = FALSE;
        BOOLEAN CompleteOnAnyData = FALSE;
        BOOLEAN UseInterval = FALSE;
        BOOLEAN UseTotal = FALSE;
        LONGLONG *IntervalPoll = NULL;
        LONGLONG TotalDueTime = 0;
        NTSTATUS Status;
        int Site;
        BOOLEAN StartNext;
        BOOLEAN Cancelled;

        WdfSpinLockAcquire(DeviceContext->BulkInLock);
        Request = DeviceContext->CurrentReadRequest;
        WdfSpinLockRelease(DeviceContext->BulkInLock);
        if (Request == NULL) {
            return;
        }
        /* A starting read is completed by no one but this routine, so the
           request stays valid until it is completed below. */
        ReadContext = GetRequestContext(Request);

        /* Time-outs apply from the next read started. */
        WdfSpinLockAcquire(DeviceContext->IoctlLock);
        Timeouts = DeviceContext->Timeouts;
        WdfSpinLockRelease(DeviceContext->IoctlLock);

        /* Read lengths beyond 4 GiB - 1 are served as 4 GiB - 1. */
        Need = (ReadContext->Length > (size_t)MAXULONG) ? MAXULONG : (ULONG)ReadContext->Length;

        if (Timeouts.ReadIntervalTimeout != 0 && Timeouts.ReadIntervalTimeout != MAXULONG) {
            UseInterval = TRUE;
            IntervalPoll = ((LONGLONG)Timeouts.ReadIntervalTimeout * 10000 < DeviceContext->IntervalCutOver)
                               ? &DeviceContext->IntervalPollShort
                               : &DeviceContext->IntervalPollLong;
        }
        if (Timeouts.ReadTotalTimeoutMultiplier != 0 || Timeouts.ReadTotalTimeoutConstant != 0) {
            ULONGLONG TotalMs;
            UseTotal = TRUE;
            Multiplier = (Timeouts.ReadTotalTimeoutMultiplier == MAXULONG) ? 0 : Timeouts.ReadTotalTimeoutMultiplier;
            TotalMs = (ULONGLONG)Need * Multiplier + Timeouts.ReadTotalTimeoutConstant;
            /* Only absurd settings come near this: the due time saturates
               (about 29,000 years) instead of wrapping into the past. */
            if (TotalMs > (ULONGLONG)MAXLONGLONG / 10000) {
                TotalMs = (ULONGLONG)MAXLONGLONG / 10000;
            }
            TotalDueTime = -(LONGLONG)(TotalMs * 10000);
        }
        if (Timeouts.ReadIntervalTimeout == MAXULONG) {
            if (Timeouts.ReadTotalTimeoutMultiplier == 0 && Timeouts.ReadTotalTimeoutConstant == 0) {
                ReturnWhatPresent = TRUE;
            } else {
                ReturnIfAny = TRUE;
                CompleteOnAnyData = (Timeouts.ReadTotalTimeoutConstant == MAXULONG);
            }
        }

        WdfSpinLockAcquire(DeviceContext->BulkInLock);
        NT_ASSERT(DeviceContext->CurrentReadRequest == Request);
        NT_ASSERT(ReadContext->ReferenceFlags == 0);

        /* Arming left over from an earlier read is void. */
        (void)WdfTimerStop(DeviceContext->ReadIntervalTimer, FALSE);
        (void)WdfTimerStop(DeviceContext->ReadTotalTimer, FALSE);

        ReadContext->BytesTransferred = 0;
        ReadContext->CompleteOnAnyData = CompleteOnAnyData;
        ReadContext->UseIntervalTimer = UseInterval;
        if (UseInterval) {
            DeviceContext->IntervalPollInUse = IntervalPoll;
        }
        DeviceContext->ReadBytesNeeded = Need;
        DeviceContext->ReadIntervalCount = 0; /* no outcome decided yet */

        /* Cancelled while it was starting (by a receive purge, or by the
           application before it could be marked cancelable): it ends without
           taking any byte, which stays buffered for the next read. */
        Cancelled = (ReadContext->Status == STATUS_CANCELLED || WdfRequestIsCanceled(Request));
        if (!Cancelled) {
            (void)SerialFillReadRequest(DeviceContext, ReadContext);
        }

        if (Cancelled) {
            Status = STATUS_CANCELLED;
            Site = SITE_START_CANCELLED;
        } else if (ReturnWhatPresent || DeviceContext->ReadBytesNeeded == 0 ||
                   (ReturnIfAny && ReadContext->BytesTransferred != 0)) {
            DeviceContext->LastReadFailed = FALSE;
            Status = STATUS_SUCCESS;
            Site = SITE_START_AT_ONCE;
        } else {
            ULONG64 Flags;

            /* The read waits. */
            DeviceContext->ReadIntervalCount = SerialIntervalCountFromBytes(ReadContext->BytesTransferred);
            BrisumTrace(TRACE_INFO, "brisum : Read request(0x%p) has %u bytes, marking it cancelable\n", Request,
                        (ULONG)ReadContext->BytesTransferred);
            ReadContext->CancelRoutine = SerialCancelCurrentRead;
            Status = WdfRequestMarkCancelableEx(Request, SerialCancelCurrentRead);
            if (!NT_SUCCESS(Status)) {
                /* Cancelled after the fill, before it could be marked
                   cancelable: bytes it took are handed over with success
                   rather than dropped by an error status. */
                BrisumTrace(TRACE_INFO, "brisum : Read request(0x%p) was cancelled before it could wait\n", Request);
                ReadContext->CancelRoutine = NULL;
                Status = (ReadContext->BytesTransferred != 0) ? STATUS_SUCCESS : STATUS_CANCELLED;
                Site = SITE_START_CANCELLED;
            } else {
                Flags = REFERENCE_CANCEL;
                if (UseTotal && !WdfTimerStart(DeviceContext->ReadTotalTimer, TotalDueTime)) {
                    Flags |= REFERENCE_TOTAL_TIMER;
                }
                if (UseInterval && !WdfTimerStart(DeviceContext->ReadIntervalTimer, *IntervalPoll)) {
                    Flags |= REFERENCE_INTERVAL_TIMER;
                }
                ReadContext->ReferenceFlags = Flags;
                BrisumTrace(TRACE_INFO, "brisum : Read request(0x%p) waits for %u more bytes\n", Request,
                            DeviceContext->ReadBytesNeeded);
                WdfSpinLockRelease(DeviceContext->BulkInLock);
                return;
            }
        }

        StartNext = SerialFinishCurrentReadLocked(DeviceContext, Site, Status);
        WdfSpinLockRelease(DeviceContext->BulkInLock);
        if (!StartNext) {
            return;
        }
    }
}

/*
 * Withdraws every party that can still be withdrawn from the current read
 * and drops CallerBit's own reference; returns the references that remain.
 * CallerBit: 1 bulk-IN completion (holds no reference), 2 cancel routine,
 * 4 total timer routine, 8 interval timer routine.
 * Caller holds BulkInLock, so the returned flags stay valid until it
 * releases the lock: it completes the read when they are 0.
 */
ULONG64 SerialReadRundown(WDFREQUEST *CurrentRequest, WDFTIMER IntervalTimer, WDFTIMER TotalTimer, ULONG CallerBit)
{
    PREQUEST_CONTEXT ReadContext;
    ULONG64 Flags;

    if (*CurrentRequest == NULL) {
        return 0;
    }
    ReadContext = GetRequestContext(*CurrentRequest);
    Flags = ReadContext->ReferenceFlags;

    /* Cancel party. A failing unmark means the framework is about to run
       the cancel routine, which keeps its reference. */
    if (CallerBit == REFERENCE_CANCEL) {
        Flags &= ~REFERENCE_CANCEL;
        ReadContext->CancelRoutine = NULL;
    } else if ((Flags & REFERENCE_CANCEL) != 0) {
        if (NT_SUCCESS(WdfRequestUnmarkCancelable(*CurrentRequest))) {
            ReadContext->CancelRoutine = NULL;
            Flags &= ~REFERENCE_CANCEL;
        }
    }

    /* Timer parties: a timer whose routine is already on its way keeps its
       reference unless that routine is the caller. */
    if (IntervalTimer != NULL && ReadContext->UseIntervalTimer) {
        if (WdfTimerStop(IntervalTimer, FALSE) || CallerBit == REFERENCE_INTERVAL_TIMER) {
            Flags &= ~REFERENCE_INTERVAL_TIMER;
        }
    }
    if (TotalTimer != NULL) {
        if (WdfTimerStop(TotalTimer, FALSE) || CallerBit == REFERENCE_TOTAL_TIMER) {
            Flags &= ~REFERENCE_TOTAL_TIMER;
        }
    }

    ReadContext->ReferenceFlags = Flags;
    return Flags;
}

VOID SerialReadTotalTimeout(WDFTIMER Timer)
{
    PDEVICE_EXT_CONTEXT DeviceContext = GetDeviceContext(WdfTimerGetParentObject(Timer));
    PREQUEST_CONTEXT ReadContext;
    BOOLEAN StartNext = FALSE;

    WdfSpinLockAcquire(DeviceContext->BulkInLock);
    if (DeviceContext->CurrentReadRequest == NULL) {
        goto Exit;
    }
    ReadContext = GetRequestContext(DeviceContext->CurrentReadRequest);
    if ((ReadContext->ReferenceFlags & REFERENCE_TOTAL_TIMER) == 0) {
        /* Not armed for this read: nothing of ours to finish. */
        goto Exit;
    }

    BrisumTrace(TRACE_INFO, "brisum : Read total time-out for request(0x%p)\n", DeviceContext->CurrentReadRequest);
    if (DeviceContext->ReadIntervalCount != SERIAL_COMPLETE_READ_COMPLETE) {
        DeviceContext->ReadIntervalCount = SERIAL_COMPLETE_READ_TOTAL;
    }
    /* Bytes that came in are still delivered. */
    (void)SerialFillReadRequest(DeviceContext, ReadContext);
    if (SerialReadRundown(&DeviceContext->CurrentReadRequest, DeviceContext->ReadIntervalTimer,
                          DeviceContext->ReadTotalTimer, (ULONG)REFERENCE_TOTAL_TIMER) == 0) {
        StartNext = SerialFinishCurrentReadLocked(DeviceContext, SITE_TOTAL_TIMEOUT, STATUS_TIMEOUT);
    }

Exit:
    WdfSpinLockRelease(DeviceContext->BulkInLock);
    if (StartNext) {
        SerialStartRead(DeviceContext);
    }
}

VOID SerialReadIntervalTimeout(WDFTIMER Timer)
{
    PDEVICE_EXT_CONTEXT DeviceContext = GetDeviceContext(WdfTimerGetParentObject(Timer));
    PREQUEST_CONTEXT ReadContext;
    ULONG Buffered;
    LONG Count;
    NTSTATUS Status;
    BOOLEAN StartNext = FALSE;

    WdfSpinLockAcquire(DeviceContext->BulkInLock);
    Buffered = DeviceContext->ReceiveBuffer.DataLen;
    if (DeviceContext->CurrentReadRequest == NULL) {
        goto Exit;
    }
    ReadContext = GetRequestContext(DeviceContext->CurrentReadRequest);
    if ((ReadContext->ReferenceFlags & REFERENCE_INTERVAL_TIMER) == 0) {
        goto Exit;
    }

    Count = DeviceContext->ReadIntervalCount;
    if (Count == SERIAL_COMPLETE_READ_TOTAL) {
        (void)SerialFillReadRequest(DeviceContext, ReadContext);
        Status = STATUS_TIMEOUT;
    } else if (Count == SERIAL_COMPLETE_READ_COMPLETE) {
        Status = STATUS_SUCCESS;
    } else if (Count == SERIAL_COMPLETE_READ_CANCEL) {
        Status = STATUS_CANCELLED;
    } else if (Buffered > 0) {
        /* Bytes waited in the ring: take them and keep polling. */
        if (SerialFillReadRequest(DeviceContext, ReadContext)) {
            /* They were all the read still needed: a full read completes
               now with success, as it would had the bytes come from the
               bulk-IN completion, instead of being re-armed and ending at
               the next poll as a time-out. */
            DeviceContext->ReadIntervalCount = SERIAL_COMPLETE_READ_COMPLETE;
            Status = STATUS_SUCCESS;
        } else {
            DeviceContext->ReadIntervalCount = SerialIntervalCountFromBytes(Buffered);
            (void)WdfTimerStart(DeviceContext->ReadIntervalTimer, *DeviceContext->IntervalPollInUse);
            goto Exit;
        }
    } else if (Count == 0) {
        /* Nothing has arrived yet: the interval has not begun. */
        (void)WdfTimerStart(DeviceContext->ReadIntervalTimer, *DeviceContext->IntervalPollInUse);
        goto Exit;
    } else {
        /* Data came before, none since the last look. */
        BrisumTrace(TRACE_INFO, "brisum : Read interval time-out for request(0x%p)\n",
                    DeviceContext->CurrentReadRequest);
        /* Recorded for a party that may still hold the read (a cancel on
           its way): it completes it as timed out, with its bytes. */
        DeviceContext->ReadIntervalCount = SERIAL_COMPLETE_READ_TOTAL;
        Status = STATUS_TIMEOUT;
    }

    if (SerialReadRundown(&DeviceContext->CurrentReadRequest, DeviceContext->ReadIntervalTimer,
                          DeviceContext->ReadTotalTimer, (ULONG)REFERENCE_INTERVAL_TIMER) == 0) {
        StartNext = SerialFinishCurrentReadLocked(DeviceContext, SITE_INTERVAL_TIMEOUT, Status);
    }

Exit:
    WdfSpinLockRelease(DeviceContext->BulkInLock);
    if (StartNext) {
        SerialStartRead(DeviceContext);
    }
}

/*
 * Cancel routine of the current read: called by the framework when the
 * application cancels it, and directly (through CancelRoutine) by the
 * receive purge, with ReadLock and IoctlLock held; it takes only BulkInLock.
 */
/*
 * Cancels the current read Request. Called with Request's cancel party
 * already withdrawn from the framework (its cancel routine is running, or
 * the request was unmarked under BulkInLock). A read still starting only
 * records the cancellation; the start completes it. Caller holds
 * BulkInLock. Returns TRUE when the next read must be started.
 */
static BOOLEAN SerialCancelCurrentReadLocked(PDEVICE_EXT_CONTEXT DeviceContext, PREQUEST_CONTEXT ReadContext)
{
    if (ReadContext->ReferenceFlags == 0) {
        ReadContext->Status = STATUS_CANCELLED;
        return FALSE;
    }

    /* No fill: bytes pulled into a read completed with an error would never
       reach the application; they stay buffered for the next read. An
       outcome another party already decided is kept. */
    if (DeviceContext->ReadIntervalCount >= 0) {
        DeviceContext->ReadIntervalCount = SERIAL_COMPLETE_READ_CANCEL;
    }
    if (SerialReadRundown(&DeviceContext->CurrentReadRequest, DeviceContext->ReadIntervalTimer,
                          DeviceContext->ReadTotalTimer, (ULONG)REFERENCE_CANCEL) != 0) {
        /* A timer still holds the read; it completes it. */
        return FALSE;
    }
    return SerialFinishCurrentReadLocked(DeviceContext, SITE_CANCEL, STATUS_CANCELLED);
}

VOID SerialCancelCurrentRead(WDFREQUEST Request)
{
    PDEVICE_EXT_CONTEXT DeviceContext = GetDeviceContext(WdfIoQueueGetDevice(WdfRequestGetIoQueue(Request)));
    BOOLEAN StartNext = FALSE;

    BrisumTrace(TRACE_INFO, "brisum : Cancel the current read request(0x%p)\n", Request);

    WdfSpinLockAcquire(DeviceContext->BulkInLock);
    /* Registered for the current read only; the framework runs it once. */
    NT_ASSERT(DeviceContext->CurrentReadRequest == Request);
    if (DeviceContext->CurrentReadRequest == Request) {
        StartNext = SerialCancelCurrentReadLocked(DeviceContext, GetRequestContext(Request));
    }
    WdfSpinLockRelease(DeviceContext->BulkInLock);
    if (StartNext) {
        SerialStartRead(DeviceContext);
    }
}

/*
 * Receive abort of a purge: cancels the reads waiting in ReadQueue, then the
 * current read. The current read is taken, unmarked and cancelled in one
 * BulkInLock region, the lock under which the bulk-IN completion (which runs
 * outside the device-wide lock, on any processor) finishes reads: so the
 * purge can never act on a read that a completion has just completed, nor
 * the other way round. A read whose unmarking fails is already being
 * cancelled by the framework, and its cancel routine completes it.
 * Caller holds ReadLock (a purge request holds IoctlLock outside it).
 */
VOID SerialPurgeReads(PDEVICE_EXT_CONTEXT DeviceContext)
{
    WDFREQUEST Request;
    PREQUEST_CONTEXT ReadContext;
    BOOLEAN StartNext = FALSE;

    /* Waiting reads first, so that no next read becomes current below. */
    WdfIoQueuePurge(DeviceContext->ReadQueue, WDF_NO_EVENT_CALLBACK, WDF_NO_CONTEXT);

    WdfSpinLockAcquire(DeviceContext->BulkInLock);
    Request = DeviceContext->CurrentReadRequest;
    if (Request == NULL) {
        goto Exit;
    }
    ReadContext = GetRequestContext(Request);
    if ((ReadContext->ReferenceFlags & REFERENCE_CANCEL) != 0) {
        if (!NT_SUCCESS(WdfRequestUnmarkCancelable(Request))) {
            BrisumTrace(TRACE_INFO, "brisum : Purge: read 0x%p already being cancelled\n", Request);
            goto Exit;
        }
        ReadContext->CancelRoutine = NULL;
    } else if (ReadContext->ReferenceFlags != 0) {
        /* The cancel routine already ran; a timer completes the read. */
        goto Exit;
    }
    StartNext = SerialCancelCurrentReadLocked(DeviceContext, ReadContext);

Exit:
    WdfSpinLockRelease(DeviceContext->BulkInLock);
    /* The queue was purged under ReadLock, so no parked read can have become
       current; starting one here would take IoctlLock, which a purge
       request holds. */
    NT_ASSERT(!StartNext);
    UNREFERENCED_PARAMETER(StartNext);
    WdfIoQueueStart(DeviceContext->ReadQueue);
}

VOID BRISUM_IOStop(WDFQUEUE Queue, WDFREQUEST Request, ULONG ActionFlags)
{
    UNREFERENCED_PARAMETER(Queue);

    BrisumTrace(TRACE_INFO, "brisum : Stop request(0x%p), action 0x%08X\n", Request, ActionFlags);

    if ((ActionFlags & WdfRequestStopActionSuspend) != 0) {
        /* Stays with the driver across the power-down. */
        WdfRequestStopAcknowledge(Request, FALSE);
    } else if ((ActionFlags & WdfRequestStopActionPurge) != 0) {
        (void)WdfRequestCancelSentRequest(Request);
    } else if ((ActionFlags & WdfRequestStopRequestCancelable) != 0) {
        if (NT_SUCCESS(WdfRequestUnmarkCancelable(Request))) {
            GetRequestContext(Request)->CancelRoutine = NULL;
        }
    }
}

/*
 * A request cancelled while it waited in one of the queues. It completes
 * with its own status when that is a failure; a request never processed
 * still reads as pending (or success), which is no way to end a cancelled
 * request, so it completes as cancelled.
 */
VOID IOCanceledOnQueue(WDFQUEUE Queue, WDFREQUEST Request)
{
    NTSTATUS Status = WdfRequestGetStatus(Request);

    UNREFERENCED_PARAMETER(Queue);
    if (NT_SUCCESS(Status)) {
        Status = STATUS_CANCELLED;
    }
    SerialCompleteRequest(SITE_CANCELED_ON_QUEUE, Request, Status, 0);
}

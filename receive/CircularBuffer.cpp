/*
 * CircularBuffer.cpp - the receive ring.
 *
 * A fixed-capacity byte FIFO in non-paged pool. One slot always stays
 * empty, so WriteIndex == ReadIndex means empty and a ring of N bytes holds
 * at most N - 1. Bytes move in at most two contiguous copies (up to the end
 * of the storage, then from its start); the results are those of moving
 * them one at a time with the index taken modulo BufferSize.
 *
 * None of these routines takes a lock: callers hold BulkInLock, except
 * device clean-up, which frees the storage when no I/O can arrive. None of
 * them allocates except InitCircularBuffer and SetCircularBufferSize.
 * Without storage BufferSize and DataLen are 0, so no routine divides or
 * indexes with a zero size.
 */
#include "../driver/DeviceContext.h"

static ULONG RingMin(ULONG A, ULONG B) { return (A < B) ? A : B; }

/* Copies Count bytes in at WriteIndex, wrapping at the end of the storage.
   Count is at most the free space less the one empty slot. */
static VOID RingCopyIn(PCIRCULAR_BUFFER Ring, const UCHAR *Source, ULONG Count)
{
    ULONG First = RingMin(Count, Ring->BufferSize - Ring->WriteIndex);

    RtlCopyMemory(Ring->Buffer + Ring->WriteIndex, Source, First);
    RtlCopyMemory(Ring->Buffer, Source + First, Count - First);
    Ring->WriteIndex = (Ring->WriteIndex + Count) % Ring->BufferSize;
    Ring->DataLen += Count;
}

/* Copies Count bytes out from ReadIndex, wrapping at the end of the
   storage. Count is at most DataLen. */
static VOID RingCopyOut(PCIRCULAR_BUFFER Ring, PUCHAR Destination, ULONG Count)
{
    ULONG First = RingMin(Count, Ring->BufferSize - Ring->ReadIndex);

    RtlCopyMemory(Destination, Ring->Buffer + Ring->ReadIndex, First);
    RtlCopyMemory(Destination + First, Ring->Buffer, Count - First);
    Ring->ReadIndex = (Ring->ReadIndex + Count) % Ring->BufferSize;
    Ring->DataLen -= Count;
}

VOID InitCircularBuffer(PCIRCULAR_BUFFER Ring, ULONG Size)
{
    Ring->Buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, Size, RECEIVE_BUFFER_POOL_TAG);
    if (Ring->Buffer == NULL) {
        BrisumTrace(TRACE_ERROR, "brisum : InitCircularBuffer: %u bytes not allocated\n", Size);
        goto End;
    }
    Ring->DataLen = 0;
    Ring->BufferSize = Size;
    Ring->WriteIndex = 0;
    Ring->ReadIndex = 0;

End:
    return;
}

VOID ResetCircularBuffer(PCIRCULAR_BUFFER Ring)
{
    if (Ring->Buffer != NULL) {
        RtlZeroMemory(Ring->Buffer, Ring->BufferSize);
    }
    Ring->WriteIndex = 0;
    Ring->ReadIndex = 0;
    Ring->DataLen = 0;
}

VOID FreeCircularBuffer(PCIRCULAR_BUFFER Ring)
{
    if (Ring->Buffer != NULL) {
        ExFreePoolWithTag(Ring->Buffer, 0);
        Ring->Buffer = NULL;
    }
    Ring->DataLen = 0;
    Ring->BufferSize = 0;
    Ring->WriteIndex = 0;
    Ring->ReadIndex = 0;
}

NTSTATUS SetCircularBufferSize(PCIRCULAR_BUFFER Ring, ULONG NewSize)
{
    NTSTATUS Status = STATUS_SUCCESS;
    PUCHAR NewBuffer;
    ULONG Count;

    if (NewSize == Ring->BufferSize) {
        goto End;
    }
    if (NewSize == 0) {
        Status = STATUS_INVALID_PARAMETER;
        goto End;
    }
    /* The new storage must hold the buffered bytes and keep its free slot. */
    if (Ring->DataLen >= NewSize) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto End;
    }

    NewBuffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, NewSize, RECEIVE_BUFFER_POOL_TAG);
    if (NewBuffer == NULL) {
        BrisumTrace(TRACE_ERROR, "brisum : SetCircularBufferSize: %u bytes not allocated\n", NewSize);
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto End;
    }

    /* The buffered bytes move, in order, to the start of the new storage. */
    Count = Ring->DataLen;
    if (Count != 0) {
        Status = PullCircularBuffer(Ring, NewBuffer, Count);
        if (!NT_SUCCESS(Status)) {
            ExFreePoolWithTag(NewBuffer, 0);
            goto End;
        }
    }

    Ring->ReadIndex = 0;
    Ring->DataLen = Count;
    Ring->WriteIndex = Count;
    if (Ring->Buffer != NULL) {
        ExFreePoolWithTag(Ring->Buffer, 0);
    }
    Ring->Buffer = NewBuffer;
    Ring->BufferSize = NewSize;

End:
    return Status;
}

NTSTATUS PushCircularBuffer(PCIRCULAR_BUFFER Ring, const UCHAR *Source, ULONG Length)
{
    NTSTATUS Status = STATUS_SUCCESS;
    ULONG Room;

    if (Length == 0) {
        goto End;
    }
    if (Source == NULL) {
        Status = STATUS_INVALID_PARAMETER;
        goto End;
    }
    if (Ring->BufferSize - Ring->DataLen < Length) {
        Status = STATUS_INSUFFICIENT_RESOURCES;
        goto End;
    }

    /* Bytes fit up to the one slot that stays empty. When the free space
       equals Length exactly, all but the last byte are stored. */
    Room = Ring->BufferSize - Ring->DataLen - 1;
    if (Length > Room) {
        RingCopyIn(Ring, Source, Room);
        Status = STATUS_BUFFER_TOO_SMALL;
        goto End;
    }
    RingCopyIn(Ring, Source, Length);

End:
    return Status;
}

NTSTATUS PullCircularBuffer(PCIRCULAR_BUFFER Ring, PUCHAR Destination, ULONG Length)
{
    NTSTATUS Status = STATUS_SUCCESS;

    if (Length == 0) {
        goto End;
    }
    if (Ring->DataLen < Length) {
        Status = STATUS_ARRAY_BOUNDS_EXCEEDED;
        goto End;
    }
    if (Destination == NULL) {
        Status = STATUS_INVALID_PARAMETER;
        goto End;
    }
    RingCopyOut(Ring, Destination, Length);

End:
    return Status;
}

/*
 * CircularBuffer.h - the receive ring: a fixed-capacity byte FIFO in
 * non-paged pool between the bulk-IN reader and read requests.
 *
 * One slot always stays empty, so a ring of N bytes holds at most N - 1.
 * None of the operations takes a lock: callers hold BulkInLock, except
 * device clean-up, which frees the storage when no I/O can arrive.
 */
#pragma once
#include <ntddk.h>

#define RECEIVE_BUFFER_POOL_TAG 0x54434F4CU /* 'L','O','C','T' in memory order */

typedef struct _CIRCULAR_BUFFER {
    PUCHAR Buffer;    /* storage; NULL when none is allocated */
    ULONG DataLen;    /* bytes held */
    ULONG BufferSize; /* bytes of storage */
    ULONG ReadIndex;  /* oldest byte, the next one to pull */
    ULONG WriteIndex; /* slot of the next pushed byte */
} CIRCULAR_BUFFER, *PCIRCULAR_BUFFER;

VOID InitCircularBuffer(PCIRCULAR_BUFFER Ring, ULONG Size);
VOID ResetCircularBuffer(PCIRCULAR_BUFFER Ring);
VOID FreeCircularBuffer(PCIRCULAR_BUFFER Ring);
NTSTATUS SetCircularBufferSize(PCIRCULAR_BUFFER Ring, ULONG NewSize);
NTSTATUS PushCircularBuffer(PCIRCULAR_BUFFER Ring, const UCHAR *Source, ULONG Length);
NTSTATUS PullCircularBuffer(PCIRCULAR_BUFFER Ring, PUCHAR Destination, ULONG Length);

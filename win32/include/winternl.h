/* winternl.h - the native I/O calls (NtReadFile, NtWriteFile) and the
   status of one native request. */
#pragma once
#include "winnt.h"

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef VOID(NTAPI *PIO_APC_ROUTINE)(PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock, ULONG Reserved);

BRISUM_STATIC_ASSERT(sizeof(IO_STATUS_BLOCK) == 16, "IO_STATUS_BLOCK");

#ifdef __cplusplus
extern "C" {
#endif
/* Native reads and writes: the request's status is returned (STATUS_PENDING
   on a handle opened for overlapped I/O) and reaches IoStatusBlock and
   Event when it completes. ByteOffset and Key are ignored by a port. */
BRISUM_API NTSTATUS NTAPI NtReadFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                     PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                     PLARGE_INTEGER ByteOffset, PULONG Key);
BRISUM_API NTSTATUS NTAPI NtWriteFile(HANDLE FileHandle, HANDLE Event, PIO_APC_ROUTINE ApcRoutine, PVOID ApcContext,
                                      PIO_STATUS_BLOCK IoStatusBlock, PVOID Buffer, ULONG Length,
                                      PLARGE_INTEGER ByteOffset, PULONG Key);
BRISUM_API ULONG NTAPI RtlNtStatusToDosError(NTSTATUS Status);
#ifdef __cplusplus
}
#endif

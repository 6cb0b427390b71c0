/*
 * Purge.cpp - IOCTL_SERIAL_PURGE: aborting reads and writes and emptying
 * the receive ring.
 *
 * A purge never touches the pending wait-on-mask request or the wait-mask
 * state. The steps run in a fixed order whatever the order of the bits:
 * receive abort, transmit abort, receive clear.
 */
#include "Control.h"
#include "../driver/Driver.h"
#include "../receive/quoltread.h"

/*
 * Carries out the current purge request, then every purge parked in
 * PurgeQueue behind it. Each completes with STATUS_SUCCESS and Information
 * 4; what the flushed requests complete with is up to their cancel
 * routines. Caller holds IoctlLock and has set CurrentPurgeRequest.
 *
 * Lock nesting: IoctlLock -> ReadLock (the read cancel routine takes
 * BulkInLock inside), IoctlLock -> WriteLock (inside the write cancel
 * routine), IoctlLock -> BulkInLock. The cancel routines run with these
 * locks held and must not take them again.
 */
VOID SerialPurge(PDEVICE_EXT_CONTEXT DeviceContext)
{
    WDFREQUEST Request;
    ULONG Flags;
    NTSTATUS Status;

    while (DeviceContext->CurrentPurgeRequest != NULL) {
        Request = DeviceContext->CurrentPurgeRequest;
        Flags = *(PULONG)GetRequestContext(Request)->SystemBuffer;
        BrisumTrace(TRACE_INFO, "brisum : Purge(0x%p) flags 0x%x\n", Request, Flags);

        if ((Flags & SERIAL_PURGE_RXABORT) != 0) {
            /* The current read is cancelled under BulkInLock, the lock the
               bulk-IN completion finishes reads under (SerialPurgeReads). */
            WdfSpinLockAcquire(DeviceContext->ReadLock);
            SerialPurgeReads(DeviceContext);
            WdfSpinLockRelease(DeviceContext->ReadLock);
        }

        if ((Flags & SERIAL_PURGE_TXABORT) != 0) {
            SerialFlushQueue(DeviceContext->WriteQueue, &DeviceContext->CurrentWriteRequest);
        }

        /* SERIAL_PURGE_TXCLEAR: the port keeps no transmit buffer. */

        /* Blocks the receive path holds back from the ring are not
           discarded: they reach later reads. */
        if ((Flags & SERIAL_PURGE_RXCLEAR) != 0) {
            WdfSpinLockAcquire(DeviceContext->BulkInLock);
            ResetCircularBuffer(&DeviceContext->ReceiveBuffer);
            WdfSpinLockRelease(DeviceContext->BulkInLock);
        }

        DeviceContext->CurrentPurgeRequest = NULL;
        SerialCompleteIoctl(Request, STATUS_SUCCESS, sizeof(ULONG));

        Status = WdfIoQueueRetrieveNextRequest(DeviceContext->PurgeQueue, &Request);
        if (NT_SUCCESS(Status)) {
            DeviceContext->CurrentPurgeRequest = Request;
        }
    }
}

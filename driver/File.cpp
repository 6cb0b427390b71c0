/*
 * File.cpp - open and close of the port; flush and file-information
 * requests answered before the framework sees them.
 *
 * Open allocates the receive ring with the size in force at that moment and
 * clears the state left by the previous open; close frees the ring. Both
 * run outside the device-wide lock and take BulkInLock around everything
 * they change, the lock the receive path uses for the same fields; the
 * event fields are changed under EventLock, taken inside BulkInLock.
 *
 * Between the two, the clean-up of the file (its last handle closed) ends
 * every read, write and wait-on-mask the port still has: the framework
 * cancels only the file's requests still waiting in a queue, and calls the
 * close only once all of the file's requests have completed.
 *
 * The three pre-processing routines complete the IRP themselves, exactly
 * once, and never hand it on to the framework.
 */
#include "Driver.h"
#include "../receive/quoltread.h"
#include "../control/Control.h"

VOID SerialEvtDeviceFileCreate(WDFDEVICE Device, WDFREQUEST Request, WDFFILEOBJECT FileObject)
{
    NTSTATUS Status = STATUS_SUCCESS;
    PDEVICE_EXT_CONTEXT DeviceContext = GetDeviceContext(Device);

    UNREFERENCED_PARAMETER(FileObject);

    BrisumTrace(TRACE_INFO, "brisum : Open %wZ\n", &DeviceContext->DeviceName);

    WdfSpinLockAcquire(DeviceContext->BulkInLock);

    /* Opens are exclusive and every close frees the ring, so an open never
       finds storage from an earlier one. */
    NT_ASSERT(DeviceContext->ReceiveBuffer.Buffer == NULL);
    if (DeviceContext->ReceiveBuffer.Buffer != NULL) {
        FreeCircularBuffer(&DeviceContext->ReceiveBuffer);
    }

    InitCircularBuffer(&DeviceContext->ReceiveBuffer, DeviceContext->ReceiveBufferSize);
    if (DeviceContext->ReceiveBuffer.Buffer == NULL) {
        /* Without a ring every received byte would be dropped while the
           port looks open: refuse the open instead. */
        BrisumTrace(TRACE_ERROR, "brisum : Receive buffer of %u bytes not allocated\n",
                    DeviceContext->ReceiveBufferSize);
        FreeCircularBuffer(&DeviceContext->ReceiveBuffer);
        Status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        ResetCircularBuffer(&DeviceContext->ReceiveBuffer);

        WdfSpinLockAcquire(DeviceContext->EventLock);
        DeviceContext->ulCurrentMask = 0;
        DeviceContext->HistoryMask = 0;
        DeviceContext->WaitMaskLocation = NULL;
        DeviceContext->CarrierPresent = FALSE;
        WdfSpinLockRelease(DeviceContext->EventLock);

        DeviceContext->DeviceRemoved = FALSE;
        DeviceContext->LastReadFailed = FALSE;
        DeviceContext->NotificationCollected = 0; /* no notification joins across a reopen */
    }

    WdfSpinLockRelease(DeviceContext->BulkInLock);

    WdfRequestCompleteWithInformation(Request, Status, 0);
}

/*
 * A serial port's close ends its pending I/O. Reads and writes go first with
 * their queues purged under no driver lock: a purge may run driver callbacks
 * (IOCanceledOnQueue, a cancel routine) under the device-wide lock, which
 * the dispatcher holds when it takes the driver's locks. The purge ends the
 * reads parked in ReadQueue and the write in progress (cancelable from its
 * start to its completion) with those waiting behind it. A read presented by
 * the default queue is then ended as a receive purge ends it, and the wait
 * as at hardware release. Every queue is left running for the next open.
 */
VOID BRISUM_SerialEvtFileCleanup(WDFFILEOBJECT FileObject)
{
    PDEVICE_EXT_CONTEXT DeviceContext = GetDeviceContext(WdfFileObjectGetDevice(FileObject));

    BrisumTrace(TRACE_INFO, "brisum : Cleanup %wZ\n", &DeviceContext->DeviceName);

    /* Before any path is ended: a request of this file that reaches a path
       afterwards is refused there (FileCleanupStarted). */
    InterlockedExchange(&DeviceContext->FileCleanupStarted, TRUE);

    WdfIoQueuePurge(DeviceContext->ReadQueue, WDF_NO_EVENT_CALLBACK, WDF_NO_CONTEXT);
    WdfIoQueuePurge(DeviceContext->WriteQueue, WDF_NO_EVENT_CALLBACK, WDF_NO_CONTEXT);
    WdfIoQueueStart(DeviceContext->WriteQueue);

    /* SerialPurgeReads restarts ReadQueue. ReadLock alone: this callback
       runs outside the device-wide lock, alongside the read callback that
       takes IoctlLock under ReadLock, so IoctlLock -> ReadLock (the purge
       request's order, under the device-wide lock) must not be used here. */
    WdfSpinLockAcquire(DeviceContext->ReadLock);
    SerialPurgeReads(DeviceContext);
    WdfSpinLockRelease(DeviceContext->ReadLock);

    SerialEndMaskRequests(DeviceContext);
}

VOID BRISUM_SerialEvtFileClose(WDFFILEOBJECT FileObject)
{
    PDEVICE_EXT_CONTEXT DeviceContext = GetDeviceContext(WdfFileObjectGetDevice(FileObject));

    BrisumTrace(TRACE_INFO, "brisum : Close %wZ\n", &DeviceContext->DeviceName);

    /* Settings, line states and the wait mask stay until the next open. */
    WdfSpinLockAcquire(DeviceContext->BulkInLock);
    FreeCircularBuffer(&DeviceContext->ReceiveBuffer);
    WdfSpinLockRelease(DeviceContext->BulkInLock);

    /* Every request of the file has completed: the next open starts clean. */
    InterlockedExchange(&DeviceContext->FileCleanupStarted, FALSE);
}

/* Blocks the caller until the write the driver holds, if any, is
   completed; writes still queued stay queued and start afterwards. */
NTSTATUS BRISUM_SerialFlush(WDFDEVICE Device, PIRP Irp)
{
    PDEVICE_EXT_CONTEXT DeviceContext = GetDeviceContext(Device);

    BrisumTrace(TRACE_INFO, "brisum : Flush\n");

    WdfIoQueueStopSynchronously(DeviceContext->WriteQueue);
    WdfIoQueueStart(DeviceContext->WriteQueue);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

/* The class comes from the caller and may lie outside the enumeration:
   read it as the plain number it is. */
C_ASSERT(sizeof(FILE_INFORMATION_CLASS) == sizeof(ULONG));

static ULONG SerialInformationClass(const FILE_INFORMATION_CLASS *Class)
{
    ULONG Value;

    RtlCopyMemory(&Value, Class, sizeof(Value));
    return Value;
}

NTSTATUS BRISUM_SerialQueryInformationFile(WDFDEVICE Device, PIRP Irp)
{
    NTSTATUS Status;
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG Length = Stack->Parameters.QueryFile.Length;
    PVOID Buffer = Irp->AssociatedIrp.SystemBuffer;
    PFILE_STANDARD_INFORMATION Standard;
    PFILE_POSITION_INFORMATION Position;
    ULONG InfoClass = SerialInformationClass(&Stack->Parameters.QueryFile.FileInformationClass);

    UNREFERENCED_PARAMETER(Device);

    Irp->IoStatus.Information = 0;

    switch (InfoClass) {
    case FileStandardInformation:
        if (Length < sizeof(FILE_STANDARD_INFORMATION) || Buffer == NULL) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        /* Zero the whole record, padding included: nothing of the
           system buffer's earlier contents goes back to the caller. */
        Standard = (PFILE_STANDARD_INFORMATION)Buffer;
        RtlZeroMemory(Standard, sizeof(FILE_STANDARD_INFORMATION));
        Standard->AllocationSize.QuadPart = 0;
        Standard->EndOfFile.QuadPart = 0;
        Standard->NumberOfLinks = 0;
        Standard->DeletePending = FALSE;
        Standard->Directory = FALSE;
        Irp->IoStatus.Information = sizeof(FILE_STANDARD_INFORMATION);
        Status = STATUS_SUCCESS;
        break;

    case FilePositionInformation:
        if (Length < sizeof(FILE_POSITION_INFORMATION) || Buffer == NULL) {
            Status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        Position = (PFILE_POSITION_INFORMATION)Buffer;
        Position->CurrentByteOffset.QuadPart = 0;
        Irp->IoStatus.Information = sizeof(FILE_POSITION_INFORMATION);
        Status = STATUS_SUCCESS;
        break;

    default: Status = STATUS_INVALID_PARAMETER; break;
    }

    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_INFO, "brisum : Query information class %u, %u bytes: 0x%p\n", InfoClass, Length,
                    BRISUM_STATUS(Status));
    }

    Irp->IoStatus.Status = Status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

NTSTATUS BRISUM_SerialSetInformationFile(WDFDEVICE Device, PIRP Irp)
{
    NTSTATUS Status;
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG InfoClass = SerialInformationClass(&Stack->Parameters.SetFile.FileInformationClass);

    UNREFERENCED_PARAMETER(Device);

    Irp->IoStatus.Information = 0;

    /* End of file and allocation size are accepted and change nothing. */
    switch (InfoClass) {
    case FileEndOfFileInformation:
    case FileAllocationInformation: Status = STATUS_SUCCESS; break;
    default:
        BrisumTrace(TRACE_INFO, "brisum : Set information class %u refused\n", InfoClass);
        Status = STATUS_INVALID_PARAMETER;
        break;
    }

    Irp->IoStatus.Status = Status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

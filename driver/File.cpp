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
    NTSTATUS status = STATUS_SUCCESS;
    PDEVICE_EXT_CONTEXT deviceContext = GetDeviceContext(Device);

    UNREFERENCED_PARAMETER(FileObject);

    BrisumTrace(TRACE_INFO, "brisum : Open %wZ\n", &deviceContext->DeviceName);

    WdfSpinLockAcquire(deviceContext->BulkInLock);

    /* Opens are exclusive and every close frees the ring, so an open never
       finds storage from an earlier one. */
    NT_ASSERT(deviceContext->ReceiveBuffer.Buffer == NULL);
    if (deviceContext->ReceiveBuffer.Buffer != NULL) {
        FreeCircularBuffer(&deviceContext->ReceiveBuffer);
    }

    InitCircularBuffer(&deviceContext->ReceiveBuffer, deviceContext->ReceiveBufferSize);
    if (deviceContext->ReceiveBuffer.Buffer == NULL) {
        /* Without a ring every received byte would be dropped while the
           port looks open: refuse the open instead. */
        BrisumTrace(TRACE_ERROR, "brisum : Receive buffer of %u bytes not allocated\n",
                    deviceContext->ReceiveBufferSize);
        FreeCircularBuffer(&deviceContext->ReceiveBuffer);
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else {
        ResetCircularBuffer(&deviceContext->ReceiveBuffer);

        WdfSpinLockAcquire(deviceContext->EventLock);
        deviceContext->ulCurrentMask = 0;
        deviceContext->HistoryMask = 0;
        deviceContext->WaitMaskLocation = NULL;
        deviceContext->CarrierPresent = FALSE;
        WdfSpinLockRelease(deviceContext->EventLock);

        deviceContext->DeviceRemoved = FALSE;
        deviceContext->LastReadFailed = FALSE;
        deviceContext->NotificationCollected = 0; /* no notification joins across a reopen */
    }

    WdfSpinLockRelease(deviceContext->BulkInLock);

    WdfRequestCompleteWithInformation(Request, status, 0);
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
    PDEVICE_EXT_CONTEXT deviceContext = GetDeviceContext(WdfFileObjectGetDevice(FileObject));

    BrisumTrace(TRACE_INFO, "brisum : Cleanup %wZ\n", &deviceContext->DeviceName);

    WdfIoQueuePurge(deviceContext->ReadQueue, WDF_NO_EVENT_CALLBACK, WDF_NO_CONTEXT);
    WdfIoQueuePurge(deviceContext->WriteQueue, WDF_NO_EVENT_CALLBACK, WDF_NO_CONTEXT);
    WdfIoQueueStart(deviceContext->WriteQueue);

    /* SerialPurgeReads restarts ReadQueue. */
    WdfSpinLockAcquire(deviceContext->IoctlLock);
    WdfSpinLockAcquire(deviceContext->ReadLock);
    SerialPurgeReads(deviceContext);
    WdfSpinLockRelease(deviceContext->ReadLock);
    WdfSpinLockRelease(deviceContext->IoctlLock);

    SerialEndMaskRequests(deviceContext);
}

VOID BRISUM_SerialEvtFileClose(WDFFILEOBJECT FileObject)
{
    PDEVICE_EXT_CONTEXT deviceContext = GetDeviceContext(WdfFileObjectGetDevice(FileObject));

    BrisumTrace(TRACE_INFO, "brisum : Close %wZ\n", &deviceContext->DeviceName);

    /* Settings, line states and the wait mask stay until the next open. */
    WdfSpinLockAcquire(deviceContext->BulkInLock);
    FreeCircularBuffer(&deviceContext->ReceiveBuffer);
    WdfSpinLockRelease(deviceContext->BulkInLock);
}

/* Blocks the caller until the write the driver holds, if any, is
   completed; writes still queued stay queued and start afterwards. */
NTSTATUS BRISUM_SerialFlush(WDFDEVICE Device, PIRP Irp)
{
    PDEVICE_EXT_CONTEXT deviceContext = GetDeviceContext(Device);

    BrisumTrace(TRACE_INFO, "brisum : Flush\n");

    WdfIoQueueStopSynchronously(deviceContext->WriteQueue);
    WdfIoQueueStart(deviceContext->WriteQueue);

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
    ULONG value;

    RtlCopyMemory(&value, Class, sizeof(value));
    return value;
}

NTSTATUS BRISUM_SerialQueryInformationFile(WDFDEVICE Device, PIRP Irp)
{
    NTSTATUS status;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG length = stack->Parameters.QueryFile.Length;
    PVOID buffer = Irp->AssociatedIrp.SystemBuffer;
    PFILE_STANDARD_INFORMATION standard;
    PFILE_POSITION_INFORMATION position;
    ULONG infoClass = SerialInformationClass(&stack->Parameters.QueryFile.FileInformationClass);

    UNREFERENCED_PARAMETER(Device);

    Irp->IoStatus.Information = 0;

    switch (infoClass) {
    case FileStandardInformation:
        if (length < sizeof(FILE_STANDARD_INFORMATION) || buffer == NULL) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        /* Zero the whole record, padding included: nothing of the
           system buffer's earlier contents goes back to the caller. */
        standard = (PFILE_STANDARD_INFORMATION)buffer;
        RtlZeroMemory(standard, sizeof(FILE_STANDARD_INFORMATION));
        standard->AllocationSize.QuadPart = 0;
        standard->EndOfFile.QuadPart = 0;
        standard->NumberOfLinks = 0;
        standard->DeletePending = FALSE;
        standard->Directory = FALSE;
        Irp->IoStatus.Information = sizeof(FILE_STANDARD_INFORMATION);
        status = STATUS_SUCCESS;
        break;

    case FilePositionInformation:
        if (length < sizeof(FILE_POSITION_INFORMATION) || buffer == NULL) {
            status = STATUS_BUFFER_TOO_SMALL;
            break;
        }
        position = (PFILE_POSITION_INFORMATION)buffer;
        position->CurrentByteOffset.QuadPart = 0;
        Irp->IoStatus.Information = sizeof(FILE_POSITION_INFORMATION);
        status = STATUS_SUCCESS;
        break;

    default:
        status = STATUS_INVALID_PARAMETER;
        break;
    }

    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_INFO, "brisum : Query information class %u, %u bytes: 0x%p\n", infoClass, length,
                    BRISUM_STATUS(status));
    }

    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS BRISUM_SerialSetInformationFile(WDFDEVICE Device, PIRP Irp)
{
    NTSTATUS status;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG infoClass = SerialInformationClass(&stack->Parameters.SetFile.FileInformationClass);

    UNREFERENCED_PARAMETER(Device);

    Irp->IoStatus.Information = 0;

    /* End of file and allocation size are accepted and change nothing. */
    switch (infoClass) {
    case FileEndOfFileInformation:
    case FileAllocationInformation:
        status = STATUS_SUCCESS;
        break;
    default:
        BrisumTrace(TRACE_INFO, "brisum : Set information class %u refused\n", infoClass);
        status = STATUS_INVALID_PARAMETER;
        break;
    }

    Irp->IoStatus.Status = status;
    IofCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

/*
 * Cleanup.cpp - device clean-up: the last driver code for a device.
 *
 * Undoes what the driver did outside the framework's object tree (the
 * system serial-port count, the SERIALCOMM map value, pool memory, the
 * references on held reader buffers) and makes sure no timer, DPC or work
 * item callback is queued or running before the ring is freed. Objects
 * parented to the device are deleted by the framework.
 *
 * Runs at PASSIVE_LEVEL after the file was closed and after the PnP/power
 * callbacks; no I/O can arrive any more, so no lock is taken.
 */
#include "Driver.h"

/* Drops the extra reference of every reader buffer still held back from
   the ring, so that the framework can free them. */
static VOID SerialReleaseHeldMemory(PDEVICE_EXT_CONTEXT DeviceContext)
{
    PLIST_ENTRY Entry;
    PREADER_CONTEXT ReaderContext;
    WDFOBJECT Memory;

    if (DeviceContext->HeldMemoryList.Flink == NULL) {
        goto End;
    }
    while (!IsListEmpty(&DeviceContext->HeldMemoryList)) {
        Entry = RemoveHeadList(&DeviceContext->HeldMemoryList);
        ReaderContext = CONTAINING_RECORD(Entry, READER_CONTEXT, ListEntry);
        Memory = WdfObjectContextGetObject(ReaderContext);
        BrisumTrace(TRACE_INFO, "brisum : Releasing held buffer 0x%p of %u bytes\n", Memory,
                    (ULONG)ReaderContext->Length);
        WdfObjectDereference(Memory);
    }
    DeviceContext->HeldMemoryBytes = 0;

End:
    return;
}

VOID BRISUM_DeviceCleanUp(WDFOBJECT Object)
{
    NTSTATUS Status;
    PDEVICE_EXT_CONTEXT DeviceContext = GetDeviceContext(Object);
    WCHAR ValueName[128];

    ValueName[0] = L'\0';
    BrisumTrace(TRACE_INFO, "brisum : BRISUM_DeviceCleanUp %wZ\n", &DeviceContext->DeviceName);

    if (DeviceContext->SerialCountIncremented) {
        IoGetConfigurationInformation()->SerialCount--;
        DeviceContext->SerialCountIncremented = FALSE;
    }

    /* Each waits until its callback is no longer running. Objects that a
       failed device add never created are skipped. */
    if (DeviceContext->ReadTotalTimer != NULL) {
        WdfTimerStop(DeviceContext->ReadTotalTimer, TRUE);
    }
    if (DeviceContext->ReadIntervalTimer != NULL) {
        WdfTimerStop(DeviceContext->ReadIntervalTimer, TRUE);
    }
    if (DeviceContext->WriteTotalTimer != NULL) {
        WdfTimerStop(DeviceContext->WriteTotalTimer, TRUE);
    }
    if (DeviceContext->CompleteWaitMaskDpc != NULL) {
        WdfDpcCancel(DeviceContext->CompleteWaitMaskDpc, TRUE);
    }
    if (DeviceContext->CompleteWriteDpc != NULL) {
        WdfDpcCancel(DeviceContext->CompleteWriteDpc, TRUE);
    }
    if (DeviceContext->StartWriteDpc != NULL) {
        WdfDpcCancel(DeviceContext->StartWriteDpc, TRUE);
    }
    /* The work item may still touch the held buffers: let it finish first. */
    if (DeviceContext->BulkInReaderWorkItem != NULL) {
        WdfWorkItemFlush(DeviceContext->BulkInReaderWorkItem);
    }

    SerialReleaseHeldMemory(DeviceContext);

    if (DeviceContext->DeviceName.Buffer != NULL && DeviceContext->SerialCommEntryCreated) {
        Status = SerialNameToText(&DeviceContext->DeviceName, ValueName, sizeof(ValueName));
        if (NT_SUCCESS(Status)) {
            Status = RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", ValueName);
        }
        if (!NT_SUCCESS(Status)) {
            BrisumTrace(TRACE_ERROR, "brisum : Destroy Extern name Failed with Port :%ws\n", ValueName);
        }
    }

    if (DeviceContext->ReceiveBuffer.Buffer != NULL) {
        FreeCircularBuffer(&DeviceContext->ReceiveBuffer);
    }

    DeviceContext->DeviceRemoved = TRUE;
}

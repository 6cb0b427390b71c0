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
    PLIST_ENTRY entry;
    PREADER_CONTEXT readerContext;
    WDFOBJECT memory;

    if (DeviceContext->HeldMemoryList.Flink == NULL) {
        goto End;
    }
    while (!IsListEmpty(&DeviceContext->HeldMemoryList)) {
        entry = RemoveHeadList(&DeviceContext->HeldMemoryList);
        readerContext = CONTAINING_RECORD(entry, READER_CONTEXT, ListEntry);
        memory = WdfObjectContextGetObject(readerContext);
        BrisumTrace(TRACE_INFO, "brisum : Releasing held buffer 0x%p of %u bytes\n", memory,
                    (ULONG)readerContext->Length);
        WdfObjectDereference(memory);
    }
    DeviceContext->HeldMemoryBytes = 0;

End:
    return;
}

VOID BRISUM_DeviceCleanUp(WDFOBJECT Object)
{
    NTSTATUS status;
    PDEVICE_EXT_CONTEXT deviceContext = GetDeviceContext(Object);
    WCHAR valueName[128];

    valueName[0] = L'\0';
    BrisumTrace(TRACE_INFO, "brisum : BRISUM_DeviceCleanUp %wZ\n", &deviceContext->DeviceName);

    if (deviceContext->SerialCountIncremented) {
        IoGetConfigurationInformation()->SerialCount--;
        deviceContext->SerialCountIncremented = FALSE;
    }

    /* Each waits until its callback is no longer running. Objects that a
       failed device add never created are skipped. */
    if (deviceContext->ReadTotalTimer != NULL) {
        WdfTimerStop(deviceContext->ReadTotalTimer, TRUE);
    }
    if (deviceContext->ReadIntervalTimer != NULL) {
        WdfTimerStop(deviceContext->ReadIntervalTimer, TRUE);
    }
    if (deviceContext->WriteTotalTimer != NULL) {
        WdfTimerStop(deviceContext->WriteTotalTimer, TRUE);
    }
    if (deviceContext->CompleteWaitMaskDpc != NULL) {
        WdfDpcCancel(deviceContext->CompleteWaitMaskDpc, TRUE);
    }
    if (deviceContext->CompleteWriteDpc != NULL) {
        WdfDpcCancel(deviceContext->CompleteWriteDpc, TRUE);
    }
    if (deviceContext->StartWriteDpc != NULL) {
        WdfDpcCancel(deviceContext->StartWriteDpc, TRUE);
    }
    /* The work item may still touch the held buffers: let it finish first. */
    if (deviceContext->BulkInReaderWorkItem != NULL) {
        WdfWorkItemFlush(deviceContext->BulkInReaderWorkItem);
    }

    SerialReleaseHeldMemory(deviceContext);

    if (deviceContext->DeviceName.Buffer != NULL && deviceContext->SerialCommEntryCreated) {
        status = SerialNameToText(&deviceContext->DeviceName, valueName, sizeof(valueName));
        if (NT_SUCCESS(status)) {
            status = RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", valueName);
        }
        if (!NT_SUCCESS(status)) {
            BrisumTrace(TRACE_ERROR, "brisum : Destroy Extern name Failed with Port :%ws\n", valueName);
        }
    }

    if (deviceContext->ReceiveBuffer.Buffer != NULL) {
        FreeCircularBuffer(&deviceContext->ReceiveBuffer);
    }

    deviceContext->DeviceRemoved = TRUE;
}

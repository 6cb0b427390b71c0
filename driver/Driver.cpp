/*
 * Driver.cpp - driver entry, device add, the device context's initial
 * values and the spin locks.
 *
 * Device add builds everything in a fixed order and stops at the first
 * failure without rolling back: whatever was created is parented to the
 * device, and the framework deletes the device (running
 * BRISUM_DeviceCleanUp) when device add fails after the device exists.
 * The system serial-port count is raised only as the very last step, so a
 * failed device add never changes it.
 */
#include "Driver.h"
#include "../usb/UsbHardware.h"
#include <ntstrsafe.h>

#ifdef ALLOC_PRAGMA
#pragma alloc_text(INIT, DriverEntry)
#endif

/* Highest number tried for "\Device\Serial<n>". */
#define SERIAL_DEVICE_NUMBER_LAST 255
/* Capacity of the device-name buffer in code units (256 bytes). */
#define SERIAL_DEVICE_NAME_CCH 128

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    NTSTATUS status;
    WDF_DRIVER_CONFIG config;
    WDF_OBJECT_ATTRIBUTES attributes;

    BrisumTrace(TRACE_INFO, "brisum : DriverEntry\n");

    WDF_DRIVER_CONFIG_INIT(&config, BRISUM_DriverAddDevice);
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);

    status = WdfDriverCreate(DriverObject, RegistryPath, &attributes, &config, WDF_NO_HANDLE);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfDriverCreate failed with status 0x%p !\n", BRISUM_STATUS(status));
    }
    return status;
}

/* Reads DriverMode from the device's hardware key. Only the value 1 counts;
   a missing key, a missing value or a value of another type leaves 0. */
static ULONG SerialReadDriverMode(WDFDEVICE Device)
{
    NTSTATUS status;
    WDFKEY key = NULL;
    ULONG value = 0;
    DECLARE_CONST_UNICODE_STRING(valueName, L"DriverMode");

    status = WdfDeviceOpenRegistryKey(Device, PLUGPLAY_REGKEY_DEVICE, KEY_QUERY_VALUE, WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_WARNING, "brisum : WdfDeviceOpenRegistryKey failed (0x%p), DriverMode stays 0\n",
                    BRISUM_STATUS(status));
        goto End;
    }

    status = WdfRegistryQueryULong(key, &valueName, &value);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_INFO, "brisum : DriverMode not read (0x%p), stays 0\n", BRISUM_STATUS(status));
        value = 0;
    }
    WdfRegistryClose(key);

End:
    return (value == 1) ? 1 : 0;
}

NTSTATUS BRISUM_DriverAddDevice(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit)
{
    NTSTATUS status;
    NTSTATUS result = STATUS_SUCCESS;
    WDF_OBJECT_ATTRIBUTES requestAttributes;
    WDF_OBJECT_ATTRIBUTES fileAttributes;
    WDF_OBJECT_ATTRIBUTES deviceAttributes;
    WDF_PNPPOWER_EVENT_CALLBACKS pnpPowerCallbacks;
    WDF_FILEOBJECT_CONFIG fileConfig;
    WDF_DEVICE_PNP_CAPABILITIES pnpCaps;
    WDFDEVICE device = NULL;
    PDEVICE_EXT_CONTEXT deviceContext;
    USHORT number;
    DECLARE_UNICODE_STRING_SIZE(deviceName, SERIAL_DEVICE_NAME_CCH);

    UNREFERENCED_PARAMETER(Driver);

    BrisumTrace(TRACE_INFO, "brisum : BRISUM_DriverAddDevice\n");

    /* One open handle at a time; the system refuses a second open. */
    WdfDeviceInitSetExclusive(DeviceInit, TRUE);
    WdfDeviceInitSetDeviceType(DeviceInit, FILE_DEVICE_SERIAL_PORT);

    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&requestAttributes, REQUEST_CONTEXT);
    WdfDeviceInitSetRequestAttributes(DeviceInit, &requestAttributes);

    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnpPowerCallbacks);
    pnpPowerCallbacks.EvtDevicePrepareHardware = BRISUM_DevicePrepareHardware;
    pnpPowerCallbacks.EvtDeviceReleaseHardware = BRISUM_DeviceReleaseHardware;
    pnpPowerCallbacks.EvtDeviceD0Entry = D0Entry;
    pnpPowerCallbacks.EvtDeviceD0Exit = D0Exit;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnpPowerCallbacks);

    /* File callbacks run outside the device-wide lock; what they share with
       the I/O paths is guarded by the paths' own locks (BulkInLock for open
       and close). */
    WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, SerialEvtDeviceFileCreate, BRISUM_SerialEvtFileClose,
                               BRISUM_SerialEvtFileCleanup);
    fileConfig.AutoForwardCleanupClose = WdfUseDefault;
    fileConfig.FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;
    WDF_OBJECT_ATTRIBUTES_INIT(&fileAttributes);
    fileAttributes.SynchronizationScope = WdfSynchronizationScopeNone;
    WdfDeviceInitSetFileObjectConfig(DeviceInit, &fileConfig, &fileAttributes);

    status = WdfDeviceInitAssignWdmIrpPreprocessCallback(DeviceInit, BRISUM_SerialFlush, IRP_MJ_FLUSH_BUFFERS, NULL, 0);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Assign SerialFlush failed (0x%p)\n", BRISUM_STATUS(status));
        goto End;
    }
    status = WdfDeviceInitAssignWdmIrpPreprocessCallback(DeviceInit, BRISUM_SerialQueryInformationFile,
                                                         IRP_MJ_QUERY_INFORMATION, NULL, 0);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Assign SerialQueryInformationFile failed (0x%p)\n",
                    BRISUM_STATUS(status));
        goto End;
    }
    status = WdfDeviceInitAssignWdmIrpPreprocessCallback(DeviceInit, BRISUM_SerialSetInformationFile,
                                                         IRP_MJ_SET_INFORMATION, NULL, 0);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Assign SerialSetInformationFile failed (0x%p)\n",
                    BRISUM_STATUS(status));
        goto End;
    }

    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&deviceAttributes, DEVICE_EXT_CONTEXT);
    deviceAttributes.EvtCleanupCallback = BRISUM_DeviceCleanUp;
    deviceAttributes.SynchronizationScope = WdfSynchronizationScopeDevice;
    deviceAttributes.ExecutionLevel = WdfExecutionLevelInheritFromParent;

    /* The first free "\Device\Serial<n>" names the device. A failed
       creation leaves DeviceInit usable for the next attempt. */
    status = STATUS_UNSUCCESSFUL;
    for (number = 0; number <= SERIAL_DEVICE_NUMBER_LAST; number++) {
        deviceName.Length = 0;
        status = RtlUnicodeStringPrintf(&deviceName, L"%ws%d", L"\\Device\\Serial", (LONG)number);
        if (!NT_SUCCESS(status)) {
            BrisumTrace(TRACE_ERROR, "brisum : Format device name failed (0x%p)\n", BRISUM_STATUS(status));
            goto End;
        }
        status = WdfDeviceInitAssignName(DeviceInit, &deviceName);
        if (!NT_SUCCESS(status)) {
            BrisumTrace(TRACE_ERROR, "brisum : WdfDeviceInitAssignName failed (0x%p)\n", BRISUM_STATUS(status));
            goto End;
        }
        status = WdfDeviceCreate(&DeviceInit, &deviceAttributes, &device);
        if (NT_SUCCESS(status)) {
            break;
        }
        BrisumTrace(TRACE_INFO, "brisum : WdfDeviceCreate %wZ failed (0x%p), trying the next number\n", &deviceName,
                    BRISUM_STATUS(status));
    }
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfDeviceCreate failed with status 0x%p !\n", BRISUM_STATUS(status));
        goto End;
    }

    deviceContext = GetDeviceContext(device);
    deviceContext->WdfDevice = device;
    InitDeviceExtContext(deviceContext);

    WDF_DEVICE_PNP_CAPABILITIES_INIT(&pnpCaps);
    pnpCaps.Removable = WdfTrue;
    pnpCaps.SurpriseRemovalOK = WdfTrue;
    WdfDeviceSetPnpCapabilities(device, &pnpCaps);

    status = CreateSpinLock(deviceContext);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : CreateSpinLock failed with status 0x%p !\n", BRISUM_STATUS(status));
        goto End;
    }

    status = CreateQueues(deviceContext);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : CreateQueues failed with status 0x%p !\n", BRISUM_STATUS(status));
        goto End;
    }

    status = SerialCreateTimersAndDpcs(deviceContext);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : SerialCreateTimersAndDpcs failed (0x%p)\n", BRISUM_STATUS(status));
        goto End;
    }

    status = CreateExternName(deviceContext);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : CreateExternName failed with status 0x%p !\n", BRISUM_STATUS(status));
        goto End;
    }
    result = status;

    if (SerialReadDriverMode(device) == 1) {
        deviceContext->DriverMode = 1;
    }
    BrisumTrace(TRACE_INFO, "brisum : DriverMode %u\n", deviceContext->DriverMode);

    IoGetConfigurationInformation()->SerialCount++;
    deviceContext->SerialCountIncremented = TRUE;

    status = result;

End:
    return status;
}

VOID InitDeviceExtContext(PDEVICE_EXT_CONTEXT DeviceContext)
{
    /* The framework zero-fills the context; these are the values that
       differ from zero or that matter enough to state. */
    DeviceContext->UsbDevice = NULL;
    DeviceContext->InterruptPipe = NULL;
    DeviceContext->BulkInPipe = NULL;
    DeviceContext->BulkOutPipe = NULL;
    DeviceContext->InterruptInterfaceNumber = 0;
    DeviceContext->InterruptMaxPacketSize = DEFAULT_MAX_PACKET_SIZE;
    DeviceContext->BulkInMaxPacketSize = DEFAULT_MAX_PACKET_SIZE;
    DeviceContext->BulkOutMaxPacketSize = DEFAULT_MAX_PACKET_SIZE;

    DeviceContext->DeviceStarted = TRUE;
    DeviceContext->DeviceRemoved = FALSE;
    DeviceContext->LastReadFailed = FALSE;

    DeviceContext->DriverMode = 0;
    DeviceContext->CurrentWaitRequest = NULL;
    DeviceContext->CurrentMaskRequest = NULL;
    DeviceContext->CurrentReadRequest = NULL;
    DeviceContext->CurrentWriteRequest = NULL;
    DeviceContext->CurrentPurgeRequest = NULL;

    RtlZeroMemory(&DeviceContext->ReceiveBuffer, sizeof(DeviceContext->ReceiveBuffer));
    DeviceContext->ReceiveBufferSize = DEFAULT_RECEIVE_BUFFER_SIZE;
    InitializeListHead(&DeviceContext->HeldMemoryList);
    DeviceContext->IntervalPollShort = -1;
    DeviceContext->IntervalPollLong = -10000000LL;  /* 1 s */
    DeviceContext->IntervalCutOver = 200000000LL;   /* 20 s */
    DeviceContext->IntervalPollInUse = NULL;

    DeviceContext->BaudRate = 2400;
    DeviceContext->LineControl.StopBits = STOP_BIT_1;
    DeviceContext->LineControl.Parity = EVEN_PARITY;
    DeviceContext->LineControl.WordLength = 5;
    DeviceContext->ModemStatus = 0;
    DeviceContext->ulCurrentMask = 0;
    DeviceContext->HistoryMask = 0;
    DeviceContext->CarrierPresent = TRUE;
    DeviceContext->HandFlow.ControlHandShake = 0;
    DeviceContext->HandFlow.FlowReplace = 0x40;
    DeviceContext->HandFlow.XonLimit = 17;
    DeviceContext->HandFlow.XoffLimit = 19;
    RtlZeroMemory(&DeviceContext->Timeouts, sizeof(DeviceContext->Timeouts));
    RtlZeroMemory(&DeviceContext->CommStatus, sizeof(DeviceContext->CommStatus));
    RtlZeroMemory(&DeviceContext->SpecialChars, sizeof(DeviceContext->SpecialChars));
    RtlZeroMemory(&DeviceContext->PerfStats, sizeof(DeviceContext->PerfStats));

    DeviceContext->HeldMemoryBytes = 0;
    DeviceContext->BulkInReaderPaused = FALSE;
}

NTSTATUS CreateSpinLock(PDEVICE_EXT_CONTEXT DeviceContext)
{
    NTSTATUS status = STATUS_SUCCESS;
    WDF_OBJECT_ATTRIBUTES attributes;
    ULONG index;
    /* Creation order; EventLock, the guard of the event fields, comes last. */
    WDFSPINLOCK *locks[] = {
        &DeviceContext->BulkInLock, &DeviceContext->ReadLock, &DeviceContext->WriteLock,
        &DeviceContext->IoctlLock,  &DeviceContext->MaskLock, &DeviceContext->EventLock,
    };

    for (index = 0; index < ARRAYSIZE(locks); index++) {
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = DeviceContext->WdfDevice;
        status = WdfSpinLockCreate(&attributes, locks[index]);
        if (!NT_SUCCESS(status)) {
            BrisumTrace(TRACE_ERROR, "brisum : WdfSpinLockCreate %u failed (0x%p)\n", index, BRISUM_STATUS(status));
            break;
        }
    }
    return status;
}

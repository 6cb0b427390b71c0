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
    NTSTATUS Status;
    WDF_DRIVER_CONFIG Config;
    WDF_OBJECT_ATTRIBUTES Attributes;

    BrisumTrace(TRACE_INFO, "brisum : DriverEntry\n");

    WDF_DRIVER_CONFIG_INIT(&Config, BRISUM_DriverAddDevice);
    WDF_OBJECT_ATTRIBUTES_INIT(&Attributes);

    Status = WdfDriverCreate(DriverObject, RegistryPath, &Attributes, &Config, WDF_NO_HANDLE);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfDriverCreate failed with status 0x%p !\n", BRISUM_STATUS(Status));
    }
    return Status;
}

/* Reads DriverMode from the device's hardware key. Only the value 1 counts;
   a missing key, a missing value or a value of another type leaves 0. */
static ULONG SerialReadDriverMode(WDFDEVICE Device)
{
    NTSTATUS Status;
    WDFKEY Key = NULL;
    ULONG Value = 0;
    DECLARE_CONST_UNICODE_STRING(valueName, L"DriverMode");

    Status = WdfDeviceOpenRegistryKey(Device, PLUGPLAY_REGKEY_DEVICE, KEY_QUERY_VALUE, WDF_NO_OBJECT_ATTRIBUTES, &Key);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_WARNING, "brisum : WdfDeviceOpenRegistryKey failed (0x%p), DriverMode stays 0\n",
                    BRISUM_STATUS(Status));
        goto End;
    }

    Status = WdfRegistryQueryULong(Key, &valueName, &Value);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_INFO, "brisum : DriverMode not read (0x%p), stays 0\n", BRISUM_STATUS(Status));
        Value = 0;
    }
    WdfRegistryClose(Key);

End:
    return (Value == 1) ? 1 : 0;
}

NTSTATUS BRISUM_DriverAddDevice(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit)
{
    NTSTATUS Status;
    NTSTATUS Result = STATUS_SUCCESS;
    WDF_OBJECT_ATTRIBUTES RequestAttributes;
    WDF_OBJECT_ATTRIBUTES FileAttributes;
    WDF_OBJECT_ATTRIBUTES DeviceAttributes;
    WDF_PNPPOWER_EVENT_CALLBACKS PnpPowerCallbacks;
    WDF_FILEOBJECT_CONFIG FileConfig;
    WDF_DEVICE_PNP_CAPABILITIES PnpCaps;
    WDFDEVICE Device = NULL;
    PDEVICE_EXT_CONTEXT DeviceContext;
    USHORT Number;
    DECLARE_UNICODE_STRING_SIZE(deviceName, SERIAL_DEVICE_NAME_CCH);

    UNREFERENCED_PARAMETER(Driver);

    BrisumTrace(TRACE_INFO, "brisum : BRISUM_DriverAddDevice\n");

    /* One open handle at a time; the system refuses a second open. */
    WdfDeviceInitSetExclusive(DeviceInit, TRUE);
    WdfDeviceInitSetDeviceType(DeviceInit, FILE_DEVICE_SERIAL_PORT);

    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&RequestAttributes, REQUEST_CONTEXT);
    WdfDeviceInitSetRequestAttributes(DeviceInit, &RequestAttributes);

    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&PnpPowerCallbacks);
    PnpPowerCallbacks.EvtDevicePrepareHardware = BRISUM_DevicePrepareHardware;
    PnpPowerCallbacks.EvtDeviceReleaseHardware = BRISUM_DeviceReleaseHardware;
    PnpPowerCallbacks.EvtDeviceD0Entry = D0Entry;
    PnpPowerCallbacks.EvtDeviceD0Exit = D0Exit;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &PnpPowerCallbacks);

    /* File callbacks run outside the device-wide lock; what they share with
       the I/O paths is guarded by the paths' own locks (BulkInLock for open
       and close). */
    WDF_FILEOBJECT_CONFIG_INIT(&FileConfig, SerialEvtDeviceFileCreate, BRISUM_SerialEvtFileClose,
                               BRISUM_SerialEvtFileCleanup);
    FileConfig.AutoForwardCleanupClose = WdfUseDefault;
    FileConfig.FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;
    WDF_OBJECT_ATTRIBUTES_INIT(&FileAttributes);
    FileAttributes.SynchronizationScope = WdfSynchronizationScopeNone;
    WdfDeviceInitSetFileObjectConfig(DeviceInit, &FileConfig, &FileAttributes);

    Status = WdfDeviceInitAssignWdmIrpPreprocessCallback(DeviceInit, BRISUM_SerialFlush, IRP_MJ_FLUSH_BUFFERS, NULL, 0);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Assign SerialFlush failed (0x%p)\n", BRISUM_STATUS(Status));
        goto End;
    }
    Status = WdfDeviceInitAssignWdmIrpPreprocessCallback(DeviceInit, BRISUM_SerialQueryInformationFile,
                                                         IRP_MJ_QUERY_INFORMATION, NULL, 0);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Assign SerialQueryInformationFile failed (0x%p)\n", BRISUM_STATUS(Status));
        goto End;
    }
    Status = WdfDeviceInitAssignWdmIrpPreprocessCallback(DeviceInit, BRISUM_SerialSetInformationFile,
                                                         IRP_MJ_SET_INFORMATION, NULL, 0);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Assign SerialSetInformationFile failed (0x%p)\n", BRISUM_STATUS(Status));
        goto End;
    }

    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&DeviceAttributes, DEVICE_EXT_CONTEXT);
    DeviceAttributes.EvtCleanupCallback = BRISUM_DeviceCleanUp;
    DeviceAttributes.SynchronizationScope = WdfSynchronizationScopeDevice;
    DeviceAttributes.ExecutionLevel = WdfExecutionLevelInheritFromParent;

    /* The first free "\Device\Serial<n>" names the device. A failed
       creation leaves DeviceInit usable for the next attempt. */
    Status = STATUS_UNSUCCESSFUL;
    for (Number = 0; Number <= SERIAL_DEVICE_NUMBER_LAST; Number++) {
        deviceName.Length = 0;
        Status = RtlUnicodeStringPrintf(&deviceName, L"%ws%d", L"\\Device\\Serial", (LONG)Number);
        if (!NT_SUCCESS(Status)) {
            BrisumTrace(TRACE_ERROR, "brisum : Format device name failed (0x%p)\n", BRISUM_STATUS(Status));
            goto End;
        }
        Status = WdfDeviceInitAssignName(DeviceInit, &deviceName);
        if (!NT_SUCCESS(Status)) {
            BrisumTrace(TRACE_ERROR, "brisum : WdfDeviceInitAssignName failed (0x%p)\n", BRISUM_STATUS(Status));
            goto End;
        }
        Status = WdfDeviceCreate(&DeviceInit, &DeviceAttributes, &Device);
        if (NT_SUCCESS(Status)) {
            break;
        }
        BrisumTrace(TRACE_INFO, "brisum : WdfDeviceCreate %wZ failed (0x%p), trying the next number\n", &deviceName,
                    BRISUM_STATUS(Status));
    }
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfDeviceCreate failed with status 0x%p !\n", BRISUM_STATUS(Status));
        goto End;
    }

    DeviceContext = GetDeviceContext(Device);
    DeviceContext->WdfDevice = Device;
    InitDeviceExtContext(DeviceContext);

    WDF_DEVICE_PNP_CAPABILITIES_INIT(&PnpCaps);
    PnpCaps.Removable = WdfTrue;
    PnpCaps.SurpriseRemovalOK = WdfTrue;
    WdfDeviceSetPnpCapabilities(Device, &PnpCaps);

    Status = CreateSpinLock(DeviceContext);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : CreateSpinLock failed with status 0x%p !\n", BRISUM_STATUS(Status));
        goto End;
    }

    Status = CreateQueues(DeviceContext);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : CreateQueues failed with status 0x%p !\n", BRISUM_STATUS(Status));
        goto End;
    }

    Status = SerialCreateTimersAndDpcs(DeviceContext);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : SerialCreateTimersAndDpcs failed (0x%p)\n", BRISUM_STATUS(Status));
        goto End;
    }

    Status = CreateExternName(DeviceContext);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : CreateExternName failed with status 0x%p !\n", BRISUM_STATUS(Status));
        goto End;
    }
    Result = Status;

    if (SerialReadDriverMode(Device) == 1) {
        DeviceContext->DriverMode = 1;
    }
    BrisumTrace(TRACE_INFO, "brisum : DriverMode %u\n", DeviceContext->DriverMode);

    IoGetConfigurationInformation()->SerialCount++;
    DeviceContext->SerialCountIncremented = TRUE;

    Status = Result;

End:
    return Status;
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
    DeviceContext->IntervalPollLong = -10000000LL; /* 1 s */
    DeviceContext->IntervalCutOver = 200000000LL;  /* 20 s */
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
    NTSTATUS Status = STATUS_SUCCESS;
    WDF_OBJECT_ATTRIBUTES Attributes;
    ULONG Index;
    /* Creation order; EventLock, the guard of the event fields, comes last. */
    WDFSPINLOCK *Locks[] = {
        &DeviceContext->BulkInLock, &DeviceContext->ReadLock, &DeviceContext->WriteLock,
        &DeviceContext->IoctlLock,  &DeviceContext->MaskLock, &DeviceContext->EventLock,
    };

    for (Index = 0; Index < ARRAYSIZE(Locks); Index++) {
        WDF_OBJECT_ATTRIBUTES_INIT(&Attributes);
        Attributes.ParentObject = DeviceContext->WdfDevice;
        Status = WdfSpinLockCreate(&Attributes, Locks[Index]);
        if (!NT_SUCCESS(Status)) {
            BrisumTrace(TRACE_ERROR, "brisum : WdfSpinLockCreate %u failed (0x%p)\n", Index, BRISUM_STATUS(Status));
            break;
        }
    }
    return Status;
}

/*
 * Power.cpp - hardware preparation and release, idle and wake policy, D0.
 *
 * Preparation configures USB, applies the idle and wake policy of a device
 * that reports remote wake, and sets up one continuous reader on the
 * interrupt-IN pipe and one on the bulk-IN pipe, each with one read of one
 * packet outstanding. The readers run while their pipes' I/O targets are
 * started: D0 entry starts them, D0 exit stops them. The bulk-OUT pipe is
 * left in whatever state the framework keeps it.
 *
 * The framework runs these callbacks at PASSIVE_LEVEL, never two at once.
 * DeviceStarted is a single byte stored here before any request can arrive.
 * DeviceInD0 is stored under BulkInLock: completions and requests that read
 * it in the accept check run on other processors while D0 exit runs.
 */
#include "UsbHardware.h"
#include "../driver/Driver.h"
#include "../receive/quoltread.h"
#include "../control/Control.h"

/* Idle time before a remote-wake device is selectively suspended. */
#define SERIAL_IDLE_TIMEOUT_MS 10000

NTSTATUS BRISUM_DevicePrepareHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw, WDFCMRESLIST ResourcesTranslated)
{
    NTSTATUS Status;
    PDEVICE_EXT_CONTEXT DeviceContext = GetDeviceContext(Device);
    WDF_USB_CONTINUOUS_READER_CONFIG ReaderConfig;
    WDF_OBJECT_ATTRIBUTES BufferAttributes;

    UNREFERENCED_PARAMETER(ResourcesRaw);
    UNREFERENCED_PARAMETER(ResourcesTranslated);

    BrisumTrace(TRACE_INFO, "brisum : BRISUM_DevicePrepareHardware\n");

    Status = ConfigureUsbInterfaceAndEndpoint(Device);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : ConfigureUsbInterfaceAndEndpoint failed (0x%p)\n", BRISUM_STATUS(Status));
        goto End;
    }

    Status = InitPowerManagement(Device, DeviceContext);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : InitPowerManagement failed (0x%p)\n", BRISUM_STATUS(Status));
        goto End;
    }

    if (DeviceContext->InterruptPipe != NULL) {
        WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&ReaderConfig, EvtUsbDeviceInterrupt, DeviceContext,
                                              DeviceContext->InterruptMaxPacketSize);
        ReaderConfig.HeaderLength = 0;
        ReaderConfig.TrailerLength = 0;
        ReaderConfig.NumPendingReads = 1;
        ReaderConfig.BufferAttributes = WDF_NO_OBJECT_ATTRIBUTES;
        ReaderConfig.EvtUsbTargetPipeReadersFailed = InterruptINPipeReadersFailed;
        Status = WdfUsbTargetPipeConfigContinuousReader(DeviceContext->InterruptPipe, &ReaderConfig);
        if (!NT_SUCCESS(Status)) {
            BrisumTrace(TRACE_ERROR, "brisum : Config Interrupt Continuous Reader failed (0x%p)\n",
                        BRISUM_STATUS(Status));
            goto End;
        }
    } else {
        BrisumTrace(TRACE_WARNING, "brisum : No interrupt pipe: no notifications, no class requests\n");
    }

    if (DeviceContext->BulkInPipe != NULL) {
        WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(DeviceContext->BulkInPipe);

        /* Every buffer carries a READER_CONTEXT, so the receive path can
           hold it on its list when the ring is short of room. */
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&BufferAttributes, READER_CONTEXT);
        WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&ReaderConfig, BulkInPipeReadComplete, DeviceContext,
                                              DeviceContext->BulkInMaxPacketSize);
        ReaderConfig.HeaderLength = 0;
        ReaderConfig.TrailerLength = 0;
        ReaderConfig.NumPendingReads = 1;
        ReaderConfig.BufferAttributes = &BufferAttributes;
        ReaderConfig.EvtUsbTargetPipeReadersFailed = BulkInPipeReadersFailed;
        Status = WdfUsbTargetPipeConfigContinuousReader(DeviceContext->BulkInPipe, &ReaderConfig);
        if (!NT_SUCCESS(Status)) {
            BrisumTrace(TRACE_ERROR, "brisum : Config Bulk Continuous Reader failed (0x%p)\n", BRISUM_STATUS(Status));
            goto End;
        }
    } else {
        BrisumTrace(TRACE_WARNING, "brisum : No bulk-in pipe: nothing will be received\n");
    }

    /* A stop and start of the same device object (resource rebalancing)
       prepares it again. Release cleared DeviceStarted; leaving it FALSE
       would make the port refuse every request for good although the
       device works, so a successful preparation sets it again. */
    DeviceContext->DeviceStarted = TRUE;

End:
    return Status;
}

NTSTATUS InitPowerManagement(WDFDEVICE Device, PDEVICE_EXT_CONTEXT DeviceContext)
{
    NTSTATUS Status = STATUS_SUCCESS;
    NTSTATUS InfoStatus;
    WDF_USB_DEVICE_INFORMATION DeviceInformation;
    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS IdleSettings;
    WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS WakeSettings;

    WDF_USB_DEVICE_INFORMATION_INIT(&DeviceInformation);
    InfoStatus = WdfUsbTargetDeviceRetrieveInformation(DeviceContext->UsbDevice, &DeviceInformation);
    if (!NT_SUCCESS(InfoStatus)) {
        /* Treated as a device without remote wake. */
        BrisumTrace(TRACE_WARNING, "brisum : WdfUsbTargetDeviceRetrieveInformation failed (0x%p)\n",
                    BRISUM_STATUS(InfoStatus));
        DeviceInformation.Traits = 0;
    }
    BrisumTrace(TRACE_INFO, "brisum : Device traits 0x%x\n", DeviceInformation.Traits);

    /* Without remote wake the device never idles out and is not armed. */
    if ((DeviceInformation.Traits & WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE) == 0) {
        goto End;
    }

    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(&IdleSettings, IdleUsbSelectiveSuspend);
    IdleSettings.IdleTimeout = SERIAL_IDLE_TIMEOUT_MS;
    Status = WdfDeviceAssignS0IdleSettings(Device, &IdleSettings);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfDeviceAssignS0IdleSettings failed (0x%p)\n", BRISUM_STATUS(Status));
        goto End;
    }

    WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS_INIT(&WakeSettings);
    Status = WdfDeviceAssignSxWakeSettings(Device, &WakeSettings);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfDeviceAssignSxWakeSettings failed (0x%p)\n", BRISUM_STATUS(Status));
        goto End;
    }

End:
    return Status;
}

NTSTATUS BRISUM_DeviceReleaseHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesTranslated)
{
    PDEVICE_EXT_CONTEXT DeviceContext = GetDeviceContext(Device);

    UNREFERENCED_PARAMETER(ResourcesTranslated);

    BrisumTrace(TRACE_INFO, "brisum : BRISUM_DeviceReleaseHardware\n");

    /* From here on the accept check refuses new requests. */
    DeviceContext->DeviceStarted = FALSE;

    /* End a pending wait-on-mask and whatever waits in the mask queue. */
    SerialEndMaskRequests(DeviceContext);

    return STATUS_SUCCESS;
}

NTSTATUS D0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState)
{
    NTSTATUS Status = STATUS_SUCCESS;
    PDEVICE_EXT_CONTEXT DeviceContext = GetDeviceContext(Device);

    BrisumTrace(TRACE_INFO, "brisum : D0Entry from %s\n", PowerDeviceStateName((ULONG)PreviousState));

    if (DeviceContext->InterruptPipe != NULL) {
        /* Nothing joins across the time out of D0. An open may run beside
           this callback and clears the same state: BulkInLock orders them. */
        WdfSpinLockAcquire(DeviceContext->BulkInLock);
        SerialResetNotification(DeviceContext);
        WdfSpinLockRelease(DeviceContext->BulkInLock);
        Status = WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(DeviceContext->InterruptPipe));
        if (!NT_SUCCESS(Status)) {
            BrisumTrace(TRACE_ERROR, "brisum : WdfIoTargetStart Interrupt failed (0x%p)\n", BRISUM_STATUS(Status));
            goto End;
        }
    }

    if (DeviceContext->BulkInPipe != NULL) {
        Status = WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(DeviceContext->BulkInPipe));
        if (!NT_SUCCESS(Status)) {
            BrisumTrace(TRACE_ERROR, "brisum : WdfIoTargetStart Bulk In failed (0x%p)\n", BRISUM_STATUS(Status));
            goto End;
        }
    }

    WdfSpinLockAcquire(DeviceContext->BulkInLock);
    DeviceContext->DeviceInD0 = TRUE;
    WdfSpinLockRelease(DeviceContext->BulkInLock);

End:
    return Status;
}

NTSTATUS D0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState)
{
    PDEVICE_EXT_CONTEXT DeviceContext = GetDeviceContext(Device);

    BrisumTrace(TRACE_INFO, "brisum : D0Exit to %s\n", PowerDeviceStateName((ULONG)TargetState));

    /* The reader work item restarts the bulk-in pipe only in D0. Leaving D0
       first, then waiting for a work item that may have seen D0 just before,
       guarantees that no restart lands after the stop below. The queues are
       stopped, but a write's completion may still run its accept check. */
    WdfSpinLockAcquire(DeviceContext->BulkInLock);
    DeviceContext->DeviceInD0 = FALSE;
    WdfSpinLockRelease(DeviceContext->BulkInLock);
    if (DeviceContext->BulkInReaderWorkItem != NULL) {
        WdfWorkItemFlush(DeviceContext->BulkInReaderWorkItem);
    }

    if (DeviceContext->InterruptPipe != NULL) {
        WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(DeviceContext->InterruptPipe), WdfIoTargetCancelSentIo);
    }
    if (DeviceContext->BulkInPipe != NULL) {
        WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(DeviceContext->BulkInPipe), WdfIoTargetCancelSentIo);
    }
    return STATUS_SUCCESS;
}

PCSTR PowerDeviceStateName(ULONG State)
{
    PCSTR Name;

    switch (State) {
    case PowerDeviceUnspecified: Name = "PowerDeviceUnspecified"; break;
    case PowerDeviceD0: Name = "PowerDeviceD0"; break;
    case PowerDeviceD1: Name = "PowerDeviceD1"; break;
    case PowerDeviceD2: Name = "PowerDeviceD2"; break;
    case PowerDeviceD3: Name = "PowerDeviceD3"; break;
    case PowerDeviceMaximum: Name = "PowerDeviceMaximum"; break;
    default: Name = "PowerDeviceUnknown"; break;
    }
    return Name;
}

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
 * DeviceStarted and DeviceInD0 are single bytes written here without a lock
 * and read without a lock by the accept check.
 */
#include "UsbHardware.h"
#include "../driver/Driver.h"
#include "../receive/quoltread.h"
#include "../control/Control.h"

/* Idle time before a remote-wake device is selectively suspended. */
#define SERIAL_IDLE_TIMEOUT_MS 10000

NTSTATUS BRISUM_DevicePrepareHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw, WDFCMRESLIST ResourcesTranslated)
{
    NTSTATUS status;
    PDEVICE_EXT_CONTEXT deviceContext = GetDeviceContext(Device);
    WDF_USB_CONTINUOUS_READER_CONFIG readerConfig;
    WDF_OBJECT_ATTRIBUTES bufferAttributes;

    UNREFERENCED_PARAMETER(ResourcesRaw);
    UNREFERENCED_PARAMETER(ResourcesTranslated);

    BrisumTrace(TRACE_INFO, "brisum : BRISUM_DevicePrepareHardware\n");

    status = ConfigureUsbInterfaceAndEndpoint(Device);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : ConfigureUsbInterfaceAndEndpoint failed (0x%p)\n", BRISUM_STATUS(status));
        goto End;
    }

    status = InitPowerManagement(Device, deviceContext);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : InitPowerManagement failed (0x%p)\n", BRISUM_STATUS(status));
        goto End;
    }

    if (deviceContext->InterruptPipe != NULL) {
        WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&readerConfig, EvtUsbDeviceInterrupt, deviceContext,
                                              deviceContext->InterruptMaxPacketSize);
        readerConfig.HeaderLength = 0;
        readerConfig.TrailerLength = 0;
        readerConfig.NumPendingReads = 1;
        readerConfig.BufferAttributes = WDF_NO_OBJECT_ATTRIBUTES;
        readerConfig.EvtUsbTargetPipeReadersFailed = InterruptINPipeReadersFailed;
        status = WdfUsbTargetPipeConfigContinuousReader(deviceContext->InterruptPipe, &readerConfig);
        if (!NT_SUCCESS(status)) {
            BrisumTrace(TRACE_ERROR, "brisum : Config Interrupt Continuous Reader failed (0x%p)\n",
                        BRISUM_STATUS(status));
            goto End;
        }
    } else {
        BrisumTrace(TRACE_WARNING, "brisum : No interrupt pipe: no notifications, no class requests\n");
    }

    if (deviceContext->BulkInPipe != NULL) {
        WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(deviceContext->BulkInPipe);

        /* Every buffer carries a READER_CONTEXT, so the receive path can
           hold it on its list when the ring is short of room. */
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&bufferAttributes, READER_CONTEXT);
        WDF_USB_CONTINUOUS_READER_CONFIG_INIT(&readerConfig, BulkInPipeReadComplete, deviceContext,
                                              deviceContext->BulkInMaxPacketSize);
        readerConfig.HeaderLength = 0;
        readerConfig.TrailerLength = 0;
        readerConfig.NumPendingReads = 1;
        readerConfig.BufferAttributes = &bufferAttributes;
        readerConfig.EvtUsbTargetPipeReadersFailed = BulkInPipeReadersFailed;
        status = WdfUsbTargetPipeConfigContinuousReader(deviceContext->BulkInPipe, &readerConfig);
        if (!NT_SUCCESS(status)) {
            BrisumTrace(TRACE_ERROR, "brisum : Config Bulk Continuous Reader failed (0x%p)\n",
                        BRISUM_STATUS(status));
            goto End;
        }
    } else {
        BrisumTrace(TRACE_WARNING, "brisum : No bulk-in pipe: nothing will be received\n");
    }

    /* A stop and start of the same device object (resource rebalancing)
       prepares it again. Release cleared DeviceStarted; leaving it FALSE
       would make the port refuse every request for good although the
       device works, so a successful preparation sets it again. */
    deviceContext->DeviceStarted = TRUE;

End:
    return status;
}

NTSTATUS InitPowerManagement(WDFDEVICE Device, PDEVICE_EXT_CONTEXT DeviceContext)
{
    NTSTATUS status = STATUS_SUCCESS;
    NTSTATUS infoStatus;
    WDF_USB_DEVICE_INFORMATION deviceInformation;
    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS idleSettings;
    WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS wakeSettings;

    WDF_USB_DEVICE_INFORMATION_INIT(&deviceInformation);
    infoStatus = WdfUsbTargetDeviceRetrieveInformation(DeviceContext->UsbDevice, &deviceInformation);
    if (!NT_SUCCESS(infoStatus)) {
        /* Treated as a device without remote wake. */
        BrisumTrace(TRACE_WARNING, "brisum : WdfUsbTargetDeviceRetrieveInformation failed (0x%p)\n",
                    BRISUM_STATUS(infoStatus));
        deviceInformation.Traits = 0;
    }
    BrisumTrace(TRACE_INFO, "brisum : Device traits 0x%x\n", deviceInformation.Traits);

    /* Without remote wake the device never idles out and is not armed. */
    if ((deviceInformation.Traits & WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE) == 0) {
        goto End;
    }

    WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS_INIT(&idleSettings, IdleUsbSelectiveSuspend);
    idleSettings.IdleTimeout = SERIAL_IDLE_TIMEOUT_MS;
    status = WdfDeviceAssignS0IdleSettings(Device, &idleSettings);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfDeviceAssignS0IdleSettings failed (0x%p)\n", BRISUM_STATUS(status));
        goto End;
    }

    WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS_INIT(&wakeSettings);
    status = WdfDeviceAssignSxWakeSettings(Device, &wakeSettings);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfDeviceAssignSxWakeSettings failed (0x%p)\n", BRISUM_STATUS(status));
        goto End;
    }

End:
    return status;
}

NTSTATUS BRISUM_DeviceReleaseHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesTranslated)
{
    PDEVICE_EXT_CONTEXT deviceContext = GetDeviceContext(Device);

    UNREFERENCED_PARAMETER(ResourcesTranslated);

    BrisumTrace(TRACE_INFO, "brisum : BRISUM_DeviceReleaseHardware\n");

    /* From here on the accept check refuses new requests. */
    deviceContext->DeviceStarted = FALSE;

    /* End a pending wait-on-mask and whatever waits in the mask queue. */
    SerialEndMaskRequests(deviceContext);

    return STATUS_SUCCESS;
}

NTSTATUS D0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState)
{
    NTSTATUS status = STATUS_SUCCESS;
    PDEVICE_EXT_CONTEXT deviceContext = GetDeviceContext(Device);

    BrisumTrace(TRACE_INFO, "brisum : D0Entry from %s\n", PowerDeviceStateName((ULONG)PreviousState));

    if (deviceContext->InterruptPipe != NULL) {
        SerialResetNotification(deviceContext); /* nothing joins across the time out of D0 */
        status = WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(deviceContext->InterruptPipe));
        if (!NT_SUCCESS(status)) {
            BrisumTrace(TRACE_ERROR, "brisum : WdfIoTargetStart Interrupt failed (0x%p)\n", BRISUM_STATUS(status));
            goto End;
        }
    }

    if (deviceContext->BulkInPipe != NULL) {
        status = WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(deviceContext->BulkInPipe));
        if (!NT_SUCCESS(status)) {
            BrisumTrace(TRACE_ERROR, "brisum : WdfIoTargetStart Bulk In failed (0x%p)\n", BRISUM_STATUS(status));
            goto End;
        }
    }

    deviceContext->DeviceInD0 = TRUE;

End:
    return status;
}

NTSTATUS D0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState)
{
    PDEVICE_EXT_CONTEXT deviceContext = GetDeviceContext(Device);

    BrisumTrace(TRACE_INFO, "brisum : D0Exit to %s\n", PowerDeviceStateName((ULONG)TargetState));

    /* The reader work item restarts the bulk-in pipe only in D0. Leaving D0
       first, then waiting for a work item that may have seen D0 just before,
       guarantees that no restart lands after the stop below. The queues are
       already stopped, so no request sees the flag early. */
    deviceContext->DeviceInD0 = FALSE;
    if (deviceContext->BulkInReaderWorkItem != NULL) {
        WdfWorkItemFlush(deviceContext->BulkInReaderWorkItem);
    }

    if (deviceContext->InterruptPipe != NULL) {
        WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(deviceContext->InterruptPipe), WdfIoTargetCancelSentIo);
    }
    if (deviceContext->BulkInPipe != NULL) {
        WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(deviceContext->BulkInPipe), WdfIoTargetCancelSentIo);
    }
    return STATUS_SUCCESS;
}

PCSTR PowerDeviceStateName(ULONG State)
{
    PCSTR name;

    switch (State) {
    case PowerDeviceUnspecified:
        name = "PowerDeviceUnspecified";
        break;
    case PowerDeviceD0:
        name = "PowerDeviceD0";
        break;
    case PowerDeviceD1:
        name = "PowerDeviceD1";
        break;
    case PowerDeviceD2:
        name = "PowerDeviceD2";
        break;
    case PowerDeviceD3:
        name = "PowerDeviceD3";
        break;
    case PowerDeviceMaximum:
        name = "PowerDeviceMaximum";
        break;
    default:
        name = "PowerDeviceUnknown";
        break;
    }
    return name;
}

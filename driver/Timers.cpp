/*
 * Timers.cpp - the device's one-shot timers, DPCs and work item.
 *
 * Timers and DPCs are created with automatic serialization under a device
 * whose synchronization scope is the device: their callbacks run one at a
 * time together with the queue callbacks. Timers are one-shot; every arming
 * is an explicit WdfTimerStart with a relative due time. All objects live
 * until the device is deleted; clean-up stops and cancels them first.
 */
#include "Driver.h"
#include "../receive/quoltread.h"
#include "../transmit/Write.h"
#include "../control/Control.h"

static NTSTATUS SerialCreateTimer(PDEVICE_EXT_CONTEXT DeviceContext, PFN_WDF_TIMER Callback, WDFTIMER *Timer)
{
    WDF_TIMER_CONFIG config;
    WDF_OBJECT_ATTRIBUTES attributes;

    WDF_TIMER_CONFIG_INIT(&config, Callback);
    config.Period = 0;
    config.AutomaticSerialization = TRUE;
    config.TolerableDelay = 0;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = DeviceContext->WdfDevice;
    return WdfTimerCreate(&config, &attributes, Timer);
}

static NTSTATUS SerialCreateDpc(PDEVICE_EXT_CONTEXT DeviceContext, PFN_WDF_DPC Callback, WDFDPC *Dpc)
{
    WDF_DPC_CONFIG config;
    WDF_OBJECT_ATTRIBUTES attributes;

    WDF_DPC_CONFIG_INIT(&config, Callback);
    config.AutomaticSerialization = TRUE;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = DeviceContext->WdfDevice;
    return WdfDpcCreate(&config, &attributes, Dpc);
}

NTSTATUS SerialCreateTimersAndDpcs(PDEVICE_EXT_CONTEXT DeviceContext)
{
    NTSTATUS status;
    WDF_WORKITEM_CONFIG workItemConfig;
    WDF_OBJECT_ATTRIBUTES attributes;

    status = SerialCreateTimer(DeviceContext, SerialReadTotalTimeout, &DeviceContext->ReadTotalTimer);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfTimerCreate: total timer failed (0x%p)\n", BRISUM_STATUS(status));
        goto End;
    }
    status = SerialCreateTimer(DeviceContext, SerialReadIntervalTimeout, &DeviceContext->ReadIntervalTimer);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfTimerCreate: interval timer failed (0x%p)\n", BRISUM_STATUS(status));
        goto End;
    }
    status = SerialCreateTimer(DeviceContext, SerialWriteTimeout, &DeviceContext->WriteTotalTimer);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfTimerCreate: write total timer failed (0x%p)\n",
                    BRISUM_STATUS(status));
        goto End;
    }

    status = SerialCreateDpc(DeviceContext, SerialCompleteWaitOnMask, &DeviceContext->CompleteWaitMaskDpc);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfDpcCreate: complete wait mask DPC failed (0x%p)\n",
                    BRISUM_STATUS(status));
        goto End;
    }
    status = SerialCreateDpc(DeviceContext, SerialCompleteWrite, &DeviceContext->CompleteWriteDpc);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfDpcCreate: complete write DPC failed (0x%p)\n", BRISUM_STATUS(status));
        goto End;
    }
    status = SerialCreateDpc(DeviceContext, SerialStartWriteFromDpc, &DeviceContext->StartWriteDpc);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfDpcCreate: start write DPC failed (0x%p)\n", BRISUM_STATUS(status));
        goto End;
    }

    /* The bulk-in reader is stopped and restarted at PASSIVE_LEVEL from this
       work item. It must not be serialized with the device-wide lock: the
       device runs its callbacks at dispatch level. */
    WDF_WORKITEM_CONFIG_INIT(&workItemConfig, SerialBulkInReaderWorkItem);
    workItemConfig.AutomaticSerialization = FALSE;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = DeviceContext->WdfDevice;
    status = WdfWorkItemCreate(&workItemConfig, &attributes, &DeviceContext->BulkInReaderWorkItem);
    if (!NT_SUCCESS(status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfWorkItemCreate: bulk-in reader work item failed (0x%p)\n",
                    BRISUM_STATUS(status));
        goto End;
    }

End:
    return status;
}

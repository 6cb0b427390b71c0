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
    WDF_TIMER_CONFIG Config;
    WDF_OBJECT_ATTRIBUTES Attributes;

    WDF_TIMER_CONFIG_INIT(&Config, Callback);
    Config.Period = 0;
    Config.AutomaticSerialization = TRUE;
    Config.TolerableDelay = 0;
    WDF_OBJECT_ATTRIBUTES_INIT(&Attributes);
    Attributes.ParentObject = DeviceContext->WdfDevice;
    return WdfTimerCreate(&Config, &Attributes, Timer);
}

static NTSTATUS SerialCreateDpc(PDEVICE_EXT_CONTEXT DeviceContext, PFN_WDF_DPC Callback, WDFDPC *Dpc)
{
    WDF_DPC_CONFIG Config;
    WDF_OBJECT_ATTRIBUTES Attributes;

    WDF_DPC_CONFIG_INIT(&Config, Callback);
    Config.AutomaticSerialization = TRUE;
    WDF_OBJECT_ATTRIBUTES_INIT(&Attributes);
    Attributes.ParentObject = DeviceContext->WdfDevice;
    return WdfDpcCreate(&Config, &Attributes, Dpc);
}

NTSTATUS SerialCreateTimersAndDpcs(PDEVICE_EXT_CONTEXT DeviceContext)
{
    NTSTATUS Status;
    WDF_WORKITEM_CONFIG WorkItemConfig;
    WDF_OBJECT_ATTRIBUTES Attributes;

    Status = SerialCreateTimer(DeviceContext, SerialReadTotalTimeout, &DeviceContext->ReadTotalTimer);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfTimerCreate: total timer failed (0x%p)\n", BRISUM_STATUS(Status));
        goto End;
    }
    Status = SerialCreateTimer(DeviceContext, SerialReadIntervalTimeout, &DeviceContext->ReadIntervalTimer);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfTimerCreate: interval timer failed (0x%p)\n", BRISUM_STATUS(Status));
        goto End;
    }
    Status = SerialCreateTimer(DeviceContext, SerialWriteTimeout, &DeviceContext->WriteTotalTimer);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfTimerCreate: write total timer failed (0x%p)\n", BRISUM_STATUS(Status));
        goto End;
    }

    Status = SerialCreateDpc(DeviceContext, SerialCompleteWaitOnMask, &DeviceContext->CompleteWaitMaskDpc);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfDpcCreate: complete wait mask DPC failed (0x%p)\n",
                    BRISUM_STATUS(Status));
        goto End;
    }
    Status = SerialCreateDpc(DeviceContext, SerialCompleteWrite, &DeviceContext->CompleteWriteDpc);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfDpcCreate: complete write DPC failed (0x%p)\n", BRISUM_STATUS(Status));
        goto End;
    }
    Status = SerialCreateDpc(DeviceContext, SerialStartWriteFromDpc, &DeviceContext->StartWriteDpc);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfDpcCreate: start write DPC failed (0x%p)\n", BRISUM_STATUS(Status));
        goto End;
    }

    /* The bulk-in reader is stopped and restarted at PASSIVE_LEVEL from this
       work item. It must not be serialized with the device-wide lock: the
       device runs its callbacks at dispatch level. */
    WDF_WORKITEM_CONFIG_INIT(&WorkItemConfig, SerialBulkInReaderWorkItem);
    WorkItemConfig.AutomaticSerialization = FALSE;
    WDF_OBJECT_ATTRIBUTES_INIT(&Attributes);
    Attributes.ParentObject = DeviceContext->WdfDevice;
    Status = WdfWorkItemCreate(&WorkItemConfig, &Attributes, &DeviceContext->BulkInReaderWorkItem);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfWorkItemCreate: bulk-in reader work item failed (0x%p)\n",
                    BRISUM_STATUS(Status));
        goto End;
    }

End:
    return Status;
}

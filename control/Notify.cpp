/*
 * Notify.cpp - CDC notifications from the interrupt-IN endpoint: the
 * device's serial lines (SERIAL_STATE), its connection (NETWORK_CONNECTION)
 * and RESPONSE_AVAILABLE become ModemStatus bits and wait-mask events.
 *
 * Transfers are taken at their word: no byte beyond a transfer is read.
 * A notification longer than the endpoint's packet arrives as consecutive
 * transfers (every one but the last a full packet); it is reassembled, as
 * its header's wLength says, before it is applied. Reassembly joins only
 * consecutive transfers of one running reader: a reader failure, D0 entry
 * and the open of the port forget a notification half received. A
 * transfer that can neither start nor continue a notification is dropped
 * whole; a notification too long to apply is followed through all of its
 * packets and dropped whole; a dropped notification changes nothing and
 * raises nothing.
 */
#include "Control.h"
#include "CdcAcm.h"

C_ASSERT(sizeof(((PDEVICE_EXT_CONTEXT)0)->NotificationBuffer) == CDC_NOTIFICATION_MAX_LENGTH);

/* Total length (header and data) that a complete header announces. */
static ULONG SerialAnnouncedLength(const UCHAR *Header)
{
    return CDC_NOTIFICATION_HEADER_LENGTH + CdcReadUshort(Header, CDC_NOTIFICATION_LENGTH_OFFSET);
}

/*
 * Whether a complete notification of Length bytes is one the port applies:
 * not longer than CDC_NOTIFICATION_MAX_LENGTH, and a SERIAL_STATE with its
 * state byte.
 */
static BOOLEAN SerialNotificationApplies(const UCHAR *Header, ULONG Length)
{
    if (Length > CDC_NOTIFICATION_MAX_LENGTH) {
        return FALSE;
    }
    if (Header[CDC_NOTIFICATION_CODE_OFFSET] == CDC_NOTIFY_SERIAL_STATE && Length <= CDC_NOTIFICATION_DATA_OFFSET) {
        return FALSE;
    }
    return TRUE;
}

/*
 * Offers one transfer to the notification being reassembled. Returns the
 * length of the notification now complete in NotificationBuffer, or 0 when
 * none is complete (more transfers are expected, or the bytes were dropped).
 *
 * NotificationCollected counts every byte of the notification in progress;
 * NotificationBuffer keeps its first CDC_NOTIFICATION_MAX_LENGTH, enough to
 * hold its header. A notification that announces more than the buffer
 * holds is still followed to its end, through all of its packets, and only
 * then dropped: none of its bytes is ever read as a notification of its own.
 * Caller holds BulkInLock.
 */
static ULONG SerialCollectNotification(PDEVICE_EXT_CONTEXT DeviceContext, const UCHAR *Data, ULONG Length)
{
    PUCHAR Buffer = DeviceContext->NotificationBuffer;
    ULONG Collected = DeviceContext->NotificationCollected;
    ULONG Announced;
    ULONG Room;
    ULONG Copy;

    /* A continuation is never longer than what the header still announces;
       a transfer that is, begins something new. */
    if (Collected != 0) {
        if (Collected >= CDC_NOTIFICATION_HEADER_LENGTH) {
            Room = SerialAnnouncedLength(Buffer) - Collected;
        } else {
            Room = CDC_NOTIFICATION_MAX_LENGTH - Collected;
        }
        if (Length == 0 || Length > Room) {
            BrisumTrace(TRACE_WARNING, "brisum : Notification of %u bytes left incomplete, dropped\n", Collected);
            Collected = 0;
        }
    }

    if (Collected == 0 && Length == 0) {
        goto Drop;
    }
    if (Collected < CDC_NOTIFICATION_MAX_LENGTH) {
        Copy = CDC_NOTIFICATION_MAX_LENGTH - Collected;
        if (Copy > Length) {
            Copy = Length;
        }
        RtlCopyMemory(Buffer + Collected, Data, Copy);
    }
    /* Only a first transfer can be longer than the room checked above;
       whatever it is, the count stays far below overflow (a transfer is at
       most one packet). */
    Collected += Length;

    if (Collected >= CDC_NOTIFICATION_HEADER_LENGTH) {
        Announced = SerialAnnouncedLength(Buffer);
        if (Collected >= Announced) {
            /* Bytes after the announced length are not part of it. */
            DeviceContext->NotificationCollected = 0;
            if (!SerialNotificationApplies(Buffer, Announced)) {
                BrisumTrace(TRACE_WARNING, "brisum : Notification 0x%x with length %u dropped\n",
                            Buffer[CDC_NOTIFICATION_CODE_OFFSET], Announced - CDC_NOTIFICATION_HEADER_LENGTH);
                return 0;
            }
            return Announced;
        }
    }

    /* Incomplete: only a full packet says that more of it follows. */
    if (Length < DeviceContext->InterruptMaxPacketSize) {
        BrisumTrace(TRACE_WARNING, "brisum : Truncated notification (%u bytes) dropped\n", Collected);
        goto Drop;
    }
    DeviceContext->NotificationCollected = Collected;
    return 0;

Drop:
    DeviceContext->NotificationCollected = 0;
    return 0;
}

/*
 * Applies one complete notification to ModemStatus and the wait-mask state.
 * Caller holds EventLock.
 */
static VOID SerialApplyNotificationLocked(PDEVICE_EXT_CONTEXT DeviceContext, const UCHAR *Notification)
{
    UCHAR Code = Notification[CDC_NOTIFICATION_CODE_OFFSET];
    USHORT Value = CdcReadUshort(Notification, CDC_NOTIFICATION_VALUE_OFFSET);
    ULONG Mask = DeviceContext->ulCurrentMask;
    ULONG Events = 0;
    UCHAR State;

    switch (Code) {
    case CDC_NOTIFY_SERIAL_STATE:
        State = Notification[CDC_NOTIFICATION_DATA_OFFSET];
        BrisumTrace(TRACE_INFO, "brisum : SERIAL_STATE 0x%02x\n", State);
        /* Carrier: DCD, and CTS with it (the bitmap has no CTS bit). Bit
           0x01 is the host's DTR state and is left as the host set it. */
        if ((State & CDC_SERIAL_STATE_RX_CARRIER) != 0) {
            DeviceContext->ModemStatus |= SERIAL_DCD_STATE | SERIAL_CTS_STATE;
            DeviceContext->CarrierPresent = TRUE;
        } else {
            DeviceContext->ModemStatus &= ~(SERIAL_DCD_STATE | SERIAL_CTS_STATE);
            DeviceContext->CarrierPresent = FALSE;
        }
        if ((State & CDC_SERIAL_STATE_TX_CARRIER) != 0) {
            DeviceContext->ModemStatus |= SERIAL_DSR_STATE;
        } else {
            DeviceContext->ModemStatus &= ~SERIAL_DSR_STATE;
        }
        if ((State & CDC_SERIAL_STATE_BREAK) != 0 && (Mask & SERIAL_EV_BREAK) != 0) {
            Events |= SERIAL_EV_BREAK;
        }
        if ((State & CDC_SERIAL_STATE_RING_SIGNAL) != 0) {
            DeviceContext->ModemStatus |= SERIAL_RI_STATE;
        } else {
            DeviceContext->ModemStatus &= ~SERIAL_RI_STATE;
        }
        if ((State & CDC_SERIAL_STATE_ERRORS) != 0 && (Mask & SERIAL_EV_ERR) != 0) {
            Events |= SERIAL_EV_ERR;
        }
        break;

    case CDC_NOTIFY_NETWORK_CONNECTION:
        BrisumTrace(TRACE_INFO, "brisum : NETWORK_CONNECTION %u\n", Value);
        if (Value == 0) {
            DeviceContext->ModemStatus &= ~SERIAL_DCD_STATE;
            DeviceContext->CarrierPresent = FALSE;
        } else {
            DeviceContext->ModemStatus |= SERIAL_DCD_STATE;
            DeviceContext->CarrierPresent = TRUE;
            if ((Mask & SERIAL_EV_RLSD) != 0) {
                Events |= SERIAL_EV_RLSD;
            }
        }
        break;

    case CDC_NOTIFY_RESPONSE_AVAILABLE:
        /* No encapsulated response is fetched. */
        BrisumTrace(TRACE_INFO, "brisum : RESPONSE_AVAILABLE\n");
        break;

    default: BrisumTrace(TRACE_INFO, "brisum : Notification 0x%x ignored\n", Code); break;
    }

    /* Line-level events follow the level at any notification, and only
       while a wait is pending. */
    if (Mask != 0 && DeviceContext->CurrentWaitRequest != NULL) {
        if ((Mask & SERIAL_EV_CTS) != 0 && (DeviceContext->ModemStatus & SERIAL_CTS_STATE) != 0) {
            Events |= SERIAL_EV_CTS;
        }
        if ((Mask & SERIAL_EV_DSR) != 0 && (DeviceContext->ModemStatus & SERIAL_DSR_STATE) != 0) {
            Events |= SERIAL_EV_DSR;
        }
        if ((Mask & SERIAL_EV_RING) != 0 && (DeviceContext->ModemStatus & SERIAL_RI_STATE) != 0) {
            Events |= SERIAL_EV_RING;
        }
    }
    SerialDeliverEventsLocked(DeviceContext, Events);
}

VOID EvtUsbDeviceInterrupt(WDFUSBPIPE Pipe, WDFMEMORY Buffer, size_t NumBytesTransferred, WDFCONTEXT Context)
{
    PDEVICE_EXT_CONTEXT DeviceContext = (PDEVICE_EXT_CONTEXT)Context;
    size_t BufferSize = 0;
    const UCHAR *Data = (const UCHAR *)WdfMemoryGetBuffer(Buffer, &BufferSize);
    ULONG Length = (ULONG)(NumBytesTransferred < BufferSize ? NumBytesTransferred : BufferSize);
    ULONG NotificationLength;

    UNREFERENCED_PARAMETER(Pipe);
    BrisumTrace(TRACE_INFO, "brisum : Interrupt transfer of %u bytes\n", (ULONG)NumBytesTransferred);

    /* The ring's storage exists exactly while the port is open; holding
       BulkInLock keeps open and close from changing that meanwhile. */
    WdfSpinLockAcquire(DeviceContext->BulkInLock);
    if (DeviceContext->ReceiveBuffer.Buffer == NULL) {
        SerialResetNotification(DeviceContext);
        BrisumTrace(TRACE_INFO, "brisum : Port closed, notification dropped\n");
        goto Release;
    }

    NotificationLength = SerialCollectNotification(DeviceContext, Data, Length);
    if (NotificationLength != 0) {
        WdfSpinLockAcquire(DeviceContext->EventLock);
        SerialApplyNotificationLocked(DeviceContext, DeviceContext->NotificationBuffer);
        WdfSpinLockRelease(DeviceContext->EventLock);
    }

Release:
    WdfSpinLockRelease(DeviceContext->BulkInLock);
}

VOID SerialResetNotification(PDEVICE_EXT_CONTEXT DeviceContext)
{
    if (DeviceContext->NotificationCollected != 0) {
        BrisumTrace(TRACE_WARNING, "brisum : Notification of %u bytes cut off by a break in the stream, dropped\n",
                    DeviceContext->NotificationCollected);
    }
    DeviceContext->NotificationCollected = 0;
}

BOOLEAN InterruptINPipeReadersFailed(WDFUSBPIPE Pipe, NTSTATUS Status, USBD_STATUS UsbdStatus)
{
    WDFIOTARGET Target = WdfUsbTargetPipeGetIoTarget(Pipe);
    PDEVICE_EXT_CONTEXT DeviceContext = GetPipeContext(Pipe)->DeviceContext;

    BrisumTrace(TRACE_WARNING, "brisum : Interrupt reader failed (0x%p), usbdStatus 0x%p\n", BRISUM_STATUS(Status),
                BRISUM_STATUS(UsbdStatus));

    /* The failed read may have been the middle of a notification: whatever
       the restarted reader brings first begins a new one. */
    WdfSpinLockAcquire(DeviceContext->BulkInLock);
    SerialResetNotification(DeviceContext);
    WdfSpinLockRelease(DeviceContext->BulkInLock);

    /* The framework calls this at PASSIVE_LEVEL and resets and restarts the
       reader itself once TRUE is returned; the explicit reset applies only
       at APC_LEVEL. */
    if (KeGetCurrentIrql() == APC_LEVEL) {
        WdfIoTargetStop(Target, WdfIoTargetCancelSentIo);
        Status = WdfUsbTargetPipeResetSynchronously(Pipe, WDF_NO_HANDLE, NULL);
        if (!NT_SUCCESS(Status)) {
            BrisumTrace(TRACE_ERROR, "brisum : Interrupt pipe reset failed (0x%p)\n", BRISUM_STATUS(Status));
        }
        Status = WdfIoTargetStart(Target);
        if (!NT_SUCCESS(Status)) {
            BrisumTrace(TRACE_ERROR, "brisum : Interrupt pipe restart failed (0x%p)\n", BRISUM_STATUS(Status));
        }
    }
    return TRUE;
}

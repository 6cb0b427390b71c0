/*
 * ClassRequest.cpp - line settings sent to the device as CDC class
 * requests on its default control pipe.
 *
 * Each serial request becomes one asynchronous class request, bounded by
 * the framework's send time-out; the serial request completes when the
 * device answered, and the setting is stored only if it accepted, so the
 * stored settings always show what the device was last told successfully.
 *
 * No driver lock is held across WdfRequestSend: a lower driver may complete
 * the transfer before the call returns, and the completion routine takes
 * IoctlLock to store the setting.
 */
#include "Control.h"
#include "CdcAcm.h"
#include <usbioctl.h>

/* Time the device has to answer a class request (100 ns units, relative). */
#define CDC_REQUEST_TIMEOUT WDF_REL_TIMEOUT_IN_SEC(5)
C_ASSERT(WDF_TIMEOUT_TO_SEC == 10000000);

/*
 * Class request, wValue and data stage of one line-setting code, built from
 * the stored settings and the caller's record. Caller holds IoctlLock.
 * Returns FALSE for a code that is not a line setting.
 */
static BOOLEAN SerialBuildClassRequest(PDEVICE_EXT_CONTEXT DeviceContext, ULONG IoControlCode, PVOID InputBuffer,
                                       PUCHAR Request, PUSHORT Value, PUCHAR LineCoding)
{
    ULONG Lines;

    WdfSpinLockAcquire(DeviceContext->EventLock);
    Lines = DeviceContext->ModemStatus;
    WdfSpinLockRelease(DeviceContext->EventLock);

    *Value = 0;
    switch (IoControlCode) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
        *Request = CDC_SET_LINE_CODING;
        CdcWriteUlong(LineCoding, CDC_LINE_CODING_RATE_OFFSET, ((PSERIAL_BAUD_RATE)InputBuffer)->BaudRate);
        LineCoding[CDC_LINE_CODING_CHAR_FORMAT_OFFSET] = DeviceContext->LineControl.StopBits;
        LineCoding[CDC_LINE_CODING_PARITY_OFFSET] = DeviceContext->LineControl.Parity;
        LineCoding[CDC_LINE_CODING_DATA_BITS_OFFSET] = DeviceContext->LineControl.WordLength;
        return TRUE;
    case IOCTL_SERIAL_SET_LINE_CONTROL:
        *Request = CDC_SET_LINE_CODING;
        CdcWriteUlong(LineCoding, CDC_LINE_CODING_RATE_OFFSET, DeviceContext->BaudRate);
        LineCoding[CDC_LINE_CODING_CHAR_FORMAT_OFFSET] = ((PSERIAL_LINE_CONTROL)InputBuffer)->StopBits;
        LineCoding[CDC_LINE_CODING_PARITY_OFFSET] = ((PSERIAL_LINE_CONTROL)InputBuffer)->Parity;
        LineCoding[CDC_LINE_CODING_DATA_BITS_OFFSET] = ((PSERIAL_LINE_CONTROL)InputBuffer)->WordLength;
        return TRUE;
    case IOCTL_SERIAL_SET_BREAK_ON:
        *Request = CDC_SEND_BREAK;
        *Value = CDC_BREAK_UNTIL_CLEARED;
        return TRUE;
    case IOCTL_SERIAL_SET_BREAK_OFF:
        *Request = CDC_SEND_BREAK;
        *Value = CDC_BREAK_OFF;
        return TRUE;
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS:
        /* The named line takes its new value, the other one its stored state. */
        *Request = CDC_SET_CONTROL_LINE_STATE;
        if (IoControlCode == IOCTL_SERIAL_SET_DTR ||
            ((Lines & SERIAL_DTR_STATE) != 0 && IoControlCode != IOCTL_SERIAL_CLR_DTR)) {
            *Value |= CDC_CONTROL_LINE_DTR;
        }
        if (IoControlCode == IOCTL_SERIAL_SET_RTS ||
            ((Lines & SERIAL_RTS_STATE) != 0 && IoControlCode != IOCTL_SERIAL_CLR_RTS)) {
            *Value |= CDC_CONTROL_LINE_RTS;
        }
        return TRUE;
    default: return FALSE;
    }
}

VOID SerialSendControlRequest(PDEVICE_EXT_CONTEXT DeviceContext, WDFREQUEST Request, PVOID InputBuffer)
{
    NTSTATUS Status;
    WDF_REQUEST_PARAMETERS Parameters;
    WDF_OBJECT_ATTRIBUTES Attributes;
    WDF_USB_CONTROL_SETUP_PACKET SetupPacket;
    WDF_REQUEST_SEND_OPTIONS SendOptions;
    WDFIOTARGET Target = WdfUsbTargetDeviceGetIoTarget(DeviceContext->UsbDevice);
    WDFREQUEST SubRequest = NULL;
    WDFMEMORY Memory = NULL;
    PUCHAR Data = NULL;
    PREQUEST_CONTEXT SubContext;
    ULONG IoControlCode;
    UCHAR ClassRequest = 0;
    USHORT Value = 0;
    UCHAR LineCoding[CDC_LINE_CODING_LENGTH];
    BOOLEAN IsLineSetting;

    WDF_REQUEST_PARAMETERS_INIT(&Parameters);
    WdfRequestGetParameters(Request, &Parameters);
    IoControlCode = Parameters.Parameters.DeviceIoControl.IoControlCode;

    WdfSpinLockAcquire(DeviceContext->IoctlLock);
    IsLineSetting =
        SerialBuildClassRequest(DeviceContext, IoControlCode, InputBuffer, &ClassRequest, &Value, LineCoding);
    WdfSpinLockRelease(DeviceContext->IoctlLock);
    /* The dispatcher passes only the eight line-setting codes. */
    NT_ASSERT(IsLineSetting);
    if (!IsLineSetting) {
        Status = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&Attributes, REQUEST_CONTEXT);
    Attributes.ParentObject = DeviceContext->UsbDevice;
    Status = WdfRequestCreate(&Attributes, Target, &SubRequest);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : WdfRequestCreate for %s failed (0x%p)\n", IoctlCodeName(IoControlCode),
                    BRISUM_STATUS(Status));
        SubRequest = NULL;
        goto Exit;
    }

    SubContext = GetRequestContext(SubRequest);
    SubContext->DeviceContext = DeviceContext;
    SubContext->IoControlCode = IoControlCode;
    SubContext->SystemBuffer = InputBuffer;
    SubContext->ParentRequest = Request;

    if (ClassRequest == CDC_SET_LINE_CODING) {
        WDF_OBJECT_ATTRIBUTES_INIT(&Attributes);
        Attributes.ParentObject = SubRequest;
        Status =
            WdfMemoryCreate(&Attributes, NonPagedPool, IOCTL_POOL_TAG, CDC_LINE_CODING_LENGTH, &Memory, (PVOID *)&Data);
        if (!NT_SUCCESS(Status)) {
            BrisumTrace(TRACE_ERROR, "brisum : WdfMemoryCreate for the line coding failed (0x%p)\n",
                        BRISUM_STATUS(Status));
            goto Exit;
        }
        RtlCopyMemory(Data, LineCoding, CDC_LINE_CODING_LENGTH);
    }

    WDF_USB_CONTROL_SETUP_PACKET_INIT_CLASS(&SetupPacket, BmRequestHostToDevice, BmRequestToInterface, ClassRequest,
                                            Value, DeviceContext->InterruptInterfaceNumber);
    Status = WdfUsbTargetDeviceFormatRequestForControlTransfer(DeviceContext->UsbDevice, SubRequest, &SetupPacket,
                                                               Memory, NULL);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : Format Request For Control Transfer failed (0x%p)\n", BRISUM_STATUS(Status));
        goto Exit;
    }

    WdfRequestSetCompletionRoutine(SubRequest, IoIOCTLComplete, DeviceContext);

    WDF_REQUEST_SEND_OPTIONS_INIT(&SendOptions, 0);
    WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&SendOptions, CDC_REQUEST_TIMEOUT);
    if (!WdfRequestSend(SubRequest, Target, &SendOptions)) {
        Status = WdfRequestGetStatus(SubRequest);
        BrisumTrace(TRACE_ERROR, "brisum : WdfRequestSend failed with status 0x%p\n", BRISUM_STATUS(Status));
        /* A request that was not sent reached no device: never report it
           as accepted. */
        if (NT_SUCCESS(Status)) {
            Status = STATUS_UNSUCCESSFUL;
        }
        goto Exit;
    }

    /* Sent: IoIOCTLComplete completes the serial request and deletes the
       sub-request. */
    return;

Exit:
    if (SubRequest != NULL) {
        WdfObjectDelete(SubRequest);
    }
    SerialCompleteIoctl(Request, Status, 0);
}

/*
 * Stores a line setting the port now stands by: the new BaudRate or
 * LineControl from the caller's record, or the DTR/RTS bit of ModemStatus.
 * SET_BREAK_ON/OFF store nothing (the port holds no break state).
 * InputBuffer is the caller's record for SET_BAUD_RATE and SET_LINE_CONTROL.
 * Takes IoctlLock, then EventLock for ModemStatus; caller holds neither.
 */
VOID SerialStoreLineSetting(PDEVICE_EXT_CONTEXT DeviceContext, ULONG IoControlCode, PVOID InputBuffer)
{
    WdfSpinLockAcquire(DeviceContext->IoctlLock);
    switch (IoControlCode) {
    case IOCTL_SERIAL_SET_BAUD_RATE: DeviceContext->BaudRate = ((PSERIAL_BAUD_RATE)InputBuffer)->BaudRate; break;
    case IOCTL_SERIAL_SET_LINE_CONTROL: DeviceContext->LineControl = *(PSERIAL_LINE_CONTROL)InputBuffer; break;
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS:
        WdfSpinLockAcquire(DeviceContext->EventLock);
        if (IoControlCode == IOCTL_SERIAL_SET_DTR) {
            DeviceContext->ModemStatus |= SERIAL_DTR_STATE;
        } else if (IoControlCode == IOCTL_SERIAL_CLR_DTR) {
            DeviceContext->ModemStatus &= ~SERIAL_DTR_STATE;
        } else if (IoControlCode == IOCTL_SERIAL_SET_RTS) {
            DeviceContext->ModemStatus |= SERIAL_RTS_STATE;
        } else {
            DeviceContext->ModemStatus &= ~SERIAL_RTS_STATE;
        }
        WdfSpinLockRelease(DeviceContext->EventLock);
        break;
    default: break;
    }
    WdfSpinLockRelease(DeviceContext->IoctlLock);
}

VOID IoIOCTLComplete(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_COMPLETION_PARAMS Params, WDFCONTEXT Context)
{
    PDEVICE_EXT_CONTEXT DeviceContext = (PDEVICE_EXT_CONTEXT)Context;
    PREQUEST_CONTEXT SubContext = GetRequestContext(Request);
    WDFREQUEST SerialRequest = SubContext->ParentRequest;
    PVOID InputBuffer = SubContext->SystemBuffer;
    ULONG IoControlCode = SubContext->IoControlCode;
    NTSTATUS Status = Params->IoStatus.Status;
    USBD_STATUS UsbdStatus = 0;
    ULONG_PTR Information = 0;

    UNREFERENCED_PARAMETER(Target);

    if (Params->Parameters.Usb.Completion != NULL) {
        UsbdStatus = Params->Parameters.Usb.Completion->UsbdStatus;
    }
    BrisumTrace(TRACE_INFO, "brisum : IoIOCTLComplete IOCTL =%s, Status= 0x%p,usbdStatus = 0x%p .\n",
                IoctlCodeName(IoControlCode), BRISUM_STATUS(Status), BRISUM_STATUS(UsbdStatus));

    /* The caller's record is still valid: the serial request completes
       only below. */
    if (NT_SUCCESS(Status)) {
        SerialStoreLineSetting(DeviceContext, IoControlCode, InputBuffer);
        if (IoControlCode == IOCTL_SERIAL_SET_BAUD_RATE) {
            Information = sizeof(SERIAL_BAUD_RATE);
        } else if (IoControlCode == IOCTL_SERIAL_SET_LINE_CONTROL) {
            Information = sizeof(SERIAL_LINE_CONTROL);
        }
    }

    SerialCompleteIoctl(SerialRequest, Status, Information);
    WdfObjectDelete(Request);
}

/* ---- Control-code names for diagnostics ---- */

typedef struct _IOCTL_NAME {
    ULONG Code;
    PCSTR Name;
} IOCTL_NAME;

/* USB hub and host-controller codes (device type FILE_DEVICE_USB). */
#define BRISUM_USB_CODE(Function) CTL_CODE(FILE_DEVICE_USB, (Function), METHOD_BUFFERED, FILE_ANY_ACCESS)
/* Modem codes (device type FILE_DEVICE_MODEM). */
#define BRISUM_MODEM_CODE(Function) CTL_CODE(FILE_DEVICE_MODEM, (Function), METHOD_BUFFERED, FILE_ANY_ACCESS)

#define IOCTL_NAME_ENTRY(Code) \
    {                          \
        (ULONG)(Code), #Code   \
    }

PCSTR IoctlCodeName(ULONG IoControlCode)
{
    /* The serial codes by their rows; the other codes an application or a
       class driver may send, by name only. Constant data only: the table
       lives in the read-only image. */
    static const IOCTL_NAME Names[] = {
        {BRISUM_USB_CODE(255), "IOCTL_USB_HCD_GET_STATS_1"},
        {BRISUM_USB_CODE(256), "IOCTL_USB_DIAGNOSTIC_MODE_ON"},
        {BRISUM_USB_CODE(257), "IOCTL_USB_DIAGNOSTIC_MODE_OFF"},
        {BRISUM_USB_CODE(258), "IOCTL_USB_GET_ROOT_HUB_NAME"},
        {BRISUM_USB_CODE(259), "IOCTL_USB_GET_NODE_CONNECTION_INFORMATION"},
        {BRISUM_USB_CODE(260), "IOCTL_USB_GET_DESCRIPTOR_FROM_NODE_CONNECTION"},
        {BRISUM_USB_CODE(261), "IOCTL_USB_GET_NODE_CONNECTION_NAME"},
        {BRISUM_USB_CODE(262), "IOCTL_USB_DIAG_IGNORE_HUBS_ON"},
        {BRISUM_USB_CODE(263), "IOCTL_USB_DIAG_IGNORE_HUBS_OFF"},
        {BRISUM_USB_CODE(264), "IOCTL_USB_GET_NODE_CONNECTION_DRIVERKEY_NAME"},
        {BRISUM_USB_CODE(266), "IOCTL_USB_HCD_GET_STATS_2"},
        {BRISUM_USB_CODE(268), "IOCTL_USB_HCD_DISABLE_PORT"},
        {BRISUM_USB_CODE(269), "IOCTL_USB_HCD_ENABLE_PORT"},
        {BRISUM_USB_CODE(271), "IOCTL_USB_GET_HUB_CAPABILITIES"},
        {BRISUM_USB_CODE(272), "IOCTL_USB_GET_NODE_CONNECTION_ATTRIBUTES"},
        {BRISUM_USB_CODE(273), "IOCTL_USB_HUB_CYCLE_PORT"},
        {BRISUM_USB_CODE(274), "IOCTL_USB_GET_NODE_CONNECTION_INFORMATION_EX"},
        {BRISUM_USB_CODE(275), "IOCTL_USB_RESET_HUB"},
        {BRISUM_USB_CODE(276), "IOCTL_USB_GET_HUB_CAPABILITIES_EX"},

        {BRISUM_MODEM_CODE(1), "IOCTL_MODEM_GET_PASSTHROUGH"},
        {BRISUM_MODEM_CODE(2), "IOCTL_MODEM_SET_PASSTHROUGH"},
        {BRISUM_MODEM_CODE(3), "IOCTL_MODEM_SET_DLE_MONITORING"},
        {BRISUM_MODEM_CODE(4), "IOCTL_MODEM_GET_DLE"},
        {BRISUM_MODEM_CODE(5), "IOCTL_MODEM_SET_DLE_SHIELDING"},
        {BRISUM_MODEM_CODE(6), "IOCTL_MODEM_STOP_WAVE_RECEIVE"},
        {BRISUM_MODEM_CODE(7), "IOCTL_MODEM_SEND_MESSAGE"},
        {BRISUM_MODEM_CODE(8), "IOCTL_MODEM_GET_MESSAGE"},
        {BRISUM_MODEM_CODE(9), "IOCTL_MODEM_SEND_GET_MESSAGE"},
        {BRISUM_MODEM_CODE(10), "IOCTL_MODEM_SEND_LOOPBACK_MESSAGE"},
        {BRISUM_MODEM_CODE(11), "IOCTL_MODEM_CHECK_FOR_MODEM"},
        {BRISUM_MODEM_CODE(12), "IOCTL_MODEM_SET_MIN_POWER"},
        {BRISUM_MODEM_CODE(13), "IOCTL_MODEM_WATCH_FOR_RESUME"},
        {BRISUM_MODEM_CODE(14), "IOCTL_CANCEL_GET_SEND_MESSAGE"},
        {BRISUM_MODEM_CODE(15), "IOCTL_SET_SERVER_STATE"},

        IOCTL_NAME_ENTRY(IOCTL_SERENUM_EXPOSE_HARDWARE),
        IOCTL_NAME_ENTRY(IOCTL_SERENUM_REMOVE_HARDWARE),
        IOCTL_NAME_ENTRY(IOCTL_SERENUM_PORT_DESC),
        IOCTL_NAME_ENTRY(IOCTL_SERENUM_GET_PORT_NAME),
    };
    C_ASSERT(sizeof(Names) / sizeof(Names[0]) == 38);
    PCSERIAL_CODE_ROW Code = SerialFindCode(IoControlCode);
    ULONG Index;

    if (Code != NULL) {
        return Code->Name;
    }
    for (Index = 0; Index < sizeof(Names) / sizeof(Names[0]); Index++) {
        if (Names[Index].Code == IoControlCode) {
            return Names[Index].Name;
        }
    }
    return "IOCTL_USB_????????";
}

/*
 * Ioctl.cpp - the serial control-code dispatcher and the stored port
 * settings.
 *
 * Every device-control request of the port arrives here, under the
 * framework's device-wide lock, whether or not the device is started: the
 * dispatcher applies no accept check. Each code fetches its buffer with the
 * minimum size of its published record, so the framework refuses a short
 * buffer and nothing is changed; the request then completes with the
 * framework's status and Information 0.
 *
 * Port settings are read and written under IoctlLock; ModemStatus, shared
 * with the interrupt path, under EventLock (taken inside IoctlLock).
 */
#include "Control.h"
#include "CdcAcm.h"
#include "../driver/Driver.h"
#include "../receive/quoltread.h"

/* Receive queue sizes SET_QUEUE_SIZE applies; others succeed with no effect. */
#define SERIAL_MAX_RECEIVE_QUEUE_SIZE 128000U

/* Values reported by GET_PROPERTIES. */
#define SERIAL_COMMPROP_PACKET_VERSION 2
#define SERIAL_PROVIDER_CAPABILITIES                                                                        \
    (SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_CD | SERIAL_PCF_PARITY_CHECK | SERIAL_PCF_XONXOFF | \
     SERIAL_PCF_SETXCHAR | SERIAL_PCF_TOTALTIMEOUTS | SERIAL_PCF_INTTIMEOUTS)
#define SERIAL_SETTABLE_PARAMS                                                                             \
    (SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS | SERIAL_SP_STOPBITS | SERIAL_SP_HANDSHAKING | \
     SERIAL_SP_PARITY_CHECK | SERIAL_SP_CARRIER_DETECT)
#define SERIAL_SETTABLE_BAUD                                                                                      \
    (SERIAL_BAUD_075 | SERIAL_BAUD_110 | SERIAL_BAUD_150 | SERIAL_BAUD_300 | SERIAL_BAUD_600 | SERIAL_BAUD_1200 | \
     SERIAL_BAUD_1800 | SERIAL_BAUD_2400 | SERIAL_BAUD_4800 | SERIAL_BAUD_7200 | SERIAL_BAUD_9600 |               \
     SERIAL_BAUD_14400 | SERIAL_BAUD_19200 | SERIAL_BAUD_38400 | SERIAL_BAUD_56K | SERIAL_BAUD_128K |             \
     SERIAL_BAUD_115200 | SERIAL_BAUD_57600 | SERIAL_BAUD_USER)
#define SERIAL_SETTABLE_DATA (SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 | SERIAL_DATABITS_8)
#define SERIAL_SETTABLE_STOP_PARITY                                                                          \
    (SERIAL_STOPBITS_10 | SERIAL_STOPBITS_20 | SERIAL_PARITY_NONE | SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN | \
     SERIAL_PARITY_MARK | SERIAL_PARITY_SPACE)
C_ASSERT(SERIAL_PROVIDER_CAPABILITIES == 0xFF);
C_ASSERT(SERIAL_SETTABLE_PARAMS == 0x7F);
C_ASSERT(SERIAL_SETTABLE_BAUD == 0x1007FFFB);
C_ASSERT(SERIAL_SETTABLE_DATA == 0x000F);
C_ASSERT(SERIAL_SETTABLE_STOP_PARITY == 0x1F05);

#define SERIAL_PURGE_ALL (SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR)

/*
 * A line setting (SET_BAUD_RATE, SET_LINE_CONTROL, SET/CLR_DTR, SET/CLR_RTS,
 * SET_BREAK_ON/OFF). A device with the notification endpoint hears of it as
 * a CDC class request, and the setting is stored only once the device
 * accepted it; the request is then completed by the class-request path and
 * FALSE is returned. Without the endpoint the setting is only stored, and
 * TRUE tells the caller to complete the request with success.
 * InputBuffer is the caller's record for the first two codes, else NULL.
 * Caller holds no driver lock.
 */
static BOOLEAN SerialApplyLineSetting(PDEVICE_EXT_CONTEXT DeviceContext, WDFREQUEST Request, ULONG IoControlCode,
                                      PVOID InputBuffer)
{
    if (DeviceContext->InterruptPipe != NULL) {
        SerialSendControlRequest(DeviceContext, Request, InputBuffer);
        return FALSE;
    }

    SerialStoreLineSetting(DeviceContext, IoControlCode, InputBuffer);
    return TRUE;
}

/*
 * SET_QUEUE_SIZE: re-sizes the receive ring to InSize. A block enters the
 * ring only while its free space exceeds a packet, so a ring of a packet or
 * less could never take one and no read would get data again: the ring is
 * at least one byte larger than a bulk-IN packet. Sizes outside
 * BulkInMaxPacketSize + 1..128000 succeed without effect; OutSize is
 * ignored. A failing re-size (more bytes buffered than the new size holds,
 * or no memory) keeps the old ring and ReceiveBufferSize.
 */
static NTSTATUS SerialSetQueueSize(PDEVICE_EXT_CONTEXT DeviceContext, const SERIAL_QUEUE_SIZE *QueueSize,
                                   ULONG_PTR *Information)
{
    NTSTATUS Status = STATUS_SUCCESS;
    ULONG InSize = QueueSize->InSize;

    *Information = 0;
    if (InSize > SERIAL_MAX_RECEIVE_QUEUE_SIZE || InSize <= DeviceContext->BulkInMaxPacketSize) {
        BrisumTrace(TRACE_INFO, "brisum : Set Queue Size - %u out of range, ignored\n", InSize);
        *Information = sizeof(SERIAL_QUEUE_SIZE);
        goto Exit;
    }

    WdfSpinLockAcquire(DeviceContext->BulkInLock);
    Status = SetCircularBufferSize(&DeviceContext->ReceiveBuffer, InSize);
    WdfSpinLockRelease(DeviceContext->BulkInLock);
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_WARNING, "brisum : SetCircularBufferSize(%u) failed (0x%p)\n", InSize, BRISUM_STATUS(Status));
        goto Exit;
    }

    WdfSpinLockAcquire(DeviceContext->IoctlLock);
    DeviceContext->ReceiveBufferSize = InSize;
    WdfSpinLockRelease(DeviceContext->IoctlLock);
    *Information = sizeof(SERIAL_QUEUE_SIZE);

Exit:
    return Status;
}

/*
 * SET_HANDFLOW: the record replaces HandFlow as one block unless a control
 * or flow bit is invalid, the DTR field holds the undefined value 3, or a
 * limit is negative. Nothing applies flow control; the record is reported
 * back by GET_HANDFLOW.
 */
static NTSTATUS SerialSetHandFlow(PDEVICE_EXT_CONTEXT DeviceContext, const SERIAL_HANDFLOW *HandFlow)
{
    if ((HandFlow->ControlHandShake & SERIAL_CONTROL_INVALID) != 0 ||
        (HandFlow->FlowReplace & SERIAL_FLOW_INVALID) != 0 ||
        (HandFlow->ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK || HandFlow->XonLimit < 0 ||
        HandFlow->XoffLimit < 0) {
        BrisumTrace(TRACE_WARNING, "brisum : Set Handflow - invalid record (0x%x, 0x%x, %d, %d)\n",
                    HandFlow->ControlHandShake, HandFlow->FlowReplace, HandFlow->XonLimit, HandFlow->XoffLimit);
        return STATUS_INVALID_PARAMETER;
    }

    WdfSpinLockAcquire(DeviceContext->IoctlLock);
    DeviceContext->HandFlow = *HandFlow;
    WdfSpinLockRelease(DeviceContext->IoctlLock);
    return STATUS_SUCCESS;
}

/* GET_COMMSTATUS: rebuilds CommStatus; only the receive count varies. */
static VOID SerialGetCommStatus(PDEVICE_EXT_CONTEXT DeviceContext, PSERIAL_STATUS Out)
{
    WdfSpinLockAcquire(DeviceContext->IoctlLock);
    WdfSpinLockAcquire(DeviceContext->BulkInLock);
    DeviceContext->CommStatus.AmountInInQueue = DeviceContext->ReceiveBuffer.DataLen;
    WdfSpinLockRelease(DeviceContext->BulkInLock);
    DeviceContext->CommStatus.AmountInOutQueue = 0;
    DeviceContext->CommStatus.EofReceived = FALSE;
    DeviceContext->CommStatus.WaitForImmediate = FALSE;
    DeviceContext->CommStatus.HoldReasons = 0;
    DeviceContext->CommStatus.Errors = 0;
    *Out = DeviceContext->CommStatus;
    WdfSpinLockRelease(DeviceContext->IoctlLock);
}

/* GET_PROPERTIES. The two queue maxima are the bulk endpoints' packet
   sizes, as the port reports them. */
/*
 * Copies one setting record between the device context and a request's
 * buffer holding Lock, so no reader sees a record half written by a setter
 * on another processor. Returns Length, the bytes the request reports.
 */
static ULONG_PTR SerialCopyLocked(WDFSPINLOCK Lock, PVOID Destination, const VOID *Source, size_t Length)
{
    WdfSpinLockAcquire(Lock);
    RtlCopyMemory(Destination, Source, Length);
    WdfSpinLockRelease(Lock);
    return Length;
}

/*
 * ModemStatus as one snapshot. EventLock guards the word, and every change
 * of it (a line-state store, a notification) is one EventLock region, so
 * the snapshot falls before or after each change, never inside it.
 */
static ULONG SerialReadModemStatus(PDEVICE_EXT_CONTEXT DeviceContext)
{
    ULONG ModemStatus;

    WdfSpinLockAcquire(DeviceContext->EventLock);
    ModemStatus = DeviceContext->ModemStatus;
    WdfSpinLockRelease(DeviceContext->EventLock);
    return ModemStatus;
}

static VOID SerialGetProperties(PDEVICE_EXT_CONTEXT DeviceContext, PSERIAL_COMMPROP Properties)
{
    RtlZeroMemory(Properties, sizeof(SERIAL_COMMPROP));
    WdfSpinLockAcquire(DeviceContext->IoctlLock);
    Properties->PacketLength = sizeof(SERIAL_COMMPROP);
    Properties->PacketVersion = SERIAL_COMMPROP_PACKET_VERSION;
    Properties->ServiceMask = SERIAL_SP_SERIALCOMM;
    Properties->Reserved1 = 0;
    Properties->MaxTxQueue = DeviceContext->BulkOutMaxPacketSize;
    Properties->MaxRxQueue = DeviceContext->BulkInMaxPacketSize;
    Properties->MaxBaud = SERIAL_BAUD_USER;
    Properties->ProvSubType = SERIAL_SP_RS232;
    Properties->ProvCapabilities = SERIAL_PROVIDER_CAPABILITIES;
    Properties->SettableParams = SERIAL_SETTABLE_PARAMS;
    Properties->SettableBaud = SERIAL_SETTABLE_BAUD;
    Properties->SettableData = SERIAL_SETTABLE_DATA;
    Properties->SettableStopParity = SERIAL_SETTABLE_STOP_PARITY;
    Properties->CurrentTxQueue = 0;
    Properties->CurrentRxQueue = DeviceContext->ReceiveBufferSize;
    Properties->ProvSpec1 = 0;
    Properties->ProvSpec2 = 0;
    Properties->ProvChar[0] = 0;
    WdfSpinLockRelease(DeviceContext->IoctlLock);
}

/*
 * Parks Request in Queue, behind the request of its kind being processed.
 * What names the kind in the trace. Returns TRUE when forwarding failed and
 * the caller is to complete the request with *Status.
 */
static BOOLEAN SerialParkRequest(WDFREQUEST Request, WDFQUEUE Queue, PCSTR What, NTSTATUS *Status)
{
    *Status = WdfRequestForwardToIoQueue(Request, Queue);
    if (!NT_SUCCESS(*Status)) {
        BrisumTrace(TRACE_ERROR, "brisum : %s - WdfRequestForwardToIoQueue failed (0x%p)\n", What,
                    BRISUM_STATUS(*Status));
        return TRUE;
    }
    return FALSE;
}

/*
 * PURGE front end. Flags without any of the four purge bits are refused;
 * other bits are ignored once one of them is set. One purge runs at a
 * time: a purge arriving while another is in progress, or while others
 * wait, is parked in PurgeQueue and carried out by the running SerialPurge.
 * Returns TRUE when the caller is to complete the request with *Status.
 */
static BOOLEAN SerialStartPurgeRequest(PDEVICE_EXT_CONTEXT DeviceContext, WDFREQUEST Request, PULONG Flags,
                                       NTSTATUS *Status)
{
    PREQUEST_CONTEXT RequestContext = GetRequestContext(Request);
    BOOLEAN Complete = FALSE;

    if ((*Flags & SERIAL_PURGE_ALL) == 0) {
        BrisumTrace(TRACE_WARNING, "brisum : Purge - no purge flag in 0x%x\n", *Flags);
        *Status = STATUS_INVALID_PARAMETER;
        return TRUE;
    }

    WdfSpinLockAcquire(DeviceContext->IoctlLock);
    RequestContext->SystemBuffer = Flags;
    if (DeviceContext->CurrentPurgeRequest == NULL && SerialIsQueueIdle(DeviceContext->PurgeQueue)) {
        DeviceContext->CurrentPurgeRequest = Request;
        SerialPurge(DeviceContext);
    } else {
        Complete = SerialParkRequest(Request, DeviceContext->PurgeQueue, "Purge", Status);
    }
    WdfSpinLockRelease(DeviceContext->IoctlLock);
    return Complete;
}

/*
 * SET_WAIT_MASK and WAIT_ON_MASK front end: the request becomes the one
 * SerialStartMask processes, or waits in MaskQueue behind the one being
 * processed. Returns TRUE when the caller is to complete the request with
 * *Status (forwarding failed).
 */
static BOOLEAN SerialStartMaskRequest(PDEVICE_EXT_CONTEXT DeviceContext, WDFREQUEST Request, ULONG IoControlCode,
                                      PULONG MaskBuffer, NTSTATUS *Status)
{
    PREQUEST_CONTEXT RequestContext = GetRequestContext(Request);
    BOOLEAN Complete = FALSE;

    RequestContext->SystemBuffer = MaskBuffer;
    RequestContext->IoControlCode = IoControlCode;

    WdfSpinLockAcquire(DeviceContext->MaskLock);
    if (DeviceContext->CurrentMaskRequest == NULL && SerialIsQueueIdle(DeviceContext->MaskQueue)) {
        DeviceContext->CurrentMaskRequest = Request;
        SerialStartMask(DeviceContext);
    } else {
        Complete = SerialParkRequest(Request, DeviceContext->MaskQueue, "Mask", Status);
    }
    WdfSpinLockRelease(DeviceContext->MaskLock);
    return Complete;
}

VOID SerialCompleteIoctl(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information)
{
    WDF_REQUEST_PARAMETERS Parameters;
    size_t OutputLength;

    WDF_REQUEST_PARAMETERS_INIT(&Parameters);
    WdfRequestGetParameters(Request, &Parameters);
    OutputLength = Parameters.Parameters.DeviceIoControl.OutputBufferLength;
    if (!NT_SUCCESS(Status)) {
        Information = 0;
    } else if (OutputLength != 0 && Information > OutputLength) {
        BrisumTrace(TRACE_INFO, "brisum : Information %u capped at the output buffer of %u bytes\n", (ULONG)Information,
                    (ULONG)OutputLength);
        Information = OutputLength;
    }
    WdfRequestCompleteWithInformation(Request, Status, Information);
}

/* The rows of SerialCodes.def, constant data in the read-only image. */
#define SERIAL_CODE(Name, Path, Side, Minimum) \
    {IOCTL_SERIAL_##Name, SERIAL_PATH_##Path, SERIAL_SIDE_##Side, (ULONG)(Minimum), "IOCTL_SERIAL_" #Name},
static const SERIAL_CODE_ROW SerialCodes[] = {
#include "SerialCodes.def"
};
#undef SERIAL_CODE

PCSERIAL_CODE_ROW SerialFindCode(ULONG IoControlCode)
{
    ULONG Index;

    for (Index = 0; Index < ARRAYSIZE(SerialCodes); Index++) {
        if (SerialCodes[Index].IoControlCode == IoControlCode) {
            return &SerialCodes[Index];
        }
    }
    return NULL;
}

/* Fetches the buffer of Code's row into *Buffer (NULL for a code that takes
   none). A refused buffer completes the request with the framework's status
   and Information 0, and nothing is changed. */
static NTSTATUS SerialRetrieveIoctlBuffer(WDFREQUEST Request, PCSERIAL_CODE_ROW Code, PVOID *Buffer)
{
    NTSTATUS Status = STATUS_SUCCESS;

    *Buffer = NULL;
    if (Code->Side == SERIAL_SIDE_OUT) {
        Status = WdfRequestRetrieveOutputBuffer(Request, Code->MinimumLength, Buffer, NULL);
    } else if (Code->Side == SERIAL_SIDE_IN) {
        Status = WdfRequestRetrieveInputBuffer(Request, Code->MinimumLength, Buffer, NULL);
    }
    if (!NT_SUCCESS(Status)) {
        BrisumTrace(TRACE_WARNING, "brisum : %s - Get buffer Failed (0x%p)\n", Code->Name, BRISUM_STATUS(Status));
    }
    return Status;
}

VOID SerialEvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength, size_t InputBufferLength,
                              ULONG IoControlCode)
{
    PDEVICE_EXT_CONTEXT DeviceContext = GetDeviceContext(WdfIoQueueGetDevice(Queue));
    NTSTATUS Status = STATUS_SUCCESS;
    ULONG_PTR Information = 0;
    BOOLEAN Complete = TRUE;
    PVOID Buffer = NULL;
    PCSERIAL_CODE_ROW Code = SerialFindCode(IoControlCode);

    /* Each code asks the framework for its own minimum instead. */
    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);

    GetRequestContext(Request)->DeviceContext = DeviceContext;
    BrisumTrace(TRACE_INFO, "brisum : Device control request(0x%p) %s\n", Request, IoctlCodeName(IoControlCode));

    if (Code == NULL || Code->Path == SERIAL_PATH_REFUSED) {
        BrisumTrace(TRACE_WARNING, "brisum : Device control 0x%x refused\n", IoControlCode);
        Status = STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    Status = SerialRetrieveIoctlBuffer(Request, Code, &Buffer);
    if (!NT_SUCCESS(Status)) {
        goto Exit;
    }

    /* The paths that serve whole groups of codes; the rest by code below. */
    switch (Code->Path) {
    case SERIAL_PATH_LINE:
        /* Buffer is the caller's record for the codes that take one. */
        Complete = SerialApplyLineSetting(DeviceContext, Request, IoControlCode, Buffer);
        goto Exit;
    case SERIAL_PATH_MASK:
        Complete = SerialStartMaskRequest(DeviceContext, Request, IoControlCode, (PULONG)Buffer, &Status);
        goto Exit;
    case SERIAL_PATH_PURGE:
        Complete = SerialStartPurgeRequest(DeviceContext, Request, (PULONG)Buffer, &Status);
        goto Exit;
    case SERIAL_PATH_ACCEPTED:
        /* The port has nothing to do for them and writes nothing. */
        goto Exit;
    default: break;
    }

    switch (IoControlCode) {
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
        Status = SerialSetQueueSize(DeviceContext, (PSERIAL_QUEUE_SIZE)Buffer, &Information);
        break;

    case IOCTL_SERIAL_SET_TIMEOUTS:
        Information =
            SerialCopyLocked(DeviceContext->IoctlLock, &DeviceContext->Timeouts, Buffer, sizeof(SERIAL_TIMEOUTS));
        break;

    case IOCTL_SERIAL_GET_TIMEOUTS:
        Information =
            SerialCopyLocked(DeviceContext->IoctlLock, Buffer, &DeviceContext->Timeouts, sizeof(SERIAL_TIMEOUTS));
        break;

    case IOCTL_SERIAL_GET_WAIT_MASK:
        Information = SerialCopyLocked(DeviceContext->EventLock, Buffer, &DeviceContext->ulCurrentMask, sizeof(ULONG));
        break;

    case IOCTL_SERIAL_GET_BAUD_RATE:
        Information = SerialCopyLocked(DeviceContext->IoctlLock, &((PSERIAL_BAUD_RATE)Buffer)->BaudRate,
                                       &DeviceContext->BaudRate, sizeof(ULONG));
        break;

    case IOCTL_SERIAL_GET_LINE_CONTROL:
        Information = SerialCopyLocked(DeviceContext->IoctlLock, Buffer, &DeviceContext->LineControl,
                                       sizeof(SERIAL_LINE_CONTROL));
        break;

    case IOCTL_SERIAL_GET_CHARS:
        Information =
            SerialCopyLocked(DeviceContext->IoctlLock, Buffer, &DeviceContext->SpecialChars, sizeof(SERIAL_CHARS));
        break;

    case IOCTL_SERIAL_SET_CHARS:
        /* Stored as given: XonChar may equal XoffChar, nothing uses them. */
        (VOID) SerialCopyLocked(DeviceContext->IoctlLock, &DeviceContext->SpecialChars, Buffer, sizeof(SERIAL_CHARS));
        break;

    case IOCTL_SERIAL_GET_HANDFLOW:
        Information =
            SerialCopyLocked(DeviceContext->IoctlLock, Buffer, &DeviceContext->HandFlow, sizeof(SERIAL_HANDFLOW));
        break;

    case IOCTL_SERIAL_SET_HANDFLOW:
        Status = SerialSetHandFlow(DeviceContext, (PSERIAL_HANDFLOW)Buffer);
        Information = NT_SUCCESS(Status) ? sizeof(SERIAL_HANDFLOW) : 0;
        break;

    case IOCTL_SERIAL_GET_MODEMSTATUS:
        *(PULONG)Buffer = SerialReadModemStatus(DeviceContext);
        Information = sizeof(ULONG);
        break;

    case IOCTL_SERIAL_GET_COMMSTATUS:
        SerialGetCommStatus(DeviceContext, (PSERIAL_STATUS)Buffer);
        Information = sizeof(SERIAL_STATUS);
        break;

    case IOCTL_SERIAL_GET_PROPERTIES:
        SerialGetProperties(DeviceContext, (PSERIAL_COMMPROP)Buffer);
        Information = sizeof(SERIAL_COMMPROP);
        break;

    case IOCTL_SERIAL_GET_DTRRTS:
        *(PULONG)Buffer = SerialReadModemStatus(DeviceContext) & (SERIAL_DTR_STATE | SERIAL_RTS_STATE);
        Information = sizeof(ULONG);
        break;

    case IOCTL_SERIAL_CONFIG_SIZE:
        *(PULONG)Buffer = 0;
        Information = sizeof(ULONG);
        break;

    case IOCTL_SERIAL_GET_STATS:
        Information =
            SerialCopyLocked(DeviceContext->IoctlLock, Buffer, &DeviceContext->PerfStats, sizeof(SERIALPERF_STATS));
        break;

    case IOCTL_SERIAL_CLEAR_STATS:
        WdfSpinLockAcquire(DeviceContext->IoctlLock);
        RtlZeroMemory(&DeviceContext->PerfStats, sizeof(SERIALPERF_STATS));
        WdfSpinLockRelease(DeviceContext->IoctlLock);
        break;

    default:
        /* A SETTING, STATUS or QUEUE row without its case here. */
        NT_ASSERT(!"a control code's row names a path with no case in the dispatcher");
        Status = STATUS_INVALID_PARAMETER;
        break;
    }

Exit:
    if (Complete) {
        SerialCompleteIoctl(Request, Status, Information);
    }
}

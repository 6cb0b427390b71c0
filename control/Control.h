/*
 * Control.h - serial control: the control-code dispatcher, CDC class
 * requests, wait-on-mask and events, purge, interrupt notifications.
 */
#pragma once
#include "../driver/DeviceContext.h"

EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL SerialEvtIoDeviceControl;

VOID SerialSendControlRequest(PDEVICE_EXT_CONTEXT DeviceContext, WDFREQUEST Request, PVOID InputBuffer);
EVT_WDF_REQUEST_COMPLETION_ROUTINE IoIOCTLComplete;
PCSTR IoctlCodeName(ULONG IoControlCode);

/* A row of SerialCodes.def: a serial control code, the part of the port
   that serves it and the buffer it takes. */
typedef enum _SERIAL_CODE_PATH {
    SERIAL_PATH_LINE,
    SERIAL_PATH_SETTING,
    SERIAL_PATH_STATUS,
    SERIAL_PATH_QUEUE,
    SERIAL_PATH_MASK,
    SERIAL_PATH_PURGE,
    SERIAL_PATH_ACCEPTED,
    SERIAL_PATH_REFUSED,
} SERIAL_CODE_PATH;

typedef enum _SERIAL_CODE_SIDE {
    SERIAL_SIDE_NONE,
    SERIAL_SIDE_IN,
    SERIAL_SIDE_OUT,
} SERIAL_CODE_SIDE;

typedef struct _SERIAL_CODE_ROW {
    ULONG IoControlCode;
    SERIAL_CODE_PATH Path;
    SERIAL_CODE_SIDE Side;
    ULONG MinimumLength;
    PCSTR Name;
} SERIAL_CODE_ROW, *PSERIAL_CODE_ROW;
typedef const SERIAL_CODE_ROW *PCSERIAL_CODE_ROW;

/* The row of IoControlCode, or NULL for a code the port does not know. */
PCSERIAL_CODE_ROW SerialFindCode(ULONG IoControlCode);
/* Stores an accepted line setting; takes IoctlLock (and EventLock for the
   DTR/RTS bits); caller holds no driver lock. */
VOID SerialStoreLineSetting(PDEVICE_EXT_CONTEXT DeviceContext, ULONG IoControlCode, PVOID InputBuffer);

VOID SerialStartMask(PDEVICE_EXT_CONTEXT DeviceContext);
EVT_WDF_DPC SerialCompleteWaitOnMask;
EVT_WDF_REQUEST_CANCEL SerialCancelWait;
/* Cancels the pending wait-on-mask and the mask requests waiting in
   MaskQueue. Caller holds no driver lock and is outside the device-wide
   lock. */
VOID SerialEndMaskRequests(PDEVICE_EXT_CONTEXT DeviceContext);

/* Adds Events (each already tested against ulCurrentMask by the caller) to
   HistoryMask, then hands the history to a waiting wait-on-mask request:
   stores it at WaitMaskLocation, clears both and enqueues
   CompleteWaitMaskDpc. Caller holds EventLock. */
VOID SerialDeliverEventsLocked(PDEVICE_EXT_CONTEXT DeviceContext, ULONG Events);

EVT_WDF_USB_READER_COMPLETION_ROUTINE EvtUsbDeviceInterrupt;
EVT_WDF_USB_READERS_FAILED InterruptINPipeReadersFailed;
/* Forgets a notification half received: reassembly joins only consecutive
   transfers of one running reader, so every break in the interrupt stream
   (reader failure, D0 entry, open of the port) forgets it. Caller holds
   BulkInLock: open and D0 entry, which the framework may run at the same
   time, both forget it. */
VOID SerialResetNotification(PDEVICE_EXT_CONTEXT DeviceContext);

VOID SerialPurge(PDEVICE_EXT_CONTEXT DeviceContext);

/* Completes a serial device-control request. Buffered I/O copies
   Information bytes back into the caller's output buffer when it has one,
   so Information is capped at that buffer's length: a setting code whose
   Information is its input record's size never overruns a smaller output
   buffer. */
VOID SerialCompleteIoctl(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information);

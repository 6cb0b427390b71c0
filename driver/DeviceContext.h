/*
 * DeviceContext.h - the per-device record and the small typed contexts.
 *
 * Field order and types are fixed: every subsystem reads or writes this
 * record. New fields are appended only in the subsystem blocks at the end.
 *
 * Locks and what they guard
 *   BulkInLock  ReceiveBuffer, HeldMemoryList and its byte count, the reader
 *               pause state, ReadBytesNeeded, ReadIntervalCount, the
 *               completion of CurrentReadRequest on the receive side,
 *               LastReadFailed, DeviceInD0 and DeviceRemoved (written by the
 *               bulk-in completion, the D0 callbacks and file open; read by
 *               the accept check of every request and write completion).
 *   ReadLock    the choice between starting a read and parking it in
 *               ReadQueue; CurrentReadRequest when the read callback sets it.
 *   WriteLock   the current write's transfer state: WriteTransferActive,
 *               CurrentSubRequest, CurrentSubRequestLength, SubRequestSent,
 *               SubRequestCancelling, ReturnedSubRequest, WriteAbortCode,
 *               CurrentWriteRequest, and the write's Status, Length and
 *               BytesTransferred. It excludes the transfer chain, which runs
 *               outside the device-wide lock (the bulk-OUT completion, the
 *               next sub-request's start and its cancellation of that
 *               sub-request when an abort came in during the send, the
 *               chain's giving up of the write), from the parties under
 *               that lock (the cancel routine, also called by the transmit
 *               purge; the time-out; the completion pass and its
 *               cancellation of the sub-request out), and the completion of
 *               a cancelled sub-request from its canceller. Four holds have
 *               no chain to exclude, the device-wide lock alone ordering
 *               what they touch: the write callback's (no write is current:
 *               the previous write's chain let go of it before the pass
 *               that completed it), the callback's when the write was
 *               cancelled before it was marked (the callback holds the
 *               token, no sub-request exists, the write is not cancelable),
 *               StartWriteDpc's (it holds the token, no sub-request is out)
 *               and the completion pass's second (the token is free, no
 *               sub-request is out or being cancelled). CurrentWriteRequest
 *               is set and cleared only under the device-wide lock, so the
 *               transmit purge reads it under that lock alone.
 *   IoctlLock   the port settings (BaudRate, LineControl, HandFlow,
 *               Timeouts, CommStatus, SpecialChars, PerfStats,
 *               ReceiveBufferSize) and CurrentPurgeRequest. It excludes
 *               callbacks outside the device-wide lock only for BaudRate
 *               and LineControl (stored by the class-request completion)
 *               and Timeouts (read by a read started from the bulk-in
 *               completion). The other settings and CurrentPurgeRequest are
 *               touched only by the control dispatcher and the purge
 *               queue's ready notification, both under the device-wide
 *               lock, and ReceiveBufferSize also by open, which never runs
 *               beside a request of the port (opens are exclusive and a
 *               file is closed only after its last request completed).
 *   MaskLock    CurrentMaskRequest (only the control dispatcher and the
 *               mask queue's ready notification, under the device-wide
 *               lock), and the wait-on-mask request against file clean-up:
 *               the wait's set-up, its DPC and its cancel routine hold it,
 *               and clean-up ends the wait only while holding it, outside
 *               the device-wide lock.
 *   EventLock   the event fields ulCurrentMask, HistoryMask,
 *               WaitMaskLocation, CarrierPresent, CurrentWaitRequest, and
 *               the ModemStatus word. CurrentWaitRequest is stored only
 *               while both MaskLock and EventLock are held, so either lock
 *               alone is enough to read it. Every event source (bulk-in
 *               completion, complete-write DPC, interrupt notifications,
 *               mask processing, the wait's DPC and cancel routine, file
 *               open) tests and updates these fields only while holding it,
 *               so no source can store into the buffer of a wait that was
 *               already completed.
 *
 * Lock order (outer first): ReadLock -> IoctlLock; ReadLock -> BulkInLock;
 * IoctlLock -> ReadLock -> BulkInLock; IoctlLock -> BulkInLock;
 * IoctlLock -> WriteLock. BulkInLock is innermost of the five; EventLock is
 * innermost of all and may be taken under any of them; no other lock is
 * ever taken while EventLock is held. MaskLock is never held together with
 * another of the five. ReadLock and IoctlLock occur in both orders only in
 * default-queue callbacks, which the device-wide lock never runs together;
 * callbacks outside it (file cleanup, completions) never hold IoctlLock
 * while taking ReadLock.
 */
#pragma once
#include <ntddk.h>
#include <wdf.h>
#include <usb.h>
#include <usbdlib.h>
#include <wdfusb.h>
#include <ntddser.h>
#include "../receive/CircularBuffer.h"

/* REQUEST_CONTEXT.ReferenceFlags: parties that may still act on a request. */
#define REFERENCE_WAIT 0x1ULL
#define REFERENCE_CANCEL 0x2ULL
#define REFERENCE_TOTAL_TIMER 0x4ULL
#define REFERENCE_INTERVAL_TIMER 0x8ULL

/* ReadIntervalCount completion codes. */
#define SERIAL_COMPLETE_READ_CANCEL ((LONG)-1)
#define SERIAL_COMPLETE_READ_TOTAL ((LONG)-2)
#define SERIAL_COMPLETE_READ_COMPLETE ((LONG)-3)

/* WriteAbortCode values. */
#define SERIAL_COMPLETE_WRITE_CANCEL ((LONG)-5)
#define SERIAL_COMPLETE_WRITE_TOTAL ((LONG)-6)

/* Pool tags (four characters in memory order). */
#define PAIR_POOL_TAG 0x52494150U       /* 'PAIR' interface-setting pairs */
#define DESCRIPTOR_POOL_TAG 0x43534544U /* 'DESC' configuration descriptor */
#define WRITE_POOL_TAG 0x52574452U      /* 'RDWR' write sub-request data */
#define IOCTL_POOL_TAG 0x4C434F49U      /* 'IOCL' line-coding transfer */

#define DEFAULT_RECEIVE_BUFFER_SIZE 8192U
#define DEFAULT_MAX_PACKET_SIZE 64U

typedef struct _DEVICE_EXT_CONTEXT {
    /* Object handles and USB; written during device add and hardware
       preparation only (PnP callbacks). */
    WDFDEVICE WdfDevice;
    WDFUSBDEVICE UsbDevice;
    WDFUSBPIPE InterruptPipe;
    WDFUSBPIPE BulkInPipe;
    WDFUSBPIPE BulkOutPipe;
    USHORT InterruptInterfaceNumber;
    ULONG InterruptMaxPacketSize;
    ULONG BulkInMaxPacketSize;
    ULONG BulkOutMaxPacketSize;

    /* State flags. */
    BOOLEAN DeviceStarted;          /* single store, no lock */
    BOOLEAN DeviceRemoved;          /* BulkInLock (but device clean-up) */
    BOOLEAN DeviceInD0;             /* BulkInLock (D0 callbacks write) */
    BOOLEAN LastReadFailed;         /* BulkInLock */
    BOOLEAN SerialCommEntryCreated; /* device add */
    BOOLEAN SerialCountIncremented; /* device add */

    /* Mode, queues and current requests. */
    ULONG DriverMode;
    WDFQUEUE ReadQueue;
    WDFQUEUE WriteQueue;
    WDFQUEUE PurgeQueue;
    WDFQUEUE MaskQueue;
    WDFREQUEST CurrentWaitRequest; /* stored under MaskLock and EventLock; read under either */
    WDFREQUEST CurrentMaskRequest; /* MaskLock (device-wide lock only in fact) */
    /* ReadLock when made current by the read callback; BulkInLock when completed or replaced */
    WDFREQUEST CurrentReadRequest;
    WDFREQUEST CurrentWriteRequest; /* WriteLock; set and cleared under the device-wide lock too */
    WDFREQUEST CurrentPurgeRequest; /* IoctlLock (device-wide lock only in fact) */
    WDFREQUEST CurrentSubRequest;   /* WriteLock */

    WDFSPINLOCK ReadLock;
    WDFSPINLOCK WriteLock;
    WDFSPINLOCK IoctlLock;
    WDFSPINLOCK MaskLock;

    /* Names, timers and DPCs. */
    UNICODE_STRING DeviceName;
    WDFTIMER ReadTotalTimer;
    WDFTIMER ReadIntervalTimer;
    WDFTIMER WriteTotalTimer;
    WDFDPC CompleteWaitMaskDpc;
    WDFDPC CompleteWriteDpc;
    WDFDPC StartWriteDpc;
    WDFSPINLOCK BulkInLock;

    /* Receive side (BulkInLock unless noted). */
    CIRCULAR_BUFFER ReceiveBuffer;
    ULONG ReceiveBufferSize; /* IoctlLock in the dispatcher; read at open, never beside a request */
    LIST_ENTRY HeldMemoryList;
    LONGLONG IntervalPollShort;
    LONGLONG IntervalPollLong;
    LONGLONG IntervalCutOver;
    LONGLONG *IntervalPollInUse; /* written only by the read start */
    ULONG ReadBytesNeeded;
    LONG ReadIntervalCount;

    /* Write side. */
    LONG WriteAbortCode; /* WriteLock: 0, or why the current write ends early (-5 or -6) */

    /* Port settings (IoctlLock) and events (EventLock). */
    ULONG BaudRate;
    SERIAL_LINE_CONTROL LineControl;
    ULONG ModemStatus; /* EventLock */
    ULONG ulCurrentMask;
    ULONG HistoryMask;
    ULONG *WaitMaskLocation;
    BOOLEAN CarrierPresent;
    SERIAL_HANDFLOW HandFlow;
    SERIAL_TIMEOUTS Timeouts;
    SERIAL_STATUS CommStatus;
    SERIAL_CHARS SpecialChars;
    SERIALPERF_STATS PerfStats;

    /* ---- appended fields ---- */

    /* Events: the one guard of the event fields and ModemStatus. */
    WDFSPINLOCK EventLock;
    /* Interrupt-IN notification being reassembled from consecutive
       transfers (BulkInLock). Size is CDC_NOTIFICATION_MAX_LENGTH
       (control/CdcAcm.h): the first bytes of a longer notification. */
    UCHAR NotificationBuffer[64];
    ULONG NotificationCollected; /* bytes of the notification received so far; 0: none in progress */

    /* Receive: bound on data held back from the ring (BulkInLock). */
    ULONG HeldMemoryBytes;
    BOOLEAN BulkInReaderPaused;
    WDFWORKITEM BulkInReaderWorkItem; /* stops or restarts the bulk-in reader at PASSIVE_LEVEL */

    /* Transmit (WriteLock unless noted). */
    BOOLEAN WriteTransferActive;   /* the transfer chain owns the current write: a sub-request
                                       is being built or is out at the pipe, or StartWriteDpc is
                                       queued to build one; the write is completed only while FALSE */
    BOOLEAN SubRequestSent;        /* CurrentSubRequest was handed to the pipe and may be cancelled */
    BOOLEAN SubRequestCancelling;  /* a party is asking the pipe to give CurrentSubRequest back */
    WDFREQUEST ReturnedSubRequest; /* came back while being cancelled: the canceller releases it */
    ULONG CurrentSubRequestLength; /* bytes carried by CurrentSubRequest */
    UCHAR WriteTimerState;         /* device-wide lock: WRITE_TIMER_IDLE, _ARMED or _FIRED */
    ULONG WriteTimerStaleExpiries; /* device-wide lock: expiries of finished writes still to ignore */

    /* Open and close (interlocked): TRUE from the start of the file's
       clean-up until its close. The framework may still present a request
       of the file after clean-up began (a queue resuming on another
       processor); each path that would keep such a request tests this
       under the lock that clean-up's end of that path holds, so the
       request is either ended by clean-up or refused as cancelled. */
    LONG FileCleanupStarted;
} DEVICE_EXT_CONTEXT, *PDEVICE_EXT_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DEVICE_EXT_CONTEXT, GetDeviceContext)

typedef struct _REQUEST_CONTEXT {
    NTSTATUS Status;
    PDEVICE_EXT_CONTEXT DeviceContext;
    volatile ULONG64 ReferenceFlags;
    size_t Length;
    PVOID SystemBuffer;
    size_t BytesTransferred;
    WDFREQUEST ParentRequest;
    WDFREQUEST SubRequest;
    BOOLEAN CompleteOnAnyData;
    BOOLEAN UseIntervalTimer;
    PFN_WDF_REQUEST_CANCEL CancelRoutine;
    ULONG IoControlCode;
} REQUEST_CONTEXT, *PREQUEST_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(REQUEST_CONTEXT, GetRequestContext)

typedef struct _READER_CONTEXT {
    LIST_ENTRY ListEntry;
    size_t Length;
} READER_CONTEXT, *PREADER_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(READER_CONTEXT, GetReaderContext)

typedef struct _PIPE_CONTEXT {
    PDEVICE_EXT_CONTEXT DeviceContext;
} PIPE_CONTEXT, *PPIPE_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(PIPE_CONTEXT, GetPipeContext)

/* The driver's one trace routine: a level word, then a "brisum : " format. */
#define BrisumTrace(Level, ...) DbgPrintEx(DPFLTR_IHVDRIVER_ID, (Level), __VA_ARGS__)
#define TRACE_ERROR DPFLTR_ERROR_LEVEL
#define TRACE_WARNING DPFLTR_WARNING_LEVEL
#define TRACE_INFO DPFLTR_INFO_LEVEL
/* An NTSTATUS as a trace argument for "0x%p": sign-extended to pointer
   width, so a failure reads 0xFFFFFFFFC000000D on x64 as the kernel's own
   traces print it. */
#define BRISUM_STATUS(Status) ((PVOID)(LONG_PTR)(Status))

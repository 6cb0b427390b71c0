/*
 * quoltread.h - the receive path: bulk-IN reader, held buffers, read
 * requests and the read time-outs; the shared accept and completion routines.
 */
#pragma once
#include "../driver/DeviceContext.h"

EVT_WDF_USB_READER_COMPLETION_ROUTINE BulkInPipeReadComplete;
EVT_WDF_USB_READERS_FAILED BulkInPipeReadersFailed;
/* Brings the bulk-in reader's state in line with BulkInReaderPaused. */
EVT_WDF_WORKITEM SerialBulkInReaderWorkItem;
/* Feeds the current read from the ring and the held list until it is
   satisfied or both are empty. Caller holds BulkInLock. TRUE when the read
   is satisfied. */
BOOLEAN SerialFillReadRequest(PDEVICE_EXT_CONTEXT DeviceContext, PREQUEST_CONTEXT ReadContext);

BOOLEAN CanAcceptIoRequest(WDFDEVICE Device);
/* TRUE once clean-up of the open file began: a request of the file that
   reaches a path now is refused as cancelled. Callers test it where
   clean-up's end of that path would still find a request kept before the
   test: under ReadLock for reads, under EventLock for the wait, after
   marking for a write (the purge of WriteQueue cancels marked writes). */
BOOLEAN SerialFileCleanupStarted(PDEVICE_EXT_CONTEXT DeviceContext);
/* Completes Request with Status and Information (nothing for NULL). Site
   labels the diagnostic trace only: one of the completion sites below. */
VOID SerialCompleteRequest(int Site, WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information);

/* The completion sites of the port, one number each, grouped by path:
   reads 1-19, wait-on-mask 51-59, writes 401-409. A trace's "[N]" leads
   back to the one place that completed the request. */
enum {
    SITE_READ_REFUSED = 1,
    SITE_READ_NO_BUFFER = 2,
    SITE_READ_FORWARD_FAILED = 3,
    SITE_START_AT_ONCE = 4,
    SITE_START_CANCELLED = 5,
    SITE_TOTAL_TIMEOUT = 6,
    SITE_INTERVAL_TIMEOUT = 7,
    SITE_BULKIN_ANY_DATA = 8,
    SITE_BULKIN_FULL = 9,
    SITE_CANCEL = 10,
    SITE_CANCELED_ON_QUEUE = 11,
    SITE_READ_AFTER_CLEANUP = 12,

    SITE_MASK_REFUSED = 51,
    SITE_MASK_CANCELLED = 52,
    SITE_WAIT_DPC = 53,
    SITE_WAIT_CANCEL = 54,
    SITE_MASK_AFTER_CLEANUP = 55,

    SITE_WRITE_REFUSED = 401,
    SITE_WRITE_COMPLETE = 402,
};

EVT_WDF_IO_QUEUE_IO_READ SerialEvtIoRead;
/* Ready notification of ReadQueue: makes the oldest parked read current
   and starts it when no read is current. */
EVT_WDF_IO_QUEUE_STATE SerialReadQueueReady;
VOID SerialStartRead(PDEVICE_EXT_CONTEXT DeviceContext);
/* Withdraws every party that can still be withdrawn and drops CallerBit's
   reference; returns the reference flags that remain. */
ULONG64 SerialReadRundown(WDFREQUEST *CurrentRequest, WDFTIMER IntervalTimer, WDFTIMER TotalTimer, ULONG CallerBit);
EVT_WDF_TIMER SerialReadTotalTimeout;
EVT_WDF_TIMER SerialReadIntervalTimeout;
EVT_WDF_REQUEST_CANCEL SerialCancelCurrentRead;
/* Receive abort of a purge: cancels the queued reads and the current read.
   Caller holds ReadLock. */
VOID SerialPurgeReads(PDEVICE_EXT_CONTEXT DeviceContext);
EVT_WDF_IO_QUEUE_IO_STOP BRISUM_IOStop;
EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE IOCanceledOnQueue;

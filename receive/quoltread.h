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
VOID SerialCompleteRequest(int Site, WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information);

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

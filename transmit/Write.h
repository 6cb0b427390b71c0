/*
 * Write.h - the transmit path: write requests, bulk-OUT sub-requests, the
 * write time-out, cancellation and completion.
 */
#pragma once
#include "../driver/DeviceContext.h"

EVT_WDF_IO_QUEUE_IO_WRITE SerialEvtIoWrite;
VOID SerialStartWriteRequest(PDEVICE_EXT_CONTEXT DeviceContext, WDFREQUEST Request, PVOID Buffer);
EVT_WDF_DPC SerialStartWriteFromDpc;
EVT_WDF_REQUEST_COMPLETION_ROUTINE IoWriteComplete;
EVT_WDF_TIMER SerialWriteTimeout;
EVT_WDF_REQUEST_CANCEL SerialCancelCurrentWrite;
EVT_WDF_DPC SerialCompleteWrite;

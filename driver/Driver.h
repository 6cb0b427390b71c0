/*
 * Driver.h - driver and device set-up: entry, device add, queues, naming,
 * timers and DPCs, file create/close, WDM pre-processing, clean-up.
 */
#pragma once
#include "DeviceContext.h"

/* {D6B78DFF-B260-4161-84ED-09CA267F1516}: the port's device interface class. */
DEFINE_GUID(GUID_DEVINTERFACE_BRISUM_SERIAL, 0xD6B78DFF, 0xB260, 0x4161, 0x84, 0xED, 0x09, 0xCA, 0x26, 0x7F, 0x15,
            0x16);

EXTERN_C DRIVER_INITIALIZE DriverEntry;
EVT_WDF_DRIVER_DEVICE_ADD BRISUM_DriverAddDevice;
EVT_WDF_OBJECT_CONTEXT_CLEANUP BRISUM_DeviceCleanUp;

VOID InitDeviceExtContext(PDEVICE_EXT_CONTEXT DeviceContext);
NTSTATUS CreateSpinLock(PDEVICE_EXT_CONTEXT DeviceContext);

NTSTATUS CreateQueues(PDEVICE_EXT_CONTEXT DeviceContext);
/* Ready notifications of MaskQueue and PurgeQueue (ReadQueue's is in the
   receive path): each makes the oldest parked request current when none is. */
EVT_WDF_IO_QUEUE_STATE SerialMaskQueueReady;
EVT_WDF_IO_QUEUE_STATE SerialPurgeQueueReady;
BOOLEAN SerialIsQueueIdle(WDFQUEUE Queue);
/* Purges Queue, cancels *CurrentRequest through its recorded CancelRoutine,
   restarts Queue. The caller's locks are held across the cancel routine. */
VOID SerialFlushQueue(WDFQUEUE Queue, WDFREQUEST *CurrentRequest);
/* The second step of SerialFlushQueue alone: unmarks *CurrentRequest when it
   is marked cancelable and calls its recorded CancelRoutine, or leaves it to
   the framework when its cancellation has begun. */
VOID SerialCancelCurrentRequest(WDFREQUEST *CurrentRequest);

NTSTATUS SerialCreateTimersAndDpcs(PDEVICE_EXT_CONTEXT DeviceContext);

NTSTATUS CreateExternName(PDEVICE_EXT_CONTEXT DeviceContext);
/* On entry *Length is the capacity of PortName in bytes; on success it is the
   name's length in bytes without the terminating null. */
NTSTATUS QueryPortName(WDFDEVICE Device, PWCHAR PortName, PULONG Length);
/* Copies the text of Name into Text (capacity TextBytes) with a terminating
   null, so that it can serve as a registry value name. */
NTSTATUS SerialNameToText(PCUNICODE_STRING Name, PWCHAR Text, ULONG TextBytes);

EVT_WDF_DEVICE_FILE_CREATE SerialEvtDeviceFileCreate;
EVT_WDF_FILE_CLEANUP BRISUM_SerialEvtFileCleanup;
EVT_WDF_FILE_CLOSE BRISUM_SerialEvtFileClose;
EVT_WDFDEVICE_WDM_IRP_PREPROCESS BRISUM_SerialFlush;
EVT_WDFDEVICE_WDM_IRP_PREPROCESS BRISUM_SerialQueryInformationFile;
EVT_WDFDEVICE_WDM_IRP_PREPROCESS BRISUM_SerialSetInformationFile;

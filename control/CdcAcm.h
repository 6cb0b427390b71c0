/*
 * CdcAcm.h - USB Communications Device Class wire formats and constants
 * used by the serial port: the Abstract Control Model class requests, the
 * line-coding record, and the notification layout of the interrupt-IN
 * endpoint.
 *
 * References are to the USB CDC 1.2 class document ("CDC") and its PSTN
 * 1.2 subclass document ("PSTN"), which defines the Abstract Control Model.
 * Every multi-byte field on the wire is little-endian (USB 2.0, 8.1), so
 * records are built and read byte by byte, never through a C structure
 * overlay: the layouts below are byte offsets.
 */
#pragma once
#include <ntddk.h>

/* ---- Class requests (CDC 6.2, Table 19; PSTN 6.3, Table 13) ---- */

/* bmRequestType of every request the port sends: host to device, class
   request, interface recipient (USB 2.0, 9.3.1, Table 9-2). */
#define CDC_REQUEST_TYPE_CLASS_INTERFACE_OUT 0x21

#define CDC_SET_LINE_CODING 0x20        /* PSTN 6.3.10: data stage is the line coding */
#define CDC_GET_LINE_CODING 0x21        /* PSTN 6.3.11: never sent by this driver */
#define CDC_SET_CONTROL_LINE_STATE 0x22 /* PSTN 6.3.12: wValue carries the two lines */
#define CDC_SEND_BREAK 0x23             /* PSTN 6.3.13: wValue is the duration in ms */

/* SET_CONTROL_LINE_STATE wValue (PSTN 6.3.12, Table 18). */
#define CDC_CONTROL_LINE_DTR 0x0001 /* D0: DTR present */
#define CDC_CONTROL_LINE_RTS 0x0002 /* D1: carrier control for half duplex (RTS) */

/* SEND_BREAK wValue (PSTN 6.3.13). */
#define CDC_BREAK_UNTIL_CLEARED 0xFFFF /* break held until a SEND_BREAK of 0 */
#define CDC_BREAK_OFF 0x0000

/* ---- Line coding (PSTN 6.3.11, Table 17), 7 bytes ----
   dwDTERate (4 bytes, bits per second), bCharFormat (stop bits: 0 = 1,
   1 = 1.5, 2 = 2), bParityType (0 none, 1 odd, 2 even, 3 mark, 4 space),
   bDataBits (5, 6, 7, 8 or 16). The serial line-control bytes use the same
   encodings, so they are copied to the wire unchanged. */
#define CDC_LINE_CODING_LENGTH 7
#define CDC_LINE_CODING_RATE_OFFSET 0
#define CDC_LINE_CODING_CHAR_FORMAT_OFFSET 4
#define CDC_LINE_CODING_PARITY_OFFSET 5
#define CDC_LINE_CODING_DATA_BITS_OFFSET 6

/* ---- Notifications (CDC 6.3, Table 20; PSTN 6.5, Table 30) ----
   An 8-byte header followed by wLength data bytes. A notification longer
   than the endpoint's packet size spans consecutive packets; the last one
   is short unless the length is an exact multiple (USB 2.0, 5.7.3). */
#define CDC_NOTIFICATION_REQUEST_TYPE 0xA1 /* device to host, class, interface */
#define CDC_NOTIFICATION_HEADER_LENGTH 8
#define CDC_NOTIFICATION_REQUEST_TYPE_OFFSET 0
#define CDC_NOTIFICATION_CODE_OFFSET 1
#define CDC_NOTIFICATION_VALUE_OFFSET 2  /* wValue, 2 bytes */
#define CDC_NOTIFICATION_INDEX_OFFSET 4  /* wIndex, 2 bytes: the interface */
#define CDC_NOTIFICATION_LENGTH_OFFSET 6 /* wLength, 2 bytes */
#define CDC_NOTIFICATION_DATA_OFFSET 8

/* The longest notification the port reassembles. The CDC and PSTN
   notifications are at most 16 bytes (CONNECTION_SPEED_CHANGE); a header
   announcing more than this is not taken for a notification, so a garbage
   header cannot swallow the packets that follow it. */
#define CDC_NOTIFICATION_MAX_LENGTH 64

#define CDC_NOTIFY_NETWORK_CONNECTION 0x00 /* CDC 6.3.1: wValue 0 disconnected, 1 connected; no data */
#define CDC_NOTIFY_RESPONSE_AVAILABLE 0x01 /* CDC 6.3.2: no data */
#define CDC_NOTIFY_SERIAL_STATE 0x20       /* PSTN 6.5.4: 2 data bytes, the UART state bitmap */

#define CDC_SERIAL_STATE_DATA_LENGTH 2

/* UART state bitmap, low byte (PSTN 6.5.4, Table 31). */
#define CDC_SERIAL_STATE_RX_CARRIER 0x01  /* bRxCarrier: DCD */
#define CDC_SERIAL_STATE_TX_CARRIER 0x02  /* bTxCarrier: DSR */
#define CDC_SERIAL_STATE_BREAK 0x04       /* bBreak */
#define CDC_SERIAL_STATE_RING_SIGNAL 0x08 /* bRingSignal: RI */
#define CDC_SERIAL_STATE_FRAMING 0x10     /* bFraming */
#define CDC_SERIAL_STATE_PARITY 0x20      /* bParity */
#define CDC_SERIAL_STATE_OVERRUN 0x40     /* bOverRun */
#define CDC_SERIAL_STATE_ERRORS (CDC_SERIAL_STATE_FRAMING | CDC_SERIAL_STATE_PARITY | CDC_SERIAL_STATE_OVERRUN)

/* Reads a little-endian 16-bit field at Offset of a byte record. */
FORCEINLINE USHORT CdcReadUshort(const UCHAR *Record, ULONG Offset)
{
    return (USHORT)(Record[Offset] | (Record[Offset + 1] << 8));
}

/* Writes a little-endian 32-bit field at Offset of a byte record. */
FORCEINLINE VOID CdcWriteUlong(PUCHAR Record, ULONG Offset, ULONG Value)
{
    Record[Offset] = (UCHAR)(Value & 0xFF);
    Record[Offset + 1] = (UCHAR)((Value >> 8) & 0xFF);
    Record[Offset + 2] = (UCHAR)((Value >> 16) & 0xFF);
    Record[Offset + 3] = (UCHAR)((Value >> 24) & 0xFF);
}

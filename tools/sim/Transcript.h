/*
 * Transcript.h - the readable, stable record of a run.
 *
 * Every line is
 *     [<milliseconds of virtual time, 4 decimals>] <source> <text>
 * with the source padded to four characters:
 *     pnp   devices added, started, stopped, removed
 *     app   the application's calls and their completions
 *     dev   what the scenario made the device do
 *     usb   transfers on the bus, decoded
 *     drv   the driver's trace messages (with --trace)
 *     chk   expectations that held
 *     FAIL  expectations that did not hold, and scenario errors
 *     note  notes written by the scenario
 * The format is documented in docs/scenarios.md; changing it breaks
 * recorded transcripts.
 */
#pragma once
#include <ostream>
#include <string>

#include <CdcWire.h>
#include <UsbDeviceModel.h>

#include "Values.h"

namespace sim {

/* "[    200.0000]" */
std::string FormatTime(VirtualTime Time);
std::string FormatLine(VirtualTime Time, const std::string &Source, const std::string &Text);

/* `5 bytes "hello" <68 65 6c 6c 6f>`; past Limit bytes only the first 32
   are shown, followed by "...". An empty buffer is "0 bytes". */
std::string FormatBytes(const Bytes &Data, std::size_t Limit = 64);
/* "hello\r\n" with C escapes, quotes included. */
std::string QuoteBytes(const Bytes &Data);
std::string HexBytes(const Bytes &Data);
std::string Hex32(std::uint32_t Value);

/* The CDC wire constants are the world's (world/CdcWire.h). */
namespace cdc = world::cdc;

/* "SET_LINE_CODING 115200 8N1", "SET_CONTROL_LINE_STATE DTR|RTS",
   "GET_DESCRIPTOR configuration", or the raw request. */
std::string DescribeSetup(const world::SetupPacket &Setup, const Bytes &Data);
/* The 8 setup bytes as hex, e.g. "21 22 03 00 00 00 00 00". */
Bytes SetupBytes(const world::SetupPacket &Setup);
/* "SERIAL_STATE rxcarrier|txcarrier", "NETWORK_CONNECTION connected", ... */
std::string DescribeNotification(const Bytes &Transfer);

} // namespace sim

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

/* ---- USB CDC class codes (USB Class Definitions for Communications
   Devices 1.2, PSTN subclass 1.2, tables 13 and 30) ---- */
namespace cdc {
constexpr std::uint8_t SendEncapsulatedCommand = 0x00;
constexpr std::uint8_t GetEncapsulatedResponse = 0x01;
constexpr std::uint8_t SetLineCoding = 0x20;
constexpr std::uint8_t GetLineCoding = 0x21;
constexpr std::uint8_t SetControlLineState = 0x22;
constexpr std::uint8_t SendBreak = 0x23;
constexpr std::uint8_t NetworkConnection = 0x00;
constexpr std::uint8_t ResponseAvailable = 0x01;
constexpr std::uint8_t SerialState = 0x20;
constexpr std::uint8_t ConnectionSpeedChange = 0x2A;
} // namespace cdc

/* "SET_LINE_CODING 115200 8N1", "SET_CONTROL_LINE_STATE DTR|RTS",
   "GET_DESCRIPTOR configuration", or the raw request. */
std::string DescribeSetup(const world::SetupPacket &Setup, const Bytes &Data);
/* The 8 setup bytes as hex, e.g. "21 22 03 00 00 00 00 00". */
Bytes SetupBytes(const world::SetupPacket &Setup);
/* "SERIAL_STATE rxcarrier|txcarrier", "NETWORK_CONNECTION connected", ... */
std::string DescribeNotification(const Bytes &Transfer);

} // namespace sim

/*
 * CdcWire.h - the CDC ACM wire constants on the world's side of the
 * boundary: the device model, the simulator's transcript and its scenario
 * verbs read them from here. (The driver keeps its own copy in
 * control/CdcAcm.h, as a real driver carries its own class header; the two
 * meet only on the wire.)
 *
 * USB Class Definitions for Communications Devices 1.2 and its PSTN
 * subclass 1.2: class requests in PSTN table 13, notifications in PSTN
 * table 30, the notification header in CDC 1.2 section 6.3.
 */
#pragma once
#include <cstddef>
#include <cstdint>

namespace world::cdc {

/* bmRequestType of a class request to the interface (USB 2.0 9.3.1). */
constexpr std::uint8_t HostToInterface = 0x21;
constexpr std::uint8_t InterfaceToHost = 0xA1;

/* Class requests (bRequest). */
constexpr std::uint8_t SendEncapsulatedCommand = 0x00;
constexpr std::uint8_t GetEncapsulatedResponse = 0x01;
constexpr std::uint8_t SetLineCoding = 0x20;
constexpr std::uint8_t GetLineCoding = 0x21;
constexpr std::uint8_t SetControlLineState = 0x22;
constexpr std::uint8_t SendBreak = 0x23;

/* Notifications (bNotification), sent with bmRequestType InterfaceToHost. */
constexpr std::uint8_t NetworkConnection = 0x00;
constexpr std::uint8_t ResponseAvailable = 0x01;
constexpr std::uint8_t SerialState = 0x20;
constexpr std::uint8_t ConnectionSpeedChange = 0x2A;

/* The notification header: bmRequestType, bNotification, wValue, wIndex,
   wLength. */
constexpr std::size_t NotificationHeaderLength = 8;

} // namespace world::cdc

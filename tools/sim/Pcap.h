/*
 * Pcap.h - the USB traffic of a run as a capture file that packet analysers
 * read: pcap with nanosecond timestamps, link type 220
 * (DLT_USB_LINUX_MMAPPED), one submission ('S') and one completion ('C')
 * record per transfer, as the Linux usbmon binary interface reports them.
 *
 * The enumeration that the simulated bus does not carry as transfers
 * (GET_DESCRIPTOR device and configuration, SET_CONFIGURATION) is written
 * from the device's descriptors when the device is added, so that the
 * analyser knows the interfaces, their class and the endpoints.
 */
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include <UsbDeviceModel.h>

#include "Values.h"

namespace sim {

/* One usbmon event. */
struct UsbmonEvent {
    VirtualTime Time = 0;
    std::uint64_t UrbId = 0;
    char Type = 'S';           /* 'S' submission, 'C' completion */
    std::uint8_t XferType = 2; /* 0 isochronous, 1 interrupt, 2 control, 3 bulk */
    std::uint8_t Endpoint = 0; /* address with the direction bit 0x80 */
    std::uint8_t Device = 1;
    std::uint16_t Bus = 1;
    bool HasSetup = false;
    std::uint8_t Setup[8] = {};
    std::int32_t Status = 0;  /* 0, or a negative errno as usbmon reports it */
    std::uint32_t Length = 0; /* the URB's length: requested (S) or actual (C) */
    Bytes Data;               /* captured payload */
    std::uint32_t Interval = 0;
};

/* Encodes one event: the 64-byte usbmon header followed by the data. */
Bytes EncodeUsbmon(const UsbmonEvent &Event);
/* Linux errno that usbmon reports for a USBD status (0 for success). */
std::int32_t UsbmonStatus(USBD_STATUS Status, bool Cancelled);

class PcapWriter {
public:
    /* Events are kept and written, in time order, by Close. */
    void Add(UsbmonEvent Event);
    /* The transfers a device model recorded, as S and C events. Offset is
       added to every time (several runs in one capture follow each other). */
    void AddTransfers(const std::vector<world::TransferRecord> &Transfers, std::uint8_t Device, VirtualTime Offset);
    /* GET_DESCRIPTOR device, GET_DESCRIPTOR configuration (9 bytes, then
       all of it) and SET_CONFIGURATION, at Time. */
    void AddEnumeration(const Bytes &DeviceDescriptor, const Bytes &ConfigurationDescriptor, std::uint8_t Device,
                        VirtualTime Time);
    /* Writes the file; false with a message when it cannot. */
    bool WriteFile(const std::string &Path, std::string &Error) const;
    /* The file's bytes (what WriteFile writes). */
    Bytes Encode() const;
    std::size_t Size() const { return Events_.size(); }

private:
    std::vector<UsbmonEvent> Events_;
    std::uint64_t NextSyntheticUrb_ = 0xE000000000000000ull;
};

} // namespace sim

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
#include <cstdio>
#include <map>
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

/* The S and C events of one transfer record, for device address Device,
   Offset added to the times. */
UsbmonEvent SubmissionEvent(const world::TransferRecord &T, std::uint8_t Device, VirtualTime Offset);
UsbmonEvent CompletionEvent(const world::TransferRecord &T, std::uint8_t Device, VirtualTime Offset);

/* Writes events in time order; events of equal time in the order of their
   Order key. In memory by default (Encode reads it back); after Open the
   records stream to a file. The writer holds only what it has not written:
   Release writes what no later event can precede. */
class PcapWriter {
public:
    PcapWriter() = default;
    ~PcapWriter();
    PcapWriter(const PcapWriter &) = delete;
    PcapWriter &operator=(const PcapWriter &) = delete;

    /* Streams to Path from now on, the file header first; false with a
       message when the file cannot be made. Call before adding events. */
    bool Open(const std::string &Path, std::string &Error);
    /* Holds Event until Release or Close writes it. */
    void Add(UsbmonEvent Event, std::uint64_t Order);
    /* The same with an Order after every one added before. */
    void Add(UsbmonEvent Event);
    /* The transfers a device model recorded, as S and C events in their
       order. Offset is added to every time (several runs in one capture
       follow each other). */
    void AddTransfers(const std::vector<world::TransferRecord> &Transfers, std::uint8_t Device, VirtualTime Offset);
    /* GET_DESCRIPTOR device, GET_DESCRIPTOR configuration (9 bytes, then
       all of it) and SET_CONFIGURATION, at Time; the eight events take the
       orders FirstOrder to FirstOrder + 7 (without it, after every one added
       before). */
    void AddEnumeration(const Bytes &DeviceDescriptor, const Bytes &ConfigurationDescriptor, std::uint8_t Device,
                        VirtualTime Time);
    void AddEnumeration(const Bytes &DeviceDescriptor, const Bytes &ConfigurationDescriptor, std::uint8_t Device,
                        VirtualTime Time, std::uint64_t FirstOrder);
    /* Writes the events before (Time, Order): the caller knows that none
       added later comes before that. */
    void Release(VirtualTime Time, std::uint64_t Order);
    /* Writes every event held; a file is complete and closed. False with a
       message when writing failed. */
    bool Close(std::string &Error);
    /* In memory: the file's bytes, held events included, and the same
       bytes written to Path. */
    Bytes Encode() const;
    bool WriteFile(const std::string &Path, std::string &Error) const;
    std::size_t Size() const { return Held_.size() + Written_; } /* events added */
    std::size_t Held() const { return Held_.size(); }            /* events not yet written */

private:
    void Put(const UsbmonEvent &Event);

    std::multimap<std::pair<VirtualTime, std::uint64_t>, UsbmonEvent> Held_;
    std::uint64_t NextOrder_ = 0;
    std::size_t Written_ = 0;
    Bytes Memory_;              /* in memory: the records written */
    std::FILE *File_ = nullptr; /* streaming */
    std::string Path_;
    bool WriteFailed_ = false;
    std::uint64_t NextSyntheticUrb_ = 0xE000000000000000ull;
};

} // namespace sim

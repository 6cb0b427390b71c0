/*
 * Pcap.cpp - usbmon capture records and the pcap file around them.
 */
#include "Pcap.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace sim {

namespace {

constexpr std::uint32_t kPcapMagicNanoseconds = 0xA1B23C4D;
constexpr std::uint32_t kLinkTypeUsbLinuxMmapped = 220;
constexpr std::uint32_t kSnapLength = 0x40000;
constexpr std::size_t kUsbmonHeader = 64;

/* errno values as Linux reports them in usbmon records */
constexpr std::int32_t kENOENT = 2, kEPIPE = 32, kEPROTO = 71, kEOVERFLOW = 75, kEILSEQ = 84, kESHUTDOWN = 108,
                       kETIMEDOUT = 110, kEINPROGRESS = 115;

void Put(Bytes &Out, std::uint64_t Value, int Size)
{
    for (int I = 0; I < Size; ++I) Out.push_back(static_cast<std::uint8_t>(Value >> (8 * I)));
}

std::uint8_t XferTypeOf(world::TransferKind Kind)
{
    switch (Kind) {
    case world::TransferKind::Control: return 2;
    case world::TransferKind::BulkIn:
    case world::TransferKind::BulkOut: return 3;
    case world::TransferKind::InterruptIn: return 1;
    }
    return 3;
}

bool IsIn(const world::TransferRecord &T)
{
    if (T.Kind == world::TransferKind::Control) return (T.Setup.bmRequestType & 0x80) != 0;
    return T.Kind != world::TransferKind::BulkOut;
}

Bytes FileHeader()
{
    Bytes Out;
    Put(Out, kPcapMagicNanoseconds, 4);
    Put(Out, 2, 2); /* version 2.4 */
    Put(Out, 4, 2);
    Put(Out, 0, 4); /* thiszone */
    Put(Out, 0, 4); /* sigfigs */
    Put(Out, kSnapLength, 4);
    Put(Out, kLinkTypeUsbLinuxMmapped, 4);
    return Out;
}

} // namespace

std::int32_t UsbmonStatus(USBD_STATUS Status, bool Cancelled)
{
    if (Cancelled || Status == USBD_STATUS_CANCELED) return -kENOENT;
    switch (Status) {
    case USBD_STATUS_SUCCESS: return 0;
    case USBD_STATUS_PENDING: return -kEINPROGRESS;
    case USBD_STATUS_STALL_PID:
    case USBD_STATUS_ENDPOINT_HALTED: return -kEPIPE;
    case USBD_STATUS_DEVICE_GONE: return -kESHUTDOWN;
    case USBD_STATUS_TIMEOUT: return -kETIMEDOUT;
    case USBD_STATUS_CRC: return -kEILSEQ;
    case USBD_STATUS_BUFFER_OVERRUN: return -kEOVERFLOW;
    default: return -kEPROTO;
    }
}

Bytes EncodeUsbmon(const UsbmonEvent &E)
{
    Bytes Out;
    Out.reserve(kUsbmonHeader + E.Data.size());
    Put(Out, E.UrbId, 8);
    Out.push_back(static_cast<std::uint8_t>(E.Type));
    Out.push_back(E.XferType);
    Out.push_back(E.Endpoint);
    Out.push_back(E.Device);
    Put(Out, E.Bus, 2);
    Out.push_back(E.HasSetup ? 0 : static_cast<std::uint8_t>('-'));
    /* data flag: 0 when data follows; '<' for an IN submission, '>' otherwise */
    bool InDirection = (E.Endpoint & 0x80) != 0;
    Out.push_back(!E.Data.empty() ? 0 : static_cast<std::uint8_t>(E.Type == 'S' && InDirection ? '<' : '>'));
    VirtualTime T = E.Time < 0 ? 0 : E.Time;
    Put(Out, static_cast<std::uint64_t>(T / 10'000'000), 8);        /* ts_sec */
    Put(Out, static_cast<std::uint64_t>((T % 10'000'000) / 10), 4); /* ts_usec */
    Put(Out, static_cast<std::uint32_t>(E.Status), 4);
    Put(Out, E.Length, 4);
    Put(Out, static_cast<std::uint32_t>(E.Data.size()), 4); /* len_cap */
    for (int I = 0; I < 8; ++I) Out.push_back(E.HasSetup ? E.Setup[I] : 0);
    Put(Out, E.Interval, 4);
    Put(Out, 0, 4); /* start_frame */
    Put(Out, 0, 4); /* xfer_flags */
    Put(Out, 0, 4); /* ndesc */
    Out.insert(Out.end(), E.Data.begin(), E.Data.end());
    return Out;
}

namespace {

/* One pcap record: its header (time in nanoseconds, lengths) and the event. */
Bytes PacketRecord(const UsbmonEvent &E)
{
    Bytes Record = EncodeUsbmon(E);
    VirtualTime T = E.Time < 0 ? 0 : E.Time;
    Bytes Out;
    Out.reserve(16 + Record.size());
    Put(Out, static_cast<std::uint64_t>(T / 10'000'000), 4);
    Put(Out, static_cast<std::uint64_t>((T % 10'000'000) * 100), 4); /* nanoseconds */
    Put(Out, Record.size(), 4);
    Put(Out, Record.size(), 4);
    Out.insert(Out.end(), Record.begin(), Record.end());
    return Out;
}

} // namespace

UsbmonEvent SubmissionEvent(const world::TransferRecord &T, std::uint8_t Device, VirtualTime Offset)
{
    UsbmonEvent S;
    S.UrbId = (static_cast<std::uint64_t>(Device) << 40) | T.Id;
    S.Type = 'S';
    S.XferType = XferTypeOf(T.Kind);
    S.Device = Device;
    S.Interval = T.Kind == world::TransferKind::InterruptIn ? 1 : 0;
    if (T.Kind == world::TransferKind::Control) {
        S.Endpoint = IsIn(T) ? 0x80 : 0x00;
        S.HasSetup = true;
        Bytes Setup = {T.Setup.bmRequestType,
                       T.Setup.bRequest,
                       static_cast<std::uint8_t>(T.Setup.wValue),
                       static_cast<std::uint8_t>(T.Setup.wValue >> 8),
                       static_cast<std::uint8_t>(T.Setup.wIndex),
                       static_cast<std::uint8_t>(T.Setup.wIndex >> 8),
                       static_cast<std::uint8_t>(T.Setup.wLength),
                       static_cast<std::uint8_t>(T.Setup.wLength >> 8)};
        std::copy(Setup.begin(), Setup.end(), S.Setup);
    } else {
        S.Endpoint = T.Endpoint;
    }
    S.Time = T.SubmittedAt + Offset;
    S.Status = -kEINPROGRESS;
    S.Length = static_cast<std::uint32_t>(T.Kind == world::TransferKind::Control ? T.Setup.wLength : T.Requested);
    if (!IsIn(T)) {
        S.Data = T.Data;
        if (T.Kind != world::TransferKind::Control && S.Data.size() > T.Requested) S.Data.resize(T.Requested);
    }
    return S;
}

UsbmonEvent CompletionEvent(const world::TransferRecord &T, std::uint8_t Device, VirtualTime Offset)
{
    UsbmonEvent C = SubmissionEvent(T, Device, Offset);
    C.Type = 'C';
    C.HasSetup = false;
    C.Time = T.CompletedAt + Offset;
    C.Status = UsbmonStatus(T.Status, T.Cancelled);
    C.Length = static_cast<std::uint32_t>(T.Actual);
    C.Data.clear();
    if (IsIn(T)) {
        C.Data = T.Data;
        if (C.Data.size() > T.Actual) C.Data.resize(T.Actual);
    }
    return C;
}

PcapWriter::~PcapWriter()
{
    if (File_) std::fclose(File_);
}

bool PcapWriter::Open(const std::string &Path, std::string &Error)
{
    std::FILE *F = std::fopen(Path.c_str(), "wb");
    if (!F) {
        Error = "cannot create " + Path;
        return false;
    }
    if (File_) std::fclose(File_);
    File_ = F;
    Path_ = Path;
    Bytes Header = FileHeader();
    WriteFailed_ = std::fwrite(Header.data(), 1, Header.size(), File_) != Header.size();
    return true;
}

void PcapWriter::Add(UsbmonEvent Event, std::uint64_t Order)
{
    NextOrder_ = std::max(NextOrder_, Order + 1);
    VirtualTime Time = Event.Time;
    Held_.emplace(std::make_pair(Time, Order), std::move(Event));
}

void PcapWriter::Add(UsbmonEvent Event) { Add(std::move(Event), NextOrder_); }

void PcapWriter::AddTransfers(const std::vector<world::TransferRecord> &Transfers, std::uint8_t Device,
                              VirtualTime Offset)
{
    for (const auto &T : Transfers) {
        Add(SubmissionEvent(T, Device, Offset));
        if (T.CompletedAt >= 0) Add(CompletionEvent(T, Device, Offset));
    }
}

void PcapWriter::Put(const UsbmonEvent &E)
{
    Bytes Record = PacketRecord(E);
    ++Written_;
    if (!File_) {
        Memory_.insert(Memory_.end(), Record.begin(), Record.end());
        return;
    }
    if (!WriteFailed_ && std::fwrite(Record.data(), 1, Record.size(), File_) != Record.size()) WriteFailed_ = true;
}

void PcapWriter::Release(VirtualTime Time, std::uint64_t Order)
{
    const std::pair<VirtualTime, std::uint64_t> Before{Time, Order};
    while (!Held_.empty() && Held_.begin()->first < Before) {
        Put(Held_.begin()->second);
        Held_.erase(Held_.begin());
    }
}

bool PcapWriter::Close(std::string &Error)
{
    for (const auto &Entry : Held_) Put(Entry.second);
    Held_.clear();
    if (!File_) return true;
    bool Ok = !WriteFailed_;
    Ok = std::fclose(File_) == 0 && Ok;
    File_ = nullptr;
    if (!Ok) Error = "cannot write " + Path_;
    return Ok;
}

void PcapWriter::AddEnumeration(const Bytes &DeviceDescriptor, const Bytes &ConfigurationDescriptor,
                                std::uint8_t Device, VirtualTime Time)
{
    AddEnumeration(DeviceDescriptor, ConfigurationDescriptor, Device, Time, NextOrder_);
}

void PcapWriter::AddEnumeration(const Bytes &DeviceDescriptor, const Bytes &ConfigurationDescriptor,
                                std::uint8_t Device, VirtualTime Time, std::uint64_t FirstOrder)
{
    std::uint64_t Order = FirstOrder;
    auto Control = [&](std::array<std::uint8_t, 8> Setup, const Bytes &Answer) {
        std::uint64_t Urb = NextSyntheticUrb_++;
        bool In = (Setup[0] & 0x80) != 0;
        UsbmonEvent S;
        S.Time = Time;
        S.UrbId = Urb;
        S.Type = 'S';
        S.XferType = 2;
        S.Endpoint = In ? 0x80 : 0x00;
        S.Device = Device;
        S.HasSetup = true;
        std::copy(Setup.begin(), Setup.end(), S.Setup);
        S.Status = -kEINPROGRESS;
        S.Length = static_cast<std::uint32_t>(Setup[6] | Setup[7] << 8);
        Add(S, Order++);
        UsbmonEvent C = S;
        C.Type = 'C';
        C.HasSetup = false;
        C.Status = 0;
        C.Data = Answer;
        C.Length = static_cast<std::uint32_t>(Answer.size());
        Add(C, Order++);
    };
    Control(
        {0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 18, 0x00},
        Bytes(DeviceDescriptor.begin(), DeviceDescriptor.begin() + std::min<std::size_t>(18, DeviceDescriptor.size())));
    Bytes Head(ConfigurationDescriptor.begin(),
               ConfigurationDescriptor.begin() + std::min<std::size_t>(9, ConfigurationDescriptor.size()));
    Control({0x80, 0x06, 0x00, 0x02, 0x00, 0x00, 9, 0x00}, Head);
    std::uint16_t Total = static_cast<std::uint16_t>(ConfigurationDescriptor.size());
    Control(
        {0x80, 0x06, 0x00, 0x02, 0x00, 0x00, static_cast<std::uint8_t>(Total), static_cast<std::uint8_t>(Total >> 8)},
        ConfigurationDescriptor);
    std::uint8_t Value = ConfigurationDescriptor.size() > 5 ? ConfigurationDescriptor[5] : 1;
    Control({0x00, 0x09, Value, 0x00, 0x00, 0x00, 0x00, 0x00}, {});
}

Bytes PcapWriter::Encode() const
{
    Bytes Out = FileHeader();
    Out.insert(Out.end(), Memory_.begin(), Memory_.end());
    for (const auto &Entry : Held_) {
        Bytes Record = PacketRecord(Entry.second);
        Out.insert(Out.end(), Record.begin(), Record.end());
    }
    return Out;
}

bool PcapWriter::WriteFile(const std::string &Path, std::string &Error) const
{
    Bytes Content = Encode();
    std::FILE *F = std::fopen(Path.c_str(), "wb");
    if (!F) {
        Error = "cannot create " + Path;
        return false;
    }
    bool Ok = std::fwrite(Content.data(), 1, Content.size(), F) == Content.size();
    Ok = std::fclose(F) == 0 && Ok;
    if (!Ok) Error = "cannot write " + Path;
    return Ok;
}

} // namespace sim

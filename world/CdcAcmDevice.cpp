/*
 * CdcAcmDevice.cpp - the simulated CDC ACM function on the far side of the
 * USB stand-in.
 *
 * What the device guarantees to the host:
 *  - descriptors that a USB host accepts: one configuration, either a
 *    communication interface (CDC class, ACM subclass, AT protocol, with the
 *    header, call-management, ACM and union functional descriptors) holding
 *    the interrupt-IN endpoint plus a data interface with bulk-IN and
 *    bulk-OUT, or one interface holding all three;
 *  - every transfer completes later through the world's scheduler, never
 *    inside the submit call, and every transfer is recorded;
 *  - IN transfers complete when data is due, one queued block per read,
 *    never more bytes than the read asked for (the rest of a cut block stays
 *    at the head of the queue);
 *  - OUT and class transfers are answered as the test queued; effects of a
 *    class request (line coding, control lines, break) take hold only when
 *    the request is accepted, at its completion.
 */
#include "CdcAcmDevice.h"
#include "CdcWire.h"
#include "NodePool.h"

#include <algorithm>
#include <map>
#include <tuple>
#include <stdexcept>

namespace world {

namespace {

/* USB 2.0 chapter 9 request codes. */
constexpr std::uint8_t kGetStatus = 0x00;
constexpr std::uint8_t kClearFeature = 0x01;
constexpr std::uint8_t kSetFeature = 0x03;
constexpr std::uint8_t kSetAddress = 0x05;
constexpr std::uint8_t kGetDescriptor = 0x06;
constexpr std::uint8_t kGetConfiguration = 0x08;
constexpr std::uint8_t kSetConfiguration = 0x09;
constexpr std::uint8_t kGetInterface = 0x0A;
constexpr std::uint8_t kSetInterface = 0x0B;

constexpr std::uint8_t kConfigurationValue = 1;

enum class Recipient { Device = 0, Interface = 1, Endpoint = 2, Other = 3 };

bool IsIn(const SetupPacket &Setup) { return (Setup.bmRequestType & 0x80) != 0; }
int RequestType(const SetupPacket &Setup) { return (Setup.bmRequestType >> 5) & 3; }
Recipient RequestRecipient(const SetupPacket &Setup) { return static_cast<Recipient>(Setup.bmRequestType & 0x1F); }

void Put16(Bytes &Out, std::uint16_t Value)
{
    Out.push_back(static_cast<std::uint8_t>(Value & 0xFF));
    Out.push_back(static_cast<std::uint8_t>(Value >> 8));
}

struct EndpointDesc {
    std::uint8_t Address = 0;
    std::uint8_t Attributes = 0; /* transfer type in bits 0..1 */
    std::uint16_t MaxPacket = 0;
    std::uint8_t Interval = 0;
};

struct InterfaceDesc {
    std::uint8_t Number = 0;
    std::uint8_t Class = 0;
    std::uint8_t SubClass = 0;
    std::uint8_t Protocol = 0;
    std::uint8_t StringIndex = 0;
    Bytes Functional; /* class-specific descriptors between interface and endpoints */
    std::vector<EndpointDesc> Endpoints;
};

Bytes Utf16Descriptor(const std::string &Text)
{
    Bytes Out;
    Out.push_back(static_cast<std::uint8_t>(2 + 2 * Text.size()));
    Out.push_back(USB_STRING_DESCRIPTOR_TYPE);
    for (char C : Text) {
        Put16(Out, static_cast<std::uint16_t>(static_cast<unsigned char>(C)));
    }
    return Out;
}

} // namespace

struct CdcAcmDevice::Impl {
    struct Block {
        Bytes Data;
        VirtualTime At = 0; /* due time; only meaningful once attached */
    };

    /* A completion decided for a transfer, run at its due time. */
    struct Outcome {
        USBD_STATUS Status = USBD_STATUS_SUCCESS;
        Bytes Data;
        std::size_t Actual = 0;
        std::function<void()> Effect; /* device-side effect, applied before the host hears of it */
    };

    /* A transfer the device has not completed yet. */
    struct Pending {
        std::uint64_t Id = 0;
        TransferKind Kind = TransferKind::Control;
        std::uint8_t Endpoint = 0;
        std::size_t Length = 0; /* IN: buffer length */
        Completion Done;
        EventId Finish = 0; /* scheduled completion, 0 while waiting for data or forever */
        /* For the observer (only while there is one), kept while the
           window may let the log's entry go. */
        std::unique_ptr<TransferRecord> Submitted;
        bool CancelAtOnce = false; /* AnswerSpec::CancelAtOnce */
        bool HasOutcome = false;   /* Decided holds the completion due at the Finish event */
        Outcome Decided;
    };

    CdcAcmOptions Opt;
    std::optional<Bytes> RawDevice; /* ServeRawDescriptors */
    std::optional<Bytes> RawConfiguration;
    std::vector<InterfaceDesc> Layout;
    std::map<std::uint8_t, EndpointDesc> EndpointsByAddress;

    Scheduler *Clock = nullptr;
    /* This device among the live ones: clock events name their device by
       this serial, so one that comes due after the device is gone finds
       nothing and does nothing. */
    const std::uint64_t Serial = Register(this);
    bool IsConnected = true;
    std::uint8_t Configuration = 0;

    /* The transfer log's window: Records[0] is transfer FirstId; ids are
       handed out from NextId. */
    std::vector<TransferRecord> Records;
    std::uint64_t FirstId = 1;
    std::vector<Bytes> SpareData; /* buffers of records the window let go */
    /* Buffers of IN blocks already delivered, for the blocks to come: a
       stream of packets reuses them instead of a heap block each. At most
       kSpareBlockBytes of them are kept, the bytes of a burst of a few
       hundred packets. */
    std::vector<Bytes> SpareBlocks;
    std::size_t SpareBlockBytes = 0;
    static constexpr std::size_t kSpareBlockBytes = 1024 * 1024;
    std::uint64_t NextId = 1;
    std::uint64_t BulkOutAccepted = 0;
    CdcAcmDevice::TransferObserver Observer;
    std::map<std::uint64_t, Pending, std::less<std::uint64_t>,
             fx::NodeAllocator<std::pair<const std::uint64_t, Pending>>>
        Outstanding;
    std::map<std::uint8_t, std::deque<std::uint64_t>> WaitingReads;              /* per IN endpoint, oldest first */
    std::map<std::uint8_t, std::deque<Block>> InData;                            /* per IN endpoint, oldest first */
    std::map<std::uint8_t, std::deque<std::pair<Bytes, VirtualTime>>> EarlyData; /* queued before attach */
    std::map<std::uint8_t, USBD_STATUS> FailNext;
    std::map<std::uint8_t, EventId> PumpEvent; /* a pump scheduled for a future block */
    std::map<std::uint8_t, VirtualTime> PumpAt;
    std::map<std::uint8_t, std::size_t> Resets;

    std::deque<AnswerSpec> ControlAnswers;
    AnswerSpec DefaultControl;
    std::deque<AnswerSpec> BulkOutAnswers;
    AnswerSpec DefaultBulkOut;

    Bytes LineCodingValue{0x80, 0x25, 0x00, 0x00, 0x00, 0x00, 0x08};
    /* line-rate: when each direction of the line is next free */
    VirtualTime TxFreeAt = 0;
    VirtualTime RxFreeAt = 0;

    /* The time N characters take on the line at the current line coding:
       one start bit, the data bits, a parity bit unless none, and 1, 1.5 or
       2 stop bits, counted in half bits. */
    VirtualTime LineTime(std::size_t N) const
    {
        const Bytes &C = LineCodingValue;
        std::uint32_t Rate =
            C.size() >= 7
                ? static_cast<std::uint32_t>(C[0] | C[1] << 8 | C[2] << 16 | static_cast<std::uint32_t>(C[3]) << 24)
                : 0;
        if (Rate == 0) return 0;
        const std::uint64_t HalfBits = 2 * (1 + C[6] + (C[5] != 0 ? 1 : 0)) + (C[4] == 0 ? 2 : C[4] == 1 ? 3 : 4);
        return static_cast<VirtualTime>(HalfBits * N * static_cast<std::uint64_t>(kSecond) / (2 * Rate));
    }
    std::uint16_t Lines = 0;
    std::uint16_t BreakValue = 0;

    explicit Impl(CdcAcmOptions Options) : Opt(std::move(Options)) { BuildLayout(); }
    ~Impl()
    {
        auto &Live = LiveDevices();
        Live.erase(std::remove_if(Live.begin(), Live.end(), [this](const auto &E) { return E.second == this; }),
                   Live.end());
    }
    Impl(const Impl &) = delete;
    Impl &operator=(const Impl &) = delete;

    static std::vector<std::pair<std::uint64_t, Impl *>> &LiveDevices()
    {
        static std::vector<std::pair<std::uint64_t, Impl *>> Live;
        return Live;
    }
    static std::uint64_t Register(Impl *Self)
    {
        static std::uint64_t Next = 0;
        LiveDevices().emplace_back(++Next, Self);
        return Next;
    }
    static Impl *LiveDevice(std::uint64_t Serial)
    {
        for (const auto &E : LiveDevices()) {
            if (E.first == Serial) return E.second;
        }
        return nullptr;
    }

    /* ------------------------------------------------------------------ */
    /* Layout and descriptors                                              */
    /* ------------------------------------------------------------------ */
    std::uint8_t CommNumber() const { return Opt.CommInterfaceNumber; }

    void BuildLayout()
    {
        if (Opt.Interfaces != 1 && Opt.Interfaces != 2) {
            throw std::invalid_argument("CdcAcmOptions::Interfaces must be 1 or 2");
        }
        if (Opt.Interfaces == 2 && Opt.CommInterfaceNumber == Opt.DataInterfaceNumber) {
            throw std::invalid_argument("CdcAcmOptions: communication and data interfaces need distinct numbers");
        }
        std::vector<EndpointDesc> Notify;
        std::vector<EndpointDesc> Data;
        if (Opt.InterruptEndpoint) {
            Notify.push_back({0x81, USB_ENDPOINT_TYPE_INTERRUPT, Opt.InterruptPacket, 16});
        }
        if (Opt.BulkInEndpoint) {
            Data.push_back({0x82, USB_ENDPOINT_TYPE_BULK, Opt.BulkInPacket, 0});
        }
        if (Opt.BulkOutEndpoint) {
            Data.push_back({0x02, USB_ENDPOINT_TYPE_BULK, Opt.BulkOutPacket, 0});
        }
        /* Extra endpoints take the numbers after the usual ones. */
        int NextIn = 3;
        int NextOut = 3;
        for (int I = 0; I < Opt.ExtraBulkIn; ++I) {
            Data.push_back({static_cast<std::uint8_t>(0x80 | NextIn++), USB_ENDPOINT_TYPE_BULK, Opt.BulkInPacket, 0});
        }
        for (int I = 0; I < Opt.ExtraBulkOut; ++I) {
            Data.push_back({static_cast<std::uint8_t>(NextOut++), USB_ENDPOINT_TYPE_BULK, Opt.BulkOutPacket, 0});
        }
        for (int I = 0; I < Opt.ExtraInterruptIn; ++I) {
            Notify.push_back(
                {static_cast<std::uint8_t>(0x80 | NextIn++), USB_ENDPOINT_TYPE_INTERRUPT, Opt.InterruptPacket, 16});
        }
        for (int I = 0; I < Opt.ExtraInterruptOut; ++I) {
            Notify.push_back(
                {static_cast<std::uint8_t>(NextOut++), USB_ENDPOINT_TYPE_INTERRUPT, Opt.InterruptPacket, 16});
        }
        if (Opt.ExtraIsochronousIn) {
            Data.push_back({static_cast<std::uint8_t>(0x80 | NextIn++), USB_ENDPOINT_TYPE_ISOCHRONOUS, 64, 1});
        }
        if (NextIn > 16 || NextOut > 16) {
            throw std::invalid_argument("CdcAcmOptions: more endpoints than a USB device can address");
        }

        const std::uint8_t DataNumber = Opt.Interfaces == 2 ? Opt.DataInterfaceNumber : Opt.CommInterfaceNumber;
        InterfaceDesc Comm;
        Comm.Number = Opt.CommInterfaceNumber;
        Comm.Class = 0x02;    /* Communications Interface Class (CDC 1.2, 4.2) */
        Comm.SubClass = 0x02; /* Abstract Control Model (CDC 1.2, 4.3) */
        Comm.Protocol = 0x01; /* AT commands, V.250 (CDC 1.2, 4.4) */
        Comm.StringIndex = 4;
        /* Header functional descriptor, CDC 1.2 5.2.3.1: bcdCDC 1.10. */
        Comm.Functional.insert(Comm.Functional.end(), {0x05, 0x24, 0x00, 0x10, 0x01});
        /* Call management, PSTN 1.2 5.3.1: no call management, data interface. */
        Comm.Functional.insert(Comm.Functional.end(), {0x05, 0x24, 0x01, 0x00, DataNumber});
        /* ACM, PSTN 1.2 5.3.2: line coding/state/serial state (0x02) and SEND_BREAK (0x04). */
        Comm.Functional.insert(Comm.Functional.end(), {0x04, 0x24, 0x02, 0x06});
        /* Union, CDC 1.2 5.2.3.2: the communication interface controls the data interface. */
        Comm.Functional.insert(Comm.Functional.end(), {0x05, 0x24, 0x06, Opt.CommInterfaceNumber, DataNumber});
        Comm.Endpoints = Notify;
        if (Opt.Interfaces == 1) {
            Comm.Endpoints.insert(Comm.Endpoints.end(), Data.begin(), Data.end());
            Layout.push_back(Comm);
        } else {
            InterfaceDesc DataIf;
            DataIf.Number = Opt.DataInterfaceNumber;
            DataIf.Class = 0x0A; /* Data Interface Class (CDC 1.2, 4.5) */
            DataIf.StringIndex = 5;
            DataIf.Endpoints = Data;
            Layout.push_back(Comm);
            Layout.push_back(DataIf);
        }
        for (const InterfaceDesc &If : Layout) {
            for (const EndpointDesc &Ep : If.Endpoints) {
                EndpointsByAddress[Ep.Address] = Ep;
            }
        }
    }

    Bytes DeviceDescriptor() const
    {
        if (RawDevice) return *RawDevice;
        Bytes D;
        D.reserve(18);
        D.push_back(18);
        D.push_back(USB_DEVICE_DESCRIPTOR_TYPE);
        Put16(D, 0x0200);  /* USB 2.0 */
        D.push_back(0x02); /* device class: CDC */
        D.push_back(0x00);
        D.push_back(0x00);
        D.push_back(64);  /* bMaxPacketSize0 */
        Put16(D, 0xF0C1); /* idVendor: a test value */
        Put16(D, 0x0ACB); /* idProduct */
        Put16(D, 0x0100); /* bcdDevice */
        D.push_back(1);   /* iManufacturer */
        D.push_back(2);   /* iProduct */
        D.push_back(3);   /* iSerialNumber */
        D.push_back(1);   /* bNumConfigurations */
        return D;
    }

    Bytes ConfigurationDescriptor() const
    {
        if (RawConfiguration) return *RawConfiguration;
        Bytes C;
        C.reserve(128); /* more than any layout's descriptors: one allocation */
        C.push_back(9);
        C.push_back(USB_CONFIGURATION_DESCRIPTOR_TYPE);
        Put16(C, 0); /* wTotalLength, patched below */
        C.push_back(static_cast<std::uint8_t>(Layout.size()));
        C.push_back(kConfigurationValue);
        C.push_back(0); /* iConfiguration */
        C.push_back(
            static_cast<std::uint8_t>(USB_CONFIG_BUS_POWERED | (Opt.RemoteWake ? USB_CONFIG_REMOTE_WAKEUP : 0)));
        C.push_back(50); /* 100 mA */
        for (const InterfaceDesc &If : Layout) {
            C.push_back(9);
            C.push_back(USB_INTERFACE_DESCRIPTOR_TYPE);
            C.push_back(If.Number);
            C.push_back(0); /* bAlternateSetting */
            C.push_back(static_cast<std::uint8_t>(If.Endpoints.size()));
            C.push_back(If.Class);
            C.push_back(If.SubClass);
            C.push_back(If.Protocol);
            C.push_back(If.StringIndex);
            C.insert(C.end(), If.Functional.begin(), If.Functional.end());
            for (const EndpointDesc &Ep : If.Endpoints) {
                C.push_back(7);
                C.push_back(USB_ENDPOINT_DESCRIPTOR_TYPE);
                C.push_back(Ep.Address);
                C.push_back(Ep.Attributes);
                Put16(C, Ep.MaxPacket);
                C.push_back(Ep.Interval);
            }
        }
        C[2] = static_cast<std::uint8_t>(C.size() & 0xFF);
        C[3] = static_cast<std::uint8_t>(C.size() >> 8);
        return C;
    }

    Bytes StringDescriptor(std::uint8_t Index) const
    {
        switch (Index) {
        case 0: return Bytes{4, USB_STRING_DESCRIPTOR_TYPE, 0x09, 0x04}; /* English (US) */
        case 1: return Utf16Descriptor("brisum world");
        case 2: return Utf16Descriptor("Simulated CDC ACM serial port");
        case 3: return Utf16Descriptor("0001");
        case 4: return Utf16Descriptor("CDC ACM control");
        case 5: return Utf16Descriptor("CDC ACM data");
        default: return {};
        }
    }

    const EndpointDesc *FindEndpoint(std::uint8_t Address) const
    {
        auto It = EndpointsByAddress.find(Address);
        return It == EndpointsByAddress.end() ? nullptr : &It->second;
    }

    bool HasInterface(std::uint8_t Number) const
    {
        return std::any_of(Layout.begin(), Layout.end(), [&](const InterfaceDesc &If) { return If.Number == Number; });
    }

    /* ------------------------------------------------------------------ */
    /* Scheduling                                                           */
    /* ------------------------------------------------------------------ */
    Scheduler &Sched() const
    {
        if (Clock == nullptr) {
            throw std::logic_error("CdcAcmDevice: transfer submitted before the device was attached to a world");
        }
        return *Clock;
    }

    VirtualTime Now() const { return Clock != nullptr ? Clock->Now() : 0; }

    /* The clock events of the device. Each names the device by serial
       and carries one value, small enough for the event to hold inline. */
    EventId LaterFinish(VirtualTime At, std::uint64_t Id)
    {
        const std::uint64_t Device = Serial;
        return Sched().ScheduleAt(
            std::max(At, Sched().Now()),
            [Device, Id]() {
                if (Impl *Self = LiveDevice(Device)) Self->FinishDecided(Id);
            },
            "usb completion");
    }
    EventId LaterPump(VirtualTime At, std::uint8_t Endpoint)
    {
        const std::uint64_t Device = Serial;
        return Sched().ScheduleAt(
            std::max(At, Sched().Now()),
            [Device, Endpoint]() {
                if (Impl *Self = LiveDevice(Device)) {
                    Self->PumpEvent[Endpoint] = 0;
                    Self->Pump(Endpoint);
                }
            },
            "usb in");
    }

    /* Appends R (whose Id is NextId) to the log; a log twice its window
       lets its older half go. */
    void Log(TransferRecord R) { NewRecord() = std::move(R); }

    /* The log's entry for transfer NextId, appended (empty) and the id
       taken. A log about to reach twice its window lets its older half go
       first, so the reference stays good until the next entry. */
    TransferRecord &NewRecord()
    {
        ++NextId;
        const std::size_t Window = Opt.TransferLogWindow > 0 ? Opt.TransferLogWindow : 1;
        if (Records.size() + 1 >= 2 * Window) {
            const std::size_t Drop = Records.size() + 1 - Window;
            /* The data buffers of the records let go are kept for the
               records to come (at most a window's worth). */
            for (std::size_t I = 0; I < Drop && SpareData.size() < Window; ++I) {
                if (Records[I].Data.capacity() != 0) {
                    Records[I].Data.clear();
                    SpareData.push_back(std::move(Records[I].Data));
                }
            }
            Records.erase(Records.begin(), Records.begin() + static_cast<std::ptrdiff_t>(Drop));
            FirstId += Drop;
        }
        return Records.emplace_back();
    }

    /* Sets To, a log entry's data, to a copy of Data, in a spare buffer
       when To has none and one is kept. */
    void LogAssign(Bytes &To, const Bytes &Data) { LogAssign(To, Data.data(), Data.size()); }
    void LogAssign(Bytes &To, const std::uint8_t *Data, std::size_t Length)
    {
        if (Length == 0) {
            To.clear();
            return;
        }
        if (To.capacity() < Length && !SpareData.empty()) {
            To = std::move(SpareData.back());
            SpareData.pop_back();
        }
        To.assign(Data, Data + Length);
    }

    /* A buffer for an IN block of Length bytes at Data: a spare one when kept. */
    Bytes BlockBuffer(const std::uint8_t *Data, std::size_t Length)
    {
        Bytes B;
        if (!SpareBlocks.empty()) {
            B = std::move(SpareBlocks.back());
            SpareBlocks.pop_back();
            SpareBlockBytes -= B.capacity();
        }
        B.assign(Data, Data + Length);
        return B;
    }
    void KeepBlockBuffer(Bytes &&B)
    {
        if (B.capacity() != 0 && SpareBlockBytes + B.capacity() <= kSpareBlockBytes) {
            B.clear();
            SpareBlockBytes += B.capacity();
            SpareBlocks.push_back(std::move(B));
        }
    }

    /* Takes transfer Id off Endpoint's reads waiting for data, if it is
       there (only IN endpoints have any). */
    void StopWaiting(std::uint8_t Endpoint, std::uint64_t Id)
    {
        if (!USB_ENDPOINT_DIRECTION_IN(Endpoint) || Endpoint == 0) {
            return; /* an OUT or control transfer never waits for data */
        }
        auto W = WaitingReads.find(Endpoint);
        if (W != WaitingReads.end()) {
            W->second.erase(std::remove(W->second.begin(), W->second.end(), Id), W->second.end());
        }
    }

    /* The outstanding entry of transfer Id, or Outstanding.end(). The
       transfer just submitted, the newest, is looked at first: it is the
       one most calls are about. */
    decltype(Outstanding)::iterator FindOutstanding(std::uint64_t Id)
    {
        if (!Outstanding.empty() && Outstanding.rbegin()->first == Id) {
            return std::prev(Outstanding.end());
        }
        return Outstanding.find(Id);
    }

    std::uint64_t Record(TransferKind Kind, std::uint8_t Endpoint, const SetupPacket &Setup, const Bytes &DataOut,
                         std::size_t Requested, Completion Done)
    {
        return Record(Kind, Endpoint, Setup, DataOut.data(), DataOut.size(), Requested, std::move(Done));
    }
    std::uint64_t Record(TransferKind Kind, std::uint8_t Endpoint, const SetupPacket &Setup,
                         const std::uint8_t *DataOut, std::size_t DataOutLength, std::size_t Requested, Completion Done)
    {
        const std::uint64_t Id = NextId;
        TransferRecord &R = NewRecord();
        R.Id = Id;
        R.Kind = Kind;
        R.Endpoint = Endpoint;
        R.Setup = Setup;
        LogAssign(R.Data, DataOut, DataOutLength);
        R.Requested = Requested;
        R.SubmittedAt = Now();
        /* Ids only grow: the new transfer goes at the end of the table. */
        Pending &P = Outstanding
                         .emplace_hint(Outstanding.end(), std::piecewise_construct, std::forward_as_tuple(Id),
                                       std::forward_as_tuple())
                         ->second;
        P.Id = Id;
        P.Kind = Kind;
        P.Endpoint = Endpoint;
        P.Length = Requested;
        P.Done = std::move(Done);
        if (Observer) {
            P.Submitted = std::make_unique<TransferRecord>(R);
            Observer(*P.Submitted);
        }
        return Id;
    }

    /* Completes transfer Id now: record, device-side effect, then the host's
       completion (which may submit again). */
    void Finish(std::uint64_t Id, Outcome &&Result)
    {
        auto It = FindOutstanding(Id);
        if (It == Outstanding.end()) {
            return;
        }
        Finish(It, Result);
    }
    /* Result may live in the transfer's own entry: the entry leaves the
       table but stays in this call's hands until the call ends. */
    void Finish(decltype(Outstanding)::iterator It, Outcome &Result)
    {
        const std::uint64_t Id = It->first;
        auto Node = Outstanding.extract(It);
        Pending &P = Node.mapped();
        StopWaiting(P.Endpoint, Id);

        if (P.Kind == TransferKind::BulkOut && USBD_SUCCESS(Result.Status)) {
            BulkOutAccepted += Result.Actual;
        }
        auto Complete = [&](TransferRecord &R) {
            R.Status = Result.Status;
            R.Actual = Result.Actual;
            R.Cancelled = Result.Status == USBD_STATUS_CANCELED;
            R.CompletedAt = Now();
            if (P.Kind != TransferKind::BulkOut && !(P.Kind == TransferKind::Control && !IsIn(R.Setup))) {
                LogAssign(R.Data, Result.Data);
            }
        };
        if (Id >= FirstId) {
            /* still in the log's window */
            Complete(Records[Id - FirstId]);
        }
        if (Observer && P.Submitted != nullptr && P.Submitted->Id == Id) {
            Complete(*P.Submitted);
            Observer(*P.Submitted);
        }
        if (USBD_SUCCESS(Result.Status) && Result.Effect) {
            Result.Effect();
        }
        if (P.Done) {
            P.Done(Result.Status, Result.Data, Result.Actual);
        }
    }

    /* Decides the completion of transfer Id for time At (scheduled, never inline). */
    void FinishAt(std::uint64_t Id, VirtualTime At, Outcome &&Result)
    {
        auto It = FindOutstanding(Id);
        if (It == Outstanding.end()) {
            return;
        }
        if (It->second.Finish != 0) {
            Sched().Cancel(It->second.Finish);
        }
        /* The outcome is decided: no block may be matched to it any more. */
        StopWaiting(It->second.Endpoint, Id);
        It->second.Decided = std::move(Result);
        It->second.HasOutcome = true;
        It->second.Finish = LaterFinish(At, Id);
    }

    /* The Finish event of transfer Id: completes it as FinishAt decided. */
    void FinishDecided(std::uint64_t Id)
    {
        auto It = FindOutstanding(Id);
        if (It == Outstanding.end() || !It->second.HasOutcome) {
            return;
        }
        It->second.HasOutcome = false;
        Finish(It, It->second.Decided);
    }

    /* Completes transfer Id within the caller's call, as FinishAt decided. */
    void FinishNow(std::uint64_t Id)
    {
        auto It = FindOutstanding(Id);
        if (It == Outstanding.end()) {
            return;
        }
        if (It->second.Finish != 0) {
            Sched().Cancel(It->second.Finish);
            It->second.Finish = 0;
        }
        FinishDecided(Id);
    }

    /* The answer's own way of completing: at once when it says so and is
       due now, and at once on cancel. */
    void ApplyAtOnce(std::uint64_t Id, const AnswerSpec &Spec, VirtualTime Due)
    {
        auto It = FindOutstanding(Id);
        if (It == Outstanding.end()) {
            return;
        }
        It->second.CancelAtOnce = Spec.CancelAtOnce;
        if (Spec.AtOnce && Spec.Kind != Answer::Never && Due <= Now()) {
            FinishNow(Id);
        }
    }

    static Outcome Failed(USBD_STATUS Status) { return Outcome{Status, {}, 0, nullptr}; }

    /* ------------------------------------------------------------------ */
    /* IN endpoints                                                         */
    /* ------------------------------------------------------------------ */
    void QueueIn(std::uint8_t Endpoint, const Bytes &Data, VirtualTime After, std::uint16_t Packet, bool Paced = false)
    {
        /* Data goes out in pieces of at most Packet bytes, each its own
           block (an empty block or one of no packet size is one piece). */
        const std::size_t Step = Data.empty() || Packet == 0 ? std::max<std::size_t>(Data.size(), 1) : Packet;
        auto Piece = [&](std::size_t Off) { return BlockBuffer(Data.data() + Off, std::min(Step, Data.size() - Off)); };
        if (Clock == nullptr) {
            auto &Early = EarlyData[Endpoint];
            std::size_t Off = 0;
            do {
                Early.emplace_back(Piece(Off), After);
                Off += Step;
            } while (Off < Data.size());
            return;
        }
        auto &Queue = InData[Endpoint];
        /* Blocks go out in order: a block is never due before the one ahead of it. */
        VirtualTime At = Now() + std::max<VirtualTime>(After, 0);
        if (!Queue.empty()) {
            At = std::max(At, Queue.back().At);
        }
        std::size_t Off = 0;
        do {
            Bytes Block = Piece(Off);
            if (Paced) {
                At = std::max(At, RxFreeAt) + LineTime(Block.size());
                RxFreeAt = At;
            }
            Queue.push_back(Impl::Block{std::move(Block), At});
            Off += Step;
        } while (Off < Data.size());
        SchedulePump(Endpoint, At);
    }

    void SchedulePump(std::uint8_t Endpoint, VirtualTime At)
    {
        At = std::max(At, Now());
        auto It = PumpEvent.find(Endpoint);
        if (It != PumpEvent.end() && It->second != 0) {
            if (PumpAt[Endpoint] <= At) {
                return; /* an earlier pump re-arms itself for later blocks */
            }
            Sched().Cancel(It->second);
        }
        PumpAt[Endpoint] = At;
        PumpEvent[Endpoint] = LaterPump(At, Endpoint);
    }

    /* Matches waiting reads of Endpoint with due blocks, oldest first. */
    void Pump(std::uint8_t Endpoint)
    {
        auto &Reads = WaitingReads[Endpoint];
        auto &Queue = InData[Endpoint];
        while (!Reads.empty()) {
            const std::uint64_t Id = Reads.front();
            auto Failure = FailNext.find(Endpoint);
            if (Failure != FailNext.end()) {
                USBD_STATUS Status = Failure->second;
                FailNext.erase(Failure);
                Finish(Id, Failed(Status));
                continue;
            }
            const std::size_t Want = Outstanding[Id].Length;
            if (Want == 0) {
                Finish(Id, Outcome{USBD_STATUS_SUCCESS, {}, 0, nullptr});
                continue;
            }
            if (Queue.empty() || Queue.front().At > Now()) {
                break;
            }
            Block &Head = Queue.front();
            Bytes Out;
            if (Head.Data.size() <= Want) {
                Out = std::move(Head.Data);
                Queue.pop_front();
            } else {
                /* A read shorter than the block gets the first Want bytes; the
                   rest stays queued as the head of the next block. */
                Out.assign(Head.Data.begin(), Head.Data.begin() + static_cast<std::ptrdiff_t>(Want));
                Head.Data.erase(Head.Data.begin(), Head.Data.begin() + static_cast<std::ptrdiff_t>(Want));
            }
            const std::size_t N = Out.size();
            Outcome Delivered{USBD_STATUS_SUCCESS, std::move(Out), N, nullptr};
            auto It = FindOutstanding(Id);
            if (It != Outstanding.end()) {
                Finish(It, Delivered);
            }
            /* The host took its copy within the completion. */
            KeepBlockBuffer(std::move(Delivered.Data));
        }
        if (!Reads.empty() && !Queue.empty()) {
            SchedulePump(Endpoint, Queue.front().At);
        }
    }

    /* ------------------------------------------------------------------ */
    /* Control                                                              */
    /* ------------------------------------------------------------------ */
    /* Standard requests (USB 2.0, 9.4). Returns the status; In gets the data. */
    USBD_STATUS AnswerStandard(const SetupPacket &Setup, const Bytes &DataOut, Bytes &In)
    {
        (void)DataOut;
        In.clear();
        USBD_STATUS Status = USBD_STATUS_SUCCESS;
        switch (Setup.bRequest) {
        case kGetStatus:
            if (!IsIn(Setup)) {
                Status = USBD_STATUS_STALL_PID;
                break;
            }
            In = Bytes{0, 0};
            break;
        case kClearFeature:
        case kSetFeature:
        case kSetAddress: Status = IsIn(Setup) ? USBD_STATUS_STALL_PID : USBD_STATUS_SUCCESS; break;
        case kGetDescriptor: {
            if (!IsIn(Setup)) {
                Status = USBD_STATUS_STALL_PID;
                break;
            }
            const std::uint8_t Type = static_cast<std::uint8_t>(Setup.wValue >> 8);
            const std::uint8_t Index = static_cast<std::uint8_t>(Setup.wValue & 0xFF);
            if (Type == USB_DEVICE_DESCRIPTOR_TYPE) {
                In = DeviceDescriptor();
            } else if (Type == USB_CONFIGURATION_DESCRIPTOR_TYPE && Index == 0) {
                In = ConfigurationDescriptor();
            } else if (Type == USB_STRING_DESCRIPTOR_TYPE) {
                In = StringDescriptor(Index);
                if (In.empty()) {
                    Status = USBD_STATUS_STALL_PID;
                }
            } else {
                Status = USBD_STATUS_STALL_PID;
            }
            break;
        }
        case kGetConfiguration:
            if (!IsIn(Setup)) {
                Status = USBD_STATUS_STALL_PID;
                break;
            }
            In = Bytes{Configuration};
            break;
        case kSetConfiguration:
            if (IsIn(Setup) || (Setup.wValue != 0 && Setup.wValue != kConfigurationValue)) {
                Status = USBD_STATUS_STALL_PID;
                break;
            }
            Configuration = static_cast<std::uint8_t>(Setup.wValue);
            break;
        case kGetInterface:
            if (!IsIn(Setup) || !HasInterface(static_cast<std::uint8_t>(Setup.wIndex))) {
                Status = USBD_STATUS_STALL_PID;
                break;
            }
            In = Bytes{0};
            break;
        case kSetInterface:
            /* Only alternate setting 0 exists. */
            if (IsIn(Setup) || Setup.wValue != 0 || !HasInterface(static_cast<std::uint8_t>(Setup.wIndex))) {
                Status = USBD_STATUS_STALL_PID;
            }
            break;
        default: Status = USBD_STATUS_STALL_PID; break;
        }
        if (In.size() > Setup.wLength) {
            In.resize(Setup.wLength);
        }
        return Status;
    }

    /* Whether a class request is one this function understands, addressed
       to its communication interface, with a well-formed data stage. */
    bool ValidClassRequest(const SetupPacket &Setup, const Bytes &DataOut) const
    {
        if (RequestRecipient(Setup) != Recipient::Interface ||
            static_cast<std::uint8_t>(Setup.wIndex & 0xFF) != CommNumber() || (Setup.wIndex >> 8) != 0) {
            return false;
        }
        switch (Setup.bRequest) {
        case cdc::SetLineCoding: return !IsIn(Setup) && Setup.wLength == 7 && DataOut.size() == 7;
        case cdc::GetLineCoding: return IsIn(Setup) && Setup.wLength >= 7;
        case cdc::SetControlLineState:
        case cdc::SendBreak: return !IsIn(Setup) && Setup.wLength == 0;
        case cdc::SendEncapsulatedCommand: return !IsIn(Setup);
        case cdc::GetEncapsulatedResponse: return IsIn(Setup);
        default: return false;
        }
    }

    /* The device-side effect of an accepted class request. */
    std::function<void()> ClassEffect(const SetupPacket &Setup, const Bytes &DataOut)
    {
        switch (Setup.bRequest) {
        case cdc::SetLineCoding: return [this, DataOut]() { LineCodingValue = DataOut; };
        case cdc::SetControlLineState: {
            const std::uint16_t NewLines = static_cast<std::uint16_t>(Setup.wValue & 0x3);
            return [this, NewLines]() {
                const bool Changed = NewLines != Lines;
                Lines = NewLines;
                if (Opt.Loopback && Changed && Opt.InterruptEndpoint) {
                    /* DTR comes back as DSR (bTxCarrier), RTS as carrier (bRxCarrier). */
                    std::uint16_t Bitmap = 0;
                    if (NewLines & 0x1) {
                        Bitmap |= 0x02;
                    }
                    if (NewLines & 0x2) {
                        Bitmap |= 0x01;
                    }
                    SerialState(Bitmap, 0);
                } else if (Opt.LoopbackPlug && Changed && Opt.InterruptEndpoint) {
                    std::uint16_t Bitmap = 0;
                    if (NewLines & 0x1) {
                        Bitmap |= 0x02 | 0x08; /* DSR, ring */
                    }
                    if (NewLines & 0x2) {
                        Bitmap |= 0x01; /* carrier: CTS */
                    }
                    SerialState(Bitmap, 0);
                }
            };
        }
        case cdc::SendBreak: {
            const std::uint16_t Value = Setup.wValue;
            return [this, Value]() { BreakValue = Value; };
        }
        default: return nullptr;
        }
    }

    void Notification(std::uint8_t Code, std::uint16_t Value, const Bytes &Data, VirtualTime After)
    {
        Bytes N;
        N.reserve(8 + Data.size());
        N.push_back(cdc::InterfaceToHost);
        N.push_back(Code);
        Put16(N, Value);
        Put16(N, CommNumber());
        Put16(N, static_cast<std::uint16_t>(Data.size()));
        N.insert(N.end(), Data.begin(), Data.end());
        QueueIn(0x81, N, After, Opt.InterruptPacket);
    }

    void SerialState(std::uint16_t Bitmap, VirtualTime After)
    {
        Bytes Data;
        Data.reserve(2);
        Put16(Data, Bitmap);
        Notification(cdc::SerialState, 0, Data, After);
    }

    AnswerSpec NextAnswer(std::deque<AnswerSpec> &Queue, const AnswerSpec &Default)
    {
        if (Queue.empty()) {
            return Default;
        }
        AnswerSpec Spec = Queue.front();
        Queue.pop_front();
        return Spec;
    }

    void FailAllOutstanding(USBD_STATUS Status)
    {
        std::vector<std::uint64_t> Ids;
        for (const auto &Entry : Outstanding) {
            Ids.push_back(Entry.first);
        }
        for (std::uint64_t Id : Ids) {
            FinishAt(Id, Now(), Failed(Status));
        }
    }
};

/* ---------------------------------------------------------------------- */

CdcAcmDevice::CdcAcmDevice(CdcAcmOptions Options) : impl_(std::make_unique<Impl>(std::move(Options))) {}

CdcAcmDevice::~CdcAcmDevice() = default;

const CdcAcmOptions &CdcAcmDevice::Options() const { return impl_->Opt; }
std::uint8_t CdcAcmDevice::BulkInAddress() const { return 0x82; }
std::uint8_t CdcAcmDevice::BulkOutAddress() const { return 0x02; }
std::uint8_t CdcAcmDevice::InterruptAddress() const { return 0x81; }

void CdcAcmDevice::SendBulkIn(const Bytes &Block, VirtualTime After)
{
    impl_->QueueIn(BulkInAddress(), Block, After, impl_->Opt.BulkInPacket, impl_->Opt.LineRate);
}

void CdcAcmDevice::SendBulkInText(const std::string &Text, VirtualTime After)
{
    SendBulkIn(Bytes(Text.begin(), Text.end()), After);
}

void CdcAcmDevice::SendBulkInTo(std::uint8_t Endpoint, const Bytes &Block, VirtualTime After)
{
    const EndpointDesc *Ep = impl_->FindEndpoint(Endpoint);
    if (Ep == nullptr || !USB_ENDPOINT_DIRECTION_IN(Endpoint)) {
        throw std::invalid_argument("CdcAcmDevice::SendBulkInTo: no such IN endpoint");
    }
    impl_->QueueIn(Endpoint, Block, After, Ep->MaxPacket);
}

void CdcAcmDevice::SendInterrupt(const Bytes &Transfer, VirtualTime After)
{
    impl_->QueueIn(InterruptAddress(), Transfer, After, impl_->Opt.InterruptPacket);
}

void CdcAcmDevice::SendNotification(std::uint8_t Code, std::uint16_t Value, const Bytes &Data, VirtualTime After)
{
    impl_->Notification(Code, Value, Data, After);
}

void CdcAcmDevice::SendSerialState(std::uint16_t Bitmap, VirtualTime After) { impl_->SerialState(Bitmap, After); }

void CdcAcmDevice::SendNetworkConnection(bool Connected, VirtualTime After)
{
    impl_->Notification(cdc::NetworkConnection, Connected ? 1 : 0, {}, After);
}

void CdcAcmDevice::FailNextIn(std::uint8_t Endpoint, USBD_STATUS Status)
{
    impl_->FailNext[Endpoint] = Status;
    if (impl_->Clock != nullptr && !impl_->WaitingReads[Endpoint].empty()) {
        impl_->SchedulePump(Endpoint, impl_->Now());
    }
}

void CdcAcmDevice::Disconnect()
{
    if (!impl_->IsConnected) {
        return;
    }
    impl_->IsConnected = false;
    if (impl_->Clock != nullptr) {
        impl_->FailAllOutstanding(USBD_STATUS_DEVICE_GONE);
    }
}

void CdcAcmDevice::QueueControlAnswer(AnswerSpec Spec) { impl_->ControlAnswers.push_back(Spec); }
void CdcAcmDevice::SetDefaultControlAnswer(AnswerSpec Spec) { impl_->DefaultControl = Spec; }
void CdcAcmDevice::QueueBulkOutAnswer(AnswerSpec Spec) { impl_->BulkOutAnswers.push_back(Spec); }
void CdcAcmDevice::SetDefaultBulkOutAnswer(AnswerSpec Spec) { impl_->DefaultBulkOut = Spec; }

const std::vector<TransferRecord> &CdcAcmDevice::Transfers() const { return impl_->Records; }

std::vector<TransferRecord> CdcAcmDevice::ClassRequests() const
{
    std::vector<TransferRecord> Out;
    for (const TransferRecord &R : impl_->Records) {
        if (R.Kind == TransferKind::Control && RequestType(R.Setup) == 1) {
            Out.push_back(R);
        }
    }
    return Out;
}

std::vector<TransferRecord> CdcAcmDevice::BulkOutPackets() const
{
    std::vector<TransferRecord> Out;
    for (const TransferRecord &R : impl_->Records) {
        if (R.Kind == TransferKind::BulkOut) {
            Out.push_back(R);
        }
    }
    return Out;
}

Bytes CdcAcmDevice::BulkOutBytes() const
{
    Bytes Out;
    for (const TransferRecord &R : impl_->Records) {
        if (R.Kind == TransferKind::BulkOut && R.CompletedAt >= 0 && USBD_SUCCESS(R.Status)) {
            Out.insert(Out.end(), R.Data.begin(), R.Data.begin() + static_cast<std::ptrdiff_t>(R.Actual));
        }
    }
    return Out;
}

std::uint64_t CdcAcmDevice::TransfersRecorded() const { return impl_->NextId - 1; }

std::uint64_t CdcAcmDevice::BulkOutBytesAccepted() const { return impl_->BulkOutAccepted; }

void CdcAcmDevice::ObserveTransfers(TransferObserver Observer) { impl_->Observer = std::move(Observer); }

std::size_t CdcAcmDevice::OutstandingIn(std::uint8_t Endpoint) const
{
    std::size_t N = 0;
    for (const auto &Entry : impl_->Outstanding) {
        if (Entry.second.Endpoint == Endpoint &&
            (Entry.second.Kind == TransferKind::BulkIn || Entry.second.Kind == TransferKind::InterruptIn)) {
            ++N;
        }
    }
    return N;
}

std::size_t CdcAcmDevice::OutstandingOut() const
{
    std::size_t N = 0;
    for (const auto &Entry : impl_->Outstanding) {
        N += Entry.second.Kind == TransferKind::BulkOut ? 1 : 0;
    }
    return N;
}

std::size_t CdcAcmDevice::OutstandingControl() const
{
    std::size_t N = 0;
    for (const auto &Entry : impl_->Outstanding) {
        N += Entry.second.Kind == TransferKind::Control ? 1 : 0;
    }
    return N;
}

std::size_t CdcAcmDevice::QueuedBulkIn() const
{
    std::size_t N = 0;
    auto It = impl_->InData.find(BulkInAddress());
    if (It != impl_->InData.end()) {
        N += It->second.size();
    }
    auto Early = impl_->EarlyData.find(BulkInAddress());
    if (Early != impl_->EarlyData.end()) {
        N += Early->second.size();
    }
    return N;
}

std::size_t CdcAcmDevice::EndpointResets(std::uint8_t Endpoint) const
{
    auto It = impl_->Resets.find(Endpoint);
    return It == impl_->Resets.end() ? 0 : It->second;
}

Bytes CdcAcmDevice::LineCoding() const { return impl_->LineCodingValue; }
std::uint16_t CdcAcmDevice::ControlLineState() const { return impl_->Lines; }
bool CdcAcmDevice::BreakActive() const { return impl_->BreakValue != 0; }

void CdcAcmDevice::ServeRawDescriptors(const Bytes &Device, const Bytes &Configuration)
{
    if (!Device.empty()) impl_->RawDevice = Device;
    impl_->RawConfiguration = Configuration;
}

Bytes CdcAcmDevice::DeviceDescriptor() const { return impl_->DeviceDescriptor(); }
Bytes CdcAcmDevice::ConfigurationDescriptor() const { return impl_->ConfigurationDescriptor(); }

std::uint16_t CdcAcmDevice::ReportedConfigurationLength() const
{
    if (impl_->Opt.ReportedTotalLength) {
        return *impl_->Opt.ReportedTotalLength;
    }
    return static_cast<std::uint16_t>(impl_->ConfigurationDescriptor().size());
}

USBD_STATUS CdcAcmDevice::StandardRequest(const SetupPacket &Setup, const Bytes &DataOut, Bytes *DataIn)
{
    Impl &I = *impl_;
    TransferRecord R;
    R.Id = I.NextId;
    R.Kind = TransferKind::Control;
    R.Setup = Setup;
    R.Requested = Setup.wLength;
    R.SubmittedAt = I.Now();
    Bytes In;
    USBD_STATUS Status = USBD_STATUS_DEVICE_GONE;
    if (I.IsConnected) {
        Status = RequestType(Setup) == 0 ? I.AnswerStandard(Setup, DataOut, In) : USBD_STATUS_STALL_PID;
    }
    R.Data = IsIn(Setup) ? In : DataOut;
    R.Actual = IsIn(Setup) ? In.size() : (USBD_SUCCESS(Status) ? DataOut.size() : 0);
    R.Status = Status;
    R.CompletedAt = I.Now();
    if (I.Observer) {
        I.Observer(R);
    }
    I.Log(std::move(R));
    if (DataIn != nullptr) {
        *DataIn = In;
    }
    return Status;
}

std::uint64_t CdcAcmDevice::SubmitControl(const SetupPacket &Setup, const Bytes &DataOut, Completion Done)
{
    Impl &I = *impl_;
    I.Sched();
    Bytes OutStage = IsIn(Setup) ? Bytes{} : DataOut;
    const std::uint64_t Id = I.Record(TransferKind::Control, 0, Setup, OutStage, Setup.wLength, std::move(Done));
    const VirtualTime Now = I.Now();
    if (!I.IsConnected) {
        I.FinishAt(Id, Now, Impl::Failed(USBD_STATUS_DEVICE_GONE));
        return Id;
    }
    const int Type = RequestType(Setup);
    if (Type == 0) {
        Bytes In;
        USBD_STATUS Status = I.AnswerStandard(Setup, OutStage, In);
        const std::size_t Actual = IsIn(Setup) ? In.size() : (USBD_SUCCESS(Status) ? OutStage.size() : 0);
        I.FinishAt(Id, Now, Impl::Outcome{Status, std::move(In), Actual, nullptr});
        return Id;
    }
    if (Type != 1 || !I.ValidClassRequest(Setup, OutStage)) {
        I.FinishAt(Id, Now, Impl::Failed(USBD_STATUS_STALL_PID));
        return Id;
    }
    AnswerSpec Spec = I.NextAnswer(I.ControlAnswers, I.DefaultControl);
    const VirtualTime At = Now + std::max<VirtualTime>(Spec.Delay, 0);
    switch (Spec.Kind) {
    case Answer::Accept:
    case Answer::Partial: {
        Impl::Outcome Result;
        Result.Effect = I.ClassEffect(Setup, OutStage);
        if (Setup.bRequest == cdc::GetLineCoding) {
            Result.Data = I.LineCodingValue;
        } else if (Setup.bRequest == cdc::GetEncapsulatedResponse) {
            Result.Data = {};
        }
        Result.Actual = IsIn(Setup) ? Result.Data.size() : OutStage.size();
        I.FinishAt(Id, At, std::move(Result));
        break;
    }
    case Answer::Stall: I.FinishAt(Id, At, Impl::Failed(USBD_STATUS_STALL_PID)); break;
    case Answer::Fail: I.FinishAt(Id, At, Impl::Failed(Spec.Status)); break;
    case Answer::Never: break;
    }
    I.ApplyAtOnce(Id, Spec, At);
    return Id;
}

std::uint64_t CdcAcmDevice::SubmitIn(std::uint8_t Endpoint, std::size_t Length, Completion Done)
{
    Impl &I = *impl_;
    I.Sched();
    const EndpointDesc *Ep = I.FindEndpoint(Endpoint);
    const bool Interrupt = Ep != nullptr && (Ep->Attributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_INTERRUPT;
    const std::uint64_t Id = I.Record(Interrupt ? TransferKind::InterruptIn : TransferKind::BulkIn, Endpoint,
                                      SetupPacket{}, Bytes{}, Length, std::move(Done));
    if (!I.IsConnected) {
        I.FinishAt(Id, I.Now(), Impl::Failed(USBD_STATUS_DEVICE_GONE));
        return Id;
    }
    const std::uint8_t Type = Ep != nullptr ? (Ep->Attributes & USB_ENDPOINT_TYPE_MASK) : 0;
    if (Ep == nullptr || !USB_ENDPOINT_DIRECTION_IN(Endpoint) ||
        (Type != USB_ENDPOINT_TYPE_BULK && Type != USB_ENDPOINT_TYPE_INTERRUPT)) {
        I.FinishAt(Id, I.Now(), Impl::Failed(USBD_STATUS_INVALID_PARAMETER));
        return Id;
    }
    I.WaitingReads[Endpoint].push_back(Id);
    I.SchedulePump(Endpoint, I.Now());
    return Id;
}

std::uint64_t CdcAcmDevice::SubmitOut(std::uint8_t Endpoint, const std::uint8_t *Data, std::size_t Length,
                                      Completion Done)
{
    Impl &I = *impl_;
    I.Sched();
    const std::uint64_t Id =
        I.Record(TransferKind::BulkOut, Endpoint, SetupPacket{}, Data, Length, Length, std::move(Done));
    const VirtualTime Now = I.Now();
    if (!I.IsConnected) {
        I.FinishAt(Id, Now, Impl::Failed(USBD_STATUS_DEVICE_GONE));
        return Id;
    }
    const EndpointDesc *Ep = I.FindEndpoint(Endpoint);
    if (Ep == nullptr || USB_ENDPOINT_DIRECTION_IN(Endpoint) ||
        (Ep->Attributes & USB_ENDPOINT_TYPE_MASK) != USB_ENDPOINT_TYPE_BULK) {
        I.FinishAt(Id, Now, Impl::Failed(USBD_STATUS_INVALID_PARAMETER));
        return Id;
    }
    AnswerSpec Spec = I.NextAnswer(I.BulkOutAnswers, I.DefaultBulkOut);
    const VirtualTime At = Now + std::max<VirtualTime>(Spec.Delay, 0);
    switch (Spec.Kind) {
    case Answer::Accept:
    case Answer::Partial: {
        const std::size_t Taken = Spec.Kind == Answer::Accept ? Length : std::min(Spec.AcceptBytes, Length);
        Impl::Outcome Result;
        Result.Actual = Taken;
        if ((I.Opt.Loopback || I.Opt.LoopbackPlug) && Taken > 0) {
            Bytes Echo(Data, Data + Taken);
            /* With line-rate the echo came in while the packet went out. */
            Result.Effect = [this, Echo]() { impl_->QueueIn(BulkInAddress(), Echo, 0, impl_->Opt.BulkInPacket); };
        }
        VirtualTime Done = At;
        if (I.Opt.LineRate && Taken > 0) {
            Done = std::max(At, I.TxFreeAt) + I.LineTime(Taken);
            I.TxFreeAt = Done;
        }
        I.FinishAt(Id, Done, std::move(Result));
        I.ApplyAtOnce(Id, Spec, Done);
        return Id;
    }
    case Answer::Stall: I.FinishAt(Id, At, Impl::Failed(USBD_STATUS_STALL_PID)); break;
    case Answer::Fail: I.FinishAt(Id, At, Impl::Failed(Spec.Status)); break;
    case Answer::Never: break;
    }
    I.ApplyAtOnce(Id, Spec, At);
    return Id;
}

bool CdcAcmDevice::Abort(std::uint64_t Id)
{
    Impl &I = *impl_;
    auto It = I.FindOutstanding(Id);
    if (It == I.Outstanding.end()) {
        return false;
    }
    const bool AtOnce = It->second.CancelAtOnce;
    I.FinishAt(Id, I.Now(), Impl::Failed(USBD_STATUS_CANCELED));
    if (AtOnce) {
        I.FinishNow(Id);
    }
    return true;
}

void CdcAcmDevice::ResetEndpoint(std::uint8_t Endpoint) { ++impl_->Resets[Endpoint]; }

bool CdcAcmDevice::Connected() const { return impl_->IsConnected; }

void CdcAcmDevice::Attach(Scheduler &Clock)
{
    Impl &I = *impl_;
    I.Clock = &Clock;
    auto Early = std::move(I.EarlyData);
    I.EarlyData.clear();
    for (auto &Entry : Early) {
        const EndpointDesc *Ep = I.FindEndpoint(Entry.first);
        const std::uint16_t Packet = Ep != nullptr ? Ep->MaxPacket : 0;
        for (auto &Piece : Entry.second) {
            I.QueueIn(Entry.first, Piece.first, Piece.second, Packet);
        }
    }
}

} // namespace world

/*
 * CdcAcmDevice.h - a configurable USB CDC ACM device: communication and data
 * interfaces (or one interface with all three endpoints), an interrupt-IN
 * notification endpoint, bulk-IN and bulk-OUT. Tests and the simulator
 * command drive it from the device's side and read back what crossed the wire.
 */
#pragma once
#include <deque>
#include <functional>
#include <memory>
#include <optional>

#include "World.h"

namespace world {

struct CdcAcmOptions {
    int Interfaces = 2; /* 1: one interface holds every endpoint; 2: communication + data */
    std::uint8_t CommInterfaceNumber = 0;
    std::uint8_t DataInterfaceNumber = 1;
    std::uint16_t BulkInPacket = 64;
    std::uint16_t BulkOutPacket = 64;
    std::uint16_t InterruptPacket = 16;
    bool InterruptEndpoint = true;
    bool BulkInEndpoint = true;
    bool BulkOutEndpoint = true;
    bool RemoteWake = false;
    /* enumeration edge cases: extra pipes placed after the usual ones */
    int ExtraBulkIn = 0;
    int ExtraBulkOut = 0;
    int ExtraInterruptIn = 0;
    int ExtraInterruptOut = 0; /* interrupt-OUT pipes beside the notification endpoint */
    bool ExtraIsochronousIn = false;
    /* when the configuration descriptor query should report this length instead */
    std::optional<std::uint16_t> ReportedTotalLength;
    /* the host's DTR comes back as DSR and RTS as DCD with CTS, through
       SERIAL_STATE; what arrives on bulk-OUT comes back on bulk-IN */
    bool Loopback = false;
    /* The transfer log keeps at least this many of the latest transfers
       (and at most twice as many): a long run holds bounded memory, and
       what falls out of the window is only counted (TransfersRecorded). */
    std::size_t TransferLogWindow = 8192;
    /* the 9-pin loopback plug: TX to RX, RTS to CTS, DTR to DSR, DCD and RI.
       SERIAL_STATE has no CTS bit and the host reads CTS with the carrier,
       so RTS comes back as the carrier bit, DTR as DSR and ring. */
    bool LoopbackPlug = false;
    /* the line's pace: bulk-OUT packets complete, and bulk-IN blocks from
       the device's side arrive, no faster than the line coding allows
       (start, data, parity and stop bits per character, one character
       after another); a loopback's echo has arrived when its packet ends */
    bool LineRate = false;
};

/* How the device answers a class request or a bulk-OUT packet. Delay
   applies to every kind (a stall or failure also comes after Delay). A
   class request the function does not understand, addressed to another
   interface than the communication interface, or with a malformed data
   stage is stalled at once, whatever answer is queued (and consumes none).
   Standard requests are always answered at once. */
enum class Answer {
    Accept,  /* completes with success (after Delay) */
    Partial, /* bulk-OUT: takes only AcceptBytes of the packet; a class request: as Accept */
    Stall,   /* completes with USBD_STATUS_STALL_PID */
    Fail,    /* completes with Status */
    Never,   /* never completes (until cancelled) */
};

struct AnswerSpec {
    Answer Kind = Answer::Accept;
    VirtualTime Delay = 0;
    std::size_t AcceptBytes = 0;                /* Partial */
    USBD_STATUS Status = USBD_STATUS_STALL_PID; /* Fail */
    /* A lower driver that completes synchronously: with no Delay (and no
       line-rate pacing) the transfer completes within the submit call, its
       completion running before WdfRequestSend returns. */
    bool AtOnce = false;
    /* A cancel of the transfer completes it within the cancel call (inside
       WdfRequestCancelSentRequest or the target's stop). */
    bool CancelAtOnce = false;
};

class CdcAcmDevice : public UsbDeviceModel {
public:
    explicit CdcAcmDevice(CdcAcmOptions Options = {});
    ~CdcAcmDevice() override;

    const CdcAcmOptions &Options() const;
    std::uint8_t BulkInAddress() const;    /* 0x82 unless the layout says otherwise */
    std::uint8_t BulkOutAddress() const;   /* 0x02 */
    std::uint8_t InterruptAddress() const; /* 0x81 */

    /* ---- device to host ---- */
    /* Queues one bulk-IN block (at most one packet; larger data is cut into
       packets), available After from now. Blocks go out in order, one per
       pending read. An empty block is a zero-length packet. */
    void SendBulkIn(const Bytes &Block, VirtualTime After = 0);
    void SendBulkInText(const std::string &Text, VirtualTime After = 0);
    /* The same for another bulk-IN endpoint of the layout (ExtraBulkIn pipes
       sit at 0x83, 0x84, ...); SendBulkIn feeds BulkInAddress(). */
    void SendBulkInTo(std::uint8_t Endpoint, const Bytes &Block, VirtualTime After = 0);
    /* Queues one interrupt-IN transfer exactly as given (a notification, part
       of one, or garbage), at most one packet long (longer data is cut into
       packets). */
    void SendInterrupt(const Bytes &Transfer, VirtualTime After = 0);
    /* A whole notification, cut into interrupt packets as needed. */
    void SendNotification(std::uint8_t Code, std::uint16_t Value, const Bytes &Data, VirtualTime After = 0);
    void SendSerialState(std::uint16_t Bitmap, VirtualTime After = 0);
    void SendNetworkConnection(bool Connected, VirtualTime After = 0);
    /* The next read on Endpoint fails with Status (reader failure). A read
       already waiting on the endpoint is that next read: it fails at once. */
    void FailNextIn(std::uint8_t Endpoint, USBD_STATUS Status = USBD_STATUS_DEV_NOT_RESPONDING);
    /* Serves these descriptor bytes exactly as given instead of the
       layout's (a faulty or hostile device); an empty Device keeps the
       layout's device descriptor. Transfers still follow the layout. Call
       before the device is added. */
    void ServeRawDescriptors(const Bytes &Device, const Bytes &Configuration);
    /* Unplugs the device: outstanding transfers fail, later submits fail. */
    void Disconnect() override;

    /* ---- host to device behaviour ---- */
    /* Answers for the next class requests, in order; when none is queued the
       default answer applies. */
    void QueueControlAnswer(AnswerSpec Spec);
    void SetDefaultControlAnswer(AnswerSpec Spec);
    void QueueBulkOutAnswer(AnswerSpec Spec);
    void SetDefaultBulkOutAnswer(AnswerSpec Spec);

    /* ---- what crossed the wire ---- */
    /* The transfer log: the latest transfers in order (the window of
       CdcAcmOptions::TransferLogWindow), and the derived views below are
       read from it. */
    const std::vector<TransferRecord> &Transfers() const override;
    std::vector<TransferRecord> ClassRequests() const; /* control transfers of the CDC class */
    std::vector<TransferRecord> BulkOutPackets() const;
    Bytes BulkOutBytes() const; /* the bytes the device accepted on its bulk-OUT endpoints, in order */
    /* Every transfer since the device was made, the window's and those it
       let go; and the bytes the device accepted on bulk-OUT in all. */
    std::uint64_t TransfersRecorded() const;
    std::uint64_t BulkOutBytesAccepted() const;
    /* Follows the log as it is written, for a reader that keeps what it
       needs itself (the log's window lets old records go): the observer is
       told of each transfer when it is submitted (CompletedAt -1) and again
       when it completes, each time with the record as it stands then; a
       transfer answered within its submit call (a standard request) is told
       once, complete. The observer must not call back into the device. One
       observer at a time; an empty function removes it. */
    using TransferObserver = std::function<void(const TransferRecord &)>;
    void ObserveTransfers(TransferObserver Observer);
    std::size_t OutstandingIn(std::uint8_t Endpoint) const;
    std::size_t OutstandingOut() const;
    std::size_t QueuedBulkIn() const; /* blocks not yet delivered */
    std::size_t OutstandingControl() const;
    std::size_t EndpointResets(std::uint8_t Endpoint) const; /* ResetEndpoint calls seen */

    /* ---- the device's view of the serial line (class requests it accepted) ---- */
    Bytes LineCoding() const;               /* 7 bytes; 9600 8N1 (80 25 00 00 00 00 08) at power-up */
    std::uint16_t ControlLineState() const; /* bit 0 DTR, bit 1 RTS */
    bool BreakActive() const;               /* SEND_BREAK with a non-zero duration last */

    /* ---- UsbDeviceModel ---- */
    Bytes DeviceDescriptor() const override;
    Bytes ConfigurationDescriptor() const override;
    std::uint64_t SubmitControl(const SetupPacket &Setup, const Bytes &DataOut, Completion Done) override;
    std::uint64_t SubmitIn(std::uint8_t Endpoint, std::size_t Length, Completion Done) override;
    std::uint64_t SubmitOut(std::uint8_t Endpoint, const std::uint8_t *Data, std::size_t Length,
                            Completion Done) override;
    using UsbDeviceModel::SubmitOut;
    bool Abort(std::uint64_t Id) override;
    void ResetEndpoint(std::uint8_t Endpoint) override;
    bool Connected() const override;
    void Attach(Scheduler &Clock) override;
    std::uint16_t ReportedConfigurationLength() const override;
    USBD_STATUS StandardRequest(const SetupPacket &Setup, const Bytes &DataOut, Bytes *DataIn) override;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace world

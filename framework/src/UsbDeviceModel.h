/*
 * UsbDeviceModel.h - what the framework's USB stand-in talks to: one USB
 * device on the simulated bus, seen through its descriptors and transfers.
 * The framework reaches a device only through this interface; the world's
 * device models implement it.
 *
 * A transfer is submitted with a completion; the model completes it later
 * through the world's scheduler, or within the submit call (a lower driver
 * that completes synchronously: the completion runs before the submit
 * returns), or never, and every transfer is recorded so tests can assert on
 * the wire.
 */
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Scheduler.h"

#include <ntddk.h>
#include <usb.h>

namespace fx {

using Bytes = std::vector<std::uint8_t>;

struct SetupPacket {
    std::uint8_t bmRequestType = 0;
    std::uint8_t bRequest = 0;
    std::uint16_t wValue = 0;
    std::uint16_t wIndex = 0;
    std::uint16_t wLength = 0;
};

enum class TransferKind { Control, BulkIn, BulkOut, InterruptIn };

/* One transfer as it crossed the bus. */
struct TransferRecord {
    std::uint64_t Id = 0;
    TransferKind Kind = TransferKind::Control;
    std::uint8_t Endpoint = 0; /* endpoint address, 0 for control */
    SetupPacket Setup;         /* control transfers */
    Bytes Data;                /* bytes moved (OUT: what the host sent; IN: what the device returned) */
    std::size_t Requested = 0; /* IN: buffer length; OUT: bytes offered */
    std::size_t Actual = 0;    /* bytes the device took or returned */
    USBD_STATUS Status = USBD_STATUS_PENDING;
    bool Cancelled = false;
    VirtualTime SubmittedAt = 0;
    VirtualTime CompletedAt = -1; /* -1 while outstanding */
};

class UsbDeviceModel {
public:
    virtual ~UsbDeviceModel() = default;

    /* The 18-byte device descriptor and the whole configuration descriptor set. */
    virtual Bytes DeviceDescriptor() const = 0;
    virtual Bytes ConfigurationDescriptor() const = 0;

    /* Completion of a transfer: USBD status and, for IN and control-IN, the
       bytes returned; for OUT, Actual is the number of bytes the device took. */
    using Completion = std::function<void(USBD_STATUS Status, const Bytes &Data, std::size_t Actual)>;

    virtual std::uint64_t SubmitControl(const SetupPacket &Setup, const Bytes &DataOut, Completion Done) = 0;
    virtual std::uint64_t SubmitIn(std::uint8_t Endpoint, std::size_t Length, Completion Done) = 0;
    /* The Length bytes at Data are read within the call (the model keeps
       its own copy of what it needs). */
    virtual std::uint64_t SubmitOut(std::uint8_t Endpoint, const std::uint8_t *Data, std::size_t Length,
                                    Completion Done) = 0;
    std::uint64_t SubmitOut(std::uint8_t Endpoint, const Bytes &Data, Completion Done)
    {
        return SubmitOut(Endpoint, Data.data(), Data.size(), std::move(Done));
    }
    /* Cancels an outstanding transfer: its completion runs with
       USBD_STATUS_CANCELED, scheduled or within this call. FALSE when it is
       no longer outstanding. */
    virtual bool Abort(std::uint64_t Id) = 0;
    /* The host reset a pipe (clears a halt). */
    virtual void ResetEndpoint(std::uint8_t Endpoint) = 0;

    /* FALSE once the device has been unplugged: every submit then fails. */
    virtual bool Connected() const = 0;
    /* The device leaves the bus (surprise removal): its outstanding
       transfers complete with USBD_STATUS_DEVICE_GONE, later submits fail. */
    virtual void Disconnect() = 0;

    /* The bus the device sits on (the World's scheduler); set on attach. */
    virtual void Attach(Scheduler &Clock) = 0;

    virtual const std::vector<TransferRecord> &Transfers() const = 0;

    /* The configuration length the device states when the host asks how big
       its configuration descriptor set is. Normally the set's own
       wTotalLength; a faulty device may state something else (even 0). */
    virtual std::uint16_t ReportedConfigurationLength() const
    {
        Bytes Config = ConfigurationDescriptor();
        return Config.size() >= 4 ? static_cast<std::uint16_t>(Config[2] | (Config[3] << 8)) : 0;
    }

    /* A standard request the host's USB stack performs synchronously on the
       function driver's behalf (descriptor reads when the USB target is
       created, SET_CONFIGURATION when a configuration is selected). Answered
       at once, no scheduling; a model that records transfers records it.
       DataIn (may be NULL) receives the bytes of an IN request. */
    virtual USBD_STATUS StandardRequest(const SetupPacket &Setup, const Bytes &DataOut, Bytes *DataIn)
    {
        (void)Setup;
        (void)DataOut;
        if (DataIn != nullptr) {
            DataIn->clear();
        }
        return Connected() ? USBD_STATUS_SUCCESS : USBD_STATUS_DEVICE_GONE;
    }
};

} // namespace fx

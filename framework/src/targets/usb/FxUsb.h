/*
 * FxUsb.h - the hosted framework's USB target objects: the USB device (its
 * I/O target is the default control pipe), its interfaces, the pipes of the
 * selected configuration and their continuous readers.
 *
 * Every transfer goes to the device's UsbDeviceModel. The model
 * completes transfers through the world's scheduler; the completion comes
 * back here, is turned into WDF_USB_REQUEST_COMPLETION_PARAMS and an
 * NTSTATUS, and reaches the driver through IoTarget::CompleteSent. Objects
 * are reached from model completions by handle only (TryLookup), so a
 * completion that arrives after its pipe or request is gone is dropped
 * instead of touching freed memory.
 */
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "FxCore.h"
#include "UsbDeviceModel.h"

namespace fx {

class UsbInterfaceObject;
class UsbPipe;

/* The NTSTATUS a request completes with for a USBD status. */
NTSTATUS UsbdToNtStatus(USBD_STATUS Status);

/* One alternate setting of an interface, as the configuration describes it. */
struct UsbSettingLayout {
    USB_INTERFACE_DESCRIPTOR Interface{};
    std::vector<USB_ENDPOINT_DESCRIPTOR> Endpoints;
};

/* One interface: its alternate settings in order of appearance. */
struct UsbInterfaceLayout {
    UCHAR Number = 0;
    std::vector<UsbSettingLayout> Settings;
};

/* Parses a configuration descriptor set. FALSE when it is malformed. */
bool ParseConfiguration(const std::vector<std::uint8_t> &Config, std::vector<UsbInterfaceLayout> *Layout);

/* WDFUSBDEVICE: the USB target device; as an I/O target it is the default
   control pipe. */
class UsbDeviceTarget final : public IoTarget {
public:
    UsbDeviceTarget(Device *Owner, UsbDeviceModel *Model);

    UsbDeviceModel *Model;
    USB_DEVICE_DESCRIPTOR DeviceDescriptor{};
    std::vector<std::uint8_t> Config; /* the whole configuration descriptor set */
    USHORT ReportedLength = 0;        /* what the configuration size query reports */
    std::vector<UsbInterfaceLayout> Layout;
    std::vector<UsbInterfaceObject *> Interfaces; /* by index, order of the configuration */
    bool Configured = false;

    WDFUSBDEVICE UsbHandle() const { return HandleAs<WDFUSBDEVICE>(); }
    UCHAR ConfigAttributes() const { return Config.size() >= 8 ? Config[7] : 0; }
    UsbInterfaceObject *InterfaceOf(WDFUSBINTERFACE Handle) const;
    /* Deletes the pipes of every interface (new selection, deconfiguration). */
    void DeletePipes();

    NTSTATUS Submit(Request *Req) override;
    void Abort(Request *Req) override;

protected:
    void OnDelete() override;
};

/* WDFUSBINTERFACE. */
class UsbInterfaceObject final : public Object {
public:
    UsbInterfaceObject(Device *Owner, UsbDeviceTarget *UsbDev, std::size_t Index);

    UsbDeviceTarget *UsbDev;
    std::size_t Index; /* into UsbDev->Layout */
    UCHAR ConfiguredSetting = 0;
    std::vector<UsbPipe *> Pipes; /* pipes of the configured setting, in endpoint order */

    const UsbInterfaceLayout &Layout() const { return UsbDev->Layout[Index]; }
    WDFUSBINTERFACE InterfaceHandle() const { return HandleAs<WDFUSBINTERFACE>(); }
    bool DriverMayDelete() const override;

protected:
    void OnDelete() override;
};

/* The continuous reader of an IN pipe. Reads go straight to the model
   (they are the framework's own requests); each completed read's buffer is
   a new framework memory object handed to the driver. */
/* One USB frame: the time a control transfer of the stack's own (a pipe
   reset) takes on the bus. */
constexpr VirtualTime kUsbFrame = kMillisecond;

class ContinuousReader {
public:
    ContinuousReader(UsbPipe *Pipe, const WDF_USB_CONTINUOUS_READER_CONFIG &Config,
                     const PWDF_OBJECT_ATTRIBUTES BufferAttributes);

    void Start();
    void Stop(WDF_IO_TARGET_SENT_IO_ACTION Action);
    /* The pipe is going away: abandon every read in flight. */
    void Shutdown();
    bool Running() const { return running_; }
    std::size_t InFlight() const { return reads_.size(); }

private:
    struct Read {
        std::uint64_t Tag = 0;      /* NextSubmissionTag: what the completion carries */
        std::uint64_t Transfer = 0; /* the model's transfer, for aborts */
        WDFMEMORY Buffer = nullptr;
    };
    void Fill();
    bool Post();
    void Completed(std::uint64_t Tag, USBD_STATUS Status, const Bytes &Data, std::size_t Actual);
    void Failed(NTSTATUS Status, USBD_STATUS UsbdStatus);
    void AbandonAll();
    /* Deletes delivered buffers the driver no longer references. */

    UsbPipe *pipe_;
    WDFUSBPIPE pipeHandle_;
    WDF_USB_CONTINUOUS_READER_CONFIG config_;
    bool haveAttributes_ = false;
    WDF_OBJECT_ATTRIBUTES attributes_{};
    std::size_t reads_wanted_;
    bool running_ = false;
    bool failing_ = false;         /* a failure is being reported; no new reads */
    std::uint64_t generation_ = 0; /* bumped by every start and stop */
    EventId restartEvent_ = 0;     /* the restart after a failure's pipe reset, 0 when none */
    std::vector<Read> reads_;
    /* tags of reads cancelled by a stop (a few); their completions only free their buffers */
    std::vector<std::uint64_t> abandoned_;
    /* Addresses the detector's orderings are stated on (their values are
       unused): the failure's detection, and the start before it, happen
       before the readers-failed callback; that callback's return happens
       before the restarted reads. */
    char failedOrder_ = 0;
    char restartOrder_ = 0;
};

/* WDFUSBPIPE: an endpoint of the selected setting; its own I/O target. */
class UsbPipe final : public IoTarget {
public:
    UsbPipe(Device *Owner, UsbDeviceTarget *UsbDev, UsbInterfaceObject *Interface,
            const WDF_USB_PIPE_INFORMATION &Info);
    ~UsbPipe() override;

    UsbDeviceTarget *UsbDev;
    UsbInterfaceObject *Interface;
    WDF_USB_PIPE_INFORMATION Info;
    bool NoMaximumPacketSizeCheck = false;
    bool DriverStarted = false; /* WdfIoTargetStart called and no stop since */
    std::unique_ptr<ContinuousReader> Reader;

    WDFUSBPIPE PipeHandle() const { return HandleAs<WDFUSBPIPE>(); }
    bool IsIn() const { return USB_ENDPOINT_DIRECTION_IN(Info.EndpointAddress) != 0; }
    /* Whether a read of Length bytes passes the maximum-packet-size check. */
    bool ReadLengthAllowed(std::size_t Length) const;
    bool DriverMayDelete() const override;

    NTSTATUS Submit(Request *Req) override;
    void Abort(Request *Req) override;
    void OnStart() override;
    void OnStop(WDF_IO_TARGET_SENT_IO_ACTION Action) override;

protected:
    void OnDelete() override;
};

/* Handle lookups with the verifier's checks. */
UsbDeviceTarget *ToUsbDevice(WDFUSBDEVICE Handle, const char *Api);
UsbInterfaceObject *ToUsbInterface(WDFUSBINTERFACE Handle, const char *Api);
UsbPipe *ToUsbPipe(WDFUSBPIPE Handle, const char *Api);

/* Fills a request's USB format slot: the memory (NULL: the request's own
   buffer, output for reads, input for writes), offset and length; the
   memory is referenced while formatted. *Length gets the transfer length. */
NTSTATUS FormatUsbRequest(Request *Req, IoTarget *Target, WDF_USB_REQUEST_TYPE Type, WDFMEMORY MemoryHandle,
                          PWDFMEMORY_OFFSET Offset, bool UseOutputBuffer, const char *Api, std::size_t *Length);
/* The bytes a formatted request carries (write data, control OUT stage):
   where they are, and their count in *Length (nullptr and 0 when none);
   or a copy into Out (whose storage is reused). */
const std::uint8_t *UsbRequestData(Request *Req, std::size_t *Length);
void UsbRequestBytes(Request *Req, Bytes &Out);
/* A tag no submission had before: a completion carries its submission's
   tag, so one that arrives for an earlier submission is told apart without
   keeping the model's transfer id in a shared cell. */
std::uint64_t NextSubmissionTag();

/* The device's id of the transfer a submit made, kept while the request
   still waits for it: a transfer completed within the submit call has
   already given the request back, and the request may be gone or sent anew. */
void NoteTransfer(WDFREQUEST RequestHandle, std::uint64_t Submission, std::uint64_t Transfer);
/* Completes a sent USB request from a model completion (shared by the
   control pipe and the data pipes). */
void CompleteUsbTransfer(WDFREQUEST RequestHandle, std::uint64_t Submission, USBD_STATUS Status, const Bytes &Data,
                         std::size_t Actual);
/* A target being deleted gives back its sent requests at once, cancelled. */
void CancelSentOnDelete(IoTarget *Target, UsbDeviceModel *Model);

/* The timeline's view of a transfer handed to the device model: records
   its submission on Pipe ("endpoint 0x81", "control") and returns Done
   wrapped to record its completion; Done itself while nothing records. */
UsbDeviceModel::Completion TimelineTransfer(const char *Pipe, std::uint8_t Endpoint, std::size_t Length,
                                            UsbDeviceModel::Completion Done);

} // namespace fx

/*
 * UsbPipe.cpp - WDFUSBPIPE: pipe information, read and write formatting,
 * transfers on bulk and interrupt pipes, pipe reset, and the continuous
 * reader.
 *
 * The continuous reader keeps NumPendingReads reads of TransferLength bytes
 * at the device while the driver has started the pipe's I/O target. Each
 * completed read's buffer is a new framework memory object, parented to the
 * pipe, handed to the driver's completion routine at DISPATCH_LEVEL and
 * deleted after the routine returns unless the driver referenced it (then
 * once the driver's references are gone). A held buffer does not count
 * against NumPendingReads: the next read gets a buffer of its own. A failed
 * read stops the reader; the readers-failed routine runs at PASSIVE_LEVEL
 * and, when it returns TRUE, the pipe is reset and the reader restarted.
 */
#include <algorithm>
#include <cstring>

#include "FxUsb.h"
#include "core/RaceAnnotations.h"
#include "core/Timeline.h"

namespace fx {

namespace {
constexpr ULONG kReaderTag = 0x72425355; /* 'USBr' in memory order */
} // namespace

/* ---------------------------------------------------------------------- */
/* Pipe object                                                             */
/* ---------------------------------------------------------------------- */
UsbPipe::UsbPipe(Device *Owner, UsbDeviceTarget *Dev, UsbInterfaceObject *If, const WDF_USB_PIPE_INFORMATION &I)
    : IoTarget(ObjectType::UsbPipe, Owner), UsbDev(Dev), Interface(If), Info(I)
{}

UsbPipe::~UsbPipe() = default;

bool UsbPipe::ReadLengthAllowed(std::size_t Length) const
{
    if (NoMaximumPacketSizeCheck || Info.MaximumPacketSize == 0) {
        return true;
    }
    return Length % Info.MaximumPacketSize == 0;
}

bool UsbPipe::DriverMayDelete() const
{
    VerifierReport("DeleteFrameworkObject",
                   "WdfObjectDelete of " + Describe() + ": pipes belong to the selected configuration");
    return false;
}

void UsbPipe::OnDelete()
{
    if (Reader) {
        Reader->Shutdown();
    }
    auto &List = Interface->Pipes;
    List.erase(std::remove(List.begin(), List.end(), this), List.end());
    CancelSentOnDelete(this, UsbDev->Model);
    IoTarget::OnDelete();
}

void UsbPipe::OnStart()
{
    DriverStarted = true;
    if (Reader && !Reader->Running()) {
        Reader->Start();
    }
}

void UsbPipe::OnStop(WDF_IO_TARGET_SENT_IO_ACTION Action)
{
    DriverStarted = false;
    if (Reader) {
        Reader->Stop(Action);
    }
}

NTSTATUS UsbPipe::Submit(Request *Req)
{
    UsbFormat &F = Req->Usb;
    const bool Write = F.Params.Type == WdfUsbRequestTypePipeWrite;
    const bool Read = F.Params.Type == WdfUsbRequestTypePipeRead;
    if (!F.Formatted || (!Write && !Read)) {
        VerifierReport("UnformattedUsbRequest", "a request sent to " + Describe() + " is not formatted for it");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (Info.PipeType != WdfUsbPipeTypeBulk && Info.PipeType != WdfUsbPipeTypeInterrupt) {
        return STATUS_NOT_SUPPORTED;
    }
    if (Read && Reader) {
        VerifierReport("ReadOnContinuousReaderPipe",
                       "a read was sent to " + Describe() + ", which has a continuous reader");
        return STATUS_INVALID_DEVICE_STATE;
    }
    WDFREQUEST RH = Req->RequestHandle();
    const std::uint64_t Tag = NextSubmissionTag();
    auto Done = [RH, Tag](USBD_STATUS St, const Bytes &Data, std::size_t Actual) {
        CompleteUsbTransfer(RH, Tag, St, Data, Actual);
    };
    F.Submission = Tag;
    std::uint64_t Transfer = 0;
    if (Write) {
        std::size_t Length = 0;
        const std::uint8_t *Data = UsbRequestData(Req, &Length);
        Transfer = UsbDev->Model->SubmitOut(Info.EndpointAddress, Data, Length,
                                            TimelineTransfer("endpoint", Info.EndpointAddress, Length, Done));
    } else {
        Transfer = UsbDev->Model->SubmitIn(Info.EndpointAddress, F.Length,
                                           TimelineTransfer("endpoint", Info.EndpointAddress, F.Length, Done));
    }
    NoteTransfer(RH, Tag, Transfer);
    return STATUS_PENDING;
}

void UsbPipe::Abort(Request *Req)
{
    if (Req->Usb.TransferId != 0) {
        UsbDev->Model->Abort(Req->Usb.TransferId);
    }
}

UsbPipe *ToUsbPipe(WDFUSBPIPE Handle, const char *Api)
{
    return static_cast<UsbPipe *>(LookupTyped(reinterpret_cast<WDFOBJECT>(Handle), ObjectType::UsbPipe, Api));
}

/* The opening of a passive-level pipe routine: the IRQL rule, the injected
   fault, then the pipe behind the handle (STATUS_INVALID_HANDLE, with the
   verifier's report, when there is none). */
static NTSTATUS OpenPassivePipe(const KitEntry &Kit, WDFUSBPIPE Pipe, UsbPipe **Out)
{
    NTSTATUS Status;
    if (!Kit.IrqlOk()) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (Kit.Injected(&Status)) {
        return Status;
    }
    *Out = ToUsbPipe(Pipe, Kit.Name());
    return *Out == nullptr ? STATUS_INVALID_HANDLE : STATUS_SUCCESS;
}

/* ---------------------------------------------------------------------- */
/* Continuous reader                                                       */
/* ---------------------------------------------------------------------- */
ContinuousReader::ContinuousReader(UsbPipe *Pipe, const WDF_USB_CONTINUOUS_READER_CONFIG &Config,
                                   const PWDF_OBJECT_ATTRIBUTES BufferAttributes)
    : pipe_(Pipe), pipeHandle_(Pipe->PipeHandle()), config_(Config)
{
    if (BufferAttributes != nullptr) {
        haveAttributes_ = true;
        attributes_ = *BufferAttributes;
        attributes_.ParentObject = nullptr; /* buffers always belong to the pipe */
    }
    reads_wanted_ = Config.NumPendingReads == 0 ? WDF_USB_CONTINUOUS_READER_DEFAULT_READS : Config.NumPendingReads;
}

void ContinuousReader::Start()
{
    ++generation_;
    running_ = true;
    failing_ = false;
    Fill();
}

void ContinuousReader::Fill()
{
    while (running_ && !failing_ && reads_.size() < reads_wanted_) {
        if (!Post()) {
            break;
        }
    }
}

bool ContinuousReader::Post()
{
    NTSTATUS Status = STATUS_SUCCESS;
    const std::size_t Size = config_.HeaderLength + config_.TransferLength + config_.TrailerLength;
    Memory *Buffer =
        CreateMemory(pipe_->OwnerDevice(), pipe_, Size, kReaderTag, haveAttributes_ ? &attributes_ : nullptr, &Status);
    if (Buffer == nullptr) {
        Failed(Status, USBD_STATUS_SUCCESS);
        return false;
    }
    WDFUSBPIPE PipeHandle = pipeHandle_;
    const std::uint64_t Tag = NextSubmissionTag();
    /* What the driver did before it started the pipe (or before the last
       read's routine returned) happens before this read's routine. */
    race::Release(Buffer);
    const std::uint64_t Transfer = pipe_->UsbDev->Model->SubmitIn(
        pipe_->Info.EndpointAddress, config_.TransferLength,
        TimelineTransfer("endpoint", pipe_->Info.EndpointAddress, config_.TransferLength,
                         [PipeHandle, Tag](USBD_STATUS St, const Bytes &Data, std::size_t Actual) {
                             if (!HaveHost()) {
                                 return;
                             }
                             Object *O = TryLookup(reinterpret_cast<WDFOBJECT>(PipeHandle));
                             if (O == nullptr || O->Type() != ObjectType::UsbPipe) {
                                 return; /* the pipe is gone, and its buffers with it */
                             }
                             auto *P = static_cast<UsbPipe *>(O);
                             if (P->Reader) {
                                 P->Reader->Completed(Tag, St, Data, Actual);
                             }
                         }));
    reads_.push_back(Read{Tag, Transfer, Buffer->HandleAs<WDFMEMORY>()});
    return true;
}

void ContinuousReader::Completed(std::uint64_t Tag, USBD_STATUS Status, const Bytes &Data, std::size_t Actual)
{
    auto Gone = std::find(abandoned_.begin(), abandoned_.end(), Tag);
    if (Gone != abandoned_.end()) {
        *Gone = abandoned_.back();
        abandoned_.pop_back();
        return;
    }
    auto It = std::find_if(reads_.begin(), reads_.end(), [&](const Read &R) { return R.Tag == Tag; });
    if (It == reads_.end()) {
        return;
    }
    const Read R = *It;
    reads_.erase(It);
    Object *O = TryLookup(reinterpret_cast<WDFOBJECT>(R.Buffer));
    auto *Buffer = O != nullptr && O->Type() == ObjectType::Memory ? static_cast<Memory *>(O) : nullptr;
    if (!USBD_SUCCESS(Status) || Buffer == nullptr) {
        if (Buffer != nullptr) {
            race::Acquire(Buffer); /* the start, or the last routine, before this read */
            Buffer->Delete();
        }
        Failed(UsbdToNtStatus(Status), Status);
        return;
    }
    const std::size_t N = std::min({Actual, Data.size(), static_cast<std::size_t>(config_.TransferLength)});
    if (N > 0) {
        std::memcpy(static_cast<std::uint8_t *>(Buffer->Buffer()) + config_.HeaderLength, Data.data(), N);
    }

    const std::uint64_t Generation = generation_;
    WDFUSBPIPE PipeHandle = pipeHandle_;
    PFN_WDF_USB_READER_COMPLETION_ROUTINE Routine = config_.EvtUsbTargetPipeReadComplete;
    WDFCONTEXT Context = config_.EvtUsbTargetPipeReadCompleteContext;
    race::Acquire(Buffer);
    CallDriver(pipe_->OwnerDevice(), DISPATCH_LEVEL, false, [&]() { Routine(PipeHandle, R.Buffer, N, Context); });
    race::Release(this); /* a stop that waits for the reads goes on after this */

    /* The framework releases the buffer now; one the driver referenced goes
       when the driver's last reference does. */
    Object *After = TryLookup(reinterpret_cast<WDFOBJECT>(R.Buffer));
    if (After != nullptr) {
        After->DeleteWhenUnreferenced();
    }
    if (running_ && Generation == generation_) {
        Fill();
    }
}

void ContinuousReader::Failed(NTSTATUS Status, USBD_STATUS UsbdStatus)
{
    race::Release(&failedOrder_);
    if (failing_) {
        return;
    }
    failing_ = true;
    AbandonAll();
    const std::uint64_t Generation = generation_;
    WDFUSBPIPE PipeHandle = pipeHandle_;
    Defer(
        [PipeHandle, Generation, Status, UsbdStatus]() {
            Object *O = TryLookup(reinterpret_cast<WDFOBJECT>(PipeHandle));
            if (O == nullptr || O->Type() != ObjectType::UsbPipe) {
                return;
            }
            auto *P = static_cast<UsbPipe *>(O);
            ContinuousReader *Self = P->Reader.get();
            if (Self == nullptr || Self->generation_ != Generation || !Self->running_) {
                return; /* stopped (or restarted) since: nothing to report */
            }
            /* The framework calls the routine once every read has come
               back: the start and each delivered read's routine happen
               before it. */
            race::Acquire(&Self->failedOrder_);
            race::Acquire(Self);
            BOOLEAN Restart = TRUE;
            PFN_WDF_USB_READERS_FAILED Routine = Self->config_.EvtUsbTargetPipeReadersFailed;
            if (Routine != nullptr) {
                CallDriver(P->OwnerDevice(), PASSIVE_LEVEL, false,
                           [&]() { Restart = Routine(PipeHandle, Status, UsbdStatus); });
            }
            /* The routine may have stopped or restarted the target itself. */
            if (TryLookup(reinterpret_cast<WDFOBJECT>(PipeHandle)) == nullptr || P->Reader.get() != Self ||
                Self->generation_ != Generation) {
                return;
            }
            Self->failing_ = false;
            race::Release(&Self->restartOrder_);
            if (!Restart) {
                Self->running_ = false; /* until the driver starts the target again */
                return;
            }
            if (!P->UsbDev->Model->Connected() || !DevicePresent(P->OwnerDevice())) {
                /* The reset cannot reach a device that is gone. */
                Self->running_ = false;
                return;
            }
            /* The reset is a control transfer on the bus (CLEAR_FEATURE
               ENDPOINT_HALT): the readers restart when it is done, a frame
               later. A pipe that fails every read at once thus retries once
               a frame, as on a real bus, instead of without end at one
               instant. */
            P->UsbDev->Model->ResetEndpoint(P->Info.EndpointAddress);
            Self->restartEvent_ = Clock().ScheduleAfter(
                kUsbFrame,
                [PipeHandle, Generation]() {
                    Object *Again = TryLookup(reinterpret_cast<WDFOBJECT>(PipeHandle));
                    if (Again == nullptr || Again->Type() != ObjectType::UsbPipe) return;
                    ContinuousReader *Reader = static_cast<UsbPipe *>(Again)->Reader.get();
                    if (Reader == nullptr || Reader->generation_ != Generation || !Reader->running_) return;
                    Reader->restartEvent_ = 0;
                    race::Acquire(&Reader->restartOrder_);
                    Reader->Fill();
                },
                "usb readers restart");
        },
        "usb readers failed");
}

void ContinuousReader::AbandonAll()
{
    std::vector<Read> Reads;
    Reads.swap(reads_);
    for (const Read &R : Reads) {
        abandoned_.push_back(R.Tag);
        Object *O = TryLookup(reinterpret_cast<WDFOBJECT>(R.Buffer));
        if (O != nullptr) {
            O->Delete();
        }
        pipe_->UsbDev->Model->Abort(R.Transfer);
    }
}

void ContinuousReader::Stop(WDF_IO_TARGET_SENT_IO_ACTION Action)
{
    ++generation_;
    running_ = false;
    failing_ = false;
    if (restartEvent_ != 0) {
        Clock().Cancel(restartEvent_);
        restartEvent_ = 0;
    }
    switch (Action) {
    case WdfIoTargetLeaveSentIoPending:
        /* The reads stay at the device; what they bring is still delivered. */
        break;
    case WdfIoTargetWaitForSentIoToComplete: {
        WDFUSBPIPE PipeHandle = pipeHandle_;
        Clock().RunUntil(
            [PipeHandle]() {
                auto *P = TryLookupAs<UsbPipe>(PipeHandle);
                return P == nullptr || P->Reader->InFlight() == 0;
            },
            "WdfIoTargetStop waiting for the continuous reader's reads");
        break;
    }
    default: {
        /* Cancel, and return once the device has given the reads back. */
        AbandonAll();
        WDFUSBPIPE PipeHandle = pipeHandle_;
        Clock().RunUntil(
            [PipeHandle]() {
                auto *P = TryLookupAs<UsbPipe>(PipeHandle);
                return P == nullptr || P->Reader->abandoned_.empty();
            },
            "WdfIoTargetStop cancelling the continuous reader's reads");
        break;
    }
    }
    if (Action != WdfIoTargetLeaveSentIoPending) race::Acquire(this);
}

void ContinuousReader::Shutdown()
{
    ++generation_;
    running_ = false;
    failing_ = false;
    AbandonAll();
}

} // namespace fx

/* ------------------------------------------------------------------------ */
/* The kit's calls                                                           */
/* ------------------------------------------------------------------------ */
using namespace fx;

EXTERN_C VOID WdfUsbTargetPipeGetInformation(WDFUSBPIPE Pipe, PWDF_USB_PIPE_INFORMATION PipeInformation)
{
    KIT_ENTRY(WdfUsbTargetPipeGetInformation);
    UsbPipe *P = ToUsbPipe(Pipe, Kit.Name());
    if (P == nullptr) {
        return;
    }
    if (PipeInformation == nullptr || PipeInformation->Size != sizeof(WDF_USB_PIPE_INFORMATION)) {
        VerifierReport("BadStructureSize", std::string(Kit.Name()) + ": WDF_USB_PIPE_INFORMATION not initialised");
        return;
    }
    *PipeInformation = P->Info;
}

EXTERN_C BOOLEAN WdfUsbTargetPipeIsInEndpoint(WDFUSBPIPE Pipe)
{
    KIT_ENTRY(WdfUsbTargetPipeIsInEndpoint);
    UsbPipe *P = ToUsbPipe(Pipe, Kit.Name());
    return P != nullptr && P->IsIn() ? TRUE : FALSE;
}

EXTERN_C BOOLEAN WdfUsbTargetPipeIsOutEndpoint(WDFUSBPIPE Pipe)
{
    KIT_ENTRY(WdfUsbTargetPipeIsOutEndpoint);
    UsbPipe *P = ToUsbPipe(Pipe, Kit.Name());
    return P != nullptr && !P->IsIn() ? TRUE : FALSE;
}

EXTERN_C WDF_USB_PIPE_TYPE WdfUsbTargetPipeGetType(WDFUSBPIPE Pipe)
{
    KIT_ENTRY(WdfUsbTargetPipeGetType);
    UsbPipe *P = ToUsbPipe(Pipe, Kit.Name());
    return P == nullptr ? WdfUsbPipeTypeInvalid : P->Info.PipeType;
}

EXTERN_C VOID WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(WDFUSBPIPE Pipe)
{
    KIT_ENTRY(WdfUsbTargetPipeSetNoMaximumPacketSizeCheck);
    UsbPipe *P = ToUsbPipe(Pipe, Kit.Name());
    if (P != nullptr) {
        P->NoMaximumPacketSizeCheck = true;
    }
}

EXTERN_C WDFIOTARGET WdfUsbTargetPipeGetIoTarget(WDFUSBPIPE Pipe)
{
    KIT_ENTRY(WdfUsbTargetPipeGetIoTarget);
    UsbPipe *P = ToUsbPipe(Pipe, Kit.Name());
    return P == nullptr ? nullptr : P->HandleAs<WDFIOTARGET>();
}

EXTERN_C NTSTATUS WdfUsbTargetPipeConfigContinuousReader(WDFUSBPIPE Pipe, PWDF_USB_CONTINUOUS_READER_CONFIG Config)
{
    KIT_ENTRY(WdfUsbTargetPipeConfigContinuousReader);
    UsbPipe *P = nullptr;
    NTSTATUS Status = OpenPassivePipe(Kit, Pipe, &P);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    if (Config == nullptr || Config->Size != sizeof(WDF_USB_CONTINUOUS_READER_CONFIG)) {
        VerifierReport("BadStructureSize",
                       std::string(Kit.Name()) + ": WDF_USB_CONTINUOUS_READER_CONFIG not initialised");
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (P->Reader) {
        VerifierReport("ReaderConfiguredTwice",
                       std::string(Kit.Name()) + ": " + P->Describe() + " already has a continuous reader");
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (P->DriverStarted) {
        VerifierReport("ReaderOnStartedTarget",
                       std::string(Kit.Name()) + ": the I/O target of " + P->Describe() + " is already started");
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (!P->IsIn() || (P->Info.PipeType != WdfUsbPipeTypeBulk && P->Info.PipeType != WdfUsbPipeTypeInterrupt)) {
        VerifierReport("ReaderOnWrongPipe",
                       std::string(Kit.Name()) + ": " + P->Describe() + " is not a bulk or interrupt IN pipe");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (Config->EvtUsbTargetPipeReadComplete == nullptr || Config->TransferLength == 0) {
        VerifierReport("BadReaderConfig", std::string(Kit.Name()) + " without a completion routine or transfer length");
        return STATUS_INVALID_PARAMETER;
    }
    if (Config->BufferAttributes != nullptr && Config->BufferAttributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) {
        VerifierReport("BadAttributes", std::string(Kit.Name()) + ": buffer attributes not initialised (Size)");
        return STATUS_INVALID_PARAMETER;
    }
    if (!P->ReadLengthAllowed(Config->TransferLength)) {
        /* Expected rejection: the transfer length is not a whole number of packets. */
        return STATUS_INVALID_BUFFER_SIZE;
    }
    P->Reader = std::make_unique<ContinuousReader>(P, *Config, Config->BufferAttributes);
    /* A pipe with a reader waits for the driver's WdfIoTargetStart. */
    P->Stop(WdfIoTargetLeaveSentIoPending);
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS WdfUsbTargetPipeFormatRequestForWrite(WDFUSBPIPE Pipe, WDFREQUEST RequestHandle,
                                                        WDFMEMORY WriteMemory, PWDFMEMORY_OFFSET WriteOffset)
{
    KIT_ENTRY(WdfUsbTargetPipeFormatRequestForWrite);
    UsbPipe *P = ToUsbPipe(Pipe, Kit.Name());
    Request *Req = ToRequest(RequestHandle, Kit.Name());
    if (P == nullptr || Req == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (P->IsIn()) {
        VerifierReport("WrongPipeDirection", std::string(Kit.Name()) + ": " + P->Describe() + " is an IN pipe");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS Injected;
    if (Kit.Injected(&Injected)) {
        return Injected;
    }
    std::size_t Length = 0;
    return FormatUsbRequest(Req, P, WdfUsbRequestTypePipeWrite, WriteMemory, WriteOffset, false, Kit.Name(), &Length);
}

EXTERN_C NTSTATUS WdfUsbTargetPipeFormatRequestForRead(WDFUSBPIPE Pipe, WDFREQUEST RequestHandle, WDFMEMORY ReadMemory,
                                                       PWDFMEMORY_OFFSET ReadOffset)
{
    KIT_ENTRY(WdfUsbTargetPipeFormatRequestForRead);
    UsbPipe *P = ToUsbPipe(Pipe, Kit.Name());
    Request *Req = ToRequest(RequestHandle, Kit.Name());
    if (P == nullptr || Req == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (!P->IsIn()) {
        VerifierReport("WrongPipeDirection", std::string(Kit.Name()) + ": " + P->Describe() + " is an OUT pipe");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::size_t Length = 0;
    NTSTATUS Status =
        FormatUsbRequest(Req, P, WdfUsbRequestTypePipeRead, ReadMemory, ReadOffset, true, Kit.Name(), &Length);
    if (NT_SUCCESS(Status) && !P->ReadLengthAllowed(Length)) {
        /* Expected rejection: a read that is not a whole number of packets. */
        Req->ReleaseUsbFormat();
        return STATUS_INVALID_BUFFER_SIZE;
    }
    return Status;
}

EXTERN_C NTSTATUS WdfUsbTargetPipeResetSynchronously(WDFUSBPIPE Pipe, WDFREQUEST RequestHandle,
                                                     PWDF_REQUEST_SEND_OPTIONS RequestOptions)
{
    KIT_ENTRY(WdfUsbTargetPipeResetSynchronously);
    UsbPipe *P = nullptr;
    NTSTATUS Status = OpenPassivePipe(Kit, Pipe, &P);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    if (RequestOptions != nullptr && RequestOptions->Size != sizeof(WDF_REQUEST_SEND_OPTIONS)) {
        VerifierReport("BadStructureSize", std::string(Kit.Name()) + ": WDF_REQUEST_SEND_OPTIONS not initialised");
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (RequestHandle != nullptr) {
        Request *Req = ToRequest(RequestHandle, Kit.Name());
        if (Req == nullptr || !Req->CheckUsable(Kit.Name())) {
            return STATUS_INVALID_PARAMETER;
        }
        if (Req->State() == Request::Where::Sent) {
            VerifierReport("FormatSentRequest", std::string(Kit.Name()) + " with a request that is still sent");
            return STATUS_INVALID_DEVICE_STATE;
        }
    }
    if (!P->UsbDev->Model->Connected() || !DevicePresent(P->OwnerDevice())) {
        return STATUS_NO_SUCH_DEVICE;
    }
    P->UsbDev->Model->ResetEndpoint(P->Info.EndpointAddress);
    return STATUS_SUCCESS;
}

/*
 * UsbDevice.cpp - WDFUSBDEVICE and WDFUSBINTERFACE: creation of the USB
 * target, the descriptors, device information, configuration selection,
 * interfaces, and control transfers on the default pipe.
 *
 * The descriptors are read from the device when the target is created (as
 * the host's USB stack does through the bus); selection sends
 * SET_CONFIGURATION. Both go through UsbDeviceModel::StandardRequest, which
 * answers synchronously: these calls block their caller on a real system.
 */
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "FxUsb.h"
#include "core/Timeline.h"

namespace fx {

namespace {

constexpr ULONG kMaximumTransferSize = 4096 * 64;

SetupPacket StandardIn(std::uint8_t Request, std::uint16_t Value, std::uint16_t Index, std::uint16_t Length)
{
    SetupPacket S;
    S.bmRequestType = 0x80; /* device to host, standard, device */
    S.bRequest = Request;
    S.wValue = Value;
    S.wIndex = Index;
    S.wLength = Length;
    return S;
}

std::uint16_t Read16(const std::vector<std::uint8_t> &B, std::size_t At)
{
    return static_cast<std::uint16_t>(B[At] | (B[At + 1] << 8));
}

} // namespace

NTSTATUS UsbdToNtStatus(USBD_STATUS Status)
{
    if (USBD_SUCCESS(Status)) {
        return STATUS_SUCCESS;
    }
    switch (Status) {
    case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
    case USBD_STATUS_DEVICE_GONE: return STATUS_NO_SUCH_DEVICE;
    case USBD_STATUS_TIMEOUT: return STATUS_IO_TIMEOUT;
    case USBD_STATUS_DEV_NOT_RESPONDING: return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_INVALID_PARAMETER: return STATUS_INVALID_PARAMETER;
    default:
        /* A stall, a halted endpoint and the transmission errors. */
        return STATUS_UNSUCCESSFUL;
    }
}

bool ParseConfiguration(const std::vector<std::uint8_t> &Config, std::vector<UsbInterfaceLayout> *Layout)
{
    Layout->clear();
    if (Config.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR) || Config[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        return false;
    }
    std::size_t Total = std::min<std::size_t>(Config.size(), Read16(Config, 2));
    UsbSettingLayout *Current = nullptr;
    std::size_t At = Config[0];
    while (At + 2 <= Total) {
        const std::uint8_t Length = Config[At];
        const std::uint8_t Type = Config[At + 1];
        if (Length < 2 || At + Length > Total) {
            return false;
        }
        if (Type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            if (Length < sizeof(USB_INTERFACE_DESCRIPTOR)) {
                return false;
            }
            USB_INTERFACE_DESCRIPTOR D;
            std::memcpy(&D, &Config[At], sizeof D);
            auto It = std::find_if(Layout->begin(), Layout->end(),
                                   [&](const UsbInterfaceLayout &L) { return L.Number == D.bInterfaceNumber; });
            if (It == Layout->end()) {
                Layout->push_back(UsbInterfaceLayout{D.bInterfaceNumber, {}});
                It = Layout->end() - 1;
            }
            It->Settings.push_back(UsbSettingLayout{D, {}});
            Current = &It->Settings.back();
        } else if (Type == USB_ENDPOINT_DESCRIPTOR_TYPE) {
            if (Length < sizeof(USB_ENDPOINT_DESCRIPTOR) || Current == nullptr) {
                return false;
            }
            USB_ENDPOINT_DESCRIPTOR E;
            std::memcpy(&E, &Config[At], sizeof E);
            Current->Endpoints.push_back(E);
        }
        At += Length;
    }
    return true;
}

/* ---------------------------------------------------------------------- */
/* Objects                                                                 */
/* ---------------------------------------------------------------------- */
UsbDeviceTarget::UsbDeviceTarget(Device *Owner, UsbDeviceModel *M) : IoTarget(ObjectType::UsbDevice, Owner), Model(M) {}

UsbInterfaceObject *UsbDeviceTarget::InterfaceOf(WDFUSBINTERFACE Handle) const
{
    for (UsbInterfaceObject *If : Interfaces) {
        if (If->InterfaceHandle() == Handle) {
            return If;
        }
    }
    return nullptr;
}

void UsbDeviceTarget::DeletePipes()
{
    for (UsbInterfaceObject *If : Interfaces) {
        std::vector<UsbPipe *> Old = If->Pipes;
        for (UsbPipe *P : Old) {
            P->Delete();
        }
        If->Pipes.clear();
    }
}

UsbDeviceModel::Completion TimelineTransfer(const char *Pipe, std::uint8_t Endpoint, std::size_t Length,
                                            UsbDeviceModel::Completion Done)
{
    if (!TimelineOn()) return Done;
    char Name[40];
    if (Endpoint != 0) {
        std::snprintf(Name, sizeof Name, "%s 0x%02x", Pipe, static_cast<unsigned>(Endpoint));
    } else {
        std::snprintf(Name, sizeof Name, "%s", Pipe);
    }
    const std::uint64_t Id = TimelineNextId();
    TimelineNote(TimelineKind::TransferSubmit, Id, Name, std::to_string(Length) + " bytes asked");
    return [Id, Done = std::move(Done)](USBD_STATUS St, const Bytes &Data, std::size_t Actual) {
        char Text[64];
        std::snprintf(Text, sizeof Text, "USBD 0x%08lx, %zu bytes", static_cast<unsigned long>(St), Actual);
        TimelineNote(TimelineKind::TransferComplete, Id, {}, Text);
        Done(St, Data, Actual);
    };
}

void CancelSentOnDelete(IoTarget *Target, UsbDeviceModel *Model)
{
    std::vector<Request *> Sent(Target->SentRequests().begin(), Target->SentRequests().end());
    for (Request *R : Sent) {
        const std::uint64_t Transfer = R->Usb.TransferId;
        R->Usb.TransferId = 0;
        R->Usb.Submission = 0; /* a late completion of it finds nothing to complete */
        if (Transfer != 0) {
            Model->Abort(Transfer);
        }
        R->Usb.Params.UsbdStatus = USBD_STATUS_CANCELED;
        Target->CompleteSent(R, STATUS_CANCELLED, 0);
    }
}

void UsbDeviceTarget::OnDelete()
{
    CancelSentOnDelete(this, Model);
    /* The interfaces (and their pipes) are children and go next. */
    IoTarget::OnDelete();
}

UsbInterfaceObject::UsbInterfaceObject(Device *Owner, UsbDeviceTarget *Dev, std::size_t I)
    : Object(ObjectType::UsbInterface, Owner), UsbDev(Dev), Index(I)
{}

bool UsbInterfaceObject::DriverMayDelete() const
{
    VerifierReport("DeleteFrameworkObject",
                   "WdfObjectDelete of " + Describe() + ": USB interfaces belong to their USB device");
    return false;
}

void UsbInterfaceObject::OnDelete()
{
    auto &List = UsbDev->Interfaces;
    List.erase(std::remove(List.begin(), List.end(), this), List.end());
}

UsbDeviceTarget *ToUsbDevice(WDFUSBDEVICE Handle, const char *Api)
{
    return static_cast<UsbDeviceTarget *>(LookupTyped(reinterpret_cast<WDFOBJECT>(Handle), ObjectType::UsbDevice, Api));
}

UsbInterfaceObject *ToUsbInterface(WDFUSBINTERFACE Handle, const char *Api)
{
    return static_cast<UsbInterfaceObject *>(
        LookupTyped(reinterpret_cast<WDFOBJECT>(Handle), ObjectType::UsbInterface, Api));
}

/* ---------------------------------------------------------------------- */
/* Transfers on the default control pipe                                   */
/* ---------------------------------------------------------------------- */

NTSTATUS FormatUsbRequest(Request *Req, IoTarget *Target, WDF_USB_REQUEST_TYPE Type, WDFMEMORY MemoryHandle,
                          PWDFMEMORY_OFFSET Offset, bool UseOutputBuffer, const char *Api, std::size_t *Length)
{
    if (!Req->CheckUsable(Api)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (Req->State() == Request::Where::Sent) {
        VerifierReport("FormatSentRequest", std::string(Api) + " of a request that is still sent to a target");
        return STATUS_INVALID_DEVICE_STATE;
    }
    Memory *Mem = nullptr;
    std::size_t Size = 0;
    if (MemoryHandle != nullptr) {
        Mem = static_cast<Memory *>(LookupTyped(reinterpret_cast<WDFOBJECT>(MemoryHandle), ObjectType::Memory, Api));
        if (Mem == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        Size = Mem->Size();
    } else if (Type != WdfUsbRequestTypeDeviceControlTransfer) {
        /* No memory: the request's own buffer (a request from the I/O manager). */
        if (Req->From() != Request::Origin::IoManager) {
            VerifierReport("FormatWithoutMemory", std::string(Api) + " with no memory for a driver-created request");
            return STATUS_INVALID_PARAMETER;
        }
        Size = UseOutputBuffer ? Req->OutputLength : Req->InputLength;
    }
    std::size_t Start = 0;
    std::size_t Bytes = Size;
    if (Offset != nullptr) {
        if (Offset->BufferOffset > Size || Offset->BufferLength > Size - Offset->BufferOffset) {
            VerifierReport("BadMemoryOffset", std::string(Api) + ": the offset and length lie outside the memory");
            return STATUS_INVALID_PARAMETER;
        }
        Start = Offset->BufferOffset;
        Bytes = Offset->BufferLength != 0 ? Offset->BufferLength : Size - Offset->BufferOffset;
    }

    /* A new format replaces the previous one (and its memory reference). */
    Req->ReleaseUsbFormat();
    UsbFormat &F = Req->Usb;
    F.Formatted = true;
    F.Target = Target;
    F.Buffer = Mem;
    if (Mem != nullptr) {
        Mem->Reference();
    }
    F.Offset = Start;
    F.Length = Bytes;
    F.TransferId = 0;
    F.Submission = 0;
    F.Params = WDF_USB_REQUEST_COMPLETION_PARAMS{};
    F.Params.Type = Type;
    switch (Type) {
    case WdfUsbRequestTypePipeWrite:
        F.Params.Parameters.PipeWrite.Buffer = MemoryHandle;
        F.Params.Parameters.PipeWrite.Offset = Start;
        break;
    case WdfUsbRequestTypePipeRead:
        F.Params.Parameters.PipeRead.Buffer = MemoryHandle;
        F.Params.Parameters.PipeRead.Offset = Start;
        break;
    case WdfUsbRequestTypeDeviceControlTransfer: F.Params.Parameters.DeviceControlTransfer.Buffer = MemoryHandle; break;
    default: break;
    }
    *Length = Bytes;
    return STATUS_SUCCESS;
}

std::uint64_t NextSubmissionTag()
{
    static std::uint64_t Last = 0;
    return ++Last;
}

const std::uint8_t *UsbRequestData(Request *Req, std::size_t *Length)
{
    const UsbFormat &F = Req->Usb;
    const std::uint8_t *Base = nullptr;
    if (F.Buffer != nullptr) {
        Base = static_cast<const std::uint8_t *>(F.Buffer->Buffer());
    } else if (!Req->SystemBuffer.empty()) {
        Base = Req->SystemBuffer.data();
    }
    if (Base == nullptr || F.Length == 0) {
        *Length = 0;
        return nullptr;
    }
    *Length = F.Length;
    return Base + F.Offset;
}

void UsbRequestBytes(Request *Req, Bytes &Out)
{
    std::size_t Length = 0;
    const std::uint8_t *Data = UsbRequestData(Req, &Length);
    Out.assign(Data, Data + Length);
}

/* Copies IN data into a formatted request's buffer; the count copied. */
static std::size_t StoreUsbData(Request *Req, const Bytes &Data, std::size_t Actual)
{
    UsbFormat &F = Req->Usb;
    std::size_t N = std::min({Actual, Data.size(), F.Length});
    if (N == 0) {
        return 0;
    }
    std::uint8_t *Base = nullptr;
    if (F.Buffer != nullptr) {
        Base = static_cast<std::uint8_t *>(F.Buffer->Buffer());
    } else if (Req->SystemBuffer.size() >= F.Offset + N) {
        Base = Req->SystemBuffer.data();
    }
    if (Base != nullptr) {
        std::memcpy(Base + F.Offset, Data.data(), N);
    }
    return N;
}

void NoteTransfer(WDFREQUEST RequestHandle, std::uint64_t Submission, std::uint64_t Transfer)
{
    Object *O = TryLookup(reinterpret_cast<WDFOBJECT>(RequestHandle));
    auto *Req = O != nullptr && O->Type() == ObjectType::Request ? static_cast<Request *>(O) : nullptr;
    if (Req != nullptr && Req->Usb.Submission == Submission) {
        Req->Usb.TransferId = Transfer;
    }
}

void CompleteUsbTransfer(WDFREQUEST RequestHandle, std::uint64_t Submission, USBD_STATUS Status, const Bytes &Data,
                         std::size_t Actual)
{
    if (!HaveHost()) {
        return;
    }
    /* A request deleted while in flight, or one whose target already gave it
       back (target deletion), is no longer waiting for this transfer. */
    Object *RO = TryLookup(reinterpret_cast<WDFOBJECT>(RequestHandle));
    if (RO == nullptr || RO->Type() != ObjectType::Request) {
        return;
    }
    auto *Req = static_cast<Request *>(RO);
    if (Req->Usb.Submission != Submission || Req->State() != Request::Where::Sent || Req->SentTo == nullptr) {
        return;
    }
    UsbFormat &F = Req->Usb;
    F.TransferId = 0;
    F.Submission = 0;
    F.Params.UsbdStatus = Status;
    std::size_t Moved = Actual;
    switch (F.Params.Type) {
    case WdfUsbRequestTypePipeRead:
        Moved = StoreUsbData(Req, Data, Actual);
        F.Params.Parameters.PipeRead.Length = Moved;
        break;
    case WdfUsbRequestTypePipeWrite:
        Moved = std::min(Actual, F.Length);
        F.Params.Parameters.PipeWrite.Length = Moved;
        break;
    case WdfUsbRequestTypeDeviceControlTransfer:
        if (F.Setup.Packet.bm.Request.Dir == BmRequestDeviceToHost) {
            Moved = StoreUsbData(Req, Data, Actual);
        } else {
            Moved = std::min(Actual, F.Length);
        }
        F.Params.Parameters.DeviceControlTransfer.Length = static_cast<ULONG>(Moved);
        break;
    default: break;
    }
    Req->SentTo->CompleteSent(Req, UsbdToNtStatus(Status), Moved);
}

NTSTATUS UsbDeviceTarget::Submit(Request *Req)
{
    UsbFormat &F = Req->Usb;
    if (!F.Formatted || F.Params.Type != WdfUsbRequestTypeDeviceControlTransfer) {
        VerifierReport("UnformattedUsbRequest",
                       "a request sent to " + Describe() + " is not formatted for a control transfer");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    SetupPacket S;
    S.bmRequestType = F.Setup.Packet.bm.Byte;
    S.bRequest = F.Setup.Packet.bRequest;
    S.wValue = F.Setup.Packet.wValue.Value;
    S.wIndex = F.Setup.Packet.wIndex.Value;
    S.wLength = F.Setup.Packet.wLength;
    Bytes Out;
    if (F.Setup.Packet.bm.Request.Dir == BmRequestHostToDevice) {
        UsbRequestBytes(Req, Out);
    }
    WDFREQUEST RH = Req->RequestHandle();
    const std::uint64_t Tag = NextSubmissionTag();
    F.Submission = Tag;
    const std::uint64_t Transfer = Model->SubmitControl(
        S, Out,
        TimelineTransfer("control", 0, S.wLength, [RH, Tag](USBD_STATUS St, const Bytes &Data, std::size_t Actual) {
            CompleteUsbTransfer(RH, Tag, St, Data, Actual);
        }));
    NoteTransfer(RH, Tag, Transfer);
    return STATUS_PENDING;
}

void UsbDeviceTarget::Abort(Request *Req)
{
    if (Req->Usb.TransferId != 0) {
        Model->Abort(Req->Usb.TransferId);
    }
}

} // namespace fx

/* ------------------------------------------------------------------------ */
/* The kit's calls                                                           */
/* ------------------------------------------------------------------------ */
using namespace fx;

EXTERN_C NTSTATUS WdfUsbTargetDeviceCreate(WDFDEVICE DeviceHandle, PWDF_OBJECT_ATTRIBUTES Attributes,
                                           WDFUSBDEVICE *UsbDevice)
{
    KIT_ENTRY(WdfUsbTargetDeviceCreate);
    if (UsbDevice == nullptr) {
        VerifierReport("NullParameter", std::string(Kit.Name()) + " with no place for the handle");
        return STATUS_INVALID_PARAMETER;
    }
    *UsbDevice = nullptr;
    if (!Kit.IrqlOk()) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS Status;
    if (Kit.Injected(&Status)) {
        return Status;
    }
    Device *Dev = DeviceFromHandle(DeviceHandle, Kit.Name());
    Object *DeviceObject = TryLookup(reinterpret_cast<WDFOBJECT>(DeviceHandle));
    if (Dev == nullptr || DeviceObject == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    UsbDeviceModel *Model = UsbModelOf(Dev);
    if (Model == nullptr) {
        /* Nothing below answers USB requests: not a USB device. */
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    /* Read the descriptors as the USB stack does: the device descriptor, the
       configuration header for its length, then the whole set. */
    Bytes DeviceDesc;
    USBD_STATUS Usbd =
        Model->StandardRequest(StandardIn(0x06, USB_DEVICE_DESCRIPTOR_TYPE << 8, 0, 18), {}, &DeviceDesc);
    if (!USBD_SUCCESS(Usbd)) {
        return UsbdToNtStatus(Usbd);
    }
    Bytes Header;
    Usbd = Model->StandardRequest(StandardIn(0x06, USB_CONFIGURATION_DESCRIPTOR_TYPE << 8, 0, 9), {}, &Header);
    if (!USBD_SUCCESS(Usbd)) {
        return UsbdToNtStatus(Usbd);
    }
    if (DeviceDesc.size() < sizeof(USB_DEVICE_DESCRIPTOR) || Header.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        return STATUS_UNSUCCESSFUL;
    }
    Bytes Config;
    Usbd = Model->StandardRequest(StandardIn(0x06, USB_CONFIGURATION_DESCRIPTOR_TYPE << 8, 0, Read16(Header, 2)), {},
                                  &Config);
    if (!USBD_SUCCESS(Usbd)) {
        return UsbdToNtStatus(Usbd);
    }
    std::vector<UsbInterfaceLayout> Layout;
    if (!ParseConfiguration(Config, &Layout)) {
        return STATUS_UNSUCCESSFUL;
    }

    auto *Target = new UsbDeviceTarget(Dev, Model);
    std::memcpy(&Target->DeviceDescriptor, DeviceDesc.data(), sizeof(USB_DEVICE_DESCRIPTOR));
    Target->Config = Config;
    Target->ReportedLength = Model->ReportedConfigurationLength();
    Target->Layout = Layout;
    Status = CommitOrDestroy(Target, Attributes, DeviceObject, Kit.Name());
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    for (std::size_t I = 0; I < Layout.size(); ++I) {
        auto *If = new UsbInterfaceObject(Dev, Target, I);
        Status = CommitOrDestroy(If, nullptr, Target, Kit.Name());
        if (!NT_SUCCESS(Status)) {
            Target->Delete();
            return Status;
        }
        Target->Interfaces.push_back(If);
    }
    *UsbDevice = Target->UsbHandle();
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS WdfUsbTargetDeviceRetrieveInformation(WDFUSBDEVICE UsbDevice, PWDF_USB_DEVICE_INFORMATION Information)
{
    KIT_ENTRY(WdfUsbTargetDeviceRetrieveInformation);
    UsbDeviceTarget *T = ToUsbDevice(UsbDevice, Kit.Name());
    if (T == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (Information == nullptr || Information->Size != sizeof(WDF_USB_DEVICE_INFORMATION)) {
        VerifierReport("BadStructureSize", std::string(Kit.Name()) + ": WDF_USB_DEVICE_INFORMATION not initialised");
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    NTSTATUS Injected;
    if (Kit.Injected(&Injected)) {
        return Injected;
    }
    Information->UsbdVersionInformation.USBDI_Version = 0x600;
    Information->UsbdVersionInformation.Supported_USB_Version = T->DeviceDescriptor.bcdUSB;
    Information->HcdPortCapabilities = 0;
    ULONG Traits = 0;
    const UCHAR Attributes = T->ConfigAttributes();
    if (Attributes & USB_CONFIG_SELF_POWERED) {
        Traits |= WDF_USB_DEVICE_TRAIT_SELF_POWERED;
    }
    if (Attributes & USB_CONFIG_REMOTE_WAKEUP) {
        Traits |= WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE;
    }
    for (const auto &If : T->Layout) {
        for (const auto &Setting : If.Settings) {
            for (const auto &Ep : Setting.Endpoints) {
                if ((Ep.bmAttributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_BULK && Ep.wMaxPacketSize == 512) {
                    Traits |= WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED;
                }
            }
        }
    }
    Information->Traits = Traits;
    return STATUS_SUCCESS;
}

EXTERN_C VOID WdfUsbTargetDeviceGetDeviceDescriptor(WDFUSBDEVICE UsbDevice, PUSB_DEVICE_DESCRIPTOR UsbDeviceDescriptor)
{
    KIT_ENTRY(WdfUsbTargetDeviceGetDeviceDescriptor);
    UsbDeviceTarget *T = ToUsbDevice(UsbDevice, Kit.Name());
    if (T == nullptr) {
        return;
    }
    if (UsbDeviceDescriptor == nullptr) {
        VerifierReport("NullParameter", std::string(Kit.Name()) + " with a NULL descriptor");
        return;
    }
    std::memcpy(UsbDeviceDescriptor, &T->DeviceDescriptor, sizeof(USB_DEVICE_DESCRIPTOR));
}

EXTERN_C NTSTATUS WdfUsbTargetDeviceRetrieveConfigDescriptor(WDFUSBDEVICE UsbDevice, PVOID ConfigDescriptor,
                                                             PUSHORT ConfigDescriptorLength)
{
    KIT_ENTRY(WdfUsbTargetDeviceRetrieveConfigDescriptor);
    UsbDeviceTarget *T = ToUsbDevice(UsbDevice, Kit.Name());
    if (T == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (ConfigDescriptorLength == nullptr) {
        VerifierReport("NullParameter", std::string(Kit.Name()) + " with a NULL length");
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS Injected;
    if (Kit.Injected(&Injected)) {
        return Injected;
    }
    const USHORT Total = T->ReportedLength;
    if (ConfigDescriptor == nullptr || *ConfigDescriptorLength < Total) {
        *ConfigDescriptorLength = Total;
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto *Out = static_cast<std::uint8_t *>(ConfigDescriptor);
    const std::size_t Copy = std::min<std::size_t>(Total, T->Config.size());
    if (Copy > 0) {
        std::memcpy(Out, T->Config.data(), Copy);
    }
    if (Total > Copy) {
        std::memset(Out + Copy, 0, Total - Copy);
    }
    *ConfigDescriptorLength = Total;
    return STATUS_SUCCESS;
}

EXTERN_C UCHAR WdfUsbTargetDeviceGetNumInterfaces(WDFUSBDEVICE UsbDevice)
{
    KIT_ENTRY(WdfUsbTargetDeviceGetNumInterfaces);
    UsbDeviceTarget *T = ToUsbDevice(UsbDevice, Kit.Name());
    return T == nullptr ? 0 : static_cast<UCHAR>(T->Interfaces.size());
}

EXTERN_C WDFUSBINTERFACE WdfUsbTargetDeviceGetInterface(WDFUSBDEVICE UsbDevice, UCHAR InterfaceIndex)
{
    KIT_ENTRY(WdfUsbTargetDeviceGetInterface);
    UsbDeviceTarget *T = ToUsbDevice(UsbDevice, Kit.Name());
    if (T == nullptr || InterfaceIndex >= T->Interfaces.size()) {
        return nullptr;
    }
    return T->Interfaces[InterfaceIndex]->InterfaceHandle();
}

namespace {

/* Creates the pipes of one interface's configured setting. */
NTSTATUS CreatePipes(UsbDeviceTarget *T, UsbInterfaceObject *If, PWDF_OBJECT_ATTRIBUTES PipeAttributes)
{
    const UsbSettingLayout &Setting = If->Layout().Settings[If->ConfiguredSetting];
    for (const USB_ENDPOINT_DESCRIPTOR &Ep : Setting.Endpoints) {
        WDF_USB_PIPE_INFORMATION Info;
        WDF_USB_PIPE_INFORMATION_INIT(&Info);
        Info.MaximumPacketSize = Ep.wMaxPacketSize & 0x7FF;
        Info.EndpointAddress = Ep.bEndpointAddress;
        Info.Interval = Ep.bInterval;
        Info.SettingIndex = If->ConfiguredSetting;
        switch (Ep.bmAttributes & USB_ENDPOINT_TYPE_MASK) {
        case USB_ENDPOINT_TYPE_CONTROL: Info.PipeType = WdfUsbPipeTypeControl; break;
        case USB_ENDPOINT_TYPE_ISOCHRONOUS: Info.PipeType = WdfUsbPipeTypeIsochronous; break;
        case USB_ENDPOINT_TYPE_BULK: Info.PipeType = WdfUsbPipeTypeBulk; break;
        default: Info.PipeType = WdfUsbPipeTypeInterrupt; break;
        }
        Info.MaximumTransferSize = kMaximumTransferSize;
        auto *Pipe = new UsbPipe(T->OwnerDevice(), T, If, Info);
        WDF_OBJECT_ATTRIBUTES Attributes;
        PWDF_OBJECT_ATTRIBUTES Use = nullptr;
        if (PipeAttributes != nullptr) {
            Attributes = *PipeAttributes;
            Attributes.ParentObject = nullptr; /* pipes always belong to their interface */
            Use = &Attributes;
        }
        NTSTATUS Status = CommitOrDestroy(Pipe, Use, If, "WdfUsbTargetDeviceSelectConfig");
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
        If->Pipes.push_back(Pipe);
    }
    return STATUS_SUCCESS;
}

} // namespace

EXTERN_C NTSTATUS WdfUsbTargetDeviceSelectConfig(WDFUSBDEVICE UsbDevice, PWDF_OBJECT_ATTRIBUTES PipeAttributes,
                                                 PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params)
{
    KIT_ENTRY(WdfUsbTargetDeviceSelectConfig);
    if (!Kit.IrqlOk()) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    NTSTATUS Status;
    if (Kit.Injected(&Status)) {
        return Status;
    }
    UsbDeviceTarget *T = ToUsbDevice(UsbDevice, Kit.Name());
    if (T == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (Params == nullptr || Params->Size != sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS)) {
        VerifierReport("BadStructureSize",
                       std::string(Kit.Name()) + ": WDF_USB_DEVICE_SELECT_CONFIG_PARAMS not initialised");
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (PipeAttributes != nullptr && PipeAttributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES)) {
        VerifierReport("BadAttributes", std::string(Kit.Name()) + ": pipe attributes not initialised (Size)");
        return STATUS_INVALID_PARAMETER;
    }

    /* Which setting each interface gets. */
    const std::size_t Count = T->Interfaces.size();
    std::vector<int> Chosen(Count, -1);
    switch (Params->Type) {
    case WdfUsbTargetDeviceSelectConfigTypeDeconfig: {
        T->DeletePipes();
        SetupPacket S{0x00, 0x09, 0, 0, 0};
        USBD_STATUS Usbd = T->Model->StandardRequest(S, {}, nullptr);
        T->Configured = false;
        return UsbdToNtStatus(Usbd);
    }
    case WdfUsbTargetDeviceSelectConfigTypeSingleInterface:
        if (Count != 1) {
            /* Expected rejection: single-interface parameters for a device
               with several interfaces. */
            return STATUS_INVALID_PARAMETER;
        }
        Chosen[0] = 0;
        break;
    case WdfUsbTargetDeviceSelectConfigTypeMultiInterface:
        for (auto &C : Chosen) {
            C = 0;
        }
        break;
    case WdfUsbTargetDeviceSelectConfigTypeInterfacesPairs: {
        const auto &M = Params->Types.MultiInterface;
        if (M.NumberInterfaces == 0 || M.Pairs == nullptr || M.NumberInterfaces != Count) {
            return STATUS_INVALID_PARAMETER;
        }
        for (UCHAR I = 0; I < M.NumberInterfaces; ++I) {
            UsbInterfaceObject *If = T->InterfaceOf(M.Pairs[I].UsbInterface);
            if (If == nullptr) {
                /* Not an interface of this device. */
                return STATUS_INVALID_PARAMETER;
            }
            if (Chosen[If->Index] != -1 || M.Pairs[I].SettingIndex >= If->Layout().Settings.size()) {
                return STATUS_INVALID_PARAMETER;
            }
            Chosen[If->Index] = M.Pairs[I].SettingIndex;
        }
        break;
    }
    case WdfUsbTargetDeviceSelectConfigTypeInterfacesDescriptor:
    case WdfUsbTargetDeviceSelectConfigTypeUrb: return STATUS_NOT_SUPPORTED;
    default:
        VerifierReport("BadSelectConfigType", std::string(Kit.Name()) + ": unknown selection type");
        return STATUS_INVALID_PARAMETER;
    }
    if (Count == 0) {
        return STATUS_INVALID_PARAMETER;
    }

    /* The device takes the configuration, then the pipes are built. */
    SetupPacket S{0x00, 0x09, static_cast<std::uint16_t>(T->Config.size() > 5 ? T->Config[5] : 1), 0, 0};
    USBD_STATUS Usbd = T->Model->StandardRequest(S, {}, nullptr);
    if (!USBD_SUCCESS(Usbd)) {
        return UsbdToNtStatus(Usbd);
    }
    T->DeletePipes();
    for (std::size_t I = 0; I < Count; ++I) {
        UsbInterfaceObject *If = T->Interfaces[I];
        If->ConfiguredSetting = static_cast<UCHAR>(Chosen[I]);
        if (Chosen[I] != 0) {
            SetupPacket SetIf{0x01, 0x0B, static_cast<std::uint16_t>(Chosen[I]), If->Layout().Number, 0};
            Usbd = T->Model->StandardRequest(SetIf, {}, nullptr);
            if (!USBD_SUCCESS(Usbd)) {
                return UsbdToNtStatus(Usbd);
            }
        }
        Status = CreatePipes(T, If, PipeAttributes);
        if (!NT_SUCCESS(Status)) {
            return Status;
        }
    }
    T->Configured = true;

    switch (Params->Type) {
    case WdfUsbTargetDeviceSelectConfigTypeSingleInterface:
        Params->Types.SingleInterface.ConfiguredUsbInterface = T->Interfaces[0]->InterfaceHandle();
        Params->Types.SingleInterface.NumberConfiguredPipes = static_cast<UCHAR>(T->Interfaces[0]->Pipes.size());
        break;
    default: Params->Types.MultiInterface.NumberOfConfiguredInterfaces = static_cast<UCHAR>(Count); break;
    }
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS WdfUsbTargetDeviceFormatRequestForControlTransfer(WDFUSBDEVICE UsbDevice, WDFREQUEST RequestHandle,
                                                                    PWDF_USB_CONTROL_SETUP_PACKET SetupPacket,
                                                                    WDFMEMORY TransferMemory,
                                                                    PWDFMEMORY_OFFSET TransferOffset)
{
    KIT_ENTRY(WdfUsbTargetDeviceFormatRequestForControlTransfer);
    UsbDeviceTarget *T = ToUsbDevice(UsbDevice, Kit.Name());
    Request *Req = ToRequest(RequestHandle, Kit.Name());
    if (T == nullptr || Req == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (SetupPacket == nullptr) {
        VerifierReport("NullParameter", std::string(Kit.Name()) + " with no setup packet");
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS Injected;
    if (Kit.Injected(&Injected)) {
        return Injected;
    }
    std::size_t Length = 0;
    NTSTATUS Status = FormatUsbRequest(Req, T, WdfUsbRequestTypeDeviceControlTransfer, TransferMemory, TransferOffset,
                                       false, Kit.Name(), &Length);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    if (Length > 0xFFFF) {
        Req->ReleaseUsbFormat();
        return STATUS_INVALID_PARAMETER;
    }
    Req->Usb.Setup = *SetupPacket;
    Req->Usb.Setup.Packet.wLength = static_cast<USHORT>(Length);
    Req->Usb.Params.Parameters.DeviceControlTransfer.SetupPacket = Req->Usb.Setup;
    return STATUS_SUCCESS;
}

EXTERN_C WDFIOTARGET WdfUsbTargetDeviceGetIoTarget(WDFUSBDEVICE UsbDevice)
{
    KIT_ENTRY(WdfUsbTargetDeviceGetIoTarget);
    UsbDeviceTarget *T = ToUsbDevice(UsbDevice, Kit.Name());
    return T == nullptr ? nullptr : T->HandleAs<WDFIOTARGET>();
}

/* ---------------------------------------------------------------------- */
/* Interfaces                                                              */
/* ---------------------------------------------------------------------- */
EXTERN_C BYTE WdfUsbInterfaceGetInterfaceNumber(WDFUSBINTERFACE UsbInterface)
{
    KIT_ENTRY(WdfUsbInterfaceGetInterfaceNumber);
    UsbInterfaceObject *If = ToUsbInterface(UsbInterface, Kit.Name());
    return If == nullptr ? 0 : If->Layout().Number;
}

EXTERN_C BYTE WdfUsbInterfaceGetNumEndpoints(WDFUSBINTERFACE UsbInterface, UCHAR SettingIndex)
{
    KIT_ENTRY(WdfUsbInterfaceGetNumEndpoints);
    UsbInterfaceObject *If = ToUsbInterface(UsbInterface, Kit.Name());
    if (If == nullptr || SettingIndex >= If->Layout().Settings.size()) {
        return 0;
    }
    return static_cast<BYTE>(If->Layout().Settings[SettingIndex].Endpoints.size());
}

EXTERN_C BYTE WdfUsbInterfaceGetNumConfiguredPipes(WDFUSBINTERFACE UsbInterface)
{
    KIT_ENTRY(WdfUsbInterfaceGetNumConfiguredPipes);
    UsbInterfaceObject *If = ToUsbInterface(UsbInterface, Kit.Name());
    return If == nullptr ? 0 : static_cast<BYTE>(If->Pipes.size());
}

EXTERN_C BYTE WdfUsbInterfaceGetConfiguredSettingIndex(WDFUSBINTERFACE Interface)
{
    KIT_ENTRY(WdfUsbInterfaceGetConfiguredSettingIndex);
    UsbInterfaceObject *If = ToUsbInterface(Interface, Kit.Name());
    return If == nullptr ? 0 : If->ConfiguredSetting;
}

EXTERN_C VOID WdfUsbInterfaceGetDescriptor(WDFUSBINTERFACE UsbInterface, UCHAR SettingIndex,
                                           PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor)
{
    KIT_ENTRY(WdfUsbInterfaceGetDescriptor);
    UsbInterfaceObject *If = ToUsbInterface(UsbInterface, Kit.Name());
    if (InterfaceDescriptor == nullptr) {
        VerifierReport("NullParameter", std::string(Kit.Name()) + " with a NULL descriptor");
        return;
    }
    std::memset(InterfaceDescriptor, 0, sizeof(USB_INTERFACE_DESCRIPTOR));
    if (If == nullptr || SettingIndex >= If->Layout().Settings.size()) {
        return;
    }
    *InterfaceDescriptor = If->Layout().Settings[SettingIndex].Interface;
}

EXTERN_C WDFUSBPIPE WdfUsbInterfaceGetConfiguredPipe(WDFUSBINTERFACE UsbInterface, UCHAR PipeIndex,
                                                     PWDF_USB_PIPE_INFORMATION PipeInfo)
{
    KIT_ENTRY(WdfUsbInterfaceGetConfiguredPipe);
    UsbInterfaceObject *If = ToUsbInterface(UsbInterface, Kit.Name());
    if (If == nullptr) {
        return nullptr;
    }
    if (PipeInfo != nullptr && PipeInfo->Size != sizeof(WDF_USB_PIPE_INFORMATION)) {
        VerifierReport("BadStructureSize", std::string(Kit.Name()) + ": WDF_USB_PIPE_INFORMATION not initialised");
        return nullptr;
    }
    if (PipeIndex >= If->Pipes.size()) {
        return nullptr;
    }
    UsbPipe *P = If->Pipes[PipeIndex];
    if (PipeInfo != nullptr) {
        *PipeInfo = P->Info;
    }
    return P->PipeHandle();
}

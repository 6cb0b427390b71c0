/*
 * IoManager.cpp - the I/O manager: opens and closes files on the driver's
 * device, builds a framework request for each application operation and
 * records its completion, cancels, and hands flush and information requests
 * to the WDM pre-processing callbacks as IRPs.
 */
#include "World.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "WorldImpl.h"
#include "core/Timeline.h"

namespace world {

namespace {

/* An IRP handed to a WDM pre-processing callback. */
struct WdmIrp {
    IRP Irp{};
    OpHandle Op;
    std::vector<std::uint8_t> Buffer;
    std::size_t OutputLength = 0;
    bool Completed = false;
};

} // namespace

namespace {

fx::Device *ResolveName(World::Impl &H, const std::u16string &Name, NTSTATUS *Status)
{
    std::u16string Path = Name;
    if (!Path.empty() && Path[0] != u'\\') {
        Path = u"\\DosDevices\\" + Path;
    }
    if (Path.rfind(u"\\\\.\\", 0) == 0) {
        Path = u"\\DosDevices\\" + Path.substr(4);
    }
    if (Path.rfind(u"\\??\\", 0) == 0) {
        Path = u"\\DosDevices\\" + Path.substr(4);
    }
    std::u16string Key = World::Impl::Upper(Path);
    auto L = H.Links.find(Key);
    if (L != H.Links.end()) {
        Key = World::Impl::Upper(L->second.first);
    }
    auto N = H.Names.find(Key);
    if (N == H.Names.end()) {
        *Status = STATUS_OBJECT_NAME_NOT_FOUND;
        return nullptr;
    }
    if (N->second == nullptr) {
        *Status = STATUS_ACCESS_DENIED; /* another driver's device */
        return nullptr;
    }
    *Status = STATUS_SUCCESS;
    return N->second;
}

bool FileHasIo(World::Impl &H, fx::FileObject *F)
{
    for (auto &E : H.InFlight) {
        if (E.second->File == F) return true;
    }
    return false;
}

/* An operation the I/O manager completes itself, never reaching the driver. */
OpHandle Finished(NTSTATUS Status, VirtualTime Now)
{
    auto Op = std::make_shared<Operation>();
    Op->Completed = true;
    ++Op->Completions;
    Op->Status = Status;
    Op->CompletedAt = Now;
    return Op;
}

/* Builds a framework request for an application operation and routes it. */
OpHandle Submit(World::Impl &H, FileHandle Handle, UCHAR Major, ULONG Code, const Bytes &Input,
                std::size_t OutputLength)
{
    auto F = H.Files.find(Handle);
    if (F == H.Files.end()) {
        return Finished(STATUS_INVALID_HANDLE, H.Clock.Now());
    }
    fx::Device *Dev = F->second.Dev;
    fx::FileObject *File = F->second.File;
    auto *R = new fx::Request(Dev, fx::Request::Origin::IoManager);
    PWDF_OBJECT_ATTRIBUTES Attr = Dev->Init.HaveRequestAttributes ? &Dev->Init.RequestAttributes : nullptr;
    NTSTATUS Status = R->Commit(Attr, Dev, "I/O manager");
    if (!NT_SUCCESS(Status)) {
        fx::Object::Destroy(R);
        return Finished(STATUS_INSUFFICIENT_RESOURCES, H.Clock.Now());
    }
    auto Op = std::make_shared<Operation>();
    R->MajorFunction = Major;
    R->File = File;
    R->IoControlCode = Code;
    switch (Major) {
    case IRP_MJ_READ:
        R->Params.Type = WdfRequestTypeRead;
        R->Params.Parameters.Read.Length = OutputLength;
        R->OutputLength = OutputLength;
        R->SystemBuffer.assign(OutputLength, 0);
        break;
    case IRP_MJ_WRITE:
        R->Params.Type = WdfRequestTypeWrite;
        R->Params.Parameters.Write.Length = Input.size();
        R->InputLength = Input.size();
        R->SystemBuffer = Input;
        break;
    default:
        R->Params.Type =
            Major == IRP_MJ_DEVICE_CONTROL ? WdfRequestTypeDeviceControl : WdfRequestTypeDeviceControlInternal;
        R->Params.Parameters.DeviceIoControl.IoControlCode = Code;
        R->Params.Parameters.DeviceIoControl.InputBufferLength = Input.size();
        R->Params.Parameters.DeviceIoControl.OutputBufferLength = OutputLength;
        R->InputLength = Input.size();
        R->OutputLength = OutputLength;
        R->SystemBuffer.assign(Input.size() > OutputLength ? Input.size() : OutputLength, 0);
        if (!Input.empty()) std::memcpy(R->SystemBuffer.data(), Input.data(), Input.size());
        break;
    }
    World::Impl *HP = &H;
    std::weak_ptr<Operation> Weak = Op;
    R->OnComplete = [HP, Op](fx::Request *Req) {
        Op->Completed = true;
        ++Op->Completions;
        Op->Status = Req->Status;
        Op->Information = Req->Information;
        Op->CompletedAt = HP->Clock.Now();
        if (Req->MajorFunction != IRP_MJ_WRITE) {
            /* The output buffer as the driver left it, whatever the status. */
            Op->Output.assign(Req->SystemBuffer.begin(), Req->SystemBuffer.begin() + (std::ptrdiff_t)Req->OutputLength);
        }
        HP->InFlight.erase(Op.get());
        fx::FileObject *F = Req->File;
        if (F != nullptr && F->ClosePending && !FileHasIo(*HP, F)) {
            F->ClosePending = false;
            WDFFILEOBJECT FH = F->HandleAs<WDFFILEOBJECT>();
            fx::Defer(
                [FH]() {
                    fx::Object *O = fx::TryLookup(reinterpret_cast<WDFOBJECT>(FH));
                    if (O != nullptr) fx::FileClose(static_cast<fx::FileObject *>(O));
                },
                "file close");
        }
    };
    H.NoteIssued(Weak);
    H.InFlight[Op.get()] = R;
    if (fx::TimelineOn()) {
        char What[48];
        std::snprintf(What, sizeof What,
                      Major == IRP_MJ_READ    ? "read %zu"
                      : Major == IRP_MJ_WRITE ? "write %zu"
                                              : "ioctl 0x%lx",
                      Major == IRP_MJ_READ    ? OutputLength
                      : Major == IRP_MJ_WRITE ? Input.size()
                                              : static_cast<std::size_t>(Code));
        fx::TimelineNote(fx::TimelineKind::RequestArrive, reinterpret_cast<std::uintptr_t>(R->Handle()), What);
    }
    if (Dev->Removed) {
        R->SetState(fx::Request::Where::Driver);
        R->Complete(STATUS_DELETE_PENDING, 0, "I/O manager(device removed)");
        return Op;
    }
    Dev->DispatchIo(R);
    return Op;
}

OpHandle Wdm(World::Impl &H, FileHandle Handle, UCHAR Major, ULONG Class, const Bytes &Input, std::size_t OutputLength)
{
    auto F = H.Files.find(Handle);
    if (F == H.Files.end()) {
        return Finished(STATUS_INVALID_HANDLE, H.Clock.Now());
    }
    fx::Device *Dev = F->second.Dev;
    fx::FileObject *File = F->second.File;
    if (Dev->Removed) {
        return Finished(STATUS_DELETE_PENDING, H.Clock.Now());
    }
    auto It = Dev->Init.Preprocess.find(Major);
    if (It == Dev->Init.Preprocess.end()) {
        /* The framework itself answers what no callback takes. */
        return Finished(Major == IRP_MJ_FLUSH_BUFFERS ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST, H.Clock.Now());
    }
    auto Op = std::make_shared<Operation>();
    auto W = std::make_unique<WdmIrp>();
    W->Op = Op;
    W->OutputLength = OutputLength;
    W->Buffer.assign(Input.size() > OutputLength ? Input.size() : OutputLength, 0);
    if (!Input.empty()) std::memcpy(W->Buffer.data(), Input.data(), Input.size());
    IRP &Irp = W->Irp;
    Irp.Size = sizeof(IRP);
    Irp.AssociatedIrp.SystemBuffer = W->Buffer.empty() ? nullptr : W->Buffer.data();
    Irp.IoStatus.Status = STATUS_PENDING;
    Irp.HostContext = W.get();
    IO_STACK_LOCATION &S = Irp.CurrentStackLocation;
    S.MajorFunction = Major;
    S.FileObject = &File->Wdm;
    S.DeviceObject = &Dev->Wdm;
    if (Major == IRP_MJ_QUERY_INFORMATION) {
        S.Parameters.QueryFile.Length = (ULONG)OutputLength;
        S.Parameters.QueryFile.FileInformationClass = (FILE_INFORMATION_CLASS)Class;
    } else if (Major == IRP_MJ_SET_INFORMATION) {
        S.Parameters.SetFile.Length = (ULONG)Input.size();
        S.Parameters.SetFile.FileInformationClass = (FILE_INFORMATION_CLASS)Class;
    }
    WDFDEVICE DH = Dev->DeviceHandle();
    auto Cb = It->second;
    NTSTATUS Returned = STATUS_SUCCESS;
    fx::CallDriver(Dev, PASSIVE_LEVEL, false, [&]() { Returned = Cb(DH, &Irp); });
    if (!W->Completed) {
        /* Completed later (pending): wait for it, as the caller's thread would. */
        WdmIrp *Raw = W.get();
        H.Clock.RunUntil([Raw]() { return Raw->Completed; }, "a WDM pre-processed request to complete");
    }
    if (W->Completed && Returned != Irp.IoStatus.Status && Returned != STATUS_PENDING) {
        fx::VerifierReport("WdmStatusMismatch", "a pre-processing callback returned a status other than the one it "
                                                "completed the IRP with");
    }
    if (!W->Completed) {
        /* Never completed: the IRP record must stay valid; keep it. */
        (void)W.release();
    }
    return Op;
}

} // namespace

NTSTATUS World::Open(const std::u16string &Name, FileHandle *Handle)
{
    auto &H = *impl_;
    if (Handle != nullptr) *Handle = 0;
    NTSTATUS Status;
    fx::Device *Dev = ResolveName(H, Name, &Status);
    if (Dev == nullptr) {
        return Status;
    }
    if (Dev->Removed || Dev->Deleted) {
        return STATUS_DELETE_PENDING;
    }
    if (!Dev->HardwarePrepared) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if (Dev->Init.Exclusive && Dev->OpenHandles > 0) {
        return STATUS_ACCESS_DENIED;
    }
    auto *F = new fx::FileObject(Dev);
    PWDF_OBJECT_ATTRIBUTES FA = Dev->Init.HaveFileAttributes ? &Dev->Init.FileAttributes : nullptr;
    Status = F->Commit(FA, Dev, "I/O manager(create)");
    if (!NT_SUCCESS(Status)) {
        fx::Object::Destroy(F);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Dev->OpenHandles++; /* exclusivity holds from here on */
    Status = STATUS_SUCCESS;
    if (Dev->Init.HaveFileConfig && Dev->Init.FileConfig.EvtDeviceFileCreate != nullptr) {
        auto *R = new fx::Request(Dev, fx::Request::Origin::IoManager);
        PWDF_OBJECT_ATTRIBUTES RA = Dev->Init.HaveRequestAttributes ? &Dev->Init.RequestAttributes : nullptr;
        if (!NT_SUCCESS(R->Commit(RA, Dev, "I/O manager(create)"))) {
            fx::Object::Destroy(R);
            Dev->OpenHandles--;
            F->Delete();
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        R->MajorFunction = IRP_MJ_CREATE;
        R->Params.Type = WdfRequestTypeCreate;
        R->File = F;
        fx::TimelineNote(fx::TimelineKind::RequestArrive, reinterpret_cast<std::uintptr_t>(R->Handle()), "create");
        R->SetState(fx::Request::Where::Driver);
        bool Done = false;
        NTSTATUS Result = STATUS_PENDING;
        R->OnComplete = [&Done, &Result](fx::Request *Req) {
            Done = true;
            Result = Req->Status;
        };
        WDFDEVICE DH = Dev->DeviceHandle();
        WDFREQUEST RH = R->RequestHandle();
        WDFFILEOBJECT FH = F->HandleAs<WDFFILEOBJECT>();
        auto Cb = Dev->Init.FileConfig.EvtDeviceFileCreate;
        fx::CallDriver(Dev, PASSIVE_LEVEL, false, [&]() { Cb(DH, RH, FH); });
        if (!Done) {
            H.Clock.RunUntil([&Done]() { return Done; }, "the create request to complete");
        }
        Status = Done ? Result : STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(Status)) {
        Dev->OpenHandles--;
        F->Delete();
        return Status;
    }
    FileHandle FHandle = H.NextFile++;
    H.Files[FHandle] = Impl::OpenFile{Dev, F};
    if (Handle != nullptr) *Handle = FHandle;
    return STATUS_SUCCESS;
}

NTSTATUS World::Close(FileHandle Handle)
{
    auto &H = *impl_;
    auto It = H.Files.find(Handle);
    if (It == H.Files.end()) {
        return STATUS_INVALID_HANDLE;
    }
    fx::FileObject *F = It->second.File;
    H.Files.erase(It);
    /* The file's last handle is gone: IRP_MJ_CLEANUP. Nothing the driver
       holds is cancelled by it; that is the driver's clean-up to do. */
    fx::FileCleanup(F);
    /* Every request in flight holds a reference on the file object:
       IRP_MJ_CLOSE comes when the last of them has completed. */
    if (FileHasIo(H, F)) {
        F->ClosePending = true;
        return STATUS_SUCCESS;
    }
    fx::FileClose(F);
    return STATUS_SUCCESS;
}

OpHandle World::Read(FileHandle Handle, std::size_t Length)
{
    return Submit(*impl_, Handle, IRP_MJ_READ, 0, {}, Length);
}

OpHandle World::Write(FileHandle Handle, const Bytes &Data) { return Submit(*impl_, Handle, IRP_MJ_WRITE, 0, Data, 0); }

OpHandle World::DeviceIoControl(FileHandle Handle, ULONG Code, const Bytes &Input, std::size_t OutputLength)
{
    return Submit(*impl_, Handle, IRP_MJ_DEVICE_CONTROL, Code, Input, OutputLength);
}

OpHandle World::InternalDeviceControl(FileHandle Handle, ULONG Code, const Bytes &Input, std::size_t OutputLength)
{
    return Submit(*impl_, Handle, IRP_MJ_INTERNAL_DEVICE_CONTROL, Code, Input, OutputLength);
}

bool World::Cancel(const OpHandle &Op)
{
    if (!Op || Op->Completed) {
        return false;
    }
    auto It = impl_->InFlight.find(Op.get());
    if (It == impl_->InFlight.end()) {
        return false;
    }
    return It->second->RequestCancel();
}

OpHandle World::Flush(FileHandle Handle) { return Wdm(*impl_, Handle, IRP_MJ_FLUSH_BUFFERS, 0, {}, 0); }

OpHandle World::FlushAsync(FileHandle Handle)
{
    auto Op = std::make_shared<Operation>();
    impl_->Clock.RunBlockingCall([this, Handle, Op]() {
        OpHandle Done = Flush(Handle);
        Op->Status = Done->Status;
        Op->Information = Done->Information;
        Op->Output = Done->Output;
        Op->CompletedAt = Done->CompletedAt;
        Op->Completed = Done->Completed;
        Op->Completions = Done->Completions;
    });
    return Op;
}

OpHandle World::QueryInformation(FileHandle Handle, ULONG InformationClass, std::size_t Length)
{
    return Wdm(*impl_, Handle, IRP_MJ_QUERY_INFORMATION, InformationClass, {}, Length);
}

OpHandle World::SetInformation(FileHandle Handle, ULONG InformationClass, const Bytes &Input)
{
    return Wdm(*impl_, Handle, IRP_MJ_SET_INFORMATION, InformationClass, Input, 0);
}

std::size_t World::OperationsInFlight() const { return impl_->InFlight.size(); }

std::vector<OpHandle> World::Impl::PruneIssued()
{
    std::vector<OpHandle> Pending;
    std::size_t Kept = 0;
    for (std::size_t I = 0; I < Issued.size(); ++I) {
        OpHandle Op = Issued[I].lock();
        if (!Op || Op->Completed) continue;
        Issued[Kept++] = Issued[I];
        Pending.push_back(std::move(Op));
    }
    Issued.resize(Kept);
    return Pending;
}

void World::Impl::NoteIssued(std::weak_ptr<Operation> Op)
{
    Issued.push_back(std::move(Op));
    if (Issued.size() >= IssuedPruneAt) {
        PruneIssued();
        IssuedPruneAt = std::max<std::size_t>(64, Issued.size() * 2);
    }
}

std::vector<OpHandle> World::PendingOperations() const { return impl_->PruneIssued(); }

} // namespace world

/* The I/O manager's side of a pre-processed IRP. */
EXTERN_C VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    fx::race::Section Host(fx::race::Mode::Host); /* a call from the driver */
    (void)PriorityBoost;
    if (Irp == nullptr || Irp->HostContext == nullptr) {
        fx::VerifierReport("BadIrp", "IofCompleteRequest of an IRP the I/O manager did not issue");
        return;
    }
    auto *W = static_cast<world::WdmIrp *>(Irp->HostContext);
    if (W->Completed) {
        fx::VerifierReport("IrpCompletedTwice", "IofCompleteRequest of an IRP already completed");
        return;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        fx::VerifierReport("CompleteWithPending", "IofCompleteRequest with STATUS_PENDING");
    }
    W->Completed = true;
    auto &Op = *W->Op;
    Op.Completed = true;
    ++Op.Completions;
    Op.Status = Irp->IoStatus.Status;
    Op.Information = Irp->IoStatus.Information;
    Op.CompletedAt = fx::Clock().Now();
    if (W->OutputLength != 0) {
        Op.Output.assign(W->Buffer.begin(), W->Buffer.begin() + (std::ptrdiff_t)W->OutputLength);
        if (NT_SUCCESS(Op.Status) && Irp->IoStatus.Information > W->OutputLength) {
            fx::VerifierReport("InformationTooLarge", "an IRP was completed with more information than its buffer");
        }
    }
}

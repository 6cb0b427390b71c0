/*
 * World.cpp - the simulated system: PnP manager, I/O manager and the host's
 * records, on top of the hosted framework (framework/src).
 */
#include "World.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "CdcAcmDevice.h"
#include "FxHost.h"

namespace world {

World *g_CurrentWorld = nullptr;

namespace {

std::string GuidText(const GUID &G)
{
    char Buf[64];
    std::snprintf(Buf, sizeof Buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", G.Data1, G.Data2, G.Data3,
                  G.Data4[0], G.Data4[1], G.Data4[2], G.Data4[3], G.Data4[4], G.Data4[5], G.Data4[6], G.Data4[7]);
    return Buf;
}

/* An IRP handed to a WDM pre-processing callback. */
struct WdmIrp {
    IRP Irp{};
    OpHandle Op;
    std::vector<std::uint8_t> Buffer;
    std::size_t OutputLength = 0;
    bool Completed = false;
};

/* Runs the world until Done() holds or nothing is left to run. A world kept
   busy for ever (a timer that keeps re-arming) stops after a bounded number
   of events: the caller goes on, and what is still open is dealt with by
   removal. */
void RunUntilDoneOrIdle(Scheduler &Clock, const std::function<bool()> &Done)
{
    for (std::size_t Run = 0; !Done() && Run < 1'000'000 && Clock.RunOne(); ++Run) {
    }
}

} // namespace

/* ---- registry values ---- */
RegistryValue RegistryValue::String(const std::u16string &Text)
{
    RegistryValue V;
    V.Type = REG_SZ;
    for (char16_t C : Text) {
        V.Data.push_back((std::uint8_t)(C & 0xFF));
        V.Data.push_back((std::uint8_t)(C >> 8));
    }
    V.Data.push_back(0);
    V.Data.push_back(0);
    return V;
}

RegistryValue RegistryValue::Dword(ULONG Value)
{
    RegistryValue V;
    V.Type = REG_DWORD;
    for (int I = 0; I < 4; ++I) V.Data.push_back((std::uint8_t)(Value >> (8 * I)));
    return V;
}

void World::Impl::Report(const char *Rule, const std::string &Message)
{
    std::string Text = std::string(Rule) + ": " + Message;
    if (Collect) {
        Reports.push_back(Text);
        return;
    }
    std::fprintf(stderr, "\n*** VERIFIER: %s\n", Text.c_str());
    std::fflush(stderr);
    std::abort();
}

/* ---- lifetime ---- */
World::World() : impl_(new Impl)
{
    if (g_CurrentWorld != nullptr) {
        std::fprintf(stderr, "World: a second World was created while one exists\n");
        std::abort();
    }
    impl_->Owner = this;
    impl_->Config.Version = 0;
    g_CurrentWorld = this;
}

World::~World()
{
    auto &H = *impl_;
    /* Applications close their handles, the devices go away. */
    std::vector<FileHandle> Open;
    for (auto &F : H.Files) Open.push_back(F.first);
    for (FileHandle F : Open) Close(F);
    auto AllClosed = [&H]() {
        for (auto &N : H.Nodes) {
            fx::Device *Dev = fx::DeviceOfNode(N.get());
            if (Dev != nullptr && Dev->OpenHandles != 0 && !Dev->DeletePending) return false;
        }
        return true;
    };
    RunUntilDoneOrIdle(H.Clock, AllClosed);
    for (auto &N : H.Nodes) {
        if (fx::DeviceOfNode(N.get()) != nullptr) {
            fx::Device *Dev = fx::DeviceOfNode(N.get());
            if (Dev->Removed) {
                fx::PnpFinishRemoval(Dev);
            } else {
                fx::PnpRemoveDevice(N.get(), false);
            }
            N->State = DevicePnpState::Removed;
        }
    }
    H.Clock.RunUntilIdle(H.Clock.Now(), 1'000'000);
    for (auto &B : H.Pool) {
        if (!B.second.Framework) {
            char Buf[128];
            std::snprintf(Buf, sizeof Buf, "pool block of %zu bytes with tag 0x%08x never freed", (size_t)B.second.Size,
                          B.second.Tag);
            H.Report("PoolLeak", Buf);
        }
    }
    if (H.TheDriver != nullptr) {
        H.LiveObjects++;
        H.TheDriver->Delete();
        H.TheDriver = nullptr;
    }
    /* Objects kept alive by references nobody dropped. */
    std::vector<fx::Object *> Left;
    for (auto &E : H.Handles) Left.push_back(E.second);
    if (!Left.empty()) {
        H.Report("ObjectLeak", std::to_string(Left.size()) + " framework object(s) still referenced when the world ended, "
                                   "first " + Left.front()->Describe());
    }
    H.Handles.clear();
    for (fx::Object *O : Left) delete O;
    for (auto &B : H.Pool) std::free(B.first);
    H.Pool.clear();
    g_CurrentWorld = nullptr;
}

Scheduler &World::Clock() { return impl_->Clock; }

void World::SetClockTick(VirtualTime Tick) { impl_->Tick = Tick > 0 ? Tick : 1; }

World::Impl &World::Internals() { return *impl_; }

/* ---- PnP manager ---- */
DeviceNode *World::AddDevice(std::shared_ptr<UsbDeviceModel> Usb, const HardwareKey &Key, bool Start)
{
    auto &H = *impl_;
    auto Node = std::make_unique<DeviceNode>();
    Node->Id = H.NextNodeId++;
    Node->Usb = std::move(Usb);
    Node->Key = Key;
    if (Node->Usb) {
        Node->Usb->Attach(H.Clock);
    }
    DeviceNode *N = Node.get();
    H.Nodes.push_back(std::move(Node));
    N->AddStatus = fx::PnpAddDevice(N);
    if (!NT_SUCCESS(N->AddStatus)) {
        N->State = DevicePnpState::AddFailed;
        return N;
    }
    N->State = DevicePnpState::Added;
    if (Start) {
        StartDevice(N);
    }
    return N;
}

namespace {
/* The device object of Node while the PnP manager may still start or stop
   it: none once its removal began (a removed device whose files are still
   open lives on only for them). */
fx::Device *DeviceInService(const DeviceNode *Node)
{
    fx::Device *Dev = Node == nullptr ? nullptr : fx::DeviceOfNode(Node);
    return Dev != nullptr && !Dev->Removed ? Dev : nullptr;
}
} // namespace

NTSTATUS World::StartDevice(DeviceNode *Node)
{
    if (DeviceInService(Node) == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    Node->StartStatus = fx::PnpStartDevice(Node);
    if (!NT_SUCCESS(Node->StartStatus)) {
        /* A device that fails to start is removed. */
        fx::PnpRemoveDevice(Node, false);
        Node->State = DevicePnpState::StartFailed;
        return Node->StartStatus;
    }
    Node->State = DevicePnpState::Started;
    return STATUS_SUCCESS;
}

NTSTATUS World::StopDevice(DeviceNode *Node)
{
    if (DeviceInService(Node) == nullptr) {
        return STATUS_NO_SUCH_DEVICE;
    }
    NTSTATUS Status = fx::PnpStopDevice(Node);
    Node->State = DevicePnpState::Stopped;
    return Status;
}

void World::RemoveDevice(DeviceNode *Node)
{
    fx::Device *Dev = DeviceInService(Node);
    if (Dev == nullptr) return;
    /* Applications are told the device is going and close their handles. */
    std::vector<FileHandle> Open;
    for (auto &F : impl_->Files) {
        if (F.second.Dev == Dev) Open.push_back(F.first);
    }
    for (FileHandle F : Open) Close(F);
    /* Their close completes once the file's I/O is done; a file still open
       then keeps the device object until its close (the removal purges the
       queues, which ends what the driver holds cancelably). */
    RunUntilDoneOrIdle(impl_->Clock, [Dev]() { return Dev->OpenHandles == 0; });
    fx::PnpRemoveDevice(Node, false);
    Node->State = DevicePnpState::Removed;
    Node->Power = DevicePowerState::Dx;
}

void World::SurpriseRemoveDevice(DeviceNode *Node)
{
    if (Node == nullptr) return;
    if (auto *Cdc = dynamic_cast<CdcAcmDevice *>(Node->Usb.get())) {
        Cdc->Disconnect();
    }
    if (fx::DeviceOfNode(Node) != nullptr) {
        fx::PnpRemoveDevice(Node, true);
    }
    Node->State = DevicePnpState::SurpriseRemoved;
    Node->Power = DevicePowerState::Dx;
}

void World::SetDriverEntry(PDRIVER_INITIALIZE Entry) { impl_->Entry = Entry; }

void World::SystemSleep() { fx::PnpSystemSleep(); }
void World::SystemResume() { fx::PnpSystemResume(); }

std::vector<DeviceNode *> World::Devices()
{
    std::vector<DeviceNode *> R;
    for (auto &N : impl_->Nodes) R.push_back(N.get());
    return R;
}

/* ---- I/O manager ---- */
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

OpHandle Failed(NTSTATUS Status, VirtualTime Now)
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
        return Failed(STATUS_INVALID_HANDLE, H.Clock.Now());
    }
    fx::Device *Dev = F->second.Dev;
    fx::FileObject *File = F->second.File;
    auto Op = std::make_shared<Operation>();
    auto *R = new fx::Request(Dev, fx::Request::Origin::IoManager);
    PWDF_OBJECT_ATTRIBUTES Attr = Dev->Init.HaveRequestAttributes ? &Dev->Init.RequestAttributes : nullptr;
    NTSTATUS Status = R->Commit(Attr, Dev, "I/O manager");
    if (!NT_SUCCESS(Status)) {
        fx::Object::Destroy(R);
        return Failed(STATUS_INSUFFICIENT_RESOURCES, H.Clock.Now());
    }
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
        R->Params.Type = Major == IRP_MJ_DEVICE_CONTROL ? WdfRequestTypeDeviceControl : WdfRequestTypeDeviceControlInternal;
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
    (void)Weak;
    H.InFlight[Op.get()] = R;
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
        return Failed(STATUS_INVALID_HANDLE, H.Clock.Now());
    }
    fx::Device *Dev = F->second.Dev;
    fx::FileObject *File = F->second.File;
    auto Op = std::make_shared<Operation>();
    if (Dev->Removed) {
        Op->Completed = true;
        ++Op->Completions;
        Op->Status = STATUS_DELETE_PENDING;
        Op->CompletedAt = H.Clock.Now();
        return Op;
    }
    auto It = Dev->Init.Preprocess.find(Major);
    if (It == Dev->Init.Preprocess.end()) {
        /* The framework itself answers what no callback takes. */
        Op->Completed = true;
        ++Op->Completions;
        Op->Status = Major == IRP_MJ_FLUSH_BUFFERS ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_REQUEST;
        Op->CompletedAt = H.Clock.Now();
        return Op;
    }
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
        W.release();
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

OpHandle World::Write(FileHandle Handle, const Bytes &Data)
{
    return Submit(*impl_, Handle, IRP_MJ_WRITE, 0, Data, 0);
}

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

/* ---- records ---- */
ULONG World::SerialCount() const { return impl_->Config.SerialCount; }

std::map<std::u16string, RegistryValue> World::DeviceMap(const std::u16string &Key) const
{
    auto It = impl_->DeviceMap.find(Impl::Upper(Key));
    if (It == impl_->DeviceMap.end()) return {};
    return It->second;
}

std::optional<std::u16string> World::SymbolicLink(const std::u16string &Link) const
{
    auto It = impl_->Links.find(Impl::Upper(Link));
    if (It == impl_->Links.end()) return std::nullopt;
    return It->second.first;
}

bool World::NameExists(const std::u16string &NtName) const { return impl_->Names.count(Impl::Upper(NtName)) != 0; }

void World::ReserveName(const std::u16string &NtName) { impl_->Names[Impl::Upper(NtName)] = nullptr; }

std::vector<std::pair<std::string, bool>> World::DeviceInterfaces(const DeviceNode *Node) const
{
    std::vector<std::pair<std::string, bool>> R;
    fx::Device *Dev = fx::DeviceOfNode(Node);
    if (Dev == nullptr) return R;
    for (auto &I : Dev->Interfaces) R.emplace_back(GuidText(I.Class), I.Enabled);
    return R;
}

std::size_t World::PoolBlocksOutstanding(ULONG Tag) const
{
    std::size_t N = 0;
    for (auto &B : impl_->Pool) {
        if (!B.second.Framework && (Tag == 0 || B.second.Tag == Tag)) ++N;
    }
    return N;
}

std::size_t World::PoolBytesOutstanding(ULONG Tag) const
{
    std::size_t N = 0;
    for (auto &B : impl_->Pool) {
        if (!B.second.Framework && (Tag == 0 || B.second.Tag == Tag)) N += B.second.Size;
    }
    return N;
}

std::size_t World::LiveObjects() const { return impl_->LiveObjects; }

std::size_t World::OperationsInFlight() const { return impl_->InFlight.size(); }

std::optional<WDF_DEVICE_POWER_POLICY_IDLE_SETTINGS> World::IdleSettings(const DeviceNode *Node) const
{
    fx::Device *Dev = fx::DeviceOfNode(Node);
    if (Dev == nullptr || !Dev->IdleAssigned) return std::nullopt;
    return Dev->Idle;
}

std::optional<WDF_DEVICE_POWER_POLICY_WAKE_SETTINGS> World::WakeSettings(const DeviceNode *Node) const
{
    fx::Device *Dev = fx::DeviceOfNode(Node);
    if (Dev == nullptr || !Dev->WakeAssigned) return std::nullopt;
    return Dev->Wake;
}

void World::FailNthCall(const std::string &Api, int Nth, NTSTATUS Status)
{
    if (Nth < 1) Nth = 1;
    fx::KitCall Call;
    const fx::KitCallRow *Row = fx::FindKitCall(Api.c_str(), &Call);
    if (Row == nullptr || Row->Fault != fx::KitFault::FAILABLE) {
        fx::VerifierReport("UnknownFault", Row == nullptr ? "no kit call '" + Api + "' in the stand-in"
                                                          : "the kit call '" + Api + "' has no failure to inject");
        return;
    }
    impl_->Faults.push_back(Impl::Fault{Call, Nth, Status});
}

void World::ClearFaults() { impl_->Faults.clear(); }

void World::SetTraceSink(std::function<void(const std::string &)> Sink) { impl_->TraceSink = std::move(Sink); }

void World::CollectVerifierReports(bool Collect) { impl_->Collect = Collect; }

std::vector<std::string> World::VerifierReports() const { return impl_->Reports; }

namespace {
/* The statuses the world, the framework and the driver return, by name. */
#define STATUS_ROW(x) {#x, x},
const StatusNameRow kStatusNames[] = {
    STATUS_ROW(STATUS_SUCCESS) STATUS_ROW(STATUS_TIMEOUT) STATUS_ROW(STATUS_PENDING)
    STATUS_ROW(STATUS_BUFFER_OVERFLOW) STATUS_ROW(STATUS_NO_MORE_ENTRIES) STATUS_ROW(STATUS_UNSUCCESSFUL)
    STATUS_ROW(STATUS_NOT_IMPLEMENTED) STATUS_ROW(STATUS_INVALID_INFO_CLASS) STATUS_ROW(STATUS_INFO_LENGTH_MISMATCH)
    STATUS_ROW(STATUS_INVALID_HANDLE) STATUS_ROW(STATUS_INVALID_PARAMETER) STATUS_ROW(STATUS_NO_SUCH_DEVICE)
    STATUS_ROW(STATUS_INVALID_DEVICE_REQUEST) STATUS_ROW(STATUS_NO_MEMORY) STATUS_ROW(STATUS_ACCESS_DENIED)
    STATUS_ROW(STATUS_BUFFER_TOO_SMALL) STATUS_ROW(STATUS_OBJECT_TYPE_MISMATCH) STATUS_ROW(STATUS_OBJECT_NAME_INVALID)
    STATUS_ROW(STATUS_OBJECT_NAME_NOT_FOUND) STATUS_ROW(STATUS_OBJECT_NAME_COLLISION) STATUS_ROW(STATUS_DELETE_PENDING)
    STATUS_ROW(STATUS_ARRAY_BOUNDS_EXCEEDED) STATUS_ROW(STATUS_INSUFFICIENT_RESOURCES) STATUS_ROW(STATUS_DEVICE_NOT_READY)
    STATUS_ROW(STATUS_IO_TIMEOUT) STATUS_ROW(STATUS_NOT_SUPPORTED) STATUS_ROW(STATUS_INTERNAL_ERROR)
    STATUS_ROW(STATUS_CANCELLED) STATUS_ROW(STATUS_INVALID_DEVICE_STATE) STATUS_ROW(STATUS_DEVICE_NOT_CONNECTED)
    STATUS_ROW(STATUS_DEVICE_REMOVED) STATUS_ROW(STATUS_NOT_FOUND) STATUS_ROW(STATUS_INVALID_BUFFER_SIZE)
};
#undef STATUS_ROW
} // namespace

const StatusNameRow *StatusNames(std::size_t *Count)
{
    *Count = sizeof(kStatusNames) / sizeof(kStatusNames[0]);
    return kStatusNames;
}

std::string StatusName(NTSTATUS Status)
{
    for (const StatusNameRow &Row : kStatusNames) {
        if (Row.Value == Status) return Row.Name;
    }
    char Buf[16];
    std::snprintf(Buf, sizeof Buf, "0x%08X", (unsigned)Status);
    return Buf;
}

} // namespace world

/* The I/O manager's side of a pre-processed IRP. */
EXTERN_C VOID IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
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

/*
 * World.cpp - the facade over the hosted framework (framework/src), the PnP
 * manager (PnpManager.cpp) and the I/O manager (IoManager.cpp): lifetime,
 * the clock, the host's records, fault injection and the verifier.
 */
#include "World.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "WorldImpl.h"
#include "core/Processors.h"

namespace world {

namespace {

std::string GuidText(const GUID &G)
{
    char Buf[64];
    std::snprintf(Buf, sizeof Buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", G.Data1, G.Data2, G.Data3,
                  G.Data4[0], G.Data4[1], G.Data4[2], G.Data4[3], G.Data4[4], G.Data4[5], G.Data4[6], G.Data4[7]);
    return Buf;
}

} // namespace

void RunUntilDoneOrIdle(Scheduler &Clock, const std::function<bool()> &Done)
{
    for (std::size_t Run = 0; !Done() && Run < 1'000'000 && Clock.RunOne(); ++Run) {}
}

/* ---- lifetime ---- */
World::World() : impl_(new Impl)
{
    impl_->Owner = this;
    /* A stress run puts every world of a test program on several processors. */
    const char *Count = std::getenv("BRISUM_PROCESSORS");
    if (Count != nullptr && std::atoi(Count) > 1) {
        const char *Seed = std::getenv("BRISUM_SCHEDULE_SEED");
        const char *Kind = std::getenv("BRISUM_SCHEDULE");
        SetProcessors(std::atoi(Count), Seed != nullptr ? std::strtoull(Seed, nullptr, 0) : 1,
                      Kind != nullptr ? Kind : "random");
    }
}

bool World::SetProcessors(int Count, std::uint64_t Seed, const std::string &Schedule)
{
    fx::ProcessorOptions Options;
    Options.Count = Count < 1 ? 1 : Count;
    Options.Seed = Seed;
    if (!fx::ParseScheduleKind(Schedule, &Options.Kind)) {
        return false;
    }
    impl_->Clock.SetProcessors(Options);
    return true;
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
    H.Shutdown();
}

Scheduler &World::Clock() { return impl_->Clock; }

void World::SetClockTick(VirtualTime Tick) { impl_->Tick = Tick > 0 ? Tick : 1; }

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
        if (Tag == 0 || B.second.Tag == Tag) ++N;
    }
    return N;
}

std::size_t World::PoolBytesOutstanding(ULONG Tag) const
{
    std::size_t N = 0;
    for (auto &B : impl_->Pool) {
        if (Tag == 0 || B.second.Tag == Tag) N += B.second.Size;
    }
    return N;
}

std::size_t World::LiveObjects() const { return impl_->LiveObjects; }

namespace {
/* The memory objects the driver's WdfMemoryCreate made that are not freed
   yet (deleted ones still referenced among them), of Tag or of any tag. */
template <class Fn> void ForDriverMemory(fx::HostState &H, ULONG Tag, Fn Visit)
{
    for (fx::Object *O : H.Handles.Live()) {
        if (O->Type() != fx::ObjectType::Memory) continue;
        const auto *M = static_cast<const fx::Memory *>(O);
        if (M->DriverMade && (Tag == 0 || M->Tag() == Tag)) Visit(*M);
    }
}
} // namespace

std::size_t World::MemoryBlocksOutstanding(ULONG Tag) const
{
    std::size_t N = 0;
    ForDriverMemory(*impl_, Tag, [&](const fx::Memory &) { ++N; });
    return N;
}

std::size_t World::MemoryBytesOutstanding(ULONG Tag) const
{
    std::size_t N = 0;
    ForDriverMemory(*impl_, Tag, [&](const fx::Memory &M) { N += M.Size(); });
    return N;
}

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

bool World::AtNthCall(const std::string &Api, int Nth, std::function<void()> Action)
{
    fx::KitCall Call;
    if (fx::FindKitCall(Api.c_str(), &Call) == nullptr || !Action) {
        return false;
    }
    impl_->CallHooks.push_back(Impl::CallHook{Call, Nth < 1 ? 1 : Nth, std::move(Action)});
    return true;
}

std::size_t World::PendingFaults() const { return impl_->Faults.size(); }

bool World::CanFail(const std::string &Api) { return fx::CanFailCall(Api); }

std::vector<std::string> World::FailableCalls() { return fx::FailableCallNames(); }

void World::SetTraceSink(std::function<void(const std::string &)> Sink) { impl_->TraceSink = std::move(Sink); }

void World::CollectVerifierReports(bool Collect) { impl_->Collect = Collect; }

std::vector<std::string> World::VerifierReports() const { return impl_->Reports; }

namespace {
/* The statuses the world, the framework and the driver return, by name. */
#define STATUS_ROW(x) {#x, x},
const StatusNameRow kStatusNames[] = {
    STATUS_ROW(STATUS_SUCCESS) STATUS_ROW(STATUS_TIMEOUT) STATUS_ROW(STATUS_PENDING) STATUS_ROW(STATUS_BUFFER_OVERFLOW)
        STATUS_ROW(STATUS_NO_MORE_ENTRIES) STATUS_ROW(STATUS_UNSUCCESSFUL) STATUS_ROW(STATUS_NOT_IMPLEMENTED)
            STATUS_ROW(STATUS_INVALID_INFO_CLASS) STATUS_ROW(STATUS_INFO_LENGTH_MISMATCH) STATUS_ROW(
                STATUS_INVALID_HANDLE) STATUS_ROW(STATUS_INVALID_PARAMETER) STATUS_ROW(STATUS_NO_SUCH_DEVICE)
                STATUS_ROW(STATUS_INVALID_DEVICE_REQUEST) STATUS_ROW(STATUS_NO_MEMORY) STATUS_ROW(STATUS_ACCESS_DENIED)
                    STATUS_ROW(STATUS_BUFFER_TOO_SMALL) STATUS_ROW(STATUS_OBJECT_TYPE_MISMATCH)
                        STATUS_ROW(STATUS_OBJECT_NAME_INVALID) STATUS_ROW(STATUS_OBJECT_NAME_NOT_FOUND)
                            STATUS_ROW(STATUS_OBJECT_NAME_COLLISION) STATUS_ROW(STATUS_DELETE_PENDING)
                                STATUS_ROW(STATUS_ARRAY_BOUNDS_EXCEEDED) STATUS_ROW(STATUS_INSUFFICIENT_RESOURCES)
                                    STATUS_ROW(STATUS_DEVICE_NOT_READY) STATUS_ROW(STATUS_IO_TIMEOUT)
                                        STATUS_ROW(STATUS_NOT_SUPPORTED) STATUS_ROW(STATUS_INTERNAL_ERROR)
                                            STATUS_ROW(STATUS_CANCELLED) STATUS_ROW(STATUS_INVALID_DEVICE_STATE)
                                                STATUS_ROW(STATUS_DEVICE_NOT_CONNECTED)
                                                    STATUS_ROW(STATUS_DEVICE_REMOVED) STATUS_ROW(STATUS_NOT_FOUND)
                                                        STATUS_ROW(STATUS_INVALID_BUFFER_SIZE)};
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

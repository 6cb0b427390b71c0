/*
 * Runtime.cpp - the lock, the clock and the world behind the comm layer.
 *
 * Every client thread's call holds one lock, so the world, which is single
 * threaded, sees one caller at a time. A thread that blocks inside the layer
 * registers a waiter (what it waits for, until when) and stops counting as
 * running. In virtual time the world moves only when no client thread is
 * running: one of the waiting threads then runs the world's next event (or
 * moves the clock to the earliest waiter's deadline), delivers finished
 * operations and releases the waiters whose condition now holds, in the
 * order they blocked. A program's run is therefore a function of its inputs.
 * In paced time the clock follows the wall clock instead.
 */
#include "Runtime.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include <CdcAcmDevice.h>
#include <Session.h>
#include <Values.h>
#include <World.h>

namespace brisum_w32 {
namespace {

struct Waiter {
    std::function<bool()> Ready;
    Time Deadline;
    bool Released = false;
    bool Satisfied = false;
};

struct Runtime {
    std::mutex Mutex;
    std::condition_variable Changed;
    int Running = 0; /* client threads not blocked inside the layer */
    bool Driving = false;
    bool Paced = false;
    std::chrono::steady_clock::time_point WallStart;
    Time VirtualAtStart = 0;
    std::vector<Waiter *> Waiters;
    std::function<void()> Deliver;
    std::function<void()> Forget;
    std::unique_ptr<sim::Session> Session;
    std::vector<IoctlRecord> Ioctls;

    world::World &W() { return Session->TheWorld(); }

    Time WallNow() const
    {
        auto Elapsed = std::chrono::steady_clock::now() - WallStart;
        return VirtualAtStart + std::chrono::duration_cast<std::chrono::nanoseconds>(Elapsed).count() / 100;
    }

    /* Releases the waiters whose condition holds or whose deadline passed. */
    bool Release()
    {
        bool Any = false;
        const Time Now = W().Clock().Now();
        for (auto It = Waiters.begin(); It != Waiters.end();) {
            Waiter *Wt = *It;
            const bool Ok = Wt->Ready();
            if (Ok || Now >= Wt->Deadline) {
                Wt->Satisfied = Ok;
                Wt->Released = true;
                ++Running;
                It = Waiters.erase(It);
                Any = true;
            } else {
                ++It;
            }
        }
        return Any;
    }

    /* After every call and every step: what is due at the present instant
       runs (a cancel's completion, a DPC), which moves no time, so a thread
       waiting for it is released even while other client threads run. */
    void Settle()
    {
        if (!Session) return;
        W().Clock().RunDue();
        if (Deliver) Deliver();
        if (Release()) Changed.notify_all();
    }

    Time EarliestDeadline() const
    {
        Time D = kForever;
        for (const Waiter *Wt : Waiters) D = std::min(D, Wt->Deadline);
        return D;
    }

    /* One step of the world on behalf of every waiting thread. */
    void Step(std::unique_lock<std::mutex> &Lock)
    {
        auto &Clock = W().Clock();
        const Time Next = Clock.NextDue();
        const Time Deadline = EarliestDeadline();
        if (Paced) {
            const Time Wall = WallNow();
            const Time Due = std::min(Next, Deadline);
            if (Due > Wall) {
                if (Wall > Clock.Now()) Clock.AdvanceTo(Wall);
                if (Due != kForever) {
                    auto Delay = std::chrono::nanoseconds((Due - Wall) * 100);
                    Changed.wait_for(Lock, std::min<std::chrono::nanoseconds>(Delay, std::chrono::milliseconds(50)));
                } else {
                    Changed.wait_for(Lock, std::chrono::milliseconds(50));
                }
                return;
            }
        }
        if (Next == INT64_MAX && Deadline == kForever) {
            std::fprintf(stderr, "brisum win32: every client thread waits and the world has nothing left to do; "
                                 "the waits fail\n");
            for (Waiter *Wt : Waiters) {
                Wt->Released = true;
                Wt->Satisfied = false;
                ++Running;
            }
            Waiters.clear();
            return;
        }
        if (Next <= Deadline)
            Clock.RunOne();
        else
            Clock.AdvanceTo(Deadline);
    }

    void EnsureWorld()
    {
        if (Session) return;
        const char *Time = std::getenv("BRISUM_TIME");
        Paced = Time && std::string(Time) == "paced";
        std::string Text = "add loopback-plug PortName=\"COM1\"\n";
        std::string File = "(default world)";
        if (const char *Path = std::getenv("BRISUM_SCENARIO"); Path && *Path) {
            std::ifstream In(Path);
            if (!In) {
                std::fprintf(stderr, "brisum win32: BRISUM_SCENARIO: cannot read %s\n", Path);
                std::exit(2);
            }
            std::stringstream S;
            S << In.rdbuf();
            Text = S.str();
            File = Path;
        }
        std::string Errors = Reset(Text, File);
        if (!Errors.empty()) {
            std::fprintf(stderr, "%s", Errors.c_str());
            std::exit(2);
        }
    }

    std::string Reset(const std::string &Text, const std::string &File);
};

Runtime &R()
{
    /* Never destroyed: detached client threads may still be inside at exit. */
    static Runtime *Instance = new Runtime;
    return *Instance;
}

/* Verbs that set up the world rather than act as a client. */
bool IsWorldVerb(const std::string &Verb)
{
    static const char *const Allowed[] = {"add",
                                          "start",
                                          "stop",
                                          "restart",
                                          "remove",
                                          "surprise-remove",
                                          "unplug",
                                          "suspend",
                                          "resume",
                                          "reserve-name",
                                          "fail",
                                          "clear-faults",
                                          "tick",
                                          "bulk-in",
                                          "interrupt",
                                          "serial-state",
                                          "network-connection",
                                          "response-available",
                                          "notify",
                                          "fail-in",
                                          "answer",
                                          "note"};
    for (const char *A : Allowed)
        if (Verb == A) return true;
    return false;
}

std::string RunLines(sim::Session &S, const std::string &Text, const std::string &File)
{
    sim::Program P;
    std::vector<sim::Diagnostic> Errors;
    sim::Compile(Text, File, P, Errors);
    for (const auto &L : P.Lines)
        if (!IsWorldVerb(L.Verb))
            Errors.push_back(
                {L.File, L.Line,
                 "'" + L.Verb + "' is a client's line: a program's world takes device and PnP lines only"});
    std::string Out;
    for (const auto &E : Errors) Out += E.Text() + "\n";
    if (Out.empty()) S.Run(P);
    return Out;
}

std::string Runtime::Reset(const std::string &Text, const std::string &File)
{
    sim::SessionOptions O;
    O.Errors = &std::cerr;
    if (Forget) Forget();
    Session.reset();
    Session = std::make_unique<sim::Session>(O);
    Ioctls.clear();
    std::string Errors = RunLines(*Session, Text, File);
    VirtualAtStart = W().Clock().Now();
    WallStart = std::chrono::steady_clock::now();
    return Errors;
}

struct ThreadRecord {
    bool Counted = false;
    ~ThreadRecord()
    {
        if (!Counted) return;
        Runtime &Rt = R();
        std::lock_guard<std::mutex> G(Rt.Mutex);
        --Rt.Running;
        Rt.Settle();
        Rt.Changed.notify_all();
    }
};
thread_local ThreadRecord Self;

world::OpHandle &OpOf(const IoOp &Op) { return *static_cast<world::OpHandle *>(Op.Op.get()); }

IoRef Wrap(world::OpHandle Op)
{
    auto Ref = std::make_shared<IoOp>();
    Ref->Op = std::make_shared<world::OpHandle>(std::move(Op));
    return Ref;
}

} // namespace

bool IoOp::Completed() const { return OpOf(*this)->Completed; }
NtStatus IoOp::Status() const { return OpOf(*this)->Status; }
std::uint64_t IoOp::Information() const { return OpOf(*this)->Information; }
const std::vector<std::uint8_t> &IoOp::Output() const { return OpOf(*this)->Output; }

Enter::Enter() : Lock(R().Mutex)
{
    Runtime &Rt = R();
    if (!Self.Counted) {
        Self.Counted = true;
        ++Rt.Running;
    }
    Rt.EnsureWorld();
    if (Rt.Paced && Rt.WallNow() > Rt.W().Clock().Now()) Rt.W().Clock().AdvanceTo(Rt.WallNow());
}

Enter::~Enter() { R().Settle(); }

NtStatus Open(const std::u16string &Name, int *File)
{
    world::FileHandle H = 0;
    NTSTATUS S = R().W().Open(Name, &H);
    *File = H;
    return S;
}

NtStatus Close(int File) { return R().W().Close(File); }
IoRef Read(int File, std::size_t Length) { return Wrap(R().W().Read(File, Length)); }
IoRef Write(int File, const std::uint8_t *Data, std::size_t Length)
{
    return Wrap(R().W().Write(File, world::Bytes(Data, Data + Length)));
}
IoRef Ioctl(int File, std::uint32_t Code, const std::uint8_t *In, std::size_t InLength, std::size_t OutLength)
{
    world::Bytes Input = In ? world::Bytes(In, In + InLength) : world::Bytes(InLength, 0);
    R().Ioctls.push_back({Code, Input});
    return Wrap(R().W().DeviceIoControl(File, Code, Input, OutLength));
}
IoRef Flush(int File) { return Wrap(R().W().FlushAsync(File)); }
bool Cancel(const IoRef &Op) { return R().W().Cancel(OpOf(*Op)); }
Time Now() { return R().W().Clock().Now(); }
bool PortExists(const std::u16string &Name) { return R().W().SymbolicLink(u"\\DosDevices\\" + Name).has_value(); }

bool BlockUntil(Enter &E, std::function<bool()> Ready, Time Deadline)
{
    Runtime &Rt = R();
    Rt.Settle();
    if (Ready()) return true;
    if (Rt.W().Clock().Now() >= Deadline) return false;
    Waiter Me{std::move(Ready), Deadline};
    Rt.Waiters.push_back(&Me);
    --Rt.Running;
    Rt.Changed.notify_all();
    while (!Me.Released) {
        if (!Rt.Driving && (Rt.Paced || Rt.Running == 0)) {
            Rt.Driving = true;
            Rt.Step(E.Lock);
            Rt.Driving = false;
            Rt.Settle();
            Rt.Changed.notify_all();
            continue;
        }
        Rt.Changed.wait(E.Lock);
    }
    return Me.Satisfied;
}

void Yield(Enter &E)
{
    E.Lock.unlock();
    std::this_thread::yield();
    E.Lock.lock();
}

void SetDeliverer(std::function<void()> Deliver) { R().Deliver = std::move(Deliver); }
void SetForgetter(std::function<void()> Forget) { R().Forget = std::move(Forget); }

void AdoptNewThread() { ++R().Running; }
void StartAdoptedThread() { Self.Counted = true; }
void EndThread()
{
    if (!Self.Counted) return;
    Self.Counted = false;
    --R().Running;
    R().Changed.notify_all();
}

std::uint32_t Win32Error(NtStatus Status)
{
    struct Entry {
        NTSTATUS Status;
        std::uint32_t Error;
    };
    /* The system's mapping for every status the driver, the framework and
       the I/O manager here can return. */
    static const Entry Table[] = {
        {STATUS_SUCCESS, 0},
        {STATUS_TIMEOUT, 258},                 /* WAIT_TIMEOUT */
        {STATUS_PENDING, 997},                 /* ERROR_IO_PENDING */
        {STATUS_BUFFER_OVERFLOW, 234},         /* ERROR_MORE_DATA */
        {STATUS_NO_MORE_ENTRIES, 259},         /* ERROR_NO_MORE_ITEMS */
        {STATUS_DEVICE_BUSY, 170},             /* ERROR_BUSY */
        {STATUS_UNSUCCESSFUL, 31},             /* ERROR_GEN_FAILURE */
        {STATUS_NOT_IMPLEMENTED, 1},           /* ERROR_INVALID_FUNCTION */
        {STATUS_INVALID_INFO_CLASS, 87},       /* ERROR_INVALID_PARAMETER */
        {STATUS_INFO_LENGTH_MISMATCH, 24},     /* ERROR_BAD_LENGTH */
        {STATUS_INVALID_HANDLE, 6},            /* ERROR_INVALID_HANDLE */
        {STATUS_INVALID_PARAMETER, 87},        /* ERROR_INVALID_PARAMETER */
        {STATUS_NO_SUCH_DEVICE, 2},            /* ERROR_FILE_NOT_FOUND */
        {STATUS_INVALID_DEVICE_REQUEST, 1},    /* ERROR_INVALID_FUNCTION */
        {STATUS_NO_MEMORY, 8},                 /* ERROR_NOT_ENOUGH_MEMORY */
        {STATUS_ACCESS_DENIED, 5},             /* ERROR_ACCESS_DENIED */
        {STATUS_BUFFER_TOO_SMALL, 122},        /* ERROR_INSUFFICIENT_BUFFER */
        {STATUS_OBJECT_TYPE_MISMATCH, 6},      /* ERROR_INVALID_HANDLE */
        {STATUS_OBJECT_NAME_INVALID, 123},     /* ERROR_INVALID_NAME */
        {STATUS_OBJECT_NAME_NOT_FOUND, 2},     /* ERROR_FILE_NOT_FOUND */
        {STATUS_OBJECT_NAME_COLLISION, 183},   /* ERROR_ALREADY_EXISTS */
        {STATUS_DELETE_PENDING, 5},            /* ERROR_ACCESS_DENIED */
        {STATUS_INSUFFICIENT_RESOURCES, 1450}, /* ERROR_NO_SYSTEM_RESOURCES */
        {STATUS_DEVICE_NOT_READY, 21},         /* ERROR_NOT_READY */
        {STATUS_DEVICE_NOT_CONNECTED, 1167},   /* ERROR_DEVICE_NOT_CONNECTED */
        {STATUS_IO_TIMEOUT, 121},              /* ERROR_SEM_TIMEOUT */
        {STATUS_NOT_SUPPORTED, 50},            /* ERROR_NOT_SUPPORTED */
        {STATUS_INTERNAL_ERROR, 1359},         /* ERROR_INTERNAL_ERROR */
        {STATUS_CANCELLED, 995},               /* ERROR_OPERATION_ABORTED */
        {STATUS_INVALID_DEVICE_STATE, 22},     /* ERROR_BAD_COMMAND */
        {STATUS_DEVICE_REMOVED, 1617},         /* ERROR_DEVICE_REMOVED */
        {STATUS_NOT_FOUND, 1168},              /* ERROR_NOT_FOUND */
        {STATUS_INVALID_BUFFER_SIZE, 1784},    /* ERROR_INVALID_USER_BUFFER */
    };
    for (const Entry &E : Table)
        if (E.Status == Status) return E.Error;
    return 317; /* ERROR_MR_MID_NOT_FOUND, as the system answers for a status it has no entry for */
}

std::string ResetWorld(const std::string &ScenarioText, const std::string &File)
{
    Runtime &Rt = R();
    std::lock_guard<std::mutex> G(Rt.Mutex);
    const char *Time = std::getenv("BRISUM_TIME");
    Rt.Paced = Time && std::string(Time) == "paced";
    return Rt.Reset(ScenarioText, File);
}

std::vector<IoctlRecord> IoctlLog()
{
    std::lock_guard<std::mutex> G(R().Mutex);
    return R().Ioctls;
}

std::string IoctlName(std::uint32_t Code) { return sim::IoctlName(Code); }

void ClearIoctlLog()
{
    std::lock_guard<std::mutex> G(R().Mutex);
    R().Ioctls.clear();
}

namespace {
std::shared_ptr<world::CdcAcmDevice> Model(std::size_t Index)
{
    R().EnsureWorld();
    return R().Session->DeviceModel(Index);
}
} // namespace

std::vector<ClassRequest> ClassRequests(std::size_t Index)
{
    std::lock_guard<std::mutex> G(R().Mutex);
    std::vector<ClassRequest> Out;
    if (auto M = Model(Index))
        for (const auto &T : M->ClassRequests()) Out.push_back({T.Setup.bRequest, T.Setup.wValue, T.Data});
    return Out;
}

std::vector<std::uint8_t> BulkOut(std::size_t Index)
{
    std::lock_guard<std::mutex> G(R().Mutex);
    auto M = Model(Index);
    return M ? M->BulkOutBytes() : std::vector<std::uint8_t>{};
}

std::uint16_t ControlLines(std::size_t Index)
{
    std::lock_guard<std::mutex> G(R().Mutex);
    auto M = Model(Index);
    return M ? M->ControlLineState() : 0;
}

std::string RunScenario(const std::string &Text)
{
    std::lock_guard<std::mutex> G(R().Mutex);
    R().EnsureWorld();
    std::string Errors = RunLines(*R().Session, Text, "lines");
    R().Settle();
    return Errors;
}

} // namespace brisum_w32

/* For hosts that drive the world from outside the Win32 API (the Python
   package's tests): a fresh world from scenario text, and further device
   or PnP lines run now. Each returns 0, or -1 with the diagnostics on
   standard error. No client may be inside the layer during a reset. */
extern "C" __attribute__((visibility("default"))) int brisum_world_reset(const char *Scenario)
{
    std::string Errors = brisum_w32::ResetWorld(Scenario ? Scenario : "", "brisum_world_reset");
    if (Errors.empty()) return 0;
    std::fprintf(stderr, "%s", Errors.c_str());
    return -1;
}

extern "C" __attribute__((visibility("default"))) int brisum_world_run(const char *Lines)
{
    std::string Errors = brisum_w32::RunScenario(Lines ? Lines : "");
    if (Errors.empty()) return 0;
    std::fprintf(stderr, "%s", Errors.c_str());
    return -1;
}

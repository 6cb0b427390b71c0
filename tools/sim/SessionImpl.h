/*
 * SessionImpl.h - the interpreter's state (Session::Impl) and what the
 * verb compilers share. Session.cpp runs a program; each Verbs*.cpp file
 * compiles the verbs of one kind (PnP and the system, the application,
 * the device's side, the clock, expectations, notes), and Verbs.cpp holds
 * the verb table. Private to the simulator.
 */
#pragma once
#include "Session.h"

#include <algorithm>
#include <deque>
#include <map>
#include <set>
#include <sstream>

#include <CdcAcmDevice.h>
#include <World.h>
#include <core/Processors.h>
#include <ntddk.h>
#include <ntddser.h>

#include "Transcript.h"

namespace sim {

inline constexpr std::size_t kMaxEventsPerCommand = 5'000'000;
inline constexpr VirtualTime kDefaultRunLimit = 60 * world::kSecond;
/* Bounds of what a run keeps, so that a long one holds flat memory: the
   items an expectation compares (bulk-OUT bytes and packets, class
   requests) since the expectation before, the driver's trace messages an
   `expect trace` searches, transcript lines queued while a transfer's
   pending line is not known yet, and capture records held back until a
   device's enumeration is settled. */
inline constexpr std::size_t kExpectWindow = 1u << 20;
inline constexpr std::size_t kTraceWindow = 1u << 16;
inline constexpr std::size_t kStreamLines = 1u << 12;
inline constexpr std::size_t kMaxQueuedLines = 1u << 16;
inline constexpr std::size_t kMaxHeldCaptureRecords = 1u << 16;

inline const char *StateName(world::DevicePnpState S)
{
    switch (S) {
    case world::DevicePnpState::Added: return "added";
    case world::DevicePnpState::Started: return "started";
    case world::DevicePnpState::Stopped: return "stopped";
    case world::DevicePnpState::Removed: return "removed";
    case world::DevicePnpState::SurpriseRemoved: return "surprise-removed";
    case world::DevicePnpState::AddFailed: return "add-failed";
    case world::DevicePnpState::StartFailed: return "start-failed";
    }
    return "?";
}

inline std::optional<world::DevicePnpState> ParseState(std::string_view Word)
{
    static const world::DevicePnpState All[] = {
        world::DevicePnpState::Added,      world::DevicePnpState::Started,         world::DevicePnpState::Stopped,
        world::DevicePnpState::Removed,    world::DevicePnpState::SurpriseRemoved, world::DevicePnpState::AddFailed,
        world::DevicePnpState::StartFailed};
    for (auto S : All)
        if (EqualsIgnoreCase(Word, StateName(S))) return S;
    return std::nullopt;
}

inline std::string Join(const std::vector<std::string> &Parts, const char *Sep = " ")
{
    std::string Out;
    for (const auto &P : Parts) Out += (Out.empty() ? "" : Sep) + P;
    return Out;
}

/* The statement's arguments as written, without tag and verb. */
inline std::string ArgumentsText(const Statement &S)
{
    std::vector<std::string> Parts = S.Words;
    for (const auto &[K, V] : S.Options) Parts.push_back(K + "=" + V);
    return Join(Parts);
}

inline ULONG PoolTag(std::string_view Text)
{
    if (Text.size() == 4 && !std::isdigit(static_cast<unsigned char>(Text[0])))
        return static_cast<ULONG>(static_cast<std::uint8_t>(Text[0]) | static_cast<std::uint8_t>(Text[1]) << 8 |
                                  static_cast<std::uint8_t>(Text[2]) << 16 |
                                  static_cast<ULONG>(static_cast<std::uint8_t>(Text[3])) << 24);
    return static_cast<ULONG>(ParseUnsigned(Text));
}

inline bool IsReservedExpectWord(std::string_view W)
{
    static const char *Words[] = {"bulk-out", "setup", "modem",   "serial-count", "serialcomm", "link",
                                  "name",     "pool",  "objects", "verifier",     "trace"};
    for (const char *R : Words)
        if (EqualsIgnoreCase(W, R)) return true;
    return false;
}

struct Session::Impl {
    struct DeviceEntry {
        std::string Name;
        std::shared_ptr<world::CdcAcmDevice> Model;
        world::DeviceNode *Node = nullptr;
        VirtualTime AddedAt = 0;
        std::uint8_t Address = 1;
        std::size_t Ordinal = 0; /* its place among the session's devices: the capture's order at equal times */
        /* The session follows the device's transfers as the model tells of
           them (its log keeps only a window): those told of since the last
           poll, in log order, and those not completed when last polled. */
        std::vector<world::TransferRecord> Fresh;
        struct OpenTransfer {
            world::TransferRecord Record;
            bool Announced; /* its pending line is out */
        };
        std::map<std::uint64_t, OpenTransfer> Open; /* by id, which is log order */
        /* What the expectations compare, since the one before looked: at
           most kExpectWindow of each, the rest only counted. */
        Bytes BulkOutBytes;                    /* accepted on bulk-OUT, in order */
        std::vector<std::size_t> BulkOutSizes; /* bulk-OUT packets offered */
        std::deque<world::TransferRecord> ClassRequests;
        std::uint64_t BulkOutBytesDropped = 0;
        std::uint64_t BulkOutSizesDropped = 0;
        std::uint64_t ClassRequestsDropped = 0;
        /* The capture's enumeration is settled: the driver read the
           configuration descriptor on the bus, or the session wrote the
           enumeration from the descriptors. Until then the capture holds
           back what happened since the device was added. */
        bool EnumerationSettled = false;
    };
    struct HandleEntry {
        std::string Name;
        std::string Port;
        world::FileHandle Id = 0;
        bool Open = false;
    };
    enum class Kind { Operation, Device, Handle };
    struct Entity {
        Kind K = Kind::Operation;
        std::string Tag;
        world::OpHandle Op;
        bool CompletionShown = false;
        VirtualTime IssuedAt = 0;
        const Layout *OutputLayout = nullptr;
        bool ShowData = false;
        int Device = -1;
        int Handle = -1;
        std::size_t Index = 0;
    };
    struct Line {
        VirtualTime Time;
        std::uint64_t Seq;
        std::string Source;
        std::string Text;
    };
    struct VerifierReport {
        std::string Text;
        std::string Where;
    };

    SessionOptions Opt;
    world::World W;
    std::vector<DeviceEntry> Devices;
    std::vector<HandleEntry> Handles;
    std::deque<Entity> Entities;
    std::map<std::string, std::size_t> ByTag;
    std::vector<std::size_t> PendingOps;
    std::vector<Line> Queue;
    std::uint64_t Seq = 0;
    std::deque<std::string> Traces; /* the latest kTraceWindow; Traces[0] is message TraceBase */
    std::uint64_t TraceBase = 0;
    std::uint64_t TraceCursor = 0;           /* the first message the next `expect trace` searches */
    std::size_t NextStreamAt = kStreamLines; /* queue length at which lines are streamed mid-statement */
    std::size_t PeakQueuedLines = 0;
    std::size_t PeakCaptureHeld = 0;
    std::size_t VerifierSeen = 0;
    std::vector<VerifierReport> Unclaimed;
    const Statement *Current = nullptr;
    int FailureCount = 0;
    int CheckCount = 0;
    bool Finished = false;
    int LastHandle = -1;
    /* The world's processors as the scenario set them (processors, seed,
       schedule: only before any other statement has run). */
    fx::ProcessorOptions Cpus;
    bool WorldStarted = false;

    explicit Impl(SessionOptions O) : Opt(std::move(O))
    {
        W.CollectVerifierReports(true);
        if (fx::Processors *P = W.Clock().Cpus()) Cpus = P->Options(); /* BRISUM_PROCESSORS */
        W.SetTraceSink([this](const std::string &Message) {
            std::string M = Message;
            while (!M.empty() && (M.back() == '\n' || M.back() == '\r')) M.pop_back();
            Traces.push_back(M);
            if (Traces.size() > kTraceWindow) {
                Traces.pop_front();
                ++TraceBase;
            }
            if (Opt.Trace) Emit(Now(), "drv", M);
        });
    }

    ~Impl()
    {
        W.SetTraceSink({});
        for (auto &D : Devices) D.Model->ObserveTransfers({});
    }

    VirtualTime Now() { return W.Clock().Now(); }

    /* ---- transcript ---- */

    void Emit(VirtualTime Time, const std::string &Source, const std::string &Text);

    void Flush();

    /* Writes the queued lines up to time Last, in order: no line added
       later is earlier than Last. */
    void FlushUpTo(VirtualTime Last);

    /* A long statement streams its lines: those no later line can precede
       are written as the run goes. */
    void StreamLines();

    std::string Where() const;

    void Fail(const std::string &Message);

    void Pass();

    /* Records the outcome of a check: a pass, or a failure with the differences. */
    void Check(const std::vector<std::string> &Differences);

    /* ---- watching the world ---- */

    void EmitTransfer(DeviceEntry &D, const world::TransferRecord &R,
                      int Phase /* 0 whole, 1 submitted, 2 completed */);

    /* The device model's observer: a transfer submitted, completed, or
       (a standard request) both at once. */
    void Observe(std::size_t Device, const world::TransferRecord &R);
    void Submitted(DeviceEntry &D, const world::TransferRecord &R);
    void Completed(DeviceEntry &D, const world::TransferRecord &R);

    /* Writes the capture's records that no record still to come precedes. */
    void ReleaseCapture();
    /* The enumeration from the descriptors, for a device whose driver did
       not read them on the bus. */
    void SettleEnumeration(DeviceEntry &D);

    /* A transfer answered in the instant it was submitted is one line; one
       that takes longer is a "pending" line at its submission and a line at
       its completion. Which of the two applies is known once the clock has
       moved on or the statement has ended (AnnouncePending). */
    void PollTransfers();

    /* Transfers still outstanding at the end of a statement are shown as pending. */
    void AnnouncePending();

    std::string ResultText(const Entity &E);

    void PollOps();

    void PollVerifier();

    void Poll();

    /* The end of a statement: what is still outstanding is shown as such and
       the statement's lines are written in time order. */
    void EndStatement();

    /* ---- running the clock ---- */

    void AdvanceBy(VirtualTime Duration);

    /* Runs events until Done() holds, nothing is left, or Limit passes.
       Returns true when Done() held (or, without Done, the world went idle). */
    bool RunUntil(const std::function<bool()> &Done, VirtualTime Limit);

    /* ---- names ---- */

    Entity &NewEntity(Kind K, const std::string &Tag);

    Entity *FindTag(const std::string &Tag);

    DeviceEntry &Device(const std::string *Name);

    HandleEntry &Handle(const std::string *Name);

    /* ---- operations ---- */

    void Track(Entity &E, world::OpHandle Op);

    /* A completed result record for a synchronous call (open, close, PnP). */
    world::OpHandle Result(NTSTATUS Status);

    void Finish();

    Session::Retained RetainedRecords() const;
};

/* Compilation: each verb checks its arguments now and returns the action. */
namespace verbs {

using Impl = Session::Impl;
using Action = std::function<void(Session &)>;
using Body = std::function<void(Impl &)>;

inline Action Wrap(Body B)
{
    return [B = std::move(B)](Session &S) { B(S.Internals()); };
}

inline std::optional<std::string> OptString(ArgReader &A, std::string_view Key)
{
    const std::string *V = A.Option(Key);
    if (!V) return std::nullopt;
    return *V;
}

inline const std::string *Ptr(const std::optional<std::string> &V) { return V ? &*V : nullptr; }

inline VirtualTime OptDuration(ArgReader &A, std::string_view Key, VirtualTime Default)
{
    const std::string *V = A.Option(Key);
    return V ? ParseDuration(*V) : Default;
}

Action CompileAdd(const Statement &S, ArgReader &A);
Action CompilePnp(const Statement &S, ArgReader &A);
Action CompileSystemPower(const Statement &S, ArgReader &A);
Action CompileReserveName(const Statement &, ArgReader &A);
Action CompileFail(const Statement &, ArgReader &A);
Action CompileClearFaults(const Statement &, ArgReader &A);
Action CompileTick(const Statement &, ArgReader &A);
Action CompileOpen(const Statement &S, ArgReader &A);
Action CompileClose(const Statement &S, ArgReader &A);
Action CompileRead(const Statement &S, ArgReader &A);
Action CompileWrite(const Statement &S, ArgReader &A);
Action CompileIoctl(const Statement &S, ArgReader &A);
Action CompileFlush(const Statement &S, ArgReader &A);
Action CompileQueryInfo(const Statement &S, ArgReader &A);
Action CompileSetInfo(const Statement &S, ArgReader &A);
Action CompileCancel(const Statement &, ArgReader &A);
Action CompileBulkIn(const Statement &, ArgReader &A);
Action CompileInterrupt(const Statement &, ArgReader &A);
Action CompileNotify(const Statement &S, ArgReader &A);
Action CompileFailIn(const Statement &, ArgReader &A);
Action CompileAnswer(const Statement &, ArgReader &A);
Action CompileAdvance(const Statement &, ArgReader &A);
Action CompileRun(const Statement &, ArgReader &A);
Action CompileWait(const Statement &, ArgReader &A);
Action CompileExpectTag(const Statement &, ArgReader &A, std::string Target);
Action CompileExpectBulkOut(const Statement &, ArgReader &A);
Action CompileExpectSetup(const Statement &, ArgReader &A);
Action CompileExpectModem(const Statement &, ArgReader &A);
Action CompileExpectSystem(ArgReader &A, std::string What);
Action CompileExpect(const Statement &S, ArgReader &A);
Action CompileProcessors(const Statement &S, ArgReader &A);
/* The most processors a scenario may ask for. */
constexpr std::uint64_t kMaxProcessors = 64;
/* The statements that set up the world's processors: only before the world starts. */
inline bool IsProcessorsVerb(std::string_view Verb)
{
    return Verb == "processors" || Verb == "seed" || Verb == "schedule";
}
Action CompileNote(const Statement &, ArgReader &A);
Action CompileShow(const Statement &, ArgReader &A);

/* The modem status of the handle named On (or the only one), by GET_MODEMSTATUS. */
std::optional<std::uint32_t> QueryModemStatus(Impl &I, const std::string *On);

} // namespace verbs
} // namespace sim

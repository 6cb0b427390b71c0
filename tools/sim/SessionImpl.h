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
#include <ntddk.h>
#include <ntddser.h>

#include "Transcript.h"

namespace sim {

inline constexpr std::size_t kMaxEventsPerCommand = 5'000'000;
inline constexpr VirtualTime kDefaultRunLimit = 60 * world::kSecond;

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
        std::size_t Seen = 0;
        struct OpenTransfer {
            std::size_t Index;
            bool Announced; /* its pending line is out */
        };
        std::vector<OpenTransfer> Open; /* transfers not completed when last seen */
        std::size_t BulkOutBytePos = 0;
        std::size_t BulkOutPacketPos = 0;
        std::size_t ClassRequestPos = 0;
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
    std::vector<std::string> Traces;
    std::size_t TraceCursor = 0;
    std::size_t VerifierSeen = 0;
    std::vector<VerifierReport> Unclaimed;
    const Statement *Current = nullptr;
    int FailureCount = 0;
    int CheckCount = 0;
    bool Finished = false;
    int LastHandle = -1;

    explicit Impl(SessionOptions O) : Opt(std::move(O))
    {
        W.CollectVerifierReports(true);
        W.SetTraceSink([this](const std::string &Message) {
            std::string M = Message;
            while (!M.empty() && (M.back() == '\n' || M.back() == '\r')) M.pop_back();
            Traces.push_back(M);
            if (Opt.Trace) Emit(Now(), "drv", M);
        });
    }

    ~Impl() { W.SetTraceSink({}); }

    VirtualTime Now() { return W.Clock().Now(); }

    /* ---- transcript ---- */

    void Emit(VirtualTime Time, const std::string &Source, const std::string &Text);

    void Flush();

    std::string Where() const;

    void Fail(const std::string &Message);

    void Pass();

    /* Records the outcome of a check: a pass, or a failure with the differences. */
    void Check(const std::vector<std::string> &Differences);

    /* ---- watching the world ---- */

    void EmitTransfer(DeviceEntry &D, const world::TransferRecord &R,
                      int Phase /* 0 whole, 1 submitted, 2 completed */);

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
Action CompileNote(const Statement &, ArgReader &A);
Action CompileShow(const Statement &, ArgReader &A);

/* The modem status of the handle named On (or the only one), by GET_MODEMSTATUS. */
std::optional<std::uint32_t> QueryModemStatus(Impl &I, const std::string *On);

} // namespace verbs
} // namespace sim

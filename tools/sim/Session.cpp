/*
 * Session.cpp - the scenario interpreter: compiles statements into actions
 * and runs them against one World, writing the transcript as it goes.
 *
 * Everything reaches the driver through the World's public API (the PnP and
 * I/O managers) and the CdcAcmDevice (the device's side); what the
 * transcript shows is read back from completed operations and from the
 * transfers the device model recorded.
 */
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

namespace {

constexpr std::size_t kMaxEventsPerCommand = 5'000'000;
constexpr VirtualTime kDefaultRunLimit = 60 * world::kSecond;

const char *StateName(world::DevicePnpState S)
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

std::optional<world::DevicePnpState> ParseState(std::string_view Word)
{
    static const world::DevicePnpState All[] = {world::DevicePnpState::Added,     world::DevicePnpState::Started,
                                                world::DevicePnpState::Stopped,   world::DevicePnpState::Removed,
                                                world::DevicePnpState::SurpriseRemoved, world::DevicePnpState::AddFailed,
                                                world::DevicePnpState::StartFailed};
    for (auto S : All)
        if (EqualsIgnoreCase(Word, StateName(S))) return S;
    return std::nullopt;
}

std::string Join(const std::vector<std::string> &Parts, const char *Sep = " ")
{
    std::string Out;
    for (const auto &P : Parts) Out += (Out.empty() ? "" : Sep) + P;
    return Out;
}

/* The statement's arguments as written, without tag and verb. */
std::string ArgumentsText(const Statement &S)
{
    std::vector<std::string> Parts = S.Words;
    for (const auto &[K, V] : S.Options) Parts.push_back(K + "=" + V);
    return Join(Parts);
}

ULONG PoolTag(std::string_view Text)
{
    if (Text.size() == 4 && !std::isdigit(static_cast<unsigned char>(Text[0])))
        return static_cast<ULONG>(static_cast<std::uint8_t>(Text[0]) | static_cast<std::uint8_t>(Text[1]) << 8 |
                                  static_cast<std::uint8_t>(Text[2]) << 16 |
                                  static_cast<ULONG>(static_cast<std::uint8_t>(Text[3])) << 24);
    return static_cast<ULONG>(ParseUnsigned(Text));
}

bool IsReservedExpectWord(std::string_view W)
{
    static const char *Words[] = {"bulk-out", "setup",  "modem",    "serial-count", "serialcomm", "link",
                                  "name",     "pool",   "objects",  "verifier",     "trace"};
    for (const char *R : Words)
        if (EqualsIgnoreCase(W, R)) return true;
    return false;
}

} // namespace

/* ====================================================================== */

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

    void Emit(VirtualTime Time, const std::string &Source, const std::string &Text)
    {
        Queue.push_back(Line{Time, Seq++, Source, Text});
    }

    void Flush()
    {
        std::stable_sort(Queue.begin(), Queue.end(), [](const Line &A, const Line &B) {
            return A.Time != B.Time ? A.Time < B.Time : A.Seq < B.Seq;
        });
        if (Opt.Transcript)
            for (const auto &L : Queue) *Opt.Transcript << FormatLine(L.Time, L.Source, L.Text) << '\n';
        Queue.clear();
    }

    std::string Where() const
    {
        return Current ? Current->File + ":" + std::to_string(Current->Line) : std::string("(no line)");
    }

    void Fail(const std::string &Message)
    {
        ++FailureCount;
        std::string Text = Current ? Current->Source + ": " + Message : Message;
        Emit(Now(), "FAIL", (Current ? "line " + std::to_string(Current->Line) + ": " : std::string()) + Text);
        if (Opt.Errors) *Opt.Errors << Where() << ": " << Text << '\n';
    }

    void Pass()
    {
        ++CheckCount;
        if (Current) Emit(Now(), "chk", Current->Source);
    }

    /* Records the outcome of a check: a pass, or a failure with the differences. */
    void Check(const std::vector<std::string> &Differences)
    {
        if (Differences.empty()) Pass();
        else {
            ++CheckCount;
            Fail(Join(Differences, "; "));
        }
    }

    /* ---- watching the world ---- */

    void EmitTransfer(DeviceEntry &D, const world::TransferRecord &R, int Phase /* 0 whole, 1 submitted, 2 completed */)
    {
        std::string Head = D.Name + " #" + std::to_string(R.Id) + " ";
        VirtualTime T = Phase == 1 ? R.SubmittedAt : R.CompletedAt;
        bool Cancelled = R.Cancelled || R.Status == USBD_STATUS_CANCELED;
        std::string Outcome = Cancelled ? "cancelled" : UsbdStatusName(R.Status);
        char Ep[8];
        std::snprintf(Ep, sizeof Ep, "0x%02x", R.Endpoint);
        switch (R.Kind) {
        case world::TransferKind::Control: {
            bool In = (R.Setup.bmRequestType & 0x80) != 0;
            std::string Text = Head + "control " + DescribeSetup(R.Setup, R.Data);
            if (Phase != 2) {
                Text += " setup " + HexBytes(SetupBytes(R.Setup));
                if (!In && !R.Data.empty()) Text += " data " + HexBytes(R.Data);
            }
            if (Phase == 1) Text += " -> pending";
            else {
                Text += " -> " + Outcome;
                if (In && !Cancelled && USBD_SUCCESS(R.Status)) {
                    Bytes Got(R.Data.begin(), R.Data.begin() + static_cast<std::ptrdiff_t>(std::min(R.Actual, R.Data.size())));
                    Text += ", returned " + std::to_string(Got.size()) + " bytes";
                }
            }
            Emit(T, "usb", Text);
            break;
        }
        case world::TransferKind::BulkOut: {
            std::string Text = Head + "bulk-out " + Ep;
            if (Phase != 2) Text += " " + FormatBytes(R.Data);
            if (Phase == 1) Text += " -> pending";
            else {
                Text += " -> " + Outcome;
                if (!Cancelled && USBD_SUCCESS(R.Status) && R.Actual != R.Data.size())
                    Text += ", took " + std::to_string(R.Actual);
            }
            Emit(T, "usb", Text);
            break;
        }
        case world::TransferKind::BulkIn: {
            if (Phase == 1) break;
            std::string Text = Head + "bulk-in " + Ep + " ";
            if (Cancelled) Text += "cancelled";
            else if (!USBD_SUCCESS(R.Status)) Text += "-> " + Outcome;
            else {
                Bytes Got(R.Data.begin(), R.Data.begin() + static_cast<std::ptrdiff_t>(std::min(R.Actual, R.Data.size())));
                Text += Got.empty() ? std::string("zero-length packet") : FormatBytes(Got);
            }
            Emit(T, "usb", Text);
            break;
        }
        case world::TransferKind::InterruptIn: {
            if (Phase == 1) break;
            std::string Text = Head + "interrupt " + Ep + " ";
            if (Cancelled) Text += "cancelled";
            else if (!USBD_SUCCESS(R.Status)) Text += "-> " + Outcome;
            else {
                Bytes Got(R.Data.begin(), R.Data.begin() + static_cast<std::ptrdiff_t>(std::min(R.Actual, R.Data.size())));
                Text += DescribeNotification(Got) + " " + HexBytes(Got);
            }
            Emit(T, "usb", Text);
            break;
        }
        }
    }

    /* A transfer answered in the instant it was submitted is one line; one
       that takes longer is a "pending" line at its submission and a line at
       its completion. Which of the two applies is known once the clock has
       moved on or the statement has ended (AnnouncePending). */
    void PollTransfers()
    {
        for (auto &D : Devices) {
            const auto &T = D.Model->Transfers();
            for (auto It = D.Open.begin(); It != D.Open.end();) {
                const auto &R = T[It->Index];
                if (R.CompletedAt >= 0) {
                    if (It->Announced) EmitTransfer(D, R, 2);
                    else if (R.CompletedAt == R.SubmittedAt) EmitTransfer(D, R, 0);
                    else {
                        EmitTransfer(D, R, 1);
                        EmitTransfer(D, R, 2);
                    }
                    It = D.Open.erase(It);
                } else {
                    ++It;
                }
            }
            for (; D.Seen < T.size(); ++D.Seen) {
                const auto &R = T[D.Seen];
                if (R.CompletedAt >= 0 && R.CompletedAt == R.SubmittedAt) EmitTransfer(D, R, 0);
                else if (R.CompletedAt >= 0) {
                    EmitTransfer(D, R, 1);
                    EmitTransfer(D, R, 2);
                } else {
                    D.Open.push_back({D.Seen, false});
                }
            }
        }
    }

    /* Transfers still outstanding at the end of a statement are shown as pending. */
    void AnnouncePending()
    {
        for (auto &D : Devices) {
            const auto &T = D.Model->Transfers();
            for (auto &O : D.Open) {
                if (!O.Announced) {
                    EmitTransfer(D, T[O.Index], 1);
                    O.Announced = true;
                }
            }
        }
    }

    std::string ResultText(const Entity &E)
    {
        const world::Operation &Op = *E.Op;
        std::string Text = E.Tag + ": -> " + world::StatusName(Op.Status);
        if (E.K != Kind::Operation) return Text;
        Text += " info=" + std::to_string(Op.Information);
        std::size_t Visible = std::min<std::size_t>(Op.Information, Op.Output.size());
        Bytes Data(Op.Output.begin(), Op.Output.begin() + static_cast<std::ptrdiff_t>(Visible));
        if (E.ShowData && Visible > 0) Text += " " + FormatBytes(Data);
        else if (E.OutputLayout && Visible > 0) Text += " " + DescribeLayout(*E.OutputLayout, Op.Output, Visible);
        else if (Visible > 0) Text += " " + FormatBytes(Data);
        return Text;
    }

    void PollOps()
    {
        for (auto It = PendingOps.begin(); It != PendingOps.end();) {
            Entity &E = Entities[*It];
            if (E.Op && E.Op->Completed) {
                VirtualTime T = E.Op->CompletedAt >= 0 ? E.Op->CompletedAt : Now();
                Emit(T, "app", ResultText(E));
                E.CompletionShown = true;
                It = PendingOps.erase(It);
            } else {
                ++It;
            }
        }
    }

    void PollVerifier()
    {
        std::vector<std::string> Reports = W.VerifierReports();
        for (; VerifierSeen < Reports.size(); ++VerifierSeen) {
            Emit(Now(), "vrfy", Reports[VerifierSeen]);
            Unclaimed.push_back({Reports[VerifierSeen], Where()});
        }
    }

    void Poll()
    {
        PollTransfers();
        PollOps();
        PollVerifier();
    }

    /* The end of a statement: what is still outstanding is shown as such and
       the statement's lines are written in time order. */
    void EndStatement()
    {
        Poll();
        AnnouncePending();
        Flush();
    }

    /* ---- running the clock ---- */

    void AdvanceBy(VirtualTime Duration)
    {
        world::Scheduler &C = W.Clock();
        VirtualTime Target = C.Now() + Duration;
        std::size_t Count = 0;
        while (C.NextDue() <= Target) {
            C.RunOne();
            Poll();
            if (++Count > kMaxEventsPerCommand) {
                Fail("the world ran " + std::to_string(Count) + " events without reaching " + FormatDuration(Target));
                return;
            }
        }
        C.AdvanceTo(Target);
        Poll();
    }

    /* Runs events until Done() holds, nothing is left, or Limit passes.
       Returns true when Done() held (or, without Done, the world went idle). */
    bool RunUntil(const std::function<bool()> &Done, VirtualTime Limit)
    {
        world::Scheduler &C = W.Clock();
        VirtualTime End = C.Now() + Limit;
        std::size_t Count = 0;
        Poll();
        while (!(Done && Done())) {
            if (C.Pending() == 0) return !Done;
            if (C.NextDue() > End) {
                C.AdvanceTo(End);
                Poll();
                return false;
            }
            C.RunOne();
            Poll();
            if (++Count > kMaxEventsPerCommand) {
                Fail("the world ran " + std::to_string(Count) + " events without settling");
                return false;
            }
        }
        return true;
    }

    /* ---- names ---- */

    Entity &NewEntity(Kind K, const std::string &Tag)
    {
        Entities.push_back(Entity{});
        Entity &E = Entities.back();
        E.K = K;
        E.Tag = Tag.empty() && Current ? "@" + std::to_string(Current->Line) : Tag;
        E.IssuedAt = Now();
        E.Index = Entities.size() - 1;
        ByTag[E.Tag] = E.Index;
        return E;
    }

    Entity *FindTag(const std::string &Tag)
    {
        auto It = ByTag.find(Tag);
        return It == ByTag.end() ? nullptr : &Entities[It->second];
    }

    DeviceEntry &Device(const std::string *Name)
    {
        if (Devices.empty()) throw SyntaxError("no device has been added yet");
        if (!Name) return Devices.back();
        for (auto &D : Devices)
            if (D.Name == *Name) return D;
        throw SyntaxError("no device named '" + *Name + "'");
    }

    HandleEntry &Handle(const std::string *Name)
    {
        if (!Name) {
            if (LastHandle < 0) throw SyntaxError("no port has been opened yet (open one, or name a handle with on=)");
            return Handles[static_cast<std::size_t>(LastHandle)];
        }
        for (auto &H : Handles)
            if (H.Name == *Name) return H;
        throw SyntaxError("no handle named '" + *Name + "'");
    }

    /* ---- operations ---- */

    void Track(Entity &E, world::OpHandle Op)
    {
        E.Op = std::move(Op);
        PendingOps.push_back(E.Index);
        Poll();
    }

    /* A completed result record for a synchronous call (open, close, PnP). */
    world::OpHandle Result(NTSTATUS Status)
    {
        auto Op = std::make_shared<world::Operation>();
        Op->Completed = true;
        Op->Status = Status;
        Op->CompletedAt = Now();
        return Op;
    }

    void Finish()
    {
        if (Finished) return;
        Finished = true;
        Current = nullptr;
        EndStatement();
        for (const auto &R : Unclaimed) {
            ++FailureCount;
            Emit(Now(), "FAIL", "verifier report nobody expected (" + R.Where + "): " + R.Text);
            if (Opt.Errors) *Opt.Errors << R.Where << ": verifier: " << R.Text << '\n';
        }
        Unclaimed.clear();
        if (Opt.Capture) {
            for (auto &D : Devices) {
                bool HasEnumeration = false;
                for (const auto &R : D.Model->Transfers())
                    if (R.Kind == world::TransferKind::Control && R.Setup.bmRequestType == 0x80 && R.Setup.bRequest == 6 &&
                        (R.Setup.wValue >> 8) == 2)
                        HasEnumeration = true;
                if (!HasEnumeration)
                    Opt.Capture->AddEnumeration(D.Model->DeviceDescriptor(), D.Model->ConfigurationDescriptor(), D.Address,
                                                D.AddedAt + Opt.CaptureOffset);
                Opt.Capture->AddTransfers(D.Model->Transfers(), D.Address, Opt.CaptureOffset);
            }
        }
        std::string Summary = (Opt.Name.empty() ? std::string("scenario") : Opt.Name) + ": " +
                              std::to_string(CheckCount) + (CheckCount == 1 ? " check, " : " checks, ") +
                              std::to_string(FailureCount) + (FailureCount == 1 ? " failure" : " failures");
        Emit(Now(), "end", Summary);
        Flush();
    }
};

/* ====================================================================== */

Session::Session(SessionOptions Options) : impl_(std::make_unique<Impl>(std::move(Options))) {}
Session::~Session() = default;

void Session::Run(const Program &P)
{
    Impl &I = *impl_;
    for (std::size_t K = 0; K < P.Actions.size(); ++K) {
        I.Current = &P.Lines[K];
        try {
            P.Actions[K](*this);
        } catch (const std::exception &E) {
            I.Fail(E.what());
        }
        I.EndStatement();
    }
    I.Current = nullptr;
}

void Session::Finish() { impl_->Finish(); }
int Session::Failures() const { return impl_->FailureCount; }
int Session::Checks() const { return impl_->CheckCount; }
VirtualTime Session::Now() const { return impl_->W.Clock().Now(); }
std::uint8_t Session::DevicesAdded() const { return static_cast<std::uint8_t>(impl_->Devices.size()); }
Session::Impl &Session::Internals() { return *impl_; }

/* ====================================================================== */
/* Compilation: each verb checks its arguments now and returns the action. */

namespace {

using Impl = Session::Impl;
using Action = std::function<void(Session &)>;
using Body = std::function<void(Impl &)>;

Action Wrap(Body B)
{
    return [B = std::move(B)](Session &S) { B(S.Internals()); };
}

std::optional<std::string> OptString(ArgReader &A, std::string_view Key)
{
    const std::string *V = A.Option(Key);
    if (!V) return std::nullopt;
    return *V;
}

const std::string *Ptr(const std::optional<std::string> &V) { return V ? &*V : nullptr; }

VirtualTime OptDuration(ArgReader &A, std::string_view Key, VirtualTime Default)
{
    const std::string *V = A.Option(Key);
    return V ? ParseDuration(*V) : Default;
}

/* ---------------- the device and PnP ---------------- */

Action CompileAdd(const Statement &S, ArgReader &A)
{
    world::CdcAcmOptions O;
    world::HardwareKey Key;
    bool Start = !A.Flag("nostart");
    if (auto V = A.Option("interfaces")) {
        O.Interfaces = static_cast<int>(ParseUnsigned(*V, 2));
        if (O.Interfaces < 1) throw SyntaxError("interfaces must be 1 or 2");
    }
    if (auto V = A.Option("comm")) O.CommInterfaceNumber = static_cast<std::uint8_t>(ParseUnsigned(*V, 255));
    if (auto V = A.Option("data")) O.DataInterfaceNumber = static_cast<std::uint8_t>(ParseUnsigned(*V, 255));
    auto Endpoint = [&](const char *Name, std::uint16_t &Size, bool &Present) {
        if (auto V = A.Option(Name)) {
            if (EqualsIgnoreCase(*V, "none")) Present = false;
            else {
                Size = static_cast<std::uint16_t>(ParseUnsigned(*V, 1024));
                if (Size == 0) throw SyntaxError(std::string(Name) + " packet size must be 1..1024, or none");
            }
        }
    };
    Endpoint("bulk-in", O.BulkInPacket, O.BulkInEndpoint);
    Endpoint("bulk-out", O.BulkOutPacket, O.BulkOutEndpoint);
    Endpoint("interrupt", O.InterruptPacket, O.InterruptEndpoint);
    O.RemoteWake = A.Flag("remote-wake");
    O.Loopback = A.Flag("loopback");
    O.ExtraIsochronousIn = A.Flag("iso-in");
    if (auto V = A.Option("extra-bulk-in")) O.ExtraBulkIn = static_cast<int>(ParseUnsigned(*V, 8));
    if (auto V = A.Option("extra-bulk-out")) O.ExtraBulkOut = static_cast<int>(ParseUnsigned(*V, 8));
    if (auto V = A.Option("extra-interrupt")) O.ExtraInterruptIn = static_cast<int>(ParseUnsigned(*V, 8));
    if (auto V = A.Option("total-length")) O.ReportedTotalLength = static_cast<std::uint16_t>(ParseUnsigned(*V, 0xFFFF));
    for (const char *Name : {"PortName", "Identifier", "DriverMode"})
        if (auto V = A.Option(Name)) Key[ToUtf16(Name)] = ParseRegistryValue(*V);
    for (const auto &[Name, Value] : A.OptionsWithPrefix("reg.")) Key[ToUtf16(Name)] = ParseRegistryValue(Value);
    A.Finish();
    std::string Described = ArgumentsText(S);
    std::string Tag = S.Tag;
    if (!Tag.empty() && IsReservedExpectWord(Tag)) throw SyntaxError("'" + Tag + "' cannot name a device");
    return Wrap([=](Impl &I) {
        std::string Name = Tag.empty() ? "dev" + std::to_string(I.Devices.size() + 1) : Tag;
        for (const auto &D : I.Devices)
            if (D.Name == Name) throw SyntaxError("a device named '" + Name + "' exists already");
        auto Model = std::make_shared<world::CdcAcmDevice>(O);
        I.Emit(I.Now(), "pnp", Name + ": add" + (Described.empty() ? "" : " " + Described));
        Impl::DeviceEntry D;
        D.Name = Name;
        D.Model = Model;
        D.AddedAt = I.Now();
        D.Address = static_cast<std::uint8_t>(I.Opt.FirstDeviceAddress + I.Devices.size());
        I.Devices.push_back(D);
        world::DeviceNode *Node = I.W.AddDevice(Model, Key, Start);
        I.Devices.back().Node = Node;
        Impl::Entity &E = I.NewEntity(Impl::Kind::Device, Name);
        E.Device = static_cast<int>(I.Devices.size() - 1);
        if (!Node) {
            E.Op = I.Result(STATUS_UNSUCCESSFUL);
            I.Emit(I.Now(), "pnp", Name + ": -> the PnP manager returned no device node");
            return;
        }
        E.Op = I.Result(Node->AddStatus);
        std::string Text = Name + ": -> " + world::StatusName(Node->AddStatus);
        if (!Node->NtName.empty()) Text += " " + FromUtf16(Node->NtName);
        Text += std::string(" ") + StateName(Node->State);
        if (Start && NT_SUCCESS(Node->AddStatus)) Text += " (start " + world::StatusName(Node->StartStatus) + ")";
        I.Poll();
        I.Emit(I.Now(), "pnp", Text);
    });
}

Action CompilePnp(const Statement &S, ArgReader &A)
{
    const std::string *Word = A.OptionalWord();
    auto Dev = Word ? std::optional<std::string>(*Word) : std::nullopt;
    A.Finish();
    std::string Verb = S.Verb, Tag = S.Tag;
    return Wrap([=](Impl &I) {
        Impl::DeviceEntry &D = I.Device(Ptr(Dev));
        if (!D.Node) throw SyntaxError("device '" + D.Name + "' has no device node");
        I.Emit(I.Now(), "pnp", D.Name + ": " + Verb);
        std::optional<NTSTATUS> Status;
        if (Verb == "start") Status = I.W.StartDevice(D.Node);
        else if (Verb == "stop") Status = I.W.StopDevice(D.Node);
        else if (Verb == "restart") {
            Status = I.W.StopDevice(D.Node);
            I.Poll();
            if (NT_SUCCESS(*Status)) Status = I.W.StartDevice(D.Node);
        } else if (Verb == "remove") I.W.RemoveDevice(D.Node);
        else if (Verb == "surprise-remove") {
            D.Model->Disconnect();
            I.W.SurpriseRemoveDevice(D.Node);
        } else if (Verb == "unplug") D.Model->Disconnect();
        I.Poll();
        std::string Text = D.Name + ": -> ";
        if (Status) Text += world::StatusName(*Status) + " ";
        Text += StateName(D.Node->State);
        Text += D.Node->Power == world::DevicePowerState::D0 ? " D0" : " Dx";
        I.Emit(I.Now(), "pnp", Text);
        if (!Tag.empty()) I.NewEntity(Impl::Kind::Operation, Tag).Op = I.Result(Status.value_or(STATUS_SUCCESS));
    });
}

Action CompileSystemPower(const Statement &S, ArgReader &A)
{
    A.Finish();
    bool Sleep = S.Verb == "suspend";
    return Wrap([=](Impl &I) {
        I.Emit(I.Now(), "pnp", Sleep ? "system sleep" : "system resume");
        if (Sleep) I.W.SystemSleep();
        else I.W.SystemResume();
        I.Poll();
        for (auto &D : I.Devices)
            if (D.Node)
                I.Emit(I.Now(), "pnp", D.Name + ": " + StateName(D.Node->State) +
                                           (D.Node->Power == world::DevicePowerState::D0 ? " D0" : " Dx"));
    });
}

Action CompileReserveName(const Statement &, ArgReader &A)
{
    std::string Name = ParseText(A.Word("an NT name such as \\Device\\Serial0"));
    A.Finish();
    return Wrap([=](Impl &I) {
        I.W.ReserveName(ToUtf16(Name));
        I.Emit(I.Now(), "pnp", "name " + Name + " reserved by another driver");
    });
}

Action CompileFail(const Statement &, ArgReader &A)
{
    std::string Api = A.Word("the name of a kit call, such as WdfIoQueueCreate");
    if (!world::World::CanFail(Api)) throw SyntaxError("'" + Api + "' is not a kit call that can be failed (see docs/scenarios.md)");
    int Nth = 1;
    if (auto V = A.Option("nth")) Nth = static_cast<int>(ParseUnsigned(*V, 1'000'000));
    if (Nth < 1) throw SyntaxError("nth counts from 1");
    NTSTATUS Status = STATUS_INSUFFICIENT_RESOURCES;
    if (auto V = A.Option("status")) Status = ParseStatus(*V);
    A.Finish();
    return Wrap([=](Impl &I) {
        I.W.FailNthCall(Api, Nth, Status);
        I.Emit(I.Now(), "note", "call " + std::to_string(Nth) + " of " + Api + " from now fails with " +
                                     world::StatusName(Status));
    });
}

Action CompileClearFaults(const Statement &, ArgReader &A)
{
    A.Finish();
    return Wrap([](Impl &I) { I.W.ClearFaults(); });
}

Action CompileTick(const Statement &, ArgReader &A)
{
    VirtualTime Tick = ParseDuration(A.Word("a duration"));
    if (Tick <= 0) throw SyntaxError("the clock tick must be longer than 0");
    A.Finish();
    return Wrap([=](Impl &I) {
        I.W.SetClockTick(Tick);
        I.Emit(I.Now(), "note", "clock tick " + FormatDuration(Tick));
    });
}

/* ---------------- the application ---------------- */

Action CompileOpen(const Statement &S, ArgReader &A)
{
    std::string Port = ParseText(A.Word("a port name such as COM5, or an NT name"));
    A.Finish();
    std::string Tag = S.Tag.empty() ? Port : S.Tag;
    if (IsReservedExpectWord(Tag)) throw SyntaxError("'" + Tag + "' cannot name a handle; add a tag");
    return Wrap([=](Impl &I) {
        for (auto &H : I.Handles)
            if (H.Name == Tag && H.Open)
                throw SyntaxError("handle '" + Tag + "' is open; give the second open its own tag (h2: open ...)");
        I.Emit(I.Now(), "app", Tag + ": open " + Port);
        world::FileHandle Id = 0;
        NTSTATUS Status = I.W.Open(ToUtf16(Port), &Id);
        Impl::HandleEntry *H = nullptr;
        for (auto &Existing : I.Handles)
            if (Existing.Name == Tag) H = &Existing;
        if (!H) {
            I.Handles.push_back({});
            H = &I.Handles.back();
        }
        H->Name = Tag;
        H->Port = Port;
        H->Id = NT_SUCCESS(Status) ? Id : 0;
        H->Open = NT_SUCCESS(Status);
        if (NT_SUCCESS(Status)) I.LastHandle = static_cast<int>(H - &I.Handles[0]);
        Impl::Entity &E = I.NewEntity(Impl::Kind::Handle, Tag);
        E.Handle = static_cast<int>(H - &I.Handles[0]);
        E.Op = I.Result(Status);
        I.Poll();
        I.Emit(I.Now(), "app", Tag + ": -> " + world::StatusName(Status));
    });
}

Action CompileClose(const Statement &S, ArgReader &A)
{
    const std::string *Word = A.OptionalWord();
    auto Name = Word ? std::optional<std::string>(*Word) : std::nullopt;
    A.Finish();
    std::string Tag = S.Tag;
    return Wrap([=](Impl &I) {
        Impl::HandleEntry &H = I.Handle(Ptr(Name));
        I.Emit(I.Now(), "app", H.Name + ": close");
        NTSTATUS Status = I.W.Close(H.Id);
        H.Open = false;
        I.Poll();
        I.Emit(I.Now(), "app", H.Name + ": -> " + world::StatusName(Status));
        if (!Tag.empty()) I.NewEntity(Impl::Kind::Operation, Tag).Op = I.Result(Status);
    });
}

/* Issues an operation on a handle and tracks it under the statement's tag. */
Body Issue(const Statement &S, std::optional<std::string> On, std::string Description,
           std::function<world::OpHandle(Impl &, world::FileHandle)> Call, const Layout *Output, bool ShowData)
{
    std::string Tag = S.Tag;
    if (!Tag.empty() && IsReservedExpectWord(Tag)) throw SyntaxError("'" + Tag + "' cannot name an operation");
    return [=](Impl &I) {
        Impl::HandleEntry &H = I.Handle(Ptr(On));
        Impl::Entity &E = I.NewEntity(Impl::Kind::Operation, Tag);
        E.OutputLayout = Output;
        E.ShowData = ShowData;
        I.Emit(I.Now(), "app", E.Tag + ": " + Description + (On ? " on " + *On : std::string()));
        world::OpHandle Op = Call(I, H.Id);
        if (!Op) throw SyntaxError("the I/O manager returned no operation");
        Op->Tag = E.Tag;
        I.Track(E, Op);
    };
}

Action CompileRead(const Statement &S, ArgReader &A)
{
    std::size_t Length = ParseUnsigned(A.Word("a length"), 1u << 24);
    auto On = OptString(A, "on");
    A.Finish();
    return Wrap(Issue(S, On, "read " + std::to_string(Length),
                      [=](Impl &I, world::FileHandle H) { return I.W.Read(H, Length); }, nullptr, true));
}

Action CompileWrite(const Statement &S, ArgReader &A)
{
    Bytes Data = ParseData(A.Word("the bytes to write"));
    auto On = OptString(A, "on");
    A.Finish();
    return Wrap(Issue(S, On, "write " + FormatBytes(Data),
                      [=](Impl &I, world::FileHandle H) { return I.W.Write(H, Data); }, nullptr, false));
}

/* Builds an input buffer from a layout and the statement's field options. */
Bytes BuildInput(const IoctlInfo &Info, ArgReader &A)
{
    const Layout &L = InputLayout(Info.Input);
    std::size_t Size = 0;
    for (const auto &F : L) Size = std::max<std::size_t>(Size, F.Offset + F.Size);
    Bytes Buffer(Size, 0);
    auto Store = [&](const FieldDef &F, std::uint64_t V) {
        for (unsigned K = 0; K < F.Size; ++K) Buffer[F.Offset + K] = static_cast<std::uint8_t>(V >> (8 * K));
    };
    /* positional short forms */
    switch (Info.Input) {
    case InputForm::BaudRate:
        if (A.HasWord()) Store(L[0], ParseUnsigned(A.Word("a baud rate")));
        break;
    case InputForm::LineControl:
        if (A.HasWord()) {
            LineControl LC = ParseLineControl(A.Word("a line setting such as 8N1"));
            Buffer = {LC.StopBits, LC.Parity, LC.WordLength};
        }
        break;
    case InputForm::QueueSize:
        if (A.HasWord()) Store(L[0], ParseUnsigned(A.Word("InSize")));
        if (A.HasWord()) Store(L[1], ParseUnsigned(A.Word("OutSize")));
        break;
    case InputForm::Mask:
        if (A.HasWord()) Store(L[0], ParseFlags(A.Word("a wait mask"), EventFlags(), "event"));
        break;
    case InputForm::Purge:
        if (A.HasWord()) Store(L[0], ParseFlags(A.Word("purge flags"), PurgeFlags(), "purge flag"));
        break;
    case InputForm::Char:
        if (A.HasWord()) Store(L[0], ParseFieldValue(L[0], A.Word("a character")));
        break;
    default: break;
    }
    /* field options, with short names for the time-outs */
    static const std::pair<const char *, const char *> Short[] = {
        {"ri", "ReadIntervalTimeout"},         {"rm", "ReadTotalTimeoutMultiplier"},
        {"rc", "ReadTotalTimeoutConstant"},    {"wm", "WriteTotalTimeoutMultiplier"},
        {"wc", "WriteTotalTimeoutConstant"},
    };
    for (const auto &[Key, Value] : A.RemainingOptions()) {
        std::string Name = Key;
        for (const auto &[S, Full] : Short)
            if (Info.Input == InputForm::Timeouts && EqualsIgnoreCase(Key, S)) Name = Full;
        const FieldDef *F = FindField(L, Name);
        if (!F) {
            std::string Known;
            for (const auto &Field : L) Known += std::string(Known.empty() ? "" : " ") + Field.Name;
            throw SyntaxError(std::string("IOCTL_SERIAL_") + Info.Name + " has no field '" + Key + "'" +
                              (Known.empty() ? std::string(" (it takes no input)") : " (fields: " + Known + ")"));
        }
        Store(*F, ParseFieldValue(*F, Value));
    }
    return Buffer;
}

Action CompileIoctl(const Statement &S, ArgReader &A)
{
    bool Internal = S.Verb == "internal-ioctl";
    std::string CodeText = A.Word("a control code (a name such as SET_BAUD_RATE, or a number)");
    const IoctlInfo *Info = FindIoctl(CodeText);
    std::uint32_t Code;
    if (Info) Code = Info->Code;
    else if (IsNumberWord(CodeText)) {
        Code = static_cast<std::uint32_t>(ParseUnsigned(CodeText));
        Info = Internal ? nullptr : FindIoctl(Code);
    } else {
        throw SyntaxError("unknown control code '" + CodeText + "' (use a serial code name such as GET_BAUD_RATE, or a number)");
    }
    auto On = OptString(A, "on");
    std::optional<Bytes> Raw;
    if (auto V = A.Option("in")) Raw = ParseData(*V);
    std::size_t OutLength = Info && !Internal ? Info->OutputLength : 0;
    if (auto V = A.Option("out")) OutLength = ParseUnsigned(*V, 1u << 20);
    Bytes Input;
    if (Raw) Input = *Raw;
    else if (Info && !Internal) Input = BuildInput(*Info, A);
    A.Finish();
    std::string Description = (Internal ? "internal " : "") + IoctlName(Code);
    if (Info && !Raw && !Input.empty()) Description += " " + DescribeLayout(InputLayout(Info->Input), Input, Input.size());
    else if (!Input.empty() || Raw) Description += " in=" + FormatBytes(Input);
    if (Info && OutLength != Info->OutputLength) Description += " out=" + std::to_string(OutLength);
    else if (!Info && OutLength) Description += " out=" + std::to_string(OutLength);
    const Layout *Output = Info ? Info->Output : nullptr;
    return Wrap(Issue(S, On, Description,
                      [=](Impl &I, world::FileHandle H) {
                          return Internal ? I.W.InternalDeviceControl(H, Code, Input, OutLength)
                                          : I.W.DeviceIoControl(H, Code, Input, OutLength);
                      },
                      Output, false));
}

Action CompileFlush(const Statement &S, ArgReader &A)
{
    /* async: the application's thread waits in the flush while the
       scenario goes on (to cancel, purge or remove meanwhile). */
    bool Async = A.Flag("async");
    auto On = OptString(A, "on");
    A.Finish();
    return Wrap(Issue(S, On, Async ? "flush async" : "flush",
                      [Async](Impl &I, world::FileHandle H) { return Async ? I.W.FlushAsync(H) : I.W.Flush(H); },
                      nullptr, false));
}

Action CompileQueryInfo(const Statement &S, ArgReader &A)
{
    std::uint32_t Class = ParseInfoClass(A.Word("an information class"));
    const InfoClass *C = FindInfoClass(Class);
    std::size_t Length = C ? C->Length : 64;
    if (auto V = A.Option("length")) Length = ParseUnsigned(*V, 1u << 20);
    auto On = OptString(A, "on");
    A.Finish();
    std::string Name = C ? C->Name : "class " + std::to_string(Class);
    return Wrap(Issue(S, On, "query-info " + Name + " length=" + std::to_string(Length),
                      [=](Impl &I, world::FileHandle H) { return I.W.QueryInformation(H, Class, Length); },
                      C ? C->Output : nullptr, false));
}

Action CompileSetInfo(const Statement &S, ArgReader &A)
{
    std::uint32_t Class = ParseInfoClass(A.Word("an information class"));
    const InfoClass *C = FindInfoClass(Class);
    Bytes Input(C ? C->Length : 8, 0);
    if (auto V = A.Option("in")) Input = ParseData(*V);
    auto On = OptString(A, "on");
    A.Finish();
    std::string Name = C ? C->Name : "class " + std::to_string(Class);
    return Wrap(Issue(S, On, "set-info " + Name + " in=" + FormatBytes(Input),
                      [=](Impl &I, world::FileHandle H) { return I.W.SetInformation(H, Class, Input); }, nullptr,
                      false));
}

Action CompileCancel(const Statement &, ArgReader &A)
{
    std::string Target = A.Word("the tag of the operation to cancel");
    A.Finish();
    return Wrap([=](Impl &I) {
        Impl::Entity *E = I.FindTag(Target);
        if (!E || E->K != Impl::Kind::Operation || !E->Op) throw SyntaxError("no operation tagged '" + Target + "'");
        bool Cancelled = I.W.Cancel(E->Op);
        I.Emit(I.Now(), "app", Target + ": cancel" + (Cancelled ? std::string() : " (already completed)"));
        I.Poll();
    });
}

/* ---------------- the device's side ---------------- */

Action CompileBulkIn(const Statement &, ArgReader &A)
{
    std::string What = A.Word("the bytes the device sends (or zlp)");
    Bytes Data = EqualsIgnoreCase(What, "zlp") ? Bytes{} : ParseData(What);
    VirtualTime After = OptDuration(A, "after", 0);
    auto Dev = OptString(A, "dev");
    std::optional<std::uint8_t> Endpoint;
    if (auto V = A.Option("endpoint")) Endpoint = static_cast<std::uint8_t>(ParseUnsigned(*V, 0xFF));
    A.Finish();
    return Wrap([=](Impl &I) {
        Impl::DeviceEntry &D = I.Device(Ptr(Dev));
        I.Emit(I.Now(), "dev", D.Name + ": bulk-in " + (Data.empty() ? std::string("zero-length packet") : FormatBytes(Data)) +
                                   (After ? " after " + FormatDuration(After) : std::string()) +
                                   (Endpoint ? " on endpoint " + std::to_string(*Endpoint) : std::string()));
        if (Endpoint) D.Model->SendBulkInTo(*Endpoint, Data, After);
        else D.Model->SendBulkIn(Data, After);
    });
}

Action CompileInterrupt(const Statement &, ArgReader &A)
{
    Bytes Data = ParseData(A.Word("the bytes of the interrupt transfer"));
    VirtualTime After = OptDuration(A, "after", 0);
    auto Dev = OptString(A, "dev");
    A.Finish();
    return Wrap([=](Impl &I) {
        Impl::DeviceEntry &D = I.Device(Ptr(Dev));
        I.Emit(I.Now(), "dev", D.Name + ": interrupt " + HexBytes(Data) + (After ? " after " + FormatDuration(After) : std::string()));
        D.Model->SendInterrupt(Data, After);
    });
}

Action CompileNotify(const Statement &S, ArgReader &A)
{
    std::uint8_t Code = 0;
    std::uint16_t Value = 0;
    Bytes Data;
    if (S.Verb == "serial-state") {
        Code = cdc::SerialState;
        std::uint32_t Bits = ParseFlags(A.Word("the UART state bits (rxcarrier|txcarrier|break|ring|framing|parity|overrun, or a number)"),
                                        SerialStateFlags(), "serial state bit");
        if (Bits > 0xFFFF) throw SyntaxError("the UART state bitmap has 16 bits");
        Data = {static_cast<std::uint8_t>(Bits), static_cast<std::uint8_t>(Bits >> 8)};
    } else if (S.Verb == "network-connection") {
        Code = cdc::NetworkConnection;
        std::string W = A.Word("connected or disconnected");
        if (EqualsIgnoreCase(W, "connected")) Value = 1;
        else if (EqualsIgnoreCase(W, "disconnected")) Value = 0;
        else Value = static_cast<std::uint16_t>(ParseUnsigned(W, 0xFFFF));
    } else if (S.Verb == "response-available") {
        Code = cdc::ResponseAvailable;
    } else {
        std::string C = A.Word("a notification code (SERIAL_STATE, NETWORK_CONNECTION, RESPONSE_AVAILABLE or a number)");
        if (EqualsIgnoreCase(C, "SERIAL_STATE")) Code = cdc::SerialState;
        else if (EqualsIgnoreCase(C, "NETWORK_CONNECTION")) Code = cdc::NetworkConnection;
        else if (EqualsIgnoreCase(C, "RESPONSE_AVAILABLE")) Code = cdc::ResponseAvailable;
        else Code = static_cast<std::uint8_t>(ParseUnsigned(C, 0xFF));
        if (auto V = A.Option("value")) Value = static_cast<std::uint16_t>(ParseUnsigned(*V, 0xFFFF));
        if (auto V = A.Option("data")) Data = ParseData(*V);
    }
    VirtualTime After = OptDuration(A, "after", 0);
    auto Dev = OptString(A, "dev");
    A.Finish();
    return Wrap([=](Impl &I) {
        Impl::DeviceEntry &D = I.Device(Ptr(Dev));
        Bytes Whole = {cdc::InterfaceToHost, Code, static_cast<std::uint8_t>(Value), static_cast<std::uint8_t>(Value >> 8), 0, 0,
                       static_cast<std::uint8_t>(Data.size()), static_cast<std::uint8_t>(Data.size() >> 8)};
        Whole.insert(Whole.end(), Data.begin(), Data.end());
        I.Emit(I.Now(), "dev", D.Name + ": notify " + DescribeNotification(Whole) +
                                   (After ? " after " + FormatDuration(After) : std::string()));
        D.Model->SendNotification(Code, Value, Data, After);
    });
}

Action CompileFailIn(const Statement &, ArgReader &A)
{
    std::string Which = A.Word("bulk-in, interrupt, or an endpoint address");
    std::optional<std::uint8_t> Endpoint;
    if (EqualsIgnoreCase(Which, "bulk-in")) Endpoint.reset();
    else if (EqualsIgnoreCase(Which, "interrupt")) Endpoint = 0;
    else Endpoint = static_cast<std::uint8_t>(ParseUnsigned(Which, 0xFF));
    bool Interrupt = EqualsIgnoreCase(Which, "interrupt");
    USBD_STATUS Status = USBD_STATUS_DEV_NOT_RESPONDING;
    if (A.HasWord()) Status = ParseUsbdStatus(A.Word("a USB status"));
    if (auto V = A.Option("status")) Status = ParseUsbdStatus(*V);
    auto Dev = OptString(A, "dev");
    A.Finish();
    return Wrap([=](Impl &I) {
        Impl::DeviceEntry &D = I.Device(Ptr(Dev));
        std::uint8_t Ep = Interrupt ? D.Model->InterruptAddress() : Endpoint.value_or(D.Model->BulkInAddress());
        char Buffer[8];
        std::snprintf(Buffer, sizeof Buffer, "0x%02x", Ep);
        I.Emit(I.Now(), "dev", D.Name + ": next read on " + Buffer + " fails with " + UsbdStatusName(Status));
        D.Model->FailNextIn(Ep, Status);
        I.Poll();
    });
}

Action CompileAnswer(const Statement &, ArgReader &A)
{
    std::string Which = A.Word("control or bulk-out");
    bool Control;
    if (EqualsIgnoreCase(Which, "control")) Control = true;
    else if (EqualsIgnoreCase(Which, "bulk-out")) Control = false;
    else throw SyntaxError("answer applies to control or bulk-out, not '" + Which + "'");
    bool Default = A.Flag("default");
    std::string Kind = A.Word("how to answer (accept, partial N, stall, fail [STATUS], late DURATION, never)");
    world::AnswerSpec Spec;
    if (EqualsIgnoreCase(Kind, "accept")) Spec.Kind = world::Answer::Accept;
    else if (EqualsIgnoreCase(Kind, "partial")) {
        Spec.Kind = world::Answer::Partial;
        Spec.AcceptBytes = ParseUnsigned(A.Word("the number of bytes the device takes"), 1u << 20);
    } else if (EqualsIgnoreCase(Kind, "stall")) Spec.Kind = world::Answer::Stall;
    else if (EqualsIgnoreCase(Kind, "fail")) {
        Spec.Kind = world::Answer::Fail;
        Spec.Status = USBD_STATUS_DEV_NOT_RESPONDING;
        if (A.HasWord()) Spec.Status = ParseUsbdStatus(A.Word("a USB status"));
    } else if (EqualsIgnoreCase(Kind, "late")) {
        Spec.Kind = world::Answer::Accept;
        Spec.Delay = ParseDuration(A.Word("how late (a duration)"));
    } else if (EqualsIgnoreCase(Kind, "never")) Spec.Kind = world::Answer::Never;
    else throw SyntaxError("unknown answer '" + Kind + "' (accept, partial N, stall, fail [STATUS], late DURATION, never)");
    if (auto V = A.Option("delay")) Spec.Delay = ParseDuration(*V);
    if (auto V = A.Option("status")) Spec.Status = ParseUsbdStatus(*V);
    auto Dev = OptString(A, "dev");
    A.Finish();
    return Wrap([=](Impl &I) {
        Impl::DeviceEntry &D = I.Device(Ptr(Dev));
        std::string How;
        switch (Spec.Kind) {
        case world::Answer::Accept: How = "accept"; break;
        case world::Answer::Partial: How = "take " + std::to_string(Spec.AcceptBytes) + " bytes"; break;
        case world::Answer::Stall: How = "stall"; break;
        case world::Answer::Fail: How = "fail with " + UsbdStatusName(Spec.Status); break;
        case world::Answer::Never: How = "never answer"; break;
        }
        if (Spec.Delay) How += " after " + FormatDuration(Spec.Delay);
        I.Emit(I.Now(), "dev", D.Name + ": " + (Default ? "every " : "next ") + (Control ? "class request" : "bulk-out packet") +
                                   (Default ? "s: " : ": ") + How);
        if (Control) {
            if (Default) D.Model->SetDefaultControlAnswer(Spec);
            else D.Model->QueueControlAnswer(Spec);
        } else {
            if (Default) D.Model->SetDefaultBulkOutAnswer(Spec);
            else D.Model->QueueBulkOutAnswer(Spec);
        }
    });
}

/* ---------------- the clock ---------------- */

Action CompileAdvance(const Statement &, ArgReader &A)
{
    VirtualTime D = ParseDuration(A.Word("a duration such as 100ms"));
    A.Finish();
    return Wrap([=](Impl &I) { I.AdvanceBy(D); });
}

Action CompileRun(const Statement &, ArgReader &A)
{
    VirtualTime Limit = OptDuration(A, "limit", kDefaultRunLimit);
    A.Finish();
    return Wrap([=](Impl &I) {
        if (!I.RunUntil(nullptr, Limit))
            I.Emit(I.Now(), "note", "still busy after " + FormatDuration(Limit) + " (timers keep re-arming)");
    });
}

Action CompileWait(const Statement &, ArgReader &A)
{
    std::string Target = A.Word("the tag of an operation");
    VirtualTime Limit = OptDuration(A, "limit", kDefaultRunLimit);
    A.Finish();
    return Wrap([=](Impl &I) {
        Impl::Entity *E = I.FindTag(Target);
        if (!E || !E->Op) throw SyntaxError("no operation tagged '" + Target + "'");
        world::OpHandle Op = E->Op;
        if (!I.RunUntil([Op]() { return Op->Completed; }, Limit))
            I.Fail(Target + " is still pending after " + FormatDuration(Limit) +
                   (I.W.Clock().Pending() == 0 ? " (nothing left to happen)" : ""));
    });
}

/* ---------------- expectations ---------------- */

struct OpExpectation {
    std::optional<NTSTATUS> Status;
    bool Pending = false;
    bool Completed = false;
    std::optional<std::uint64_t> Info;
    std::optional<Bytes> Data;
    std::optional<VirtualTime> At, After;
    std::optional<world::DevicePnpState> State;
    std::optional<bool> InD0;
    std::optional<bool> HandleOpen;
    std::vector<std::pair<std::string, std::string>> Other; /* fields and device keys */
};

void CheckOperation(Impl::Entity &E, const OpExpectation &X, std::vector<std::string> &Diff)
{
    const world::Operation &Op = *E.Op;
    if (X.Pending) {
        if (Op.Completed) Diff.push_back("completed with " + world::StatusName(Op.Status) + " info=" + std::to_string(Op.Information) + ", expected pending");
        return;
    }
    bool WantsCompletion = X.Completed || X.Status || X.Info || X.Data || X.At || X.After || !X.Other.empty();
    if (WantsCompletion && !Op.Completed) {
        Diff.push_back("still pending");
        return;
    }
    if (X.Status && Op.Status != *X.Status)
        Diff.push_back("status is " + world::StatusName(Op.Status) + ", expected " + world::StatusName(*X.Status));
    if (X.Info && Op.Information != *X.Info)
        Diff.push_back("info is " + std::to_string(Op.Information) + ", expected " + std::to_string(*X.Info));
    std::size_t Visible = std::min<std::size_t>(Op.Information, Op.Output.size());
    Bytes Got(Op.Output.begin(), Op.Output.begin() + static_cast<std::ptrdiff_t>(Visible));
    if (X.Data && Got != *X.Data) Diff.push_back("data is " + FormatBytes(Got) + ", expected " + FormatBytes(*X.Data));
    if (X.At && Op.CompletedAt != *X.At)
        Diff.push_back("completed at " + FormatDuration(Op.CompletedAt) + ", expected at " + FormatDuration(*X.At));
    if (X.After && Op.CompletedAt - E.IssuedAt != *X.After)
        Diff.push_back("completed " + FormatDuration(Op.CompletedAt - E.IssuedAt) + " after it was issued, expected " +
                       FormatDuration(*X.After));
    for (const auto &[Key, Value] : X.Other) {
        const FieldDef *F = E.OutputLayout ? FindField(*E.OutputLayout, Key) : nullptr;
        if (!F) throw SyntaxError("the output of " + E.Tag + " has no field '" + Key + "'");
        std::uint64_t Want = ParseFieldValue(*F, Value);
        auto Have = ReadField(*F, Got);
        if (!Have) Diff.push_back(std::string(F->Name) + " was not returned (info=" + std::to_string(Op.Information) + ")");
        else if (*Have != Want)
            Diff.push_back(std::string(F->Name) + " is " + FormatField(*F, *Have) + ", expected " + FormatField(*F, Want));
    }
}

void CheckDevice(Impl &I, Impl::Entity &E, const OpExpectation &X, std::vector<std::string> &Diff)
{
    Impl::DeviceEntry &D = I.Devices[static_cast<std::size_t>(E.Device)];
    if (X.Status && E.Op->Status != *X.Status)
        Diff.push_back("add status is " + world::StatusName(E.Op->Status) + ", expected " + world::StatusName(*X.Status));
    if (X.Pending || X.Info || X.Data || X.At || X.After) throw SyntaxError(E.Tag + " is a device, not an operation");
    world::DeviceNode *N = D.Node;
    if (!N) {
        Diff.push_back("the device has no node");
        return;
    }
    if (X.State && N->State != *X.State)
        Diff.push_back(std::string("device is ") + StateName(N->State) + ", expected " + StateName(*X.State));
    if (X.InD0 && (N->Power == world::DevicePowerState::D0) != *X.InD0)
        Diff.push_back(std::string("device is in ") + (N->Power == world::DevicePowerState::D0 ? "D0" : "Dx"));
    for (const auto &Entry : X.Other) {
        const std::string &Key = Entry.first;
        const std::string &Value = Entry.second; /* a plain reference: lambdas may capture it */
        auto Count = [&](const char *Name, std::size_t Have) {
            std::size_t Want = ParseUnsigned(Value, 1u << 30);
            if (Have != Want) Diff.push_back(std::string(Name) + " is " + std::to_string(Have) + ", expected " + std::to_string(Want));
        };
        if (EqualsIgnoreCase(Key, "add-status") || EqualsIgnoreCase(Key, "start-status")) {
            NTSTATUS Want = ParseStatus(Value);
            NTSTATUS Have = EqualsIgnoreCase(Key, "add-status") ? N->AddStatus : N->StartStatus;
            if (Have != Want) Diff.push_back(Key + " is " + world::StatusName(Have) + ", expected " + world::StatusName(Want));
        } else if (EqualsIgnoreCase(Key, "name")) {
            std::string Want = ParseText(Value), Have = FromUtf16(N->NtName);
            if (Have != Want) Diff.push_back("NT name is '" + Have + "', expected '" + Want + "'");
        } else if (EqualsIgnoreCase(Key, "interface")) {
            auto Interfaces = I.W.DeviceInterfaces(N);
            std::string Have = Interfaces.empty() ? "none" : Interfaces.front().second ? "enabled" : "disabled";
            if (!EqualsIgnoreCase(Have, Value)) Diff.push_back("interface is " + Have + ", expected " + Value);
        } else if (EqualsIgnoreCase(Key, "outstanding-bulk-in")) Count("outstanding bulk-in reads", D.Model->OutstandingIn(D.Model->BulkInAddress()));
        else if (EqualsIgnoreCase(Key, "outstanding-interrupt")) Count("outstanding interrupt reads", D.Model->OutstandingIn(D.Model->InterruptAddress()));
        else if (EqualsIgnoreCase(Key, "outstanding-bulk-out")) Count("outstanding bulk-out packets", D.Model->OutstandingOut());
        else if (EqualsIgnoreCase(Key, "outstanding-control")) Count("outstanding control transfers", D.Model->OutstandingControl());
        else if (EqualsIgnoreCase(Key, "queued-bulk-in")) Count("bulk-in blocks not yet delivered", D.Model->QueuedBulkIn());
        else if (EqualsIgnoreCase(Key, "resets-bulk-in")) Count("bulk-in pipe resets", D.Model->EndpointResets(D.Model->BulkInAddress()));
        else if (EqualsIgnoreCase(Key, "resets-bulk-out")) Count("bulk-out pipe resets", D.Model->EndpointResets(D.Model->BulkOutAddress()));
        else if (EqualsIgnoreCase(Key, "resets-interrupt")) Count("interrupt pipe resets", D.Model->EndpointResets(D.Model->InterruptAddress()));
        else if (EqualsIgnoreCase(Key, "lines")) {
            std::uint32_t Want = ParseFlags(Value, ControlLineFlags(), "control line");
            std::uint16_t Have = D.Model->ControlLineState();
            if (Have != Want) Diff.push_back("the device's control lines are " + FormatFlags(Have, ControlLineFlags()) + ", expected " + FormatFlags(Want, ControlLineFlags()));
        } else if (EqualsIgnoreCase(Key, "break")) {
            bool Want = EqualsIgnoreCase(Value, "on");
            if (!Want && !EqualsIgnoreCase(Value, "off")) throw SyntaxError("break= takes on or off");
            if (D.Model->BreakActive() != Want) Diff.push_back(std::string("the device's break is ") + (Want ? "off" : "on"));
        } else if (EqualsIgnoreCase(Key, "line-coding")) {
            /* "115200,8N1" */
            std::size_t Comma = Value.find(',');
            if (Comma == std::string::npos) throw SyntaxError("line-coding= takes RATE,FORMAT such as 115200,8N1");
            std::uint32_t Rate = static_cast<std::uint32_t>(ParseUnsigned(Value.substr(0, Comma)));
            LineControl LC = ParseLineControl(Value.substr(Comma + 1));
            Bytes Want = {static_cast<std::uint8_t>(Rate), static_cast<std::uint8_t>(Rate >> 8), static_cast<std::uint8_t>(Rate >> 16),
                          static_cast<std::uint8_t>(Rate >> 24), LC.StopBits, LC.Parity, LC.WordLength};
            Bytes Have = D.Model->LineCoding();
            if (Have != Want) Diff.push_back("the device's line coding is " + DescribeSetup({cdc::HostToInterface, cdc::SetLineCoding, 0, 0, 7}, Have).substr(16) +
                                             ", expected " + Value);
        } else {
            throw SyntaxError("a device has no property '" + Key + "'");
        }
    }
}

Action CompileExpectTag(const Statement &, ArgReader &A, std::string Target)
{
    OpExpectation X;
    for (const std::string &W : A.RemainingWords()) {
        if (EqualsIgnoreCase(W, "pending")) X.Pending = true;
        else if (EqualsIgnoreCase(W, "completed")) X.Completed = true;
        else if (EqualsIgnoreCase(W, "D0")) X.InD0 = true;
        else if (EqualsIgnoreCase(W, "Dx")) X.InD0 = false;
        else if (EqualsIgnoreCase(W, "open")) X.HandleOpen = true;
        else if (EqualsIgnoreCase(W, "closed")) X.HandleOpen = false;
        else if (auto S = ParseState(W)) X.State = S;
        else X.Status = ParseStatus(W);
    }
    if (auto V = A.Option("info")) X.Info = ParseUnsigned(*V, UINT64_MAX);
    if (auto V = A.Option("data")) X.Data = ParseData(*V);
    if (auto V = A.Option("text")) {
        if (X.Data) throw SyntaxError("give data= or text=, not both");
        X.Data = ParseData(*V);
    }
    if (auto V = A.Option("at")) X.At = ParseDuration(*V);
    if (auto V = A.Option("after")) X.After = ParseDuration(*V);
    X.Other = A.RemainingOptions();
    A.Finish();
    return Wrap([=](Impl &I) {
        Impl::Entity *E = I.FindTag(Target);
        if (!E) throw SyntaxError("nothing is tagged '" + Target + "'");
        std::vector<std::string> Diff;
        switch (E->K) {
        case Impl::Kind::Device: CheckDevice(I, *E, X, Diff); break;
        case Impl::Kind::Handle: {
            if (X.HandleOpen) {
                bool Open = I.Handles[static_cast<std::size_t>(E->Handle)].Open;
                if (Open != *X.HandleOpen) Diff.push_back(std::string("handle is ") + (Open ? "open" : "closed"));
            }
            if (X.Status && E->Op->Status != *X.Status)
                Diff.push_back("open returned " + world::StatusName(E->Op->Status) + ", expected " + world::StatusName(*X.Status));
            if (X.Pending || X.Info || X.Data || !X.Other.empty() || X.State)
                throw SyntaxError(Target + " is a handle; expect its open status, open or closed");
            break;
        }
        case Impl::Kind::Operation:
            if (X.State || X.InD0 || X.HandleOpen) throw SyntaxError(Target + " is an operation, not a device or handle");
            CheckOperation(*E, X, Diff);
            break;
        }
        I.Check(Diff);
    });
}

Action CompileExpectBulkOut(const Statement &, ArgReader &A)
{
    std::string What = A.Word("the bytes expected on bulk-OUT, or none");
    bool None = EqualsIgnoreCase(What, "none");
    Bytes Want = None ? Bytes{} : ParseData(What);
    std::optional<std::vector<std::size_t>> Sizes;
    if (auto V = A.Option("sizes")) {
        Sizes.emplace();
        std::stringstream SS(*V);
        std::string Part;
        while (std::getline(SS, Part, ',')) Sizes->push_back(ParseUnsigned(Part, 1u << 20));
    }
    auto Dev = OptString(A, "dev");
    A.Finish();
    return Wrap([=](Impl &I) {
        Impl::DeviceEntry &D = I.Device(Ptr(Dev));
        Bytes All = D.Model->BulkOutBytes();
        auto Packets = D.Model->BulkOutPackets();
        Bytes Got(All.begin() + static_cast<std::ptrdiff_t>(std::min(D.BulkOutBytePos, All.size())), All.end());
        std::vector<std::size_t> GotSizes;
        for (std::size_t K = D.BulkOutPacketPos; K < Packets.size(); ++K) GotSizes.push_back(Packets[K].Requested);
        D.BulkOutBytePos = All.size();
        D.BulkOutPacketPos = Packets.size();
        std::vector<std::string> Diff;
        if (None && (!Got.empty() || !GotSizes.empty()))
            Diff.push_back("bulk-OUT carried " + FormatBytes(Got) + " in " + std::to_string(GotSizes.size()) + " packets, expected nothing");
        else if (!None && Got != Want) Diff.push_back("bulk-OUT carried " + FormatBytes(Got) + ", expected " + FormatBytes(Want));
        if (Sizes && GotSizes != *Sizes) {
            std::vector<std::string> H, Wn;
            for (auto S : GotSizes) H.push_back(std::to_string(S));
            for (auto S : *Sizes) Wn.push_back(std::to_string(S));
            Diff.push_back("packet sizes are " + (H.empty() ? std::string("(none)") : Join(H, ",")) + ", expected " + Join(Wn, ","));
        }
        I.Check(Diff);
    });
}

Action CompileExpectSetup(const Statement &, ArgReader &A)
{
    std::string Kind = A.Word("a class request (SET_LINE_CODING, SET_CONTROL_LINE_STATE, SEND_BREAK, 8 raw setup bytes) or none");
    bool None = EqualsIgnoreCase(Kind, "none");
    std::optional<Bytes> RawSetup;
    std::optional<std::uint8_t> Request;
    std::optional<Bytes> Data;
    std::optional<std::uint16_t> Value;
    if (!None && (Kind.front() == '<' || Kind.front() == '"')) {
        RawSetup = ParseData(Kind);
        if (RawSetup->size() != 8) throw SyntaxError("a setup packet has 8 bytes, not " + std::to_string(RawSetup->size()));
        if (auto V = A.Option("data")) Data = ParseData(*V);
    } else if (EqualsIgnoreCase(Kind, "SET_LINE_CODING")) {
        Request = cdc::SetLineCoding;
        if (A.HasWord()) {
            std::uint32_t Rate = static_cast<std::uint32_t>(ParseUnsigned(A.Word("a rate")));
            LineControl LC;
            bool HasFormat = A.HasWord();
            if (HasFormat) LC = ParseLineControl(A.Word("a line setting"));
            Data = Bytes{static_cast<std::uint8_t>(Rate), static_cast<std::uint8_t>(Rate >> 8),
                         static_cast<std::uint8_t>(Rate >> 16), static_cast<std::uint8_t>(Rate >> 24), LC.StopBits,
                         LC.Parity, LC.WordLength};
            if (!HasFormat) Data->resize(4); /* rate only */
        }
    } else if (EqualsIgnoreCase(Kind, "SET_CONTROL_LINE_STATE")) {
        Request = cdc::SetControlLineState;
        Value = static_cast<std::uint16_t>(ParseFlags(A.Word("the lines (DTR|RTS, or 0)"), ControlLineFlags(), "control line"));
    } else if (EqualsIgnoreCase(Kind, "SEND_BREAK")) {
        Request = cdc::SendBreak;
        std::string V = A.Word("on, off or a duration in ms");
        Value = EqualsIgnoreCase(V, "on") ? 0xFFFF : EqualsIgnoreCase(V, "off") ? 0 : static_cast<std::uint16_t>(ParseUnsigned(V, 0xFFFF));
    } else if (!None) {
        throw SyntaxError("unknown class request '" + Kind + "'");
    }
    std::optional<std::uint16_t> Index;
    if (auto V = A.Option("index")) Index = static_cast<std::uint16_t>(ParseUnsigned(*V, 0xFFFF));
    std::optional<std::string> Status;
    if (auto V = A.Option("status")) {
        if (!EqualsIgnoreCase(*V, "pending")) (void)ParseUsbdStatus(*V);
        Status = *V;
    }
    auto Dev = OptString(A, "dev");
    A.Finish();
    return Wrap([=](Impl &I) {
        Impl::DeviceEntry &D = I.Device(Ptr(Dev));
        auto Requests = D.Model->ClassRequests();
        std::vector<std::string> Diff;
        if (None) {
            if (D.ClassRequestPos < Requests.size()) {
                const auto &R = Requests[D.ClassRequestPos];
                Diff.push_back("the device got " + DescribeSetup(R.Setup, R.Data) + " (#" + std::to_string(R.Id) + "), expected no class request");
                D.ClassRequestPos = Requests.size();
            }
            I.Check(Diff);
            return;
        }
        if (D.ClassRequestPos >= Requests.size()) {
            Diff.push_back("no further class request reached the device");
            I.Check(Diff);
            return;
        }
        const auto &R = Requests[D.ClassRequestPos++];
        std::string Seen = DescribeSetup(R.Setup, R.Data) + " setup " + HexBytes(SetupBytes(R.Setup)) +
                           (R.Data.empty() ? std::string() : " data " + HexBytes(R.Data));
        if (RawSetup) {
            if (SetupBytes(R.Setup) != *RawSetup) Diff.push_back("setup is " + HexBytes(SetupBytes(R.Setup)) + ", expected " + HexBytes(*RawSetup));
            if (Data && R.Data != *Data) Diff.push_back("data is " + HexBytes(R.Data) + ", expected " + HexBytes(*Data));
        } else {
            if (R.Setup.bmRequestType != cdc::HostToInterface || R.Setup.bRequest != *Request)
                Diff.push_back("the device got " + Seen + ", expected " + Kind);
            else {
                if (Value && R.Setup.wValue != *Value) Diff.push_back("the device got " + Seen);
                if (Data) {
                    Bytes Have = R.Data;
                    if (Data->size() < Have.size()) Have.resize(Data->size());
                    if (Have != *Data) Diff.push_back("the device got " + Seen);
                }
                if (*Request == cdc::SetLineCoding && R.Setup.wLength != 7) Diff.push_back("wLength is " + std::to_string(R.Setup.wLength) + ", expected 7");
            }
        }
        if (Index && R.Setup.wIndex != *Index) Diff.push_back("wIndex is " + std::to_string(R.Setup.wIndex) + ", expected " + std::to_string(*Index));
        if (Status) {
            std::string Have = R.CompletedAt < 0 ? "pending" : UsbdStatusName(R.Status);
            std::string Want = EqualsIgnoreCase(*Status, "pending") ? "pending" : UsbdStatusName(ParseUsbdStatus(*Status));
            if (Have != Want) Diff.push_back("the request ended " + Have + ", expected " + Want);
        }
        I.Check(Diff);
    });
}

/* Issues GET_MODEMSTATUS and returns the word, running due events until it completes. */
std::optional<std::uint32_t> QueryModemStatus(Impl &I, const std::string *On)
{
    Impl::HandleEntry &H = I.Handle(On);
    world::OpHandle Op = I.W.DeviceIoControl(H.Id, IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4);
    if (!Op) return std::nullopt;
    I.W.Clock().RunDue();
    I.Poll();
    if (!Op->Completed || !NT_SUCCESS(Op->Status) || Op->Information < 4 || Op->Output.size() < 4) {
        I.Fail("GET_MODEMSTATUS " + (Op->Completed ? "returned " + world::StatusName(Op->Status) + " info=" + std::to_string(Op->Information)
                                                   : std::string("did not complete")));
        return std::nullopt;
    }
    return Op->Output[0] | Op->Output[1] << 8 | Op->Output[2] << 16 | static_cast<std::uint32_t>(Op->Output[3]) << 24;
}

Action CompileExpectModem(const Statement &, ArgReader &A)
{
    std::uint32_t Want = ParseFlags(A.Word("the modem lines (DTR|RTS|CTS|DSR|RI|DCD, or 0)"), ModemFlags(), "modem line");
    auto On = OptString(A, "on");
    A.Finish();
    return Wrap([=](Impl &I) {
        int Before = I.FailureCount;
        auto Have = QueryModemStatus(I, Ptr(On));
        if (!Have) {
            if (I.FailureCount == Before) I.Fail("GET_MODEMSTATUS failed");
            return;
        }
        std::vector<std::string> Diff;
        if (*Have != Want)
            Diff.push_back("modem status is " + Hex32(*Have) + " (" + FormatFlags(*Have, ModemFlags()) + "), expected " + Hex32(Want) +
                           " (" + FormatFlags(Want, ModemFlags()) + ")");
        I.Check(Diff);
    });
}

Action CompileExpectSystem(ArgReader &A, std::string What)
{
    if (EqualsIgnoreCase(What, "serial-count")) {
        ULONG Want = static_cast<ULONG>(ParseUnsigned(A.Word("the expected count")));
        A.Finish();
        return Wrap([=](Impl &I) {
            ULONG Have = I.W.SerialCount();
            I.Check(Have == Want ? std::vector<std::string>{}
                                 : std::vector<std::string>{"SerialCount is " + std::to_string(Have) + ", expected " + std::to_string(Want)});
        });
    }
    if (EqualsIgnoreCase(What, "serialcomm")) {
        std::optional<std::size_t> Count;
        if (auto V = A.Option("count")) Count = ParseUnsigned(*V, 1u << 20);
        std::optional<std::string> Name;
        std::optional<world::RegistryValue> Value;
        bool Absent = false;
        if (A.HasWord()) {
            std::string W = A.Word("a value name");
            if (EqualsIgnoreCase(W, "empty")) Count = 0;
            else {
                Name = ParseText(W);
                std::string Next = A.Word("= VALUE, or none");
                if (EqualsIgnoreCase(Next, "none")) Absent = true;
                else if (Next == "=") {
                    std::string V = A.Word("the expected value");
                    world::RegistryValue R;
                    if (IsQuoted(V)) {
                        R.Type = REG_SZ;
                        R.Data = Utf16Bytes(ParseText(V), false);
                    } else {
                        R = ParseRegistryValue(V);
                    }
                    Value = R;
                } else {
                    throw SyntaxError("expected '= VALUE' or 'none' after the value name");
                }
            }
        }
        if (!Count && !Name) throw SyntaxError("expect serialcomm needs NAME = VALUE, NAME none, empty or count=N");
        A.Finish();
        return Wrap([=](Impl &I) {
            auto Map = I.W.DeviceMap(u"SERIALCOMM");
            std::vector<std::string> Diff;
            if (Count && Map.size() != *Count) {
                std::string Names;
                for (const auto &[K, V] : Map) Names += " " + FromUtf16(K) + "=" + DescribeRegistryValue(V);
                Diff.push_back("SERIALCOMM holds " + std::to_string(Map.size()) + " values" + (Names.empty() ? "" : ":" + Names) +
                               ", expected " + std::to_string(*Count));
            }
            if (Name) {
                auto It = Map.find(ToUtf16(*Name));
                if (Absent && It != Map.end()) Diff.push_back(*Name + " is " + DescribeRegistryValue(It->second) + ", expected no value");
                if (Value) {
                    if (It == Map.end()) Diff.push_back("SERIALCOMM has no value " + *Name);
                    else if (It->second.Type != Value->Type || It->second.Data != Value->Data)
                        Diff.push_back(*Name + " is " + DescribeRegistryValue(It->second) + ", expected " + DescribeRegistryValue(*Value));
                }
            }
            I.Check(Diff);
        });
    }
    if (EqualsIgnoreCase(What, "link")) {
        std::string Port = ParseText(A.Word("a port name such as COM5"));
        std::string Target = ParseText(A.Word("the link's target, or none"));
        A.Finish();
        std::string Link = !Port.empty() && Port[0] == '\\' ? Port : "\\DosDevices\\" + Port;
        return Wrap([=](Impl &I) {
            auto Have = I.W.SymbolicLink(ToUtf16(Link));
            std::vector<std::string> Diff;
            if (EqualsIgnoreCase(Target, "none")) {
                if (Have) Diff.push_back(Link + " links to " + FromUtf16(*Have) + ", expected no link");
            } else if (!Have) Diff.push_back(Link + " does not exist");
            else if (FromUtf16(*Have) != Target) Diff.push_back(Link + " links to " + FromUtf16(*Have) + ", expected " + Target);
            I.Check(Diff);
        });
    }
    if (EqualsIgnoreCase(What, "name")) {
        std::string Name = ParseText(A.Word("an NT name"));
        std::string Want = A.Word("exists or none");
        if (!EqualsIgnoreCase(Want, "exists") && !EqualsIgnoreCase(Want, "none")) throw SyntaxError("expect name NAME takes exists or none");
        bool Exists = EqualsIgnoreCase(Want, "exists");
        A.Finish();
        return Wrap([=](Impl &I) {
            bool Have = I.W.NameExists(ToUtf16(Name));
            I.Check(Have == Exists ? std::vector<std::string>{}
                                   : std::vector<std::string>{Name + (Have ? " exists" : " does not exist")});
        });
    }
    if (EqualsIgnoreCase(What, "pool")) {
        std::optional<std::size_t> Blocks, BytesWanted;
        if (A.HasWord()) Blocks = ParseUnsigned(A.Word("a block count"), 1u << 30);
        if (auto V = A.Option("blocks")) Blocks = ParseUnsigned(*V, 1u << 30);
        if (auto V = A.Option("bytes")) BytesWanted = ParseUnsigned(*V, UINT64_MAX);
        ULONG Tag = 0;
        if (auto V = A.Option("tag")) Tag = PoolTag(ParseText(*V));
        if (!Blocks && !BytesWanted) Blocks = 0;
        A.Finish();
        return Wrap([=](Impl &I) {
            std::vector<std::string> Diff;
            /* The driver's own pool and its framework memory objects, as the
               pool shows them under their tags. */
            std::size_t HaveBlocks = I.W.PoolBlocksOutstanding(Tag) + I.W.MemoryBlocksOutstanding(Tag);
            std::size_t HaveBytes = I.W.PoolBytesOutstanding(Tag) + I.W.MemoryBytesOutstanding(Tag);
            if (Blocks && HaveBlocks != *Blocks)
                Diff.push_back(std::to_string(HaveBlocks) + " pool blocks (" + std::to_string(HaveBytes) + " bytes) outstanding, expected " +
                               std::to_string(*Blocks));
            if (BytesWanted && HaveBytes != *BytesWanted)
                Diff.push_back(std::to_string(HaveBytes) + " pool bytes outstanding, expected " + std::to_string(*BytesWanted));
            I.Check(Diff);
        });
    }
    if (EqualsIgnoreCase(What, "objects")) {
        std::size_t Want = ParseUnsigned(A.Word("the number of live framework objects"), 1u << 30);
        A.Finish();
        return Wrap([=](Impl &I) {
            std::size_t Have = I.W.LiveObjects();
            I.Check(Have == Want ? std::vector<std::string>{}
                                 : std::vector<std::string>{std::to_string(Have) + " framework objects live, expected " + std::to_string(Want)});
        });
    }
    if (EqualsIgnoreCase(What, "verifier")) {
        std::string W = A.Word("none, or a piece of the expected report");
        bool None = EqualsIgnoreCase(W, "none");
        std::string Piece = None ? std::string() : ParseText(W);
        A.Finish();
        return Wrap([=](Impl &I) {
            I.PollVerifier();
            std::vector<std::string> Diff;
            if (None) {
                for (const auto &R : I.Unclaimed) Diff.push_back("verifier reported: " + R.Text);
                I.Unclaimed.clear();
            } else {
                auto It = std::find_if(I.Unclaimed.begin(), I.Unclaimed.end(),
                                       [&](const Impl::VerifierReport &R) { return R.Text.find(Piece) != std::string::npos; });
                if (It == I.Unclaimed.end()) Diff.push_back("no verifier report contains \"" + Piece + "\"");
                else I.Unclaimed.erase(It);
            }
            I.Check(Diff);
        });
    }
    if (EqualsIgnoreCase(What, "trace")) {
        std::string Piece = ParseText(A.Word("a piece of the expected trace message"));
        A.Finish();
        return Wrap([=](Impl &I) {
            for (std::size_t K = I.TraceCursor; K < I.Traces.size(); ++K) {
                if (I.Traces[K].find(Piece) != std::string::npos) {
                    I.TraceCursor = K + 1;
                    I.Check({});
                    return;
                }
            }
            I.Check({"no trace message since the last match contains \"" + Piece + "\""});
        });
    }
    throw SyntaxError("unknown expectation '" + What + "'");
}

Action CompileExpect(const Statement &S, ArgReader &A)
{
    std::string What = A.Word("what to check: an operation, device or handle tag, or bulk-out, setup, modem, serial-count, "
                              "serialcomm, link, name, pool, objects, verifier, trace");
    if (EqualsIgnoreCase(What, "bulk-out")) return CompileExpectBulkOut(S, A);
    if (EqualsIgnoreCase(What, "setup")) return CompileExpectSetup(S, A);
    if (EqualsIgnoreCase(What, "modem")) return CompileExpectModem(S, A);
    if (IsReservedExpectWord(What)) return CompileExpectSystem(A, What);
    return CompileExpectTag(S, A, What);
}

/* ---------------- notes and inspection ---------------- */

/* A word of note text: a quoted string decoded, any other word as written
   but with \" standing for a double quote. */
std::string NoteWord(const std::string &Word)
{
    if (!Word.empty() && Word.front() == '"') return ParseText(Word);
    std::string Out;
    for (std::size_t I = 0; I < Word.size(); ++I) {
        if (Word[I] == '\\' && I + 1 < Word.size() && Word[I + 1] == '"') ++I;
        Out += Word[I];
    }
    return Out;
}

Action CompileNote(const Statement &, ArgReader &A)
{
    std::vector<std::string> Parts;
    for (const auto &W : A.RemainingWords()) Parts.push_back(NoteWord(W));
    for (const auto &[K, V] : A.RemainingOptions()) Parts.push_back(K + "=" + NoteWord(V));
    A.Finish();
    std::string Text = Join(Parts);
    return Wrap([=](Impl &I) { I.Emit(I.Now(), "note", Text); });
}

Action CompileShow(const Statement &, ArgReader &A)
{
    std::string What = A.Word("devices, serialcomm, pool, modem, time or wire");
    auto On = OptString(A, "on");
    A.Finish();
    static const char *Known[] = {"devices", "serialcomm", "pool", "modem", "time", "wire"};
    if (std::none_of(std::begin(Known), std::end(Known), [&](const char *K) { return EqualsIgnoreCase(What, K); }))
        throw SyntaxError("show takes devices, serialcomm, pool, modem, time or wire");
    return Wrap([=](Impl &I) {
        auto Say = [&](const std::string &T) { I.Emit(I.Now(), "show", T); };
        if (EqualsIgnoreCase(What, "devices")) {
            if (I.Devices.empty()) Say("no devices");
            for (auto &D : I.Devices) {
                if (!D.Node) continue;
                Say(D.Name + ": " + FromUtf16(D.Node->NtName) + " " + StateName(D.Node->State) +
                    (D.Node->Power == world::DevicePowerState::D0 ? " D0" : " Dx") + " add " + world::StatusName(D.Node->AddStatus) +
                    " start " + world::StatusName(D.Node->StartStatus) + (D.Model->Connected() ? "" : " unplugged"));
            }
            Say("SerialCount " + std::to_string(I.W.SerialCount()));
        } else if (EqualsIgnoreCase(What, "serialcomm")) {
            auto Map = I.W.DeviceMap(u"SERIALCOMM");
            if (Map.empty()) Say("SERIALCOMM is empty");
            for (const auto &[K, V] : Map) Say("SERIALCOMM " + FromUtf16(K) + " = " + DescribeRegistryValue(V));
        } else if (EqualsIgnoreCase(What, "pool")) {
            Say(std::to_string(I.W.PoolBlocksOutstanding()) + " pool blocks, " + std::to_string(I.W.PoolBytesOutstanding()) +
                " bytes outstanding; " + std::to_string(I.W.MemoryBlocksOutstanding()) + " memory objects, " +
                std::to_string(I.W.MemoryBytesOutstanding()) + " bytes; " + std::to_string(I.W.LiveObjects()) +
                " framework objects live");
        } else if (EqualsIgnoreCase(What, "modem")) {
            if (auto M = QueryModemStatus(I, Ptr(On))) Say("modem status " + Hex32(*M) + " (" + FormatFlags(*M, ModemFlags()) + ")");
        } else if (EqualsIgnoreCase(What, "time")) {
            Say("virtual time " + FormatDuration(I.Now()) + ", " + std::to_string(I.W.Clock().Pending()) + " events pending");
        } else {
            for (auto &D : I.Devices)
                Say(D.Name + ": outstanding bulk-in " + std::to_string(D.Model->OutstandingIn(D.Model->BulkInAddress())) +
                    ", interrupt " + std::to_string(D.Model->OutstandingIn(D.Model->InterruptAddress())) + ", bulk-out " +
                    std::to_string(D.Model->OutstandingOut()) + ", control " + std::to_string(D.Model->OutstandingControl()) +
                    "; bulk-in blocks queued " + std::to_string(D.Model->QueuedBulkIn()));
        }
    });
}

/* ---------------- the verb table ---------------- */

struct VerbDef {
    const char *Name;
    Action (*Compile)(const Statement &, ArgReader &);
    const char *Summary;
};

const std::vector<VerbDef> &Verbs()
{
    static const std::vector<VerbDef> Table = {
        {"add", CompileAdd, "[TAG:] add [loopback] [interfaces=1|2] [bulk-in=N|none] ... [PortName=\"COM5\"] [reg.NAME=VALUE] [nostart]"},
        {"start", CompilePnp, "start [DEVICE]"},
        {"stop", CompilePnp, "stop [DEVICE]"},
        {"restart", CompilePnp, "restart [DEVICE]   (stop, then start)"},
        {"remove", CompilePnp, "remove [DEVICE]"},
        {"surprise-remove", CompilePnp, "surprise-remove [DEVICE]   (unplug and tell the PnP manager)"},
        {"unplug", CompilePnp, "unplug [DEVICE]   (the device stops answering; PnP is not told)"},
        {"suspend", CompileSystemPower, "suspend   (system sleep: every device leaves D0)"},
        {"resume", CompileSystemPower, "resume"},
        {"reserve-name", CompileReserveName, "reserve-name \\Device\\Serial0"},
        {"fail", CompileFail, "fail KITCALL [nth=N] [status=STATUS]"},
        {"clear-faults", CompileClearFaults, "clear-faults"},
        {"tick", CompileTick, "tick DURATION   (the system clock tick, 15.625ms by default)"},
        {"open", CompileOpen, "[TAG:] open COM5"},
        {"close", CompileClose, "close [HANDLE]"},
        {"read", CompileRead, "[TAG:] read LENGTH [on=HANDLE]"},
        {"write", CompileWrite, "[TAG:] write DATA [on=HANDLE]"},
        {"ioctl", CompileIoctl, "[TAG:] ioctl CODE [ARGS] [FIELD=VALUE] [in=DATA] [out=N] [on=HANDLE]"},
        {"internal-ioctl", CompileIoctl, "[TAG:] internal-ioctl CODE [in=DATA] [out=N] [on=HANDLE]"},
        {"flush", CompileFlush, "[TAG:] flush [async] [on=HANDLE]"},
        {"query-info", CompileQueryInfo, "[TAG:] query-info CLASS [length=N] [on=HANDLE]"},
        {"set-info", CompileSetInfo, "[TAG:] set-info CLASS [in=DATA] [on=HANDLE]"},
        {"cancel", CompileCancel, "cancel TAG"},
        {"bulk-in", CompileBulkIn, "bulk-in DATA|zlp [after=DURATION] [dev=DEVICE]"},
        {"interrupt", CompileInterrupt, "interrupt DATA [after=DURATION]   (raw interrupt-IN transfer)"},
        {"serial-state", CompileNotify, "serial-state BITS [after=DURATION]"},
        {"network-connection", CompileNotify, "network-connection connected|disconnected [after=DURATION]"},
        {"response-available", CompileNotify, "response-available [after=DURATION]"},
        {"notify", CompileNotify, "notify CODE [value=N] [data=DATA] [after=DURATION]"},
        {"fail-in", CompileFailIn, "fail-in bulk-in|interrupt [USBD_STATUS]"},
        {"answer", CompileAnswer, "answer control|bulk-out [default] accept|partial N|stall|fail [USBD_STATUS]|late DURATION|never"},
        {"advance", CompileAdvance, "advance DURATION"},
        {"run", CompileRun, "run [limit=DURATION]   (until nothing is left to happen)"},
        {"wait", CompileWait, "wait TAG [limit=DURATION]"},
        {"expect", CompileExpect, "expect TAG|bulk-out|setup|modem|serial-count|serialcomm|link|name|pool|objects|verifier|trace ..."},
        {"note", CompileNote, "note TEXT"},
        {"show", CompileShow, "show devices|serialcomm|pool|modem|time|wire"},
    };
    return Table;
}

} // namespace

bool Compile(std::string_view Text, const std::string &File, Program &Out, std::vector<Diagnostic> &Errors, int FirstLine)
{
    std::size_t ErrorsBefore = Errors.size();
    int Number = FirstLine - 1;
    std::size_t Start = 0;
    while (Start <= Text.size()) {
        std::size_t End = Text.find('\n', Start);
        std::string_view LineText = Text.substr(Start, End == std::string_view::npos ? std::string_view::npos : End - Start);
        ++Number;
        try {
            Statement S;
            if (ParseStatement(LineText, File, Number, S)) {
                const VerbDef *V = nullptr;
                for (const auto &D : Verbs())
                    if (D.Name == S.Verb) V = &D;
                if (!V) throw SyntaxError("unknown command '" + S.Verb + "' (try: brisum-sim help)");
                ArgReader A(S);
                Action Act = V->Compile(S, A);
                Out.Lines.push_back(std::move(S));
                Out.Actions.push_back(std::move(Act));
            }
        } catch (const SyntaxError &E) {
            Errors.push_back({File, Number, E.what()});
        }
        if (End == std::string_view::npos) break;
        Start = End + 1;
    }
    return Errors.size() == ErrorsBefore;
}

std::string VerbSummary()
{
    std::string Out;
    for (const auto &V : Verbs()) Out += "  " + std::string(V.Summary) + "\n";
    return Out;
}

} // namespace sim

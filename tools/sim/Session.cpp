/*
 * Session.cpp - the scenario interpreter's runtime: runs compiled actions
 * against one World, writing the transcript as it goes. The verbs compile
 * in Verbs*.cpp (the table in Verbs.cpp).
 *
 * Everything reaches the driver through the World's public API (the PnP and
 * I/O managers) and the CdcAcmDevice (the device's side); what the
 * transcript shows is read back from completed operations and from the
 * transfers the device model recorded.
 */
#include "SessionImpl.h"

#include <limits>

namespace sim {

/* The interpreter's runtime: the transcript, checks, polling of the world
   and the clock. */

void Session::Impl::Emit(VirtualTime Time, const std::string &Source, const std::string &Text)
{
    Queue.push_back(Line{Time, Seq++, Source, Text});
}

void Session::Impl::Flush()
{
    FlushUpTo(std::numeric_limits<VirtualTime>::max());
    NextStreamAt = kStreamLines;
}

void Session::Impl::FlushUpTo(VirtualTime Last)
{
    std::stable_sort(Queue.begin(), Queue.end(),
                     [](const Line &A, const Line &B) { return A.Time != B.Time ? A.Time < B.Time : A.Seq < B.Seq; });
    auto End = std::find_if(Queue.begin(), Queue.end(), [&](const Line &L) { return L.Time > Last; });
    if (Opt.Transcript)
        for (auto It = Queue.begin(); It != End; ++It)
            *Opt.Transcript << FormatLine(It->Time, It->Source, It->Text) << '\n';
    Queue.erase(Queue.begin(), End);
}

void Session::Impl::StreamLines()
{
    if (Queue.size() < NextStreamAt) return;
    /* A line is emitted at its own time or later: completions and results
       when they happen, the pending line of a control or bulk-OUT transfer
       not before it completes or the statement ends. A line emitted later
       comes after those of its time already queued, so the lines up to now
       and to the earliest pending line still to come are in place. */
    auto Mark = [&] {
        VirtualTime M = Now();
        for (const auto &D : Devices)
            for (const auto &[Id, O] : D.Open)
                if (!O.Announced &&
                    (O.Record.Kind == world::TransferKind::Control || O.Record.Kind == world::TransferKind::BulkOut))
                    M = std::min(M, O.Record.SubmittedAt);
        return M;
    };
    FlushUpTo(Mark());
    if (Queue.size() >= kMaxQueuedLines) {
        /* A transfer outstanding for this long has its pending line now, as
           at the end of a statement, so the queue stays bounded. */
        for (auto &D : Devices)
            for (auto &[Id, O] : D.Open)
                if (!O.Announced && O.Record.SubmittedAt < Now()) {
                    EmitTransfer(D, O.Record, 1);
                    O.Announced = true;
                }
        FlushUpTo(Mark());
    }
    NextStreamAt = Queue.size() + kStreamLines;
}

std::string Session::Impl::Where() const
{
    return Current ? Current->File + ":" + std::to_string(Current->Line) : std::string("(no line)");
}

void Session::Impl::Fail(const std::string &Message)
{
    ++FailureCount;
    std::string Text = Current ? Current->Source + ": " + Message : Message;
    Emit(Now(), "FAIL", (Current ? "line " + std::to_string(Current->Line) + ": " : std::string()) + Text);
    if (Opt.Errors) *Opt.Errors << Where() << ": " << Text << '\n';
}

void Session::Impl::Pass()
{
    ++CheckCount;
    if (Current) Emit(Now(), "chk", Current->Source);
}

void Session::Impl::Check(const std::vector<std::string> &Differences)
{
    if (Differences.empty())
        Pass();
    else {
        ++CheckCount;
        Fail(Join(Differences, "; "));
    }
}

void Session::Impl::EmitTransfer(DeviceEntry &D, const world::TransferRecord &R,
                                 int Phase /* 0 whole, 1 submitted, 2 completed */)
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
        if (Phase == 1)
            Text += " -> pending";
        else {
            Text += " -> " + Outcome;
            if (In && !Cancelled && USBD_SUCCESS(R.Status)) {
                Bytes Got(R.Data.begin(),
                          R.Data.begin() + static_cast<std::ptrdiff_t>(std::min(R.Actual, R.Data.size())));
                Text += ", returned " + std::to_string(Got.size()) + " bytes";
            }
        }
        Emit(T, "usb", Text);
        break;
    }
    case world::TransferKind::BulkOut: {
        std::string Text = Head + "bulk-out " + Ep;
        if (Phase != 2) Text += " " + FormatBytes(R.Data);
        if (Phase == 1)
            Text += " -> pending";
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
        if (Cancelled)
            Text += "cancelled";
        else if (!USBD_SUCCESS(R.Status))
            Text += "-> " + Outcome;
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
        if (Cancelled)
            Text += "cancelled";
        else if (!USBD_SUCCESS(R.Status))
            Text += "-> " + Outcome;
        else {
            Bytes Got(R.Data.begin(), R.Data.begin() + static_cast<std::ptrdiff_t>(std::min(R.Actual, R.Data.size())));
            Text += DescribeNotification(Got) + " " + HexBytes(Got);
        }
        Emit(T, "usb", Text);
        break;
    }
    }
}

void Session::Impl::Observe(std::size_t Index, const world::TransferRecord &R)
{
    DeviceEntry &D = Devices[Index];
    if (R.CompletedAt < 0) {
        D.Fresh.push_back(R);
        Submitted(D, R);
        return;
    }
    auto It = D.Open.find(R.Id);
    if (It != D.Open.end()) {
        It->second.Record = R;
    } else {
        auto F = std::find_if(D.Fresh.rbegin(), D.Fresh.rend(),
                              [&](const world::TransferRecord &T) { return T.Id == R.Id; });
        if (F != D.Fresh.rend()) {
            *F = R;
        } else {
            D.Fresh.push_back(R);
            Submitted(D, R);
        }
    }
    Completed(D, R);
}

namespace {

/* Keeps at most kExpectWindow of the latest items, counting the ones let go. */
template <typename Container> void Bound(Container &C, std::uint64_t &Dropped)
{
    if (C.size() < 2 * kExpectWindow) return;
    const std::size_t Drop = C.size() - kExpectWindow;
    C.erase(C.begin(), C.begin() + static_cast<std::ptrdiff_t>(Drop));
    Dropped += Drop;
}

/* The capture's order of a device's events at equal times: the
   enumeration (eight events), then the transfers in log order, each
   submission before its completion. */
std::uint64_t CaptureOrder(std::size_t Ordinal, std::uint64_t Event) { return (std::uint64_t{Ordinal} << 48) | Event; }
std::uint64_t SubmissionOrder(std::uint64_t Id) { return 8 + 2 * (Id - 1); }

bool IsClassRequest(const world::TransferRecord &R)
{
    return R.Kind == world::TransferKind::Control && ((R.Setup.bmRequestType >> 5) & 3) == 1;
}

} // namespace

void Session::Impl::Submitted(DeviceEntry &D, const world::TransferRecord &R)
{
    if (R.Kind == world::TransferKind::BulkOut) {
        D.BulkOutSizes.push_back(R.Requested);
        Bound(D.BulkOutSizes, D.BulkOutSizesDropped);
    } else if (IsClassRequest(R)) {
        D.ClassRequests.push_back(R);
        Bound(D.ClassRequests, D.ClassRequestsDropped);
    } else if (R.Kind == world::TransferKind::Control && R.Setup.bmRequestType == 0x80 && R.Setup.bRequest == 6 &&
               (R.Setup.wValue >> 8) == 2) {
        D.EnumerationSettled = true; /* the driver read the configuration descriptor on the bus */
    }
    if (Opt.Capture)
        Opt.Capture->Add(SubmissionEvent(R, D.Address, Opt.CaptureOffset),
                         CaptureOrder(D.Ordinal, SubmissionOrder(R.Id)));
}

void Session::Impl::Completed(DeviceEntry &D, const world::TransferRecord &R)
{
    if (R.Kind == world::TransferKind::BulkOut && USBD_SUCCESS(R.Status)) {
        std::size_t N = std::min(R.Actual, R.Data.size());
        D.BulkOutBytes.insert(D.BulkOutBytes.end(), R.Data.begin(), R.Data.begin() + static_cast<std::ptrdiff_t>(N));
        Bound(D.BulkOutBytes, D.BulkOutBytesDropped);
    } else if (IsClassRequest(R)) {
        for (auto It = D.ClassRequests.rbegin(); It != D.ClassRequests.rend(); ++It)
            if (It->Id == R.Id) {
                *It = R;
                break;
            }
    }
    if (Opt.Capture)
        Opt.Capture->Add(CompletionEvent(R, D.Address, Opt.CaptureOffset),
                         CaptureOrder(D.Ordinal, SubmissionOrder(R.Id) + 1));
}

void Session::Impl::SettleEnumeration(DeviceEntry &D)
{
    if (D.EnumerationSettled) return;
    D.EnumerationSettled = true;
    if (Opt.Capture)
        Opt.Capture->AddEnumeration(D.Model->DeviceDescriptor(), D.Model->ConfigurationDescriptor(), D.Address,
                                    D.AddedAt + Opt.CaptureOffset, CaptureOrder(D.Ordinal, 0));
}

void Session::Impl::ReleaseCapture()
{
    if (!Opt.Capture) return;
    /* Every event before now is known. Of those at this instant, one yet to
       come precedes those of later devices and, in its device, those of
       later transfers: a completion of a transfer outstanding, or a
       submission. A device whose enumeration is not settled may still get
       one at the time it was added. */
    VirtualTime Time = Now();
    std::uint64_t Order = UINT64_MAX;
    for (const auto &D : Devices) {
        if (!D.EnumerationSettled) Time = std::min(Time, D.AddedAt);
        std::uint64_t Next = SubmissionOrder(D.Model->TransfersRecorded() + 1);
        if (!D.Open.empty()) Next = std::min(Next, SubmissionOrder(D.Open.begin()->first) + 1);
        Order = std::min(Order, CaptureOrder(D.Ordinal, Next));
    }
    Opt.Capture->Release(Time + Opt.CaptureOffset, Time == Now() ? Order : 0);
    if (Opt.Capture->Held() >= kMaxHeldCaptureRecords) {
        /* Bounded: what is held back goes out in time order; an event of
           this instant still to come follows it. */
        for (auto &D : Devices) SettleEnumeration(D);
        Opt.Capture->Release(Now() + Opt.CaptureOffset, UINT64_MAX);
    }
}

void Session::Impl::PollTransfers()
{
    for (auto &D : Devices) {
        for (auto It = D.Open.begin(); It != D.Open.end();) {
            const auto &R = It->second.Record;
            if (R.CompletedAt >= 0) {
                if (It->second.Announced)
                    EmitTransfer(D, R, 2);
                else if (R.CompletedAt == R.SubmittedAt)
                    EmitTransfer(D, R, 0);
                else {
                    EmitTransfer(D, R, 1);
                    EmitTransfer(D, R, 2);
                }
                It = D.Open.erase(It);
            } else {
                ++It;
            }
        }
        for (const auto &R : D.Fresh) {
            if (R.CompletedAt >= 0 && R.CompletedAt == R.SubmittedAt)
                EmitTransfer(D, R, 0);
            else if (R.CompletedAt >= 0) {
                EmitTransfer(D, R, 1);
                EmitTransfer(D, R, 2);
            } else {
                D.Open.emplace(R.Id, DeviceEntry::OpenTransfer{R, false});
            }
        }
        D.Fresh.clear();
    }
}

void Session::Impl::AnnouncePending()
{
    for (auto &D : Devices) {
        for (auto &[Id, O] : D.Open) {
            if (!O.Announced) {
                EmitTransfer(D, O.Record, 1);
                O.Announced = true;
            }
        }
    }
}

std::string Session::Impl::ResultText(const Entity &E)
{
    const world::Operation &Op = *E.Op;
    std::string Text = E.Tag + ": -> " + world::StatusName(Op.Status);
    if (E.K != Kind::Operation) return Text;
    Text += " info=" + std::to_string(Op.Information);
    std::size_t Visible = std::min<std::size_t>(Op.Information, Op.Output.size());
    Bytes Data(Op.Output.begin(), Op.Output.begin() + static_cast<std::ptrdiff_t>(Visible));
    if (E.ShowData && Visible > 0)
        Text += " " + FormatBytes(Data);
    else if (E.OutputLayout && Visible > 0)
        Text += " " + DescribeLayout(*E.OutputLayout, Op.Output, Visible);
    else if (Visible > 0)
        Text += " " + FormatBytes(Data);
    return Text;
}

void Session::Impl::PollOps()
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

void Session::Impl::PollVerifier()
{
    std::vector<std::string> Reports = W.VerifierReports();
    for (; VerifierSeen < Reports.size(); ++VerifierSeen) {
        Emit(Now(), "vrfy", Reports[VerifierSeen]);
        Unclaimed.push_back({Reports[VerifierSeen], Where()});
    }
}

void Session::Impl::Poll()
{
    PollTransfers();
    PollOps();
    PollVerifier();
    ReleaseCapture();
    StreamLines();
    PeakQueuedLines = std::max(PeakQueuedLines, Queue.size());
    if (Opt.Capture) PeakCaptureHeld = std::max(PeakCaptureHeld, Opt.Capture->Held());
}

void Session::Impl::EndStatement()
{
    Poll();
    AnnouncePending();
    Flush();
}

void Session::Impl::AdvanceBy(VirtualTime Duration)
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

bool Session::Impl::RunUntil(const std::function<bool()> &Done, VirtualTime Limit)
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

Session::Impl::Entity &Session::Impl::NewEntity(Kind K, const std::string &Tag)
{
    Entities.push_back(Entity{});
    Entity &E = Entities.back();
    E.K = K;
    E.Tag = Tag.empty() && Current ? "@" + std::to_string(Current->Line) : Tag;
    E.IssuedAt = Now();
    E.Index = Entities.size() - 1;
    auto Earlier = ByTag.find(E.Tag);
    if (Earlier != ByTag.end()) {
        /* no statement can name the earlier one any more: an operation
           whose completion is out lets go of its data */
        Entity &Old = Entities[Earlier->second];
        if (Old.K == Kind::Operation && Old.CompletionShown) Old.Op.reset();
    }
    ByTag[E.Tag] = E.Index;
    return E;
}

Session::Impl::Entity *Session::Impl::FindTag(const std::string &Tag)
{
    auto It = ByTag.find(Tag);
    return It == ByTag.end() ? nullptr : &Entities[It->second];
}

Session::Impl::DeviceEntry &Session::Impl::Device(const std::string *Name)
{
    if (Devices.empty()) throw SyntaxError("no device has been added yet");
    if (!Name) return Devices.back();
    for (auto &D : Devices)
        if (D.Name == *Name) return D;
    throw SyntaxError("no device named '" + *Name + "'");
}

Session::Impl::HandleEntry &Session::Impl::Handle(const std::string *Name)
{
    if (!Name) {
        if (LastHandle < 0) throw SyntaxError("no port has been opened yet (open one, or name a handle with on=)");
        return Handles[static_cast<std::size_t>(LastHandle)];
    }
    for (auto &H : Handles)
        if (H.Name == *Name) return H;
    throw SyntaxError("no handle named '" + *Name + "'");
}

void Session::Impl::Track(Entity &E, world::OpHandle Op)
{
    E.Op = std::move(Op);
    PendingOps.push_back(E.Index);
    Poll();
}

world::OpHandle Session::Impl::Result(NTSTATUS Status)
{
    auto Op = std::make_shared<world::Operation>();
    Op->Completed = true;
    Op->Status = Status;
    Op->CompletedAt = Now();
    return Op;
}

void Session::Impl::Finish()
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
    for (auto &D : Devices) SettleEnumeration(D);
    if (Opt.Capture) Opt.Capture->Release(std::numeric_limits<VirtualTime>::max(), 0);
    std::string Summary = (Opt.Name.empty() ? std::string("scenario") : Opt.Name) + ": " + std::to_string(CheckCount) +
                          (CheckCount == 1 ? " check, " : " checks, ") + std::to_string(FailureCount) +
                          (FailureCount == 1 ? " failure" : " failures");
    Emit(Now(), "end", Summary);
    Flush();
}

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
        if (!verbs::IsProcessorsVerb(P.Lines[K].Verb)) I.WorldStarted = true;
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
Session::Retained Session::RetainedRecords() const { return impl_->RetainedRecords(); }

Session::Retained Session::Impl::RetainedRecords() const
{
    Retained R;
    for (const auto &D : Devices) {
        R.TransferLog += D.Model->Transfers().size();
        R.Transfers += D.Model->TransfersRecorded();
        R.OpenTransfers += D.Open.size() + D.Fresh.size();
        R.ExpectItems += D.BulkOutBytes.size() + D.BulkOutSizes.size() + D.ClassRequests.size();
    }
    R.QueuedLines = Queue.size();
    R.CaptureHeld = Opt.Capture ? Opt.Capture->Held() : 0;
    R.TraceMessages = Traces.size();
    R.PeakQueuedLines = PeakQueuedLines;
    R.PeakCaptureHeld = PeakCaptureHeld;
    return R;
}
world::World &Session::TheWorld() { return impl_->W; }
std::shared_ptr<world::CdcAcmDevice> Session::DeviceModel(std::size_t Index) const
{
    return Index < impl_->Devices.size() ? impl_->Devices[Index].Model : nullptr;
}

} // namespace sim

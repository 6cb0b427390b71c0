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

namespace sim {

/* The interpreter's runtime: the transcript, checks, polling of the world
   and the clock. */

void Session::Impl::Emit(VirtualTime Time, const std::string &Source, const std::string &Text)
{
    Queue.push_back(Line{Time, Seq++, Source, Text});
}

void Session::Impl::Flush()
{
    std::stable_sort(Queue.begin(), Queue.end(),
                     [](const Line &A, const Line &B) { return A.Time != B.Time ? A.Time < B.Time : A.Seq < B.Seq; });
    if (Opt.Transcript)
        for (const auto &L : Queue) *Opt.Transcript << FormatLine(L.Time, L.Source, L.Text) << '\n';
    Queue.clear();
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

void Session::Impl::PollTransfers()
{
    for (auto &D : Devices) {
        const auto &T = D.Model->Transfers();
        for (auto It = D.Open.begin(); It != D.Open.end();) {
            const auto &R = T[It->Index];
            if (R.CompletedAt >= 0) {
                if (It->Announced)
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
        for (; D.Seen < T.size(); ++D.Seen) {
            const auto &R = T[D.Seen];
            if (R.CompletedAt >= 0 && R.CompletedAt == R.SubmittedAt)
                EmitTransfer(D, R, 0);
            else if (R.CompletedAt >= 0) {
                EmitTransfer(D, R, 1);
                EmitTransfer(D, R, 2);
            } else {
                D.Open.push_back({D.Seen, false});
            }
        }
    }
}

void Session::Impl::AnnouncePending()
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
world::World &Session::TheWorld() { return impl_->W; }
std::shared_ptr<world::CdcAcmDevice> Session::DeviceModel(std::size_t Index) const
{
    return Index < impl_->Devices.size() ? impl_->Devices[Index].Model : nullptr;
}

} // namespace sim

/*
 * IoTarget.cpp - the generic I/O target: start and stop, send, completion,
 * time-out, and the kit's target calls. The USB targets build on it
 * (targets/usb/).
 */
#include <cstring>

#include "FxHost.h"
#include "core/RaceAnnotations.h"

namespace fx {

/* ------------------------------------------------------------------ */
/* I/O target                                                          */
/* ------------------------------------------------------------------ */
IoTarget::IoTarget(ObjectType Type, Device *Owner) : Object(Type, Owner) {}
IoTarget::~IoTarget() = default;

NTSTATUS IoTarget::Start()
{
    if (state_ == TargetState::Closed) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (OwnerDevice() != nullptr && !DevicePresent(OwnerDevice())) {
        return STATUS_NO_SUCH_DEVICE;
    }
    bool WasStarted = state_ == TargetState::Started;
    state_ = TargetState::Started;
    if (!WasStarted) {
        OnStart();
    }
    return STATUS_SUCCESS;
}

void IoTarget::Stop(WDF_IO_TARGET_SENT_IO_ACTION Action)
{
    if (state_ == TargetState::Closed) {
        return;
    }
    state_ = TargetState::Stopped;
    OnStop(Action);
    if (Action == WdfIoTargetCancelSentIo) {
        AbortAllSent();
    }
    if (Action == WdfIoTargetCancelSentIo || Action == WdfIoTargetWaitForSentIoToComplete) {
        Clock().RunUntil([this]() { return sent_.empty(); }, "WdfIoTargetStop: sent requests to complete");
        race::Acquire(this); /* after the completion routines of what it waited for */
    }
}

bool IoTarget::Send(const KitEntry &Kit, Request *Req, PWDF_REQUEST_SEND_OPTIONS Options)
{
    NTSTATUS Status = STATUS_SUCCESS;
    if (!Req->CheckUsable(Kit.Name())) {
        return FALSE;
    }
    if (Req->State() == Request::Where::Sent) {
        VerifierReport("RequestSentTwice", "WdfRequestSend of a request already pending at an I/O target");
        return FALSE;
    }
    if (Req->State() == Request::Where::InQueue) {
        VerifierReport("SendOfQueuedRequest", "WdfRequestSend of a request that waits in a queue");
        return FALSE;
    }
    if (Req->CancelRoutine != nullptr) {
        VerifierReport("SendOfCancelableRequest", "WdfRequestSend of a request still marked cancelable");
        return FALSE;
    }
    ULONG Flags = Options != nullptr ? Options->Flags : 0;
    if (Kit.Injected(&Status)) {
        Req->Status = Status;
        return FALSE;
    }
    if (state_ == TargetState::Closed || !Alive()) {
        Req->Status = STATUS_INVALID_DEVICE_STATE;
        return FALSE;
    }
    if (state_ == TargetState::Stopped && (Flags & WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE) == 0) {
        Req->Status = STATUS_INVALID_DEVICE_STATE;
        return FALSE;
    }
    if (OwnerDevice() != nullptr && !DevicePresent(OwnerDevice())) {
        Req->Status = STATUS_NO_SUCH_DEVICE;
        return FALSE;
    }
    if (NeedsFormat() && (!Req->Usb.Formatted || Req->Usb.Target != this)) {
        if (Req->Usb.Formatted) {
            VerifierReport("SendToWrongTarget",
                           "WdfRequestSend to a target other than the one the request was formatted for");
        }
        Req->Status = STATUS_INVALID_DEVICE_REQUEST;
        return FALSE;
    }

    Request::Where Before = Req->State();
    Req->SetState(Request::Where::Sent);
    Req->SentTo = this;
    Req->TimedOut = false;
    Req->Status = STATUS_PENDING;
    const std::uint64_t Send = ++Req->Sends;
    const WDFREQUEST Handle = Req->RequestHandle();
    sent_.push_back(Req);
    /* What the driver did before the send happens before the request's
       completion routine. */
    race::Release(Req);
    Status = Submit(Req);
    if (Status != STATUS_PENDING) {
        sent_.remove(Req);
        Req->SentTo = nullptr;
        Req->SetState(Before);
        Req->Status = Status;
        return FALSE;
    }
    /* The lower driver may have completed the request within the submit:
       its completion routine ran, and the driver may already have deleted,
       reused or sent the request again. The send succeeded; nothing of
       this send is left to time or wait for. */
    if (!StillSent(Handle, Send)) {
        return TRUE;
    }
    if ((Flags & WDF_REQUEST_SEND_OPTION_TIMEOUT) != 0 && Options->Timeout != 0) {
        VirtualTime Due = Options->Timeout < 0 ? Clock().Now() - Options->Timeout : Options->Timeout;
        WDFREQUEST H = Req->RequestHandle();
        Req->TimeoutEvent = Clock().ScheduleAt(
            Due,
            [this, H]() {
                auto *R = TryLookupAs<Request>(H);
                if (R == nullptr) {
                    return;
                }
                R->TimeoutEvent = 0;
                if (R->State() == Request::Where::Sent && R->SentTo == this) {
                    R->TimedOut = true;
                    Abort(R);
                }
            },
            "request send time-out");
    }
    if ((Flags & WDF_REQUEST_SEND_OPTION_SYNCHRONOUS) != 0) {
        if (RequirePassive("WdfRequestSend(synchronous)")) {
            Clock().RunUntil([Req]() { return Req->State() != Request::Where::Sent; },
                             "a synchronous request to complete");
            race::Acquire(Req);
        }
    }
    return TRUE;
}

bool IoTarget::StillSent(WDFREQUEST Handle, std::uint64_t Send) const
{
    Object *O = TryLookup(reinterpret_cast<WDFOBJECT>(Handle));
    auto *R = O != nullptr && O->Type() == ObjectType::Request ? static_cast<Request *>(O) : nullptr;
    return R != nullptr && R->State() == Request::Where::Sent && R->SentTo == this && R->Sends == Send;
}

/* Cancels each request sent now; a cancel may complete a request at once,
   and its completion routine may delete or send others, so each is looked
   up again before it is cancelled. */
void IoTarget::AbortAllSent()
{
    std::vector<std::pair<WDFREQUEST, std::uint64_t>> Copy;
    for (Request *R : sent_) {
        Copy.emplace_back(R->RequestHandle(), R->Sends);
    }
    for (const auto &Entry : Copy) {
        if (StillSent(Entry.first, Entry.second)) {
            Abort(TryLookupAs<Request>(Entry.first));
        }
    }
}

void IoTarget::CompleteSent(Request *Req, NTSTATUS Status, ULONG_PTR Information)
{
    bool Found = false;
    for (auto It = sent_.begin(); It != sent_.end(); ++It) {
        if (*It == Req) {
            sent_.erase(It);
            Found = true;
            break;
        }
    }
    if (!Found) {
        VerifierReport("CompleteOfUnsentRequest", "an I/O target completed a request it does not hold");
        return;
    }
    Clock().CancelIfQueued(Req->TimeoutEvent);
    race::Release(Req); /* the completer's work (the bytes it filled in) */
    /* The time-out cancelled the request; only that cancellation is
       reported as the time-out. A request that completed on its own after
       the time-out fired (success, or a failure of its own) keeps its
       status. */
    if (Req->TimedOut && Status == STATUS_CANCELLED) {
        Status = STATUS_IO_TIMEOUT;
    }
    Req->SentTo = nullptr;
    Req->Status = Status;
    Req->Information = Information;
    WDF_REQUEST_COMPLETION_PARAMS_INIT(&Req->CompletionParams);
    Req->CompletionParams.IoStatus.Status = Status;
    Req->CompletionParams.IoStatus.Information = Information;
    if (Req->Usb.Formatted) {
        Req->CompletionParams.Type = WdfRequestTypeUsb;
        Req->CompletionParams.Parameters.Usb.Completion = &Req->Usb.Params;
    } else {
        Req->CompletionParams.Type = Req->Params.Type;
    }
    if (Req->From() == Request::Origin::IoManager) {
        Req->SetState(Request::Where::Driver);
    } else {
        Req->SetState(Request::Where::Idle);
    }
    PFN_WDF_REQUEST_COMPLETION_ROUTINE Routine = Req->CompletionRoutine;
    if (Routine != nullptr) {
        WDFREQUEST H = Req->RequestHandle();
        WDFIOTARGET T = HandleAs<WDFIOTARGET>();
        WDFCONTEXT Ctx = Req->CompletionContext;
        PWDF_REQUEST_COMPLETION_PARAMS P = &Req->CompletionParams;
        race::Acquire(Req);
        CallDriver(OwnerDevice(), DISPATCH_LEVEL, false, [&]() { Routine(H, T, P, Ctx); });
        race::Release(this); /* a WdfIoTargetStop that waits for it goes on after its return */
    } else if (Req->From() == Request::Origin::IoManager) {
        Req->Complete(Status, Information, "WdfRequestSend(no completion routine)");
    }
}

bool IoTarget::CancelSent(Request *Req)
{
    for (Request *R : sent_) {
        if (R == Req) {
            Abort(Req);
            return true;
        }
    }
    return false;
}

void IoTarget::OnDelete()
{
    AbortAllSent();
    state_ = TargetState::Closed;
}

IoTarget *ToIoTarget(WDFIOTARGET Handle, const char *Api)
{
    Object *O = Lookup(reinterpret_cast<WDFOBJECT>(Handle), Api);
    if (O == nullptr) {
        return nullptr;
    }
    for (auto &R : Host().TargetResolvers) {
        if (R.first == O->Type()) {
            return R.second(O);
        }
    }
    auto *T = O->AsIoTarget();
    if (T == nullptr) {
        VerifierReport("WrongHandleType", std::string(Api) + " expects an I/O target but got " + O->Describe());
    }
    return T;
}

void RegisterTargetResolver(ObjectType Type, IoTarget *(*Resolve)(Object *))
{
    Host().TargetResolvers.emplace_back(Type, Resolve);
}

} // namespace fx

/* ------------------------------------------------------------------ */
/* The kit's target calls                                              */
/* ------------------------------------------------------------------ */
using namespace fx;

EXTERN_C NTSTATUS WdfIoTargetStart(WDFIOTARGET IoTarget)
{
    KIT_ENTRY(WdfIoTargetStart);
    NTSTATUS Status;
    fx::IoTarget *T = ToIoTarget(IoTarget, Kit.Name());
    if (T == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (Kit.Injected(&Status)) {
        return Status;
    }
    return T->Start();
}

EXTERN_C VOID WdfIoTargetStop(WDFIOTARGET IoTarget, WDF_IO_TARGET_SENT_IO_ACTION Action)
{
    KIT_ENTRY(WdfIoTargetStop);
    fx::IoTarget *T = ToIoTarget(IoTarget, Kit.Name());
    /* Waiting for sent I/O blocks: only PASSIVE_LEVEL may ask for it. */
    if (Action != WdfIoTargetLeaveSentIoPending &&
        !RequirePassive("WdfIoTargetStop(CancelSentIo or WaitForSentIoToComplete)")) {
        Action = WdfIoTargetLeaveSentIoPending;
    }
    if (T != nullptr) {
        T->Stop(Action);
    }
}

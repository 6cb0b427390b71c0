/*
 * Queue.cpp - I/O queues: dispatch types, presentation under the
 * device-wide lock, power management, forwarding, retrieval, purge, stop.
 *
 * Presentation runs inline when no driver code is on the stack (a new
 * request from the I/O manager) and as a scheduled step otherwise (a request
 * completed or forwarded from inside a callback), so a callback never
 * re-enters the device-wide lock. A manual queue's ready notification is
 * delivered the same way.
 *
 * Retrieval from a manual (or sequential) queue returns STATUS_WDF_PAUSED
 * while the queue is stopped or, power-managed, powered off; the driver
 * learns that requests are waiting again from the ready notification that
 * follows WdfIoQueueStart and the power-up.
 */
#include "FxHost.h"
#include "core/RaceAnnotations.h"

namespace fx {

Queue::Queue(Device *Owner, const WDF_IO_QUEUE_CONFIG &Cfg) : Object(ObjectType::Queue, Owner), Config(Cfg) {}

bool Queue::Serialized() const
{
    WDF_SYNCHRONIZATION_SCOPE Scope = SyncScope;
    if (Scope == WdfSynchronizationScopeInheritFromParent || Scope == WdfSynchronizationScopeInvalid) {
        Scope = OwnerDevice() != nullptr ? OwnerDevice()->SyncScope : WdfSynchronizationScopeNone;
    }
    return Scope == WdfSynchronizationScopeDevice || Scope == WdfSynchronizationScopeQueue;
}

bool Queue::PowerOk() const
{
    if (!PowerManaged) {
        return true;
    }
    Device *D = OwnerDevice();
    return D != nullptr && D->InD0 && !D->PowerTransition;
}

bool Queue::CanPresent() const
{
    if (Manual() || !Started || Purged || !Alive() || !PowerOk()) {
        return false;
    }
    if (Config.DispatchType == WdfIoQueueDispatchSequential) {
        return Owned.empty();
    }
    ULONG Limit = Config.Settings.Parallel.NumberOfPresentedRequests;
    if (Limit == 0 || Limit == (ULONG)-1) {
        return true;
    }
    return Owned.size() < Limit;
}

bool Queue::HasCallbackFor(const Request *Req) const
{
    if (Config.EvtIoDefault != nullptr) {
        return true;
    }
    switch (Req->MajorFunction) {
    case IRP_MJ_READ: return Config.EvtIoRead != nullptr;
    case IRP_MJ_WRITE: return Config.EvtIoWrite != nullptr;
    case IRP_MJ_DEVICE_CONTROL: return Config.EvtIoDeviceControl != nullptr;
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: return Config.EvtIoInternalDeviceControl != nullptr;
    default: return false;
    }
}

NTSTATUS Queue::Accept(Request *Req, bool FromIoManager)
{
    if (!Accepting || !Alive()) {
        /* A new request is failed by the framework; a forward tells the
           driver the queue is busy. */
        return FromIoManager ? STATUS_INVALID_DEVICE_STATE : STATUS_WDF_BUSY;
    }
    if (FromIoManager) {
        bool ZeroLength = (Req->MajorFunction == IRP_MJ_READ && Req->OutputLength == 0) ||
                          (Req->MajorFunction == IRP_MJ_WRITE && Req->InputLength == 0);
        if (ZeroLength && !Config.AllowZeroLengthRequests) {
            Req->SetState(Request::Where::Driver);
            Req->Complete(STATUS_SUCCESS, 0, "framework(zero-length request)");
            return STATUS_PENDING; /* handled: the request is gone */
        }
        if (!Manual() && !HasCallbackFor(Req)) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
    }
    Req->SetState(Request::Where::InQueue);
    Req->OwningQueue = this;
    Req->PresentedBy = nullptr;
    if (Pending.empty()) {
        TransitionFromEmpty = true;
    }
    /* What the sender (the I/O manager, or the driver forwarding or
       requeueing) did before the request entered the queue happens before
       the driver is handed it. */
    race::Release(Req);
    Pending.push_back(Req);
    if (OwnerDevice() != nullptr && PowerManaged) {
        OwnerDevice()->ActivityChanged();
    }
    Dispatch();
    return STATUS_PENDING;
}

void Queue::ScheduleDispatch()
{
    if (DispatchScheduled) {
        return;
    }
    DispatchScheduled = true;
    WDFQUEUE H = QueueHandle();
    Defer(
        [H]() {
            auto *Q = TryLookupAs<Queue>(H);
            if (Q == nullptr) {
                return;
            }
            Q->DispatchScheduled = false;
            Q->Dispatch();
        },
        "queue dispatch");
}

void Queue::Dispatch()
{
    if (Manual()) {
        NotifyReady();
        return;
    }
    while (CanPresent() && !Pending.empty()) {
        if (Host().CallDepth > 0) {
            ScheduleDispatch();
            return;
        }
        Request *R = Pending.front();
        Pending.pop_front();
        Present(R);
    }
}

void Queue::NoteRestarted()
{
    if (Manual() && !Pending.empty()) {
        TransitionFromEmpty = true;
    }
}

void Queue::NotifyReady()
{
    if (ReadyNotify == nullptr || !TransitionFromEmpty || !Started || Purged || PoweredOff || !PowerOk() || !Alive()) {
        return;
    }
    if (Host().CallDepth > 0) {
        ScheduleDispatch();
        return;
    }
    /* The notification is consumed when delivered: the next one comes with
       the next transition from empty, start or power-up. */
    TransitionFromEmpty = false;
    PFN_WDF_IO_QUEUE_STATE Cb = ReadyNotify;
    WDFCONTEXT Ctx = ReadyNotifyContext;
    WDFQUEUE Q = QueueHandle();
    KIRQL Level = Serialized() ? (KIRQL)DISPATCH_LEVEL : Irql();
    CallDriver(OwnerDevice(), Level, Serialized(), [&]() { Cb(Q, Ctx); });
}

void Queue::Present(Request *Req)
{
    Req->SetState(Request::Where::Driver);
    Req->Presented = true;
    Req->PresentedBy = this;
    Req->OwningQueue = this;
    Owned.insert(Req);
    /* The callback is chosen and its arguments taken now; the call itself
       refers to them in place (it runs within CallDriver). */
    enum class Evt { None, Read, Write, DeviceControl, InternalDeviceControl, Default };
    Evt Which = Evt::None;
    switch (Req->MajorFunction) {
    case IRP_MJ_READ:
        if (Config.EvtIoRead != nullptr) Which = Evt::Read;
        break;
    case IRP_MJ_WRITE:
        if (Config.EvtIoWrite != nullptr) Which = Evt::Write;
        break;
    case IRP_MJ_DEVICE_CONTROL:
        if (Config.EvtIoDeviceControl != nullptr) Which = Evt::DeviceControl;
        break;
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        if (Config.EvtIoInternalDeviceControl != nullptr) Which = Evt::InternalDeviceControl;
        break;
    default: break;
    }
    if (Which == Evt::None && Config.EvtIoDefault != nullptr) {
        Which = Evt::Default;
    }
    if (Which == Evt::None) {
        Req->Complete(STATUS_INVALID_DEVICE_REQUEST, 0, "framework(no callback for the request type)");
        return;
    }
    const WDFQUEUE Q = QueueHandle();
    const WDFREQUEST R = Req->RequestHandle();
    const size_t Out = Req->OutputLength;
    const size_t In = Req->InputLength;
    const ULONG Code = Req->IoControlCode;
    auto Call = [this, Which, Q, R, Out, In, Code]() {
        switch (Which) {
        case Evt::Read: Config.EvtIoRead(Q, R, Out); break;
        case Evt::Write: Config.EvtIoWrite(Q, R, In); break;
        case Evt::DeviceControl: Config.EvtIoDeviceControl(Q, R, Out, In, Code); break;
        case Evt::InternalDeviceControl: Config.EvtIoInternalDeviceControl(Q, R, Out, In, Code); break;
        case Evt::Default: Config.EvtIoDefault(Q, R); break;
        case Evt::None: break;
        }
    };
    KIRQL Level = Serialized() ? (KIRQL)DISPATCH_LEVEL : Irql();
    race::Acquire(Req);
    CallDriver(OwnerDevice(), Level, Serialized(), Call);
}

void Queue::Disown(Request *Req)
{
    Owned.erase(Req);
    if (Req->PresentedBy == this) {
        Req->PresentedBy = nullptr;
    }
    if (OwnerDevice() != nullptr && PowerManaged) {
        OwnerDevice()->ActivityChanged();
    }
    CheckWaiters();
    Dispatch();
}

void Queue::Released(Request *Req) { Disown(Req); }

void Queue::CancelQueued(Request *Req)
{
    for (auto It = Pending.begin(); It != Pending.end(); ++It) {
        if (*It == Req) {
            Pending.erase(It);
            break;
        }
    }
    Req->CancelRequested = true;
    /* Only a request the driver has seen (presented, or retrieved, then
       forwarded or requeued here) is handed to EvtIoCanceledOnQueue; one
       that never reached the driver is completed as cancelled. */
    if (Config.EvtIoCanceledOnQueue != nullptr && Req->Presented) {
        Req->SetState(Request::Where::Driver);
        Req->PresentedBy = this;
        Owned.insert(Req);
        WDFQUEUE Q = QueueHandle();
        WDFREQUEST R = Req->RequestHandle();
        auto Run = [Q, R]() {
            auto *Qu = TryLookupAs<Queue>(Q);
            auto *Rq = TryLookupAs<Request>(R);
            if (Qu == nullptr || Rq == nullptr) {
                return;
            }
            if (Rq->State() == Request::Where::Completed) {
                return;
            }
            KIRQL Level = Qu->Serialized() ? (KIRQL)DISPATCH_LEVEL : Irql();
            race::Acquire(Rq);
            CallDriver(Qu->OwnerDevice(), Level, Qu->Serialized(), [&]() { Qu->Config.EvtIoCanceledOnQueue(Q, R); });
        };
        if (Host().CallDepth > 0) {
            Defer(Run, "EvtIoCanceledOnQueue");
        } else {
            Run();
        }
    } else {
        Req->SetState(Request::Where::Driver);
        Req->PresentedBy = nullptr;
        Req->Complete(STATUS_CANCELLED, 0, "framework(cancelled in queue)");
        if (OwnerDevice() != nullptr && PowerManaged) {
            OwnerDevice()->ActivityChanged();
        }
        CheckWaiters();
    }
}

void Queue::CheckWaiters()
{
    if (Waiters.empty()) {
        return;
    }
    std::vector<Waiter> Ready;
    for (auto It = Waiters.begin(); It != Waiters.end();) {
        bool Done = It->What == Waiter::Stop ? Owned.empty() : (Owned.empty() && Pending.empty());
        if (Done) {
            Ready.push_back(*It);
            It = Waiters.erase(It);
        } else {
            ++It;
        }
    }
    WDFQUEUE Q = QueueHandle();
    for (auto &W : Ready) {
        if (W.Callback == nullptr) {
            continue;
        }
        PFN_WDF_IO_QUEUE_STATE Cb = W.Callback;
        WDFCONTEXT Ctx = W.Context;
        Defer(
            [Q, Cb, Ctx]() {
                auto *Qu = TryLookupAs<Queue>(Q);
                if (Qu == nullptr) {
                    return;
                }
                CallDriver(Qu->OwnerDevice(), DISPATCH_LEVEL, Qu->Serialized(), [&]() { Cb(Q, Ctx); });
            },
            "queue state callback");
    }
}

void Queue::Purge(PFN_WDF_IO_QUEUE_STATE Callback, WDFCONTEXT Context)
{
    Accepting = false;
    Purged = true;
    std::vector<Request *> Waiting(Pending.begin(), Pending.end());
    for (Request *R : Waiting) {
        R->CancelRequested = false; /* set again by RequestCancel */
        R->RequestCancel();
    }
    /* Requests the driver holds from this queue and marked cancelable are
       cancelled too. */
    std::vector<Request *> Held(Owned.begin(), Owned.end());
    for (Request *R : Held) {
        if (R->CancelRoutine != nullptr) {
            R->RequestCancel();
        }
    }
    Waiters.push_back(Waiter{Waiter::Purge, Callback, Context});
    CheckWaiters();
}

void Queue::StopOwned(ULONG ActionFlags)
{
    if (Config.EvtIoStop == nullptr) {
        return;
    }
    std::vector<Request *> Held(Owned.begin(), Owned.end());
    WDFQUEUE Q = QueueHandle();
    for (Request *R : Held) {
        if (R->State() != Request::Where::Driver || R->StopAcknowledged) {
            continue;
        }
        R->StopPending = true;
        ULONG Flags = ActionFlags;
        if (R->CancelRoutine != nullptr) {
            Flags |= WdfRequestStopRequestCancelable;
        }
        WDFREQUEST H = R->RequestHandle();
        KIRQL Level = Serialized() ? (KIRQL)DISPATCH_LEVEL : Irql();
        CallDriver(OwnerDevice(), Level, Serialized(), [&]() { Config.EvtIoStop(Q, H, Flags); });
    }
}

void Queue::Drain(NTSTATUS Status)
{
    std::vector<Request *> Waiting(Pending.begin(), Pending.end());
    Pending.clear();
    for (Request *R : Waiting) {
        R->SetState(Request::Where::Driver);
        R->PresentedBy = nullptr;
        R->Complete(Status, 0, "framework(queue deleted)");
    }
}

void Queue::OnDelete()
{
    Drain(STATUS_CANCELLED);
    if (!Owned.empty()) {
        VerifierReport("RequestsOutstandingAtQueueDeletion", Describe() + " deleted while the driver still owns " +
                                                                 std::to_string(Owned.size()) + " of its requests");
        std::vector<Request *> Held(Owned.begin(), Owned.end());
        Owned.clear();
        for (Request *R : Held) {
            R->PresentedBy = nullptr;
            R->OwningQueue = nullptr;
        }
    }
    Device *D = OwnerDevice();
    if (D != nullptr) {
        for (auto It = D->Queues.begin(); It != D->Queues.end(); ++It) {
            if (*It == this) {
                D->Queues.erase(It);
                break;
            }
        }
        if (D->DefaultQueue == this) {
            D->DefaultQueue = nullptr;
        }
        for (auto It = D->Routes.begin(); It != D->Routes.end();) {
            if (It->second == this)
                It = D->Routes.erase(It);
            else
                ++It;
        }
    }
}

Queue *ToQueue(WDFQUEUE Handle, const char *Api) { return As<Queue>(Handle, ObjectType::Queue, Api); }

} // namespace fx

using namespace fx;

EXTERN_C NTSTATUS WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config,
                                   PWDF_OBJECT_ATTRIBUTES QueueAttributes, WDFQUEUE *Queue)
{
    KIT_ENTRY(WdfIoQueueCreate);
    NTSTATUS Status;
    if (Queue != nullptr) *Queue = nullptr;
    if (Kit.Injected(&Status)) {
        return Status;
    }
    auto *Dev = As<fx::Device>(Device, ObjectType::Device, Kit.Name());
    if (Dev == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    if (Config == nullptr || Config->Size != sizeof(WDF_IO_QUEUE_CONFIG)) {
        VerifierReport("BadConfig", "WdfIoQueueCreate with an uninitialised WDF_IO_QUEUE_CONFIG");
        return STATUS_INVALID_PARAMETER;
    }
    if (Config->DispatchType <= WdfIoQueueDispatchInvalid || Config->DispatchType >= WdfIoQueueDispatchMax) {
        VerifierReport("BadConfig", "WdfIoQueueCreate with an invalid dispatch type");
        return STATUS_INVALID_PARAMETER;
    }
    bool HasRequestCallback = Config->EvtIoDefault || Config->EvtIoRead || Config->EvtIoWrite ||
                              Config->EvtIoDeviceControl || Config->EvtIoInternalDeviceControl;
    if (Config->DispatchType != WdfIoQueueDispatchManual && !HasRequestCallback) {
        VerifierReport("BadConfig", "WdfIoQueueCreate: a non-manual queue needs a request callback");
        return STATUS_INVALID_PARAMETER;
    }
    if (Config->DefaultQueue && Dev->DefaultQueue != nullptr) {
        VerifierReport("BadConfig", "WdfIoQueueCreate: the device already has a default queue");
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (Config->DefaultQueue && Config->DispatchType == WdfIoQueueDispatchManual) {
        /* Allowed by the kit; nothing special. */
    }
    auto *Q = new fx::Queue(Dev, *Config);
    Q->PowerManaged = Config->PowerManaged == WdfFalse  ? false
                      : Config->PowerManaged == WdfTrue ? true
                                                        : Dev->Init.PowerPolicyOwner;
    Q->PoweredOff = Q->PowerManaged && !Dev->InD0;
    Status = CommitOrDestroy(Q, QueueAttributes, Dev, Kit.Name());
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    Dev->Queues.push_back(Q);
    if (Config->DefaultQueue) {
        Dev->DefaultQueue = Q;
    }
    if (Queue != nullptr) {
        *Queue = Q->QueueHandle();
    }
    return STATUS_SUCCESS;
}

EXTERN_C WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE Queue)
{
    KIT_ENTRY(WdfIoQueueGetDevice);
    fx::Queue *Q = ToQueue(Queue, Kit.Name());
    return Q == nullptr || Q->OwnerDevice() == nullptr ? nullptr : Q->OwnerDevice()->DeviceHandle();
}

EXTERN_C NTSTATUS WdfIoQueueRetrieveNextRequest(WDFQUEUE Queue, WDFREQUEST *OutRequest)
{
    KIT_ENTRY(WdfIoQueueRetrieveNextRequest);
    if (OutRequest != nullptr) *OutRequest = nullptr;
    fx::Queue *Q = ToQueue(Queue, Kit.Name());
    if (Q == nullptr || OutRequest == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!Q->Manual() && Q->Config.DispatchType != WdfIoQueueDispatchSequential) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (Q->PoweredOff || !Q->Started) {
        return STATUS_WDF_PAUSED;
    }
    if (Q->Pending.empty()) {
        return STATUS_NO_MORE_ENTRIES;
    }
    fx::Request *R = Q->Pending.front();
    Q->Pending.pop_front();
    R->SetState(fx::Request::Where::Driver);
    R->Presented = true;
    R->PresentedBy = Q;
    R->OwningQueue = Q;
    Q->Owned.insert(R);
    race::Acquire(R);
    *OutRequest = R->RequestHandle();
    return STATUS_SUCCESS;
}

EXTERN_C WDF_IO_QUEUE_STATE WdfIoQueueGetState(WDFQUEUE Queue, PULONG QueueRequests, PULONG DriverRequests)
{
    KIT_ENTRY(WdfIoQueueGetState);
    fx::Queue *Q = ToQueue(Queue, Kit.Name());
    if (Q == nullptr) {
        return (WDF_IO_QUEUE_STATE)0;
    }
    int State = 0;
    if (Q->Accepting) State |= WdfIoQueueAcceptRequests;
    if (Q->Started && !Q->Purged) State |= WdfIoQueueDispatchRequests;
    if (Q->Pending.empty()) State |= WdfIoQueueNoRequests;
    if (Q->Owned.empty()) State |= WdfIoQueueDriverNoRequests;
    if (!Q->PowerOk()) State |= WdfIoQueuePnpHeld;
    if (QueueRequests != nullptr) *QueueRequests = (ULONG)Q->Pending.size();
    if (DriverRequests != nullptr) *DriverRequests = (ULONG)Q->Owned.size();
    return (WDF_IO_QUEUE_STATE)State;
}

EXTERN_C VOID WdfIoQueuePurge(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE PurgeComplete, WDFCONTEXT Context)
{
    KIT_ENTRY(WdfIoQueuePurge);
    fx::Queue *Q = ToQueue(Queue, Kit.Name());
    if (Q != nullptr) {
        Q->Purge(PurgeComplete, Context);
    }
}

EXTERN_C VOID WdfIoQueuePurgeSynchronously(WDFQUEUE Queue)
{
    KIT_ENTRY(WdfIoQueuePurgeSynchronously);
    fx::Queue *Q = ToQueue(Queue, Kit.Name());
    if (Q == nullptr || !Kit.IrqlOk()) {
        return;
    }
    Q->Purge(nullptr, nullptr);
    WDFQUEUE H = Queue;
    Clock().RunUntil(
        [H]() {
            auto *Qu = TryLookupAs<fx::Queue>(H);
            if (Qu == nullptr) return true;
            return Qu->Owned.empty() && Qu->Pending.empty();
        },
        "WdfIoQueuePurgeSynchronously: the queue's requests to complete");
}

EXTERN_C VOID WdfIoQueueStart(WDFQUEUE Queue)
{
    KIT_ENTRY(WdfIoQueueStart);
    fx::Queue *Q = ToQueue(Queue, Kit.Name());
    if (Q == nullptr) {
        return;
    }
    Q->Accepting = true;
    Q->Started = true;
    Q->Purged = false;
    Q->NoteRestarted();
    Q->Dispatch();
}

EXTERN_C NTSTATUS WdfIoQueueReadyNotify(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE QueueReady, WDFCONTEXT Context)
{
    KIT_ENTRY(WdfIoQueueReadyNotify);
    fx::Queue *Q = ToQueue(Queue, Kit.Name());
    if (Q == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!Q->Manual()) {
        VerifierReport("ReadyNotifyOnNonManualQueue", "WdfIoQueueReadyNotify is only valid on a manual queue");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (QueueReady != nullptr) {
        if (Q->ReadyNotify != nullptr) {
            VerifierReport("ReadyNotifyTwice", "WdfIoQueueReadyNotify: the queue already has a ready callback");
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        Q->ReadyNotify = QueueReady;
        Q->ReadyNotifyContext = Context;
    } else {
        if (Q->ReadyNotify == nullptr) {
            VerifierReport("ReadyNotifyNotRegistered",
                           "WdfIoQueueReadyNotify(NULL) without a ready callback to cancel");
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        if (Q->Started) {
            VerifierReport("ReadyNotifyClearedWhileDispatching",
                           "WdfIoQueueReadyNotify(NULL) on a queue that is not stopped");
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        Q->ReadyNotify = nullptr;
        Q->ReadyNotifyContext = nullptr;
    }
    /* Requests may be waiting already. */
    Q->Dispatch();
    return STATUS_SUCCESS;
}

EXTERN_C VOID WdfIoQueueStop(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE StopComplete, WDFCONTEXT Context)
{
    KIT_ENTRY(WdfIoQueueStop);
    fx::Queue *Q = ToQueue(Queue, Kit.Name());
    if (Q == nullptr) {
        return;
    }
    Q->Started = false;
    Q->Waiters.push_back(fx::Queue::Waiter{fx::Queue::Waiter::Stop, StopComplete, Context});
    Q->CheckWaiters();
}

EXTERN_C VOID WdfIoQueueStopSynchronously(WDFQUEUE Queue)
{
    KIT_ENTRY(WdfIoQueueStopSynchronously);
    fx::Queue *Q = ToQueue(Queue, Kit.Name());
    if (Q == nullptr || !Kit.IrqlOk()) {
        return;
    }
    Q->Started = false;
    WDFQUEUE H = Queue;
    Clock().RunUntil(
        [H]() {
            auto *Qu = TryLookupAs<fx::Queue>(H);
            return Qu == nullptr || Qu->Owned.empty();
        },
        "WdfIoQueueStopSynchronously: driver-owned requests to complete");
}

EXTERN_C NTSTATUS WdfDeviceConfigureRequestDispatching(WDFDEVICE Device, WDFQUEUE Queue, WDF_REQUEST_TYPE RequestType)
{
    KIT_ENTRY(WdfDeviceConfigureRequestDispatching);
    NTSTATUS Status;
    if (Kit.Injected(&Status)) {
        return Status;
    }
    auto *Dev = As<fx::Device>(Device, ObjectType::Device, Kit.Name());
    fx::Queue *Q = ToQueue(Queue, Kit.Name());
    if (Dev == nullptr || Q == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Q->OwnerDevice() != Dev) {
        VerifierReport("QueueOfOtherDevice", "WdfDeviceConfigureRequestDispatching with a queue of another device");
        return STATUS_INVALID_PARAMETER;
    }
    switch (RequestType) {
    case WdfRequestTypeCreate:
    case WdfRequestTypeRead:
    case WdfRequestTypeWrite:
    case WdfRequestTypeDeviceControl:
    case WdfRequestTypeDeviceControlInternal: break;
    default: return STATUS_INVALID_PARAMETER;
    }
    if (Dev->Routes.count(RequestType) != 0) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    Dev->Routes[RequestType] = Q;
    return STATUS_SUCCESS;
}

EXTERN_C WDFQUEUE WdfDeviceGetDefaultQueue(WDFDEVICE Device)
{
    KIT_ENTRY(WdfDeviceGetDefaultQueue);
    auto *Dev = As<fx::Device>(Device, ObjectType::Device, Kit.Name());
    return Dev == nullptr || Dev->DefaultQueue == nullptr ? nullptr : Dev->DefaultQueue->QueueHandle();
}

EXTERN_C NTSTATUS WdfRequestForwardToIoQueue(WDFREQUEST Request, WDFQUEUE DestinationQueue)
{
    KIT_ENTRY(WdfRequestForwardToIoQueue);
    NTSTATUS Status;
    fx::Request *R = ToRequest(Request, Kit.Name());
    fx::Queue *Q = ToQueue(DestinationQueue, Kit.Name());
    if (R == nullptr || Q == nullptr || !R->CheckUsable(Kit.Name())) {
        return STATUS_INVALID_PARAMETER;
    }
    if (R->From() != fx::Request::Origin::IoManager || R->State() != fx::Request::Where::Driver) {
        VerifierReport("ForwardOfUnownedRequest", "WdfRequestForwardToIoQueue on a request the driver does not own");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (R->CancelRoutine != nullptr || R->CancelRoutineScheduled) {
        VerifierReport("ForwardOfCancelableRequest", "WdfRequestForwardToIoQueue on a request still marked cancelable");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (Q->OwnerDevice() != R->OwnerDevice()) {
        VerifierReport("QueueOfOtherDevice", "WdfRequestForwardToIoQueue to a queue of another device");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (R->PresentedBy == Q) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (Kit.Injected(&Status)) {
        return Status;
    }
    if (!Q->Accepting) {
        return STATUS_WDF_BUSY;
    }
    fx::Queue *From = R->PresentedBy;
    R->StopAcknowledged = false;
    R->StopPending = false;
    if (From != nullptr) {
        From->Owned.erase(R);
        R->PresentedBy = nullptr;
    }
    Q->Accept(R, false);
    if (From != nullptr) {
        if (From->OwnerDevice() != nullptr && From->PowerManaged) {
            From->OwnerDevice()->ActivityChanged();
        }
        From->CheckWaiters();
        From->Dispatch();
    }
    if (R->CancelRequested && R->State() == fx::Request::Where::InQueue) {
        /* Cancelled while the driver held it: it leaves the queue at once. */
        Q->CancelQueued(R);
    }
    return STATUS_SUCCESS;
}

EXTERN_C VOID WdfRequestStopAcknowledge(WDFREQUEST Request, BOOLEAN Requeue)
{
    KIT_ENTRY(WdfRequestStopAcknowledge);
    fx::Request *R = ToRequest(Request, Kit.Name());
    if (R == nullptr || !R->CheckUsable(Kit.Name())) {
        return;
    }
    if (R->State() != fx::Request::Where::Driver || R->PresentedBy == nullptr) {
        VerifierReport("StopAckOfUnownedRequest", "WdfRequestStopAcknowledge on a request the driver does not own");
        return;
    }
    R->StopAcknowledged = true;
    R->StopPending = false;
    fx::Queue *Q = R->PresentedBy;
    if (Requeue) {
        if (R->CancelRoutine != nullptr) {
            VerifierReport("RequeueOfCancelableRequest", "WdfRequestStopAcknowledge(Requeue) on a cancelable request");
            return;
        }
        Q->Owned.erase(R);
        R->PresentedBy = nullptr;
        R->StopAcknowledged = false;
        R->SetState(fx::Request::Where::InQueue);
        if (Q->Pending.empty()) {
            Q->TransitionFromEmpty = true;
        }
        Q->Pending.push_front(R);
        Q->CheckWaiters();
        Q->Dispatch();
    }
}

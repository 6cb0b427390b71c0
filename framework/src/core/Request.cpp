/*
 * Request.cpp - requests: completion, buffers, cancellation, and the
 * kit's request calls.
 */
#include <cstdio>
#include <cstring>

#include "FxHost.h"
#include "core/RaceAnnotations.h"
#include "core/Timeline.h"

namespace fx {

/* ------------------------------------------------------------------ */
/* Request                                                             */
/* ------------------------------------------------------------------ */
Request::Request(Device *Owner, Origin From) : Object(ObjectType::Request, Owner), from_(From)
{
    Params.Size = sizeof(WDF_REQUEST_PARAMETERS);
    WDF_REQUEST_COMPLETION_PARAMS_INIT(&CompletionParams);
}

Request::~Request() = default;

bool Request::CheckUsable(const char *Api) const
{
    if (where_ == Where::Completed) {
        VerifierReport("RequestUsedAfterCompletion", std::string(Api) + " on a request already completed");
        return false;
    }
    return true;
}

void Request::ReleaseUsbFormat()
{
    Memory *M = Usb.Buffer;
    Usb = UsbFormat{};
    if (M != nullptr) {
        M->Dereference();
    }
}

bool Request::DriverMayDelete() const
{
    if (from_ == Origin::IoManager) {
        VerifierReport("DeleteOfFrameworkRequest",
                       "WdfObjectDelete on a request the framework delivered; complete it instead");
        return false;
    }
    if (where_ == Where::Sent) {
        VerifierReport("DeleteOfSentRequest", "WdfObjectDelete on a request still pending at an I/O target");
        return false;
    }
    return true;
}

void Request::OnDelete()
{
    if (where_ == Where::Sent && SentTo != nullptr) {
        /* Deleted with its parent while in flight: forget it at the target. */
        IoTarget *T = SentTo;
        SentTo = nullptr;
        T->Abort(this);
        auto &L = const_cast<IoTarget::SentList &>(T->SentRequests());
        L.remove(this);
        Clock().CancelIfQueued(TimeoutEvent);
    }
    ReleaseUsbFormat();
}

void Request::Complete(NTSTATUS St, ULONG_PTR Info, const char *Api)
{
    if (!CheckUsable(Api)) {
        return;
    }
    if (from_ != Origin::IoManager) {
        VerifierReport("CompleteOfDriverRequest", std::string(Api) + " on a request the driver created");
        return;
    }
    if (where_ == Where::InQueue) {
        VerifierReport("CompleteOfQueuedRequest", std::string(Api) + " on a request still waiting in a queue");
        return;
    }
    if (where_ == Where::Sent) {
        VerifierReport("CompleteOfSentRequest", std::string(Api) + " on a request pending at an I/O target");
        return;
    }
    if (CancelRoutine != nullptr) {
        VerifierReport("CompletedWhileCancelable",
                       std::string(Api) + " on a request still marked cancelable (unmark it first)");
        CancelRoutine = nullptr;
    }
    if (CancelRoutineScheduled) {
        VerifierReport("CompletedWhileCancelling", std::string(Api) +
                                                       " on a request whose cancel routine is about to run "
                                                       "(WdfRequestUnmarkCancelable had failed)");
    }
    if (St == STATUS_PENDING) {
        VerifierReport("CompleteWithPending", std::string(Api) + " with STATUS_PENDING");
    }
    /* The framework's private "queue not accepting" status (a failed
       forward) reaches the caller as the system's busy status. */
    if (St == STATUS_WDF_BUSY) {
        St = STATUS_DEVICE_BUSY;
    }
    Status = St;
    Information = Info;
    /* Buffered I/O copies Information bytes back into the caller's output
       buffer (only when it has one, for a control code): more than the
       buffer holds would overrun it. */
    bool Copies = MajorFunction == IRP_MJ_READ ||
                  ((MajorFunction == IRP_MJ_DEVICE_CONTROL || MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) &&
                   OutputLength != 0);
    if (Copies && Info > OutputLength && NT_SUCCESS(St)) {
        VerifierReport("InformationTooLarge", std::string(Api) + ": Information " + std::to_string(Info) +
                                                  " exceeds the output buffer of " + std::to_string(OutputLength));
    }
    if (MajorFunction == IRP_MJ_WRITE && Info > InputLength && NT_SUCCESS(St)) {
        VerifierReport("InformationTooLarge", std::string(Api) + ": Information exceeds the write length");
    }
    /* The completer's work happens before whoever the completion hands the
       request back to. */
    race::Release(this);
    if (TimelineOn()) {
        char Text[24];
        std::snprintf(Text, sizeof Text, "0x%08lx", static_cast<unsigned long>(St));
        TimelineNote(TimelineKind::RequestComplete, reinterpret_cast<std::uintptr_t>(Handle()), {}, Text);
    }
    where_ = Where::Completed;
    Queue *Q = PresentedBy;
    PresentedBy = nullptr;
    if (OnComplete) {
        auto Hook = std::move(OnComplete);
        OnComplete = nullptr;
        Hook(this);
    }
    if (Q != nullptr) {
        Q->Released(this);
    }
    Delete();
}

bool Request::RequestCancel()
{
    if (where_ == Where::Completed) {
        return false;
    }
    if (CancelRequested) {
        return true;
    }
    CancelRequested = true;
    switch (where_) {
    case Where::InQueue:
        if (OwningQueue != nullptr) {
            OwningQueue->CancelQueued(this);
        }
        break;
    case Where::Driver:
        if (CancelRoutine != nullptr) {
            PFN_WDF_REQUEST_CANCEL Routine = CancelRoutine;
            CancelRoutine = nullptr;
            ScheduleCancelRoutine(Routine);
        }
        break;
    case Where::Sent:
        if (SentTo != nullptr) {
            SentTo->CancelSent(this);
        }
        break;
    default: break;
    }
    return true;
}

void Request::ScheduleCancelRoutine(PFN_WDF_REQUEST_CANCEL Routine)
{
    CancelRoutineScheduled = true;
    WDFREQUEST H = RequestHandle();
    Defer(
        [H, Routine]() {
            auto *R = TryLookupAs<Request>(H);
            if (R == nullptr) {
                return; /* completed (and reported) meanwhile */
            }
            if (R->State() == Where::Completed) {
                return;
            }
            R->CancelRoutineScheduled = false;
            R->CancelRoutineCalled = true;
            bool Serialized = R->PresentedBy == nullptr || R->PresentedBy->Serialized();
            race::Acquire(R); /* after the driver marked it cancelable */
            CallDriver(R->OwnerDevice(), DISPATCH_LEVEL, Serialized, [&]() { Routine(H); });
        },
        "request cancel routine");
}

Request *ToRequest(WDFREQUEST Handle, const char *Api) { return As<Request>(Handle, ObjectType::Request, Api); }

} // namespace fx

/* ------------------------------------------------------------------ */
/* The kit's request and target calls                                  */
/* ------------------------------------------------------------------ */
using namespace fx;

EXTERN_C NTSTATUS WdfRequestCreate(PWDF_OBJECT_ATTRIBUTES RequestAttributes, WDFIOTARGET IoTarget, WDFREQUEST *Request)
{
    KIT_ENTRY(WdfRequestCreate);
    NTSTATUS Status;
    if (Request == nullptr) {
        VerifierReport("NullParameter", "WdfRequestCreate without an output handle");
        return STATUS_INVALID_PARAMETER;
    }
    *Request = nullptr;
    if (Kit.Injected(&Status)) {
        return Status;
    }
    fx::IoTarget *T = nullptr;
    if (IoTarget != nullptr) {
        T = ToIoTarget(IoTarget, Kit.Name());
        if (T == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    Object *DefaultParent = T != nullptr ? static_cast<Object *>(T) : static_cast<Object *>(Host().TheDriver);
    Device *Owner = T != nullptr ? T->OwnerDevice() : CurrentDevice();
    auto *R = new fx::Request(Owner, fx::Request::Origin::Driver);
    R->DefaultTarget = T;
    return CommitNew(R, RequestAttributes, DefaultParent, Kit.Name(), Request);
}

EXTERN_C BOOLEAN WdfRequestSend(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_SEND_OPTIONS Options)
{
    KIT_ENTRY(WdfRequestSend);
    fx::Request *R = ToRequest(Request, Kit.Name());
    if (R == nullptr) {
        return FALSE;
    }
    fx::IoTarget *T = ToIoTarget(Target, Kit.Name());
    if (T == nullptr) {
        R->Status = STATUS_INVALID_PARAMETER;
        return FALSE;
    }
    return T->Send(Kit, R, Options) ? TRUE : FALSE;
}

EXTERN_C NTSTATUS WdfRequestGetStatus(WDFREQUEST Request)
{
    KIT_ENTRY(WdfRequestGetStatus);
    fx::Request *R = ToRequest(Request, Kit.Name());
    return R == nullptr ? STATUS_INVALID_HANDLE : R->Status;
}

EXTERN_C BOOLEAN WdfRequestCancelSentRequest(WDFREQUEST Request)
{
    KIT_ENTRY(WdfRequestCancelSentRequest);
    fx::Request *R = ToRequest(Request, Kit.Name());
    if (R == nullptr || R->State() != fx::Request::Where::Sent || R->SentTo == nullptr) {
        return FALSE;
    }
    return R->SentTo->CancelSent(R) ? TRUE : FALSE;
}

EXTERN_C VOID WdfRequestSetCompletionRoutine(WDFREQUEST Request, PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
                                             WDFCONTEXT CompletionContext)
{
    KIT_ENTRY(WdfRequestSetCompletionRoutine);
    fx::Request *R = ToRequest(Request, Kit.Name());
    if (R == nullptr || !R->CheckUsable(Kit.Name())) {
        return;
    }
    R->CompletionRoutine = CompletionRoutine;
    R->CompletionContext = CompletionContext;
}

EXTERN_C VOID WdfRequestGetCompletionParams(WDFREQUEST Request, PWDF_REQUEST_COMPLETION_PARAMS Params)
{
    KIT_ENTRY(WdfRequestGetCompletionParams);
    fx::Request *R = ToRequest(Request, Kit.Name());
    if (R == nullptr || Params == nullptr) {
        return;
    }
    *Params = R->CompletionParams;
}

EXTERN_C VOID WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status)
{
    KIT_ENTRY(WdfRequestComplete);
    fx::Request *R = ToRequest(Request, Kit.Name());
    if (R != nullptr) {
        R->Complete(Status, R->Information, Kit.Name());
    }
}

EXTERN_C VOID WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information)
{
    KIT_ENTRY(WdfRequestCompleteWithInformation);
    fx::Request *R = ToRequest(Request, Kit.Name());
    if (R != nullptr) {
        R->Complete(Status, Information, Kit.Name());
    }
}

EXTERN_C VOID WdfRequestSetInformation(WDFREQUEST Request, ULONG_PTR Information)
{
    KIT_ENTRY(WdfRequestSetInformation);
    fx::Request *R = ToRequest(Request, Kit.Name());
    if (R != nullptr && R->CheckUsable(Kit.Name())) {
        R->Information = Information;
    }
}

EXTERN_C ULONG_PTR WdfRequestGetInformation(WDFREQUEST Request)
{
    KIT_ENTRY(WdfRequestGetInformation);
    fx::Request *R = ToRequest(Request, Kit.Name());
    return R == nullptr ? 0 : R->Information;
}

EXTERN_C VOID WdfRequestGetParameters(WDFREQUEST Request, PWDF_REQUEST_PARAMETERS Parameters)
{
    KIT_ENTRY(WdfRequestGetParameters);
    fx::Request *R = ToRequest(Request, Kit.Name());
    if (R == nullptr || Parameters == nullptr || !R->CheckUsable(Kit.Name())) {
        return;
    }
    if (Parameters->Size != sizeof(WDF_REQUEST_PARAMETERS)) {
        VerifierReport("BadParameters", "WdfRequestGetParameters with an uninitialised WDF_REQUEST_PARAMETERS");
        return;
    }
    *Parameters = R->Params;
}

namespace {
NTSTATUS RetrieveBuffer(const fx::KitEntry &Kit, WDFREQUEST Request, size_t Minimum, PVOID *Buffer, size_t *Length,
                        bool Input)
{
    const char *Api = Kit.Name();
    if (Buffer != nullptr) *Buffer = nullptr;
    if (Length != nullptr) *Length = 0;
    fx::Request *R = ToRequest(Request, Api);
    if (R == nullptr || !R->CheckUsable(Api)) {
        return STATUS_INVALID_HANDLE;
    }
    if (Buffer == nullptr) {
        VerifierReport("NullParameter", std::string(Api) + " without a Buffer out-parameter");
        return STATUS_INVALID_PARAMETER;
    }
    if (R->From() != fx::Request::Origin::IoManager || R->State() != fx::Request::Where::Driver) {
        VerifierReport("BufferOfUnownedRequest", std::string(Api) + " on a request the driver does not own");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS Injected;
    if (Kit.Injected(&Injected)) {
        return Injected;
    }
    size_t Len = 0;
    switch (R->MajorFunction) {
    case IRP_MJ_READ:
        if (Input) return STATUS_INVALID_DEVICE_REQUEST;
        Len = R->OutputLength;
        break;
    case IRP_MJ_WRITE:
        if (!Input) return STATUS_INVALID_DEVICE_REQUEST;
        Len = R->InputLength;
        break;
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: Len = Input ? R->InputLength : R->OutputLength; break;
    default: return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (Len == 0 || R->SystemBuffer.empty() || Len < Minimum) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    *Buffer = R->SystemBuffer.data();
    if (Length != nullptr) *Length = Len;
    return STATUS_SUCCESS;
}
} // namespace

EXTERN_C NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST Request, size_t MinimumRequiredLength, PVOID *Buffer,
                                                size_t *Length)
{
    KIT_ENTRY(WdfRequestRetrieveInputBuffer);
    return RetrieveBuffer(Kit, Request, MinimumRequiredLength, Buffer, Length, true);
}

EXTERN_C NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, size_t MinimumRequiredSize, PVOID *Buffer,
                                                 size_t *Length)
{
    KIT_ENTRY(WdfRequestRetrieveOutputBuffer);
    return RetrieveBuffer(Kit, Request, MinimumRequiredSize, Buffer, Length, false);
}

EXTERN_C WDFQUEUE WdfRequestGetIoQueue(WDFREQUEST Request)
{
    KIT_ENTRY(WdfRequestGetIoQueue);
    fx::Request *R = ToRequest(Request, Kit.Name());
    if (R == nullptr || R->OwningQueue == nullptr) {
        return nullptr;
    }
    return R->OwningQueue->QueueHandle();
}

EXTERN_C WDFFILEOBJECT WdfRequestGetFileObject(WDFREQUEST Request)
{
    KIT_ENTRY(WdfRequestGetFileObject);
    fx::Request *R = ToRequest(Request, Kit.Name());
    if (R == nullptr || R->File == nullptr) {
        return nullptr;
    }
    return R->File->HandleAs<WDFFILEOBJECT>();
}

namespace {
fx::Request *OwnedRequest(WDFREQUEST Request, const char *Api)
{
    fx::Request *R = ToRequest(Request, Api);
    if (R == nullptr || !R->CheckUsable(Api)) {
        return nullptr;
    }
    if (R->From() != fx::Request::Origin::IoManager || R->State() != fx::Request::Where::Driver) {
        VerifierReport("CancelOfUnownedRequest", std::string(Api) + " on a request the driver does not own");
        return nullptr;
    }
    return R;
}

/* WdfRequestMarkCancelable on a request already cancelled: the framework
   queues the cancellation to its event processing, which calls the routine
   at once when the caller does not hold the request's callback lock (no
   synchronization scope, or called from outside any callback), and as a
   step after the caller's callback returns when it does. */
void RunCancelForCancelledRequest(fx::Request *R, PFN_WDF_REQUEST_CANCEL Routine)
{
    WDFREQUEST H = R->RequestHandle();
    Device *Dev = R->OwnerDevice();
    bool Serialized = R->PresentedBy == nullptr || R->PresentedBy->Serialized();
    R->CancelRoutineCalled = true;
    if (!Serialized) {
        race::Section InDriver(race::Mode::Driver);
        Routine(H);
    } else if (DeviceLockHeld(Dev)) {
        R->ScheduleCancelRoutine(Routine);
    } else {
        CallDriver(Dev, DISPATCH_LEVEL, true, [&]() { Routine(H); });
    }
}
} // namespace

EXTERN_C VOID WdfRequestMarkCancelable(WDFREQUEST Request, PFN_WDF_REQUEST_CANCEL EvtRequestCancel)
{
    KIT_ENTRY(WdfRequestMarkCancelable);
    fx::Request *R = OwnedRequest(Request, Kit.Name());
    if (R == nullptr) {
        return;
    }
    if (EvtRequestCancel == nullptr) {
        VerifierReport("NullParameter", "WdfRequestMarkCancelable without a cancel routine");
        return;
    }
    if (R->CancelRoutine != nullptr || R->CancelRoutineScheduled) {
        VerifierReport("MarkCancelableTwice", "WdfRequestMarkCancelable on a request already marked cancelable");
        return;
    }
    if (R->CancelRequested) {
        RunCancelForCancelledRequest(R, EvtRequestCancel);
        return;
    }
    race::Release(R);
    R->CancelRoutine = EvtRequestCancel;
}

EXTERN_C NTSTATUS WdfRequestMarkCancelableEx(WDFREQUEST Request, PFN_WDF_REQUEST_CANCEL EvtRequestCancel)
{
    KIT_ENTRY(WdfRequestMarkCancelableEx);
    fx::Request *R = OwnedRequest(Request, Kit.Name());
    if (R == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (EvtRequestCancel == nullptr) {
        VerifierReport("NullParameter", "WdfRequestMarkCancelableEx without a cancel routine");
        return STATUS_INVALID_PARAMETER;
    }
    if (R->CancelRoutine != nullptr || R->CancelRoutineScheduled) {
        VerifierReport("MarkCancelableTwice", "WdfRequestMarkCancelableEx on a request already marked cancelable");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (R->CancelRequested) {
        /* Cancelled while the driver held it unmarked: the routine is never
           called, the driver completes the request itself. */
        return STATUS_CANCELLED;
    }
    race::Release(R);
    R->CancelRoutine = EvtRequestCancel;
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS WdfRequestUnmarkCancelable(WDFREQUEST Request)
{
    KIT_ENTRY(WdfRequestUnmarkCancelable);
    fx::Request *R = OwnedRequest(Request, Kit.Name());
    if (R == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (R->CancelRoutineScheduled || (R->CancelRoutine == nullptr && R->CancelRoutineCalled)) {
        return STATUS_CANCELLED;
    }
    if (R->CancelRoutine == nullptr) {
        VerifierReport("UnmarkNotCancelable", "WdfRequestUnmarkCancelable on a request that is not marked cancelable");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    R->CancelRoutine = nullptr;
    return STATUS_SUCCESS;
}

EXTERN_C BOOLEAN WdfRequestIsCanceled(WDFREQUEST Request)
{
    KIT_ENTRY(WdfRequestIsCanceled);
    fx::Request *R = ToRequest(Request, Kit.Name());
    if (R == nullptr || !R->CheckUsable(Kit.Name())) {
        return FALSE;
    }
    return R->CancelRequested ? TRUE : FALSE;
}

/*
 * Sync.cpp - timers, DPCs and work items on the virtual clock; spin locks.
 *
 * A timer fires at the first system clock tick that is later than now and
 * not earlier than its due time, as the kernel's timer expiry does: a due
 * time of 0, or a relative -1, fires at the next tick.
 */
#include "FxHost.h"
#include "core/LockOrder.h"
#include "core/Processors.h"
#include "core/RaceAnnotations.h"

namespace fx {

VirtualTime TimerFireTime(LONGLONG DueTime)
{
    VirtualTime Now = Clock().Now();
    VirtualTime Due = DueTime < 0 ? Now - DueTime : DueTime;
    VirtualTime Tick = Host().Tick > 0 ? Host().Tick : 1;
    VirtualTime Next = (Now / Tick + 1) * Tick; /* first tick after now */
    if (Due <= Next) {
        return Next;
    }
    return ((Due + Tick - 1) / Tick) * Tick;
}

namespace {
/* Whether callbacks of an object parented to Parent run under the
   device-wide lock when AutomaticSerialization is set. */
bool SerializedUnder(Object *Parent)
{
    Object *P = Parent;
    while (P != nullptr) {
        WDF_SYNCHRONIZATION_SCOPE S = P->SyncScope;
        if (S == WdfSynchronizationScopeDevice || S == WdfSynchronizationScopeQueue) {
            return true;
        }
        if (S == WdfSynchronizationScopeNone) {
            return false;
        }
        P = P->Parent();
    }
    return false;
}

WDF_EXECUTION_LEVEL LevelUnder(Object *Parent)
{
    Object *P = Parent;
    while (P != nullptr) {
        if (P->ExecutionLevel == WdfExecutionLevelPassive || P->ExecutionLevel == WdfExecutionLevelDispatch) {
            return P->ExecutionLevel;
        }
        P = P->Parent();
    }
    return WdfExecutionLevelDispatch;
}

/* The parent of a timer, DPC or work item: the attributes' ParentObject,
   which must be a device or a queue (a report and nullptr otherwise). */
Object *DeviceOrQueueParent(PWDF_OBJECT_ATTRIBUTES Attributes, const char *Api)
{
    if (Attributes == nullptr || Attributes->ParentObject == nullptr) {
        VerifierReport("ParentRequired", std::string(Api) + " needs a parent object in its attributes");
        return nullptr;
    }
    Object *Parent = Lookup(Attributes->ParentObject, Api);
    if (Parent == nullptr) {
        return nullptr;
    }
    if (Parent->Type() != ObjectType::Device && Parent->Type() != ObjectType::Queue) {
        VerifierReport("BadParent", std::string(Api) + ": the parent must be a device or a queue");
        return nullptr;
    }
    return Parent;
}

/* The device an object created under a device or a queue belongs to. */
Device *DeviceUnder(Object *Parent)
{
    return Parent->OwnerDevice() != nullptr ? Parent->OwnerDevice() : static_cast<Device *>(Parent);
}

/* The body the deferred-callback creates share: the config record checked
   (its size and its callback), a device or queue parent, serialisation
   taken from the parent's scope where the config asks for it and the
   parent's execution level allows it (NeedPassive: a work item needs a
   passive-level lock, a timer or a DPC a dispatch-level one), then the new
   object committed. */
template <class Obj, class Config, class Callback, class H>
NTSTATUS CreateDeferred(const fx::KitEntry &Kit, Config *Cfg, Callback Config::*Func, const char *Record,
                        bool NeedPassive, PWDF_OBJECT_ATTRIBUTES Attributes, H *Out)
{
    NTSTATUS Status;
    if (Out != nullptr) *Out = nullptr;
    if (Kit.Injected(&Status)) {
        return Status;
    }
    if (Cfg == nullptr || Cfg->Size != sizeof(Config) || Cfg->*Func == nullptr || Out == nullptr) {
        VerifierReport("BadConfig", std::string(Kit.Name()) + " with an uninitialised " + Record + " or no callback");
        return STATUS_INVALID_PARAMETER;
    }
    Object *Parent = DeviceOrQueueParent(Attributes, Kit.Name());
    if (Parent == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    bool Serialized = Cfg->AutomaticSerialization && SerializedUnder(Parent);
    if (Serialized && (LevelUnder(Parent) == WdfExecutionLevelPassive) != NeedPassive) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    auto *New = new Obj(DeviceUnder(Parent), *Cfg);
    New->Serialized = Serialized;
    return CommitNew(New, Attributes, Parent, Kit.Name(), Out);
}
} // namespace

void ClockCallbackObject::QueueRun(VirtualTime At, const char *What)
{
    /* What the driver did before it enqueued a DPC or work item, or started
       a timer, happens before the callback that run brings. */
    race::Release(this);
    WDFOBJECT H = Handle();
    Event = Clock().ScheduleAt(
        At,
        [H]() {
            if (auto *O = TryLookupAs<ClockCallbackObject>(H)) O->Run();
        },
        What);
}

bool ClockCallbackObject::RunCallback(KIRQL Level, const std::function<void()> &Callback)
{
    Event = 0;
    WDFOBJECT H = Handle();
    if (Running && MultiProcessor() != nullptr) {
        /* Its callback runs on another processor: one run at a time. */
        Clock().RunUntil(
            [H]() {
                auto *O = TryLookupAs<ClockCallbackObject>(H);
                return O == nullptr || !O->Running;
            },
            "a callback's previous run to end");
        if (TryLookup(H) == nullptr) {
            return false;
        }
    }
    Running = true;
    Runner = &HeldLocks();
    race::Acquire(this);
    CallDriver(OwnerDevice(), Level, Serialized, Callback);
    if (TryLookup(H) == nullptr) {
        return false;
    }
    /* A caller that waits for the callback (a stop, cancel or flush with
       wait) goes on after its return. */
    race::Release(&Running);
    Running = false;
    Runner = nullptr;
    return true;
}

BOOLEAN ClockCallbackObject::CancelRun(const char *Api, BOOLEAN Wait, const char *What)
{
    std::string Waiting; /* the call's name in reports, made only for a wait */
    if (Wait) {
        Waiting = std::string(Api) + "(Wait=TRUE)";
        if (!RequirePassive(Waiting.c_str())) {
            Wait = FALSE;
        }
    }
    BOOLEAN Removed = Clock().CancelIfQueued(Event) ? TRUE : FALSE;
    if (Wait && Running && (Runner == &HeldLocks() || MultiProcessor() == nullptr)) {
        VerifierReport("Deadlock", Waiting + " from the " + What + "'s own callback");
    } else if (Wait && Running) {
        /* The callback runs on another processor: the wait outlasts it. */
        WDFOBJECT H = Handle();
        Clock().RunUntil(
            [H]() {
                auto *O = TryLookupAs<ClockCallbackObject>(H);
                return O == nullptr || !O->Running;
            },
            Waiting.c_str());
        if (TryLookup(H) != nullptr) race::Acquire(&Running);
    }
    return Removed;
}

void ClockCallbackObject::OnDelete() { Clock().CancelIfQueued(Event); }

void Timer::Run()
{
    WDFTIMER H = HandleAs<WDFTIMER>();
    PFN_WDF_TIMER Cb = Config.EvtTimerFunc;
    if (!RunCallback(DISPATCH_LEVEL, [&]() { Cb(H); })) {
        return;
    }
    if (Config.Period != 0 && Event == 0) {
        QueueRun(TimerFireTime(-(LONGLONG)Config.Period * 10'000), "periodic timer");
    }
}

void Dpc::Run()
{
    WDFDPC H = HandleAs<WDFDPC>();
    PFN_WDF_DPC Cb = Config.EvtDpcFunc;
    RunCallback(DISPATCH_LEVEL, [&]() { Cb(H); });
}

void WorkItem::Run()
{
    WDFWORKITEM H = HandleAs<WDFWORKITEM>();
    PFN_WDF_WORKITEM Cb = Config.EvtWorkItemFunc;
    RunCallback(PASSIVE_LEVEL, [&]() { Cb(H); });
}

} // namespace fx

using namespace fx;

/* ------------------------------------------------------------------ */
/* Timers                                                              */
/* ------------------------------------------------------------------ */
EXTERN_C NTSTATUS WdfTimerCreate(PWDF_TIMER_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes, WDFTIMER *Timer)
{
    KIT_ENTRY(WdfTimerCreate);
    return CreateDeferred<fx::Timer>(Kit, Config, &WDF_TIMER_CONFIG::EvtTimerFunc, "WDF_TIMER_CONFIG", false,
                                     Attributes, Timer);
}

EXTERN_C BOOLEAN WdfTimerStart(WDFTIMER Timer, LONGLONG DueTime)
{
    KIT_ENTRY(WdfTimerStart);
    auto *T = As<fx::Timer>(Timer, ObjectType::Timer, Kit.Name());
    if (T == nullptr) {
        return FALSE;
    }
    BOOLEAN WasQueued = Clock().CancelIfQueued(T->Event) ? TRUE : FALSE;
    T->QueueRun(TimerFireTime(DueTime), "timer expiry");
    return WasQueued;
}

EXTERN_C BOOLEAN WdfTimerStop(WDFTIMER Timer, BOOLEAN Wait)
{
    KIT_ENTRY(WdfTimerStop);
    auto *T = As<fx::Timer>(Timer, ObjectType::Timer, Kit.Name());
    if (T == nullptr) {
        return FALSE;
    }
    return T->CancelRun(Kit.Name(), Wait, "timer");
}

EXTERN_C WDFOBJECT WdfTimerGetParentObject(WDFTIMER Timer)
{
    KIT_ENTRY(WdfTimerGetParentObject);
    auto *T = As<fx::Timer>(Timer, ObjectType::Timer, Kit.Name());
    return T == nullptr || T->Parent() == nullptr ? nullptr : T->Parent()->Handle();
}

/* ------------------------------------------------------------------ */
/* DPCs                                                                */
/* ------------------------------------------------------------------ */
EXTERN_C NTSTATUS WdfDpcCreate(PWDF_DPC_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes, WDFDPC *Dpc)
{
    KIT_ENTRY(WdfDpcCreate);
    return CreateDeferred<fx::Dpc>(Kit, Config, &WDF_DPC_CONFIG::EvtDpcFunc, "WDF_DPC_CONFIG", false, Attributes, Dpc);
}

EXTERN_C BOOLEAN WdfDpcEnqueue(WDFDPC Dpc)
{
    KIT_ENTRY(WdfDpcEnqueue);
    auto *D = As<fx::Dpc>(Dpc, ObjectType::Dpc, Kit.Name());
    if (D == nullptr || D->Event != 0) {
        return FALSE;
    }
    D->QueueRun(Clock().Now(), "DPC");
    return TRUE;
}

EXTERN_C BOOLEAN WdfDpcCancel(WDFDPC Dpc, BOOLEAN Wait)
{
    KIT_ENTRY(WdfDpcCancel);
    auto *D = As<fx::Dpc>(Dpc, ObjectType::Dpc, Kit.Name());
    if (D == nullptr) {
        return FALSE;
    }
    return D->CancelRun(Kit.Name(), Wait, "DPC");
}

EXTERN_C WDFOBJECT WdfDpcGetParentObject(WDFDPC Dpc)
{
    KIT_ENTRY(WdfDpcGetParentObject);
    auto *D = As<fx::Dpc>(Dpc, ObjectType::Dpc, Kit.Name());
    return D == nullptr || D->Parent() == nullptr ? nullptr : D->Parent()->Handle();
}

/* ------------------------------------------------------------------ */
/* Work items                                                          */
/* ------------------------------------------------------------------ */
EXTERN_C NTSTATUS WdfWorkItemCreate(PWDF_WORKITEM_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes,
                                    WDFWORKITEM *WorkItem)
{
    KIT_ENTRY(WdfWorkItemCreate);
    /* Serialized work items need a passive-level synchronization lock. */
    return CreateDeferred<fx::WorkItem>(Kit, Config, &WDF_WORKITEM_CONFIG::EvtWorkItemFunc, "WDF_WORKITEM_CONFIG", true,
                                        Attributes, WorkItem);
}

EXTERN_C VOID WdfWorkItemEnqueue(WDFWORKITEM WorkItem)
{
    KIT_ENTRY(WdfWorkItemEnqueue);
    auto *W = As<fx::WorkItem>(WorkItem, ObjectType::WorkItem, Kit.Name());
    if (W == nullptr || W->Event != 0) {
        return;
    }
    W->QueueRun(Clock().Now(), "work item");
}

EXTERN_C WDFOBJECT WdfWorkItemGetParentObject(WDFWORKITEM WorkItem)
{
    KIT_ENTRY(WdfWorkItemGetParentObject);
    auto *W = As<fx::WorkItem>(WorkItem, ObjectType::WorkItem, Kit.Name());
    return W == nullptr || W->Parent() == nullptr ? nullptr : W->Parent()->Handle();
}

EXTERN_C VOID WdfWorkItemFlush(WDFWORKITEM WorkItem)
{
    KIT_ENTRY(WdfWorkItemFlush);
    auto *W = As<fx::WorkItem>(WorkItem, ObjectType::WorkItem, Kit.Name());
    if (W == nullptr || !Kit.IrqlOk()) {
        return;
    }
    if (W->Running && (W->Runner == &HeldLocks() || MultiProcessor() == nullptr)) {
        VerifierReport("Deadlock", "WdfWorkItemFlush from the work item's own callback");
        return;
    }
    WDFWORKITEM H = WorkItem;
    Clock().RunUntil(
        [H]() {
            auto *O = TryLookupAs<fx::WorkItem>(H);
            return O == nullptr || (O->Event == 0 && !O->Running);
        },
        "WdfWorkItemFlush: the work item to run");
    if (TryLookup(H) != nullptr) race::Acquire(&W->Running);
}

/* ------------------------------------------------------------------ */
/* Spin locks                                                          */
/* ------------------------------------------------------------------ */
EXTERN_C NTSTATUS WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, WDFSPINLOCK *SpinLock)
{
    KIT_ENTRY(WdfSpinLockCreate);
    NTSTATUS Status;
    if (SpinLock != nullptr) *SpinLock = nullptr;
    if (Kit.Injected(&Status)) {
        return Status;
    }
    if (SpinLock == nullptr) {
        VerifierReport("NullParameter", "WdfSpinLockCreate without an output handle");
        return STATUS_INVALID_PARAMETER;
    }
    Object *Parent = nullptr;
    if (SpinLockAttributes != nullptr && SpinLockAttributes->ParentObject != nullptr) {
        Parent = Lookup(SpinLockAttributes->ParentObject, Kit.Name());
        if (Parent == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
    }
    auto *L = new fx::SpinLock(Parent != nullptr ? Parent->OwnerDevice() : CurrentDevice());
    Status = CommitNew(L, SpinLockAttributes, Parent != nullptr ? Parent : Host().TheDriver, Kit.Name(), SpinLock);
    if (NT_SUCCESS(Status)) {
        Locks().Created(KeyOf(L), __builtin_return_address(0));
    }
    return Status;
}

namespace {
/* The reports of a spin lock's misuse, out of line: composing them would
   otherwise weigh on every acquire and release. */
[[gnu::cold, gnu::noinline]] void ReportRecursiveAcquire(const fx::SpinLock *L, const void *Site, const void *Earlier)
{
    VerifierReport("SpinLockRecursive", "WdfSpinLockAcquire at " + DescribeCode(Site) + " of " +
                                            Locks().Name(KeyOf(L)) + ", which this thread already holds (acquired at " +
                                            DescribeCode(Earlier) + "): it would spin for ever");
}
[[gnu::cold, gnu::noinline]] void ReportDeadlock(const fx::SpinLock *L, const void *Site)
{
    VerifierReport("Deadlock", "WdfSpinLockAcquire at " + DescribeCode(Site) + " of " + Locks().Name(KeyOf(L)) +
                                   ", held by an execution context that cannot run until this one returns");
}
[[gnu::cold, gnu::noinline]] void ReportNotHeld(const fx::SpinLock *L)
{
    VerifierReport("SpinLockNotHeld", "WdfSpinLockRelease of a spin lock that is not held (" + L->Describe() + ")");
}
[[gnu::cold, gnu::noinline]] void ReportNotOwner(const fx::SpinLock *L)
{
    VerifierReport("SpinLockNotOwner",
                   "WdfSpinLockRelease of a spin lock acquired by another execution context (" + L->Describe() + ")");
}
[[gnu::cold, gnu::noinline]] void ReportReleaseIrql()
{
    VerifierReport("SpinLockReleaseIrql", "WdfSpinLockRelease at IRQL " + std::to_string(Irql()) +
                                              " (a spin lock is released at DISPATCH_LEVEL)");
}
} // namespace

EXTERN_C VOID WdfSpinLockAcquire(WDFSPINLOCK SpinLock)
{
    KIT_ENTRY(WdfSpinLockAcquire);
    auto *L = As<fx::SpinLock>(SpinLock, ObjectType::SpinLock, Kit.Name());
    if (L == nullptr) {
        return;
    }
    /* The host, once: the stores below could otherwise alias the pointer
       to it, which every accessor would load and check again. */
    HostState &H = Host();
    if (H.Irql > DISPATCH_LEVEL) [[unlikely]] {
        VerifierReport("IrqlTooHigh", "WdfSpinLockAcquire above DISPATCH_LEVEL");
        return;
    }
    const void *Site = __builtin_return_address(0);
    LockStack &Mine = HeldLocks(H);
    if (const LockStack::Held *Again = Mine.Find(KeyOf(L))) [[unlikely]] {
        ReportRecursiveAcquire(L, Site, Again->Site);
        return;
    }
    if (L->Held && !SpinWhileHeld(KeyOf(L), Site, [L]() { return L->Held; })) {
        ReportDeadlock(L, Site);
        return;
    }
    race::Acquire(L);
    Locks(H).Acquired(Mine, KeyOf(L), Site);
    L->Held = true;
    L->OwnerContext = H.CurrentContext;
    L->SavedIrql = H.Irql;
    H.Irql = DISPATCH_LEVEL;
    H.LocksHeld++;
}

EXTERN_C VOID WdfSpinLockRelease(WDFSPINLOCK SpinLock)
{
    KIT_ENTRY(WdfSpinLockRelease);
    auto *L = As<fx::SpinLock>(SpinLock, ObjectType::SpinLock, Kit.Name());
    if (L == nullptr) {
        return;
    }
    HostState &H = Host();
    if (!L->Held) [[unlikely]] {
        ReportNotHeld(L);
        return;
    }
    if (L->OwnerContext != H.CurrentContext) [[unlikely]] {
        ReportNotOwner(L);
    }
    if (H.Irql != DISPATCH_LEVEL) [[unlikely]] {
        ReportReleaseIrql();
    }
    L->Held = false;
    Locks(H).Released(HeldLocks(H), KeyOf(L));
    H.Irql = L->SavedIrql;
    H.LocksHeld--;
    race::Release(L);
}

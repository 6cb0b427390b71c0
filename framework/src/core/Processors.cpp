/*
 * Processors.cpp - tasks on fibers and the seeded schedule (Processors.h).
 *
 * Every switch goes through the world's own stack: a task that yields
 * returns there, and the loop in Drive() chooses the next. The execution
 * context (IRQL, current device, locks, callback depth) is saved and
 * restored at every switch, so each task has its own.
 */
#include "core/Processors.h"

#include <ucontext.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <set>
#include <vector>

#include "FxHost.h"
#include "core/RaceAnnotations.h"
#include "core/SanitizerFibers.h"
#include "core/Timeline.h"

namespace fx {

namespace {
#ifdef FX_ASAN_FIBERS
constexpr std::size_t kStackSize = 1024 * 1024;
#else
constexpr std::size_t kStackSize = 256 * 1024;
#endif
/* The priority schedule draws its change points afresh for each burst of
   tasks (from the moment one starts with none alive to the moment none is
   left), among as many preemption points as twice the longest burst so
   far, and at least this many. */
constexpr std::uint64_t kMinChangeWindow = 8;
} // namespace

bool ParseScheduleKind(const std::string &Name, ScheduleKind *Kind)
{
    if (Name == "random") {
        *Kind = ScheduleKind::RandomWalk;
    } else if (Name == "priority") {
        *Kind = ScheduleKind::Priority;
    } else {
        return false;
    }
    return true;
}

const char *ScheduleName(ScheduleKind Kind) { return Kind == ScheduleKind::Priority ? "priority" : "random"; }

struct Processors::Task {
    enum class State { Ready, Spinning, Blocked, Done, Dead };
    State St = State::Ready;
    bool Started = false;
    std::function<void()> Fn;
    ucontext_t Context{};
    unsigned char *Stack = nullptr; /* kStackSize bytes, from the processors' pool */
    ExecutionContext Saved{};
    LockStack Own;
    LockStack *Locks = &Own;
    LockKey SpinOn{};
    const void *SpinSite = nullptr;
    std::function<bool()> Until;
    std::int64_t Priority = 0;
    std::uint64_t Serial = 0;
    /* The race detector's fiber (tsan preset), and whether the caller that
       started the task waits for its end (RunTask). */
    void *Fiber = nullptr;
    bool Joined = false;
    race::Mode RaceMode = race::Mode::Fresh;
#ifdef FX_ASAN_FIBERS
    void *FakeStack = nullptr;
#endif
};

struct Processors::Impl {
    std::function<bool(std::function<void()> *)> TakeDue;
    std::function<bool()> Advance;
    std::mt19937_64 Rng;
    std::vector<Task *> Tasks; /* in order of start: the schedule's candidates */
    std::set<std::uint64_t> ChangePoints;
    std::uint64_t BurstStart = 0;
    std::uint64_t LongestBurst = 0;
    std::int64_t Lowest = 0;
    std::uint64_t Serial = 0;
    ucontext_t World{};
    /* Stacks of ended tasks, reused: a task is started for every event. */
    std::vector<unsigned char *> FreeStacks;
    /* The race detector's fiber of the world's stack, and the one every
       event's fiber is created from: it never acquires anything, so an
       event's task starts ordered after nothing the world or another task
       did; only the kit's own orderings (RaceAnnotations.h) order it. */
    void *WorldFiber = nullptr;
    void *Origin = nullptr;
    race::Mode WorldMode = race::Mode::Fresh; /* the world's, before the processors */

    unsigned char *TakeStack()
    {
        /* Under the race detector a stack is never reused: a fresh block
           starts with no record of the accesses a task that ended made in
           it (the driver's locals), which no ordering connects to the next. */
        if (FreeStacks.empty() || race::kEnabled) return new unsigned char[kStackSize];
        unsigned char *S = FreeStacks.back();
        FreeStacks.pop_back();
        return S;
    }
    void Reclaim(Task *T)
    {
        if (T->Stack != nullptr && race::kEnabled) {
            delete[] T->Stack;
        } else if (T->Stack != nullptr) {
            FreeStacks.push_back(T->Stack);
        }
        if (T->Fiber != nullptr) race::DestroyFiber(T->Fiber);
        delete T;
    }
#ifdef FX_ASAN_FIBERS
    const void *WorldBottom = nullptr;
    std::size_t WorldSize = 0;
    void *WorldFake = nullptr;
#endif

    int Busy() const
    {
        int N = 0;
        for (const Task *T : Tasks) {
            if (T->St == Task::State::Ready || T->St == Task::State::Spinning) ++N;
        }
        return N;
    }
};

namespace {
/* Abandoned tasks (deadlocked, or blocked when the world ended) stay
   allocated: their fibers never resume, and what their stacks refer to
   stays reachable. */
std::vector<Processors::Task *> &Abandoned()
{
    static auto *List = new std::vector<Processors::Task *>(); // NOLINT(bugprone-unhandled-exception-at-new)
    return *List;
}

Processors *g_Running = nullptr; /* the Processors whose task is on the fiber now */
/* The process's own thread runs host code from its start: the race
   detector ignores it except inside driver callbacks (RaceAnnotations.h). */
struct HostFromStart {
    HostFromStart() { race::SetMode(race::Mode::Host); }
    ~HostFromStart() { race::SetMode(race::Mode::Fresh); } /* a thread ends with no ignore left */
    HostFromStart(const HostFromStart &) = delete;
    HostFromStart &operator=(const HostFromStart &) = delete;
} g_HostFromStart;

void TaskEntry(unsigned Hi, unsigned Lo);

/* The context an event's task starts in: the world's, outside any callback. */
ExecutionContext FreshContext()
{
    ExecutionContext From = SaveContext();
    From.Irql = PASSIVE_LEVEL;
    From.Current = nullptr;
    From.LocksHeld = 0;
    From.CallDepth = 0;
    return From;
}
} // namespace

Processors::Processors(const ProcessorOptions &Options, std::function<bool(std::function<void()> *)> TakeDue,
                       std::function<bool()> Advance)
    : options_(Options), impl_(new Impl)
{
    impl_->TakeDue = std::move(TakeDue);
    impl_->Advance = std::move(Advance);
    impl_->Rng.seed(Options.Seed);
    if (race::kEnabled) {
        impl_->WorldFiber = race::CurrentFiber();
        impl_->WorldMode = race::CurrentMode();
        race::SetMode(race::Mode::Host);
        impl_->Origin = race::CreateFiber("origin of events");
    }
}

Processors::~Processors()
{
    for (Task *T : impl_->Tasks) {
        if (T->St == Task::State::Done) {
            impl_->Reclaim(T);
        } else {
            Abandoned().push_back(T);
        }
    }
    for (unsigned char *S : impl_->FreeStacks) delete[] S;
    if (impl_->Origin != nullptr) {
        race::DestroyFiber(impl_->Origin);
        race::SetMode(impl_->WorldMode);
    }
}

namespace {
void TaskEntry(unsigned Hi, unsigned Lo)
{
    auto *T = reinterpret_cast<Processors::Task *>((static_cast<std::uintptr_t>(Hi) << 32) | Lo);
#ifdef FX_ASAN_FIBERS
    Processors *P = g_Running;
    const void *Bottom = nullptr;
    std::size_t Size = 0;
    __sanitizer_finish_switch_fiber(nullptr, &Bottom, &Size);
    P->NoteWorldStack(Bottom, Size);
#endif
    race::SetMode(race::Mode::Host);
    T->Fn();
    race::Release(T);                 /* the end of a callback its caller waits for (RunTask) */
    race::SetMode(race::Mode::Fresh); /* a fiber ends with no ignore left */
    T->Fn = nullptr;
    T->St = Processors::Task::State::Done;
    g_Running->Finish();
}
} // namespace

void Processors::NoteWorldStack(const void *Bottom, std::size_t Size)
{
#ifdef FX_ASAN_FIBERS
    impl_->WorldBottom = Bottom;
    impl_->WorldSize = Size;
#else
    (void)Bottom;
    (void)Size;
#endif
}

void Processors::Finish()
{
    /* Back to the world's stack for good: the fiber ends here. */
    Task *T = current_;
    T->Saved = SaveContext();
    race::SwitchToFiber(impl_->WorldFiber);
#ifdef FX_ASAN_FIBERS
    __sanitizer_start_switch_fiber(nullptr, impl_->WorldBottom, impl_->WorldSize);
#endif
    setcontext(&impl_->World);
    std::abort(); /* setcontext returns only when it failed */
}

void Processors::Yield()
{
    Task *T = current_;
    T->Saved = SaveContext();
    race::SwitchToFiber(impl_->WorldFiber);
#ifdef FX_ASAN_FIBERS
    __sanitizer_start_switch_fiber(&T->FakeStack, impl_->WorldBottom, impl_->WorldSize);
#endif
    swapcontext(&T->Context, &impl_->World);
#ifdef FX_ASAN_FIBERS
    __sanitizer_finish_switch_fiber(T->FakeStack, nullptr, nullptr);
#endif
}

void Processors::SwitchTo(Task *T)
{
    ExecutionContext Mine = SaveContext();
    RestoreContext(T->Saved);
    Processors *Outer = g_Running;
    g_Running = this;
    current_ = T;
    /* The mode travels with the fiber, as the detector's ignore count does. */
    race::Mode MyMode = race::CurrentMode();
    race::CurrentMode() = T->RaceMode;
    if (!T->Started) {
        T->Started = true;
        T->Stack = impl_->TakeStack();
        getcontext(&T->Context);
        T->Context.uc_stack.ss_sp = T->Stack;
        T->Context.uc_stack.ss_size = kStackSize;
        T->Context.uc_link = nullptr;
        auto Bits = reinterpret_cast<std::uintptr_t>(T);
        makecontext(&T->Context, reinterpret_cast<void (*)()>(&TaskEntry), 2, static_cast<unsigned>(Bits >> 32),
                    static_cast<unsigned>(Bits & 0xffffffffU));
    }
    race::SwitchToFiber(T->Fiber);
    TimelineTaskIn(T->Serial);
#ifdef FX_ASAN_FIBERS
    __sanitizer_start_switch_fiber(&impl_->WorldFake, T->Stack, kStackSize);
#endif
    swapcontext(&impl_->World, &T->Context);
#ifdef FX_ASAN_FIBERS
    __sanitizer_finish_switch_fiber(impl_->WorldFake, nullptr, nullptr);
#endif
    T->RaceMode = race::CurrentMode();
    race::CurrentMode() = MyMode;
    TimelineTaskOut(T->Serial, T->St != Task::State::Ready && T->St != Task::State::Spinning);
    current_ = nullptr;
    g_Running = Outer;
    RestoreContext(Mine);
}

Processors::Task *Processors::NewTask(std::function<void()> Fn, const ExecutionContext &From, LockStack *Locks,
                                      bool FromCaller, bool Joined)
{
    bool Alive = false;
    for (const Task *X : impl_->Tasks) {
        Alive = Alive || (X->St != Task::State::Done && X->St != Task::State::Dead);
    }
    if (!Alive && options_.Kind == ScheduleKind::Priority) {
        /* A new burst: its change points. */
        impl_->LongestBurst = std::max(impl_->LongestBurst, steps_ - impl_->BurstStart);
        impl_->BurstStart = steps_;
        std::uint64_t Window = std::max(kMinChangeWindow, 2 * impl_->LongestBurst);
        impl_->ChangePoints.clear();
        for (int I = 0; I < options_.ChangePoints; ++I) {
            impl_->ChangePoints.insert(steps_ + 1 + impl_->Rng() % Window);
        }
    }
    auto *T = new Task;
    T->Fn = std::move(Fn);
    T->Serial = ++impl_->Serial;
    T->Saved = From;
    if (Locks != nullptr) T->Locks = Locks;
    T->Saved.HeldLocks = T->Locks;
    T->Locks->Task = T;
    T->Joined = Joined;
    if (race::kEnabled) {
        /* A callback the world makes starts after what the world did (the
           fiber is created from the caller's); an event's starts from the
           origin, after nothing. */
        void *Caller = race::CurrentFiber();
        if (!FromCaller) race::SwitchToFiber(impl_->Origin);
        T->Fiber = race::CreateFiber(FromCaller ? "callback" : "event");
        if (!FromCaller) race::SwitchToFiber(Caller);
    }
    /* Distinct priorities above every lowered one. */
    T->Priority = static_cast<std::int64_t>(impl_->Rng() >> 2) + options_.ChangePoints + 1;
    impl_->Tasks.push_back(T);
    return T;
}

void Processors::Start(std::function<void()> Fn)
{
    NewTask(std::move(Fn), FreshContext(), nullptr);
    Drive();
}

bool Processors::Runnable(const Task *T) const
{
    switch (T->St) {
    case Task::State::Ready: return true;
    case Task::State::Spinning: return Locks().Holder(T->SpinOn) == nullptr;
    case Task::State::Blocked: return impl_->Busy() < options_.Count && T->Until();
    default: return false;
    }
}

Processors::Task *Processors::Choose(const std::vector<Task *> &Candidates)
{
    if (options_.Kind == ScheduleKind::RandomWalk) {
        return Candidates[impl_->Rng() % Candidates.size()];
    }
    Task *Best = Candidates[0];
    for (Task *T : Candidates) {
        if (T->Priority > Best->Priority) Best = T;
    }
    return Best;
}

bool Processors::Drive()
{
    if (InTask()) return false; /* only the world's stack runs the schedule */
    bool Ran = false;
    std::vector<Task *> Candidates;
    for (;;) {
        while (impl_->Busy() < options_.Count) {
            std::function<void()> Fn;
            if (!impl_->TakeDue(&Fn)) break;
            NewTask(std::move(Fn), FreshContext(), nullptr);
        }
        Candidates.clear();
        for (Task *T : impl_->Tasks) {
            if (Runnable(T)) Candidates.push_back(T);
        }
        if (Candidates.empty()) break;
        Task *T = Choose(Candidates);
        if (T->St == Task::State::Blocked) T->Until = nullptr;
        T->St = Task::State::Ready;
        SwitchTo(T);
        Ran = true;
        if (T->St == Task::State::Done && (T->Locks != &T->Own || T->Own.Locks.empty())) {
            impl_->Tasks.erase(std::find(impl_->Tasks.begin(), impl_->Tasks.end(), T));
            if (T->Locks->Task == T) T->Locks->Task = nullptr;
            if (T->Joined) race::Acquire(T); /* its caller goes on after its end */
            impl_->Reclaim(T);
        }
    }
    return Ran;
}

void Processors::RunTask(std::function<void()> Fn, bool UntilBlocked)
{
    /* The caller's own thread: its context and its locks. */
    Task *T = NewTask(std::move(Fn), SaveContext(), &HeldLocks(), true, !UntilBlocked);
    std::uint64_t Serial = T->Serial;
    auto Find = [&]() -> Task * {
        for (Task *X : impl_->Tasks) {
            if (X->Serial == Serial) return X;
        }
        return nullptr;
    };
    for (;;) {
        Task *Mine = Find();
        if (Mine == nullptr || Mine->St == Task::State::Done || Mine->St == Task::State::Dead) break;
        if (UntilBlocked && Mine->St == Task::State::Blocked && Mine->Started) break;
        if (Drive()) continue;
        if (UntilBlocked || !impl_->Advance()) {
            if (!UntilBlocked) {
                VerifierReport("Hang", "the world went idle while a driver callback waits");
                Retire(Find());
            }
            break;
        }
    }
}

void Processors::Retire(Task *T)
{
    if (T == nullptr) return;
    /* The caller returns and its frame, which the task's callable and its
       wait refer to, goes away: the task never resumes, and drops what it
       holds of the caller (its callable, its wait, the caller's locks). */
    T->St = Task::State::Dead;
    T->Until = nullptr;
    T->Fn = nullptr;
    if (T->Locks != &T->Own) {
        if (T->Locks->Task == T) T->Locks->Task = nullptr;
        T->Locks = &T->Own;
    }
}

void Processors::Preempt()
{
    if (current_ == nullptr) return;
    ++steps_;
    if (options_.Kind == ScheduleKind::Priority && impl_->ChangePoints.count(steps_) != 0) {
        current_->Priority = --impl_->Lowest;
    }
    current_->St = Task::State::Ready;
    Yield();
}

void Processors::Block(std::function<bool()> Until)
{
    Task *T = current_;
    T->Until = std::move(Until);
    T->St = Task::State::Blocked;
    Yield();
}

void Processors::Spin(LockKey Key, const void *Site)
{
    Task *T = current_;
    T->SpinOn = Key;
    T->SpinSite = Site;
    T->St = Task::State::Spinning;
    /* A cycle of tasks each spinning on a lock the next holds never ends. */
    std::vector<Task *> Chain{T};
    std::string Cycle;
    LockKey Want = Key;
    for (;;) {
        LockStack *Holder = Locks().Holder(Want);
        auto *H = Holder != nullptr ? static_cast<Task *>(Holder->Task) : nullptr;
        const LockStack::Held *Entry = Holder != nullptr ? Holder->Find(Want) : nullptr;
        if (!Cycle.empty()) Cycle += "; ";
        Cycle += Locks().Name(Want) + " held by the callback that acquired it at " +
                 DescribeCode(Entry != nullptr ? Entry->Site : nullptr);
        if (H == nullptr || H->St != Task::State::Spinning) break;
        Cycle += ", which spins at " + DescribeCode(H->SpinSite) + " for";
        if (H == T) {
            VerifierReport("Deadlock", "callbacks on two or more processors spin on each other's locks for ever: " +
                                           Cycle.substr(0, Cycle.size() - 4));
            for (Task *X : Chain) X->St = Task::State::Dead;
            Yield(); /* never resumed */
            return;
        }
        if (std::find(Chain.begin(), Chain.end(), H) != Chain.end()) break; /* a cycle not through T */
        Chain.push_back(H);
        Want = H->SpinOn;
    }
    Yield();
}

bool RunOnProcessor(const std::function<void()> &Fn)
{
    Processors *P = MultiProcessor();
    if (P == nullptr || P->InTask()) return false;
    P->RunTask(Fn, false);
    return true;
}

bool SpinWhileHeld(LockKey Key, const void *Site, const std::function<bool()> &Held)
{
    Processors *P = MultiProcessor();
    if (P == nullptr || !P->InTask()) return false;
    while (Held()) {
        P->Spin(Key, Site);
    }
    return true;
}

} // namespace fx

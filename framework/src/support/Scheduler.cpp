/*
 * Scheduler.cpp - the virtual clock and the world's one ordered event queue.
 */
#include "Scheduler.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <ucontext.h>

#include "FxCore.h"
#include "core/LockOrder.h"
#include "core/Processors.h"
#include "core/RaceAnnotations.h"
#include "core/SanitizerFibers.h"

namespace fx {

namespace {

/* The queued events, earliest first and, for one due time, in the order
   they were scheduled: a binary heap of (due time, sequence) over slots
   that hold the callables. An event's id names its slot and the slot's
   generation, which moves on each time the slot is let go, so the id of an
   event that ran or was cancelled never names a later one (a slot whose
   generation is spent is retired). A cancelled event's callable goes at
   once; its heap entry stays behind, is passed over when it comes to the
   top, and is swept out when such entries outnumber the queued events. */
class EventQueue {
public:
    EventId Push(VirtualTime At, std::function<void()> Fn, const char *What)
    {
        std::uint32_t Index;
        if (free_ != kNoSlot) {
            Index = free_;
            free_ = slots_[Index].NextFree;
        } else {
            Index = static_cast<std::uint32_t>(slots_.size());
            slots_.emplace_back();
        }
        Slot &S = slots_[Index];
        S.Fn = std::move(Fn);
        S.What = What;
        S.Seq = nextSeq_++;
        heap_.push_back(Item{At, S.Seq, Index});
        std::push_heap(heap_.begin(), heap_.end(), Later{});
        ++live_;
        return (static_cast<EventId>(S.Generation) << 32) | Index;
    }

    /* TRUE when the event Id names was still queued and is now removed. */
    bool Cancel(EventId Id)
    {
        const auto Index = static_cast<std::uint32_t>(Id & 0xFFFFFFFFU);
        const auto Generation = static_cast<std::uint32_t>(Id >> 32);
        if (Index >= slots_.size() || slots_[Index].Generation != Generation || slots_[Index].Seq == 0) {
            return false;
        }
        /* Destroyed after the queue is whole again: what it holds may
           schedule or cancel from its destructor. */
        std::function<void()> Gone = Release(Index);
        if (heap_.size() > 2 * live_ + 64) {
            Sweep();
        }
        return true;
    }

    bool Empty() const { return live_ == 0; }
    std::size_t Size() const { return live_; }
    /* The earliest queued event's due time and description. Not Empty(). */
    VirtualTime TopDue()
    {
        PassOverCancelled();
        return heap_.front().At;
    }
    const char *TopWhat()
    {
        PassOverCancelled();
        return slots_[heap_.front().Slot].What;
    }
    /* Takes the earliest queued event off the queue. Not Empty(). */
    std::function<void()> Pop()
    {
        PassOverCancelled();
        const std::uint32_t Index = heap_.front().Slot;
        std::pop_heap(heap_.begin(), heap_.end(), Later{});
        heap_.pop_back();
        return Release(Index);
    }

private:
    static constexpr std::uint32_t kNoSlot = 0xFFFFFFFFU;
    struct Item {
        VirtualTime At;
        std::uint64_t Seq;
        std::uint32_t Slot;
    };
    /* The heap's order: the item that runs later sinks. */
    struct Later {
        bool operator()(const Item &A, const Item &B) const { return A.At != B.At ? A.At > B.At : A.Seq > B.Seq; }
    };
    struct Slot {
        std::function<void()> Fn;
        const char *What = "";
        std::uint64_t Seq = 0; /* the queued event's sequence; 0 while free */
        std::uint32_t Generation = 1;
        std::uint32_t NextFree = kNoSlot;
    };

    bool Stale(const Item &I) const { return slots_[I.Slot].Seq != I.Seq; }
    void PassOverCancelled()
    {
        while (Stale(heap_.front())) {
            std::pop_heap(heap_.begin(), heap_.end(), Later{});
            heap_.pop_back();
        }
    }
    void Sweep()
    {
        heap_.erase(std::remove_if(heap_.begin(), heap_.end(), [this](const Item &I) { return Stale(I); }),
                    heap_.end());
        std::make_heap(heap_.begin(), heap_.end(), Later{});
    }
    /* Lets slot Index go, returning the callable it held. */
    std::function<void()> Release(std::uint32_t Index)
    {
        Slot &S = slots_[Index];
        std::function<void()> Fn = std::move(S.Fn);
        S.Fn = nullptr;
        S.Seq = 0;
        --live_;
        if (++S.Generation != 0) {
            S.NextFree = free_;
            free_ = Index;
        }
        return Fn;
    }

    std::vector<Item> heap_;
    std::vector<Slot> slots_;
    std::uint32_t free_ = kNoSlot;
    std::uint64_t nextSeq_ = 1;
    std::size_t live_ = 0;
};

} // namespace

struct Scheduler::Impl {
    VirtualTime Now = 0;
    EventQueue Events;
    /* Several simulated processors, when set (nullptr: one). */
    std::unique_ptr<Processors> Cpus;

    /* The earliest event when it is due now, taken off the queue. */
    bool TakeDue(std::function<void()> *Fn)
    {
        if (Events.Empty() || Events.TopDue() > Now) {
            return false;
        }
        *Fn = Events.Pop();
        return true;
    }

    /* A blocking call on a fiber of its own: a stack and a saved context,
       on the thread that runs the world. The call runs only while its
       resumer (the world, or a call that made it) waits, and hands control
       back when it blocks or ends, so exactly one of them runs at a time
       and a hand-over is a switch of stacks: no thread to wake, no system
       call beyond the signal mask the switch saves. A call whose body
       ended keeps its fiber, parked, for the next call (a new stack costs
       more than a switch). The execution context (IRQL, device, locks) is
       saved and restored at every switch, so each call has its own; so is
       the race detector's mode, which travels with the fiber as the
       detector's ignore count does. Each hand-over orders what one side
       did before what the other does next (RaceAnnotations.h). */
    struct Call {
        ucontext_t Own{};           /* where the call goes on */
        ucontext_t *Back = nullptr; /* where its current resumer waits */
        unsigned char *Stack = nullptr;
        bool Started = false;
        bool Done = false;
        std::function<void()> Body;    /* the call; empty once it ended */
        std::function<bool()> Waiting; /* set while blocked */
        fx::ExecutionContext Context{};
        fx::LockStack Locks;       /* the locks this caller holds */
        void *Fiber = nullptr;     /* the race detector's, for the call */
        void *BackFiber = nullptr; /* the race detector's, for the resumer */
        race::Mode RaceMode = race::Mode::Fresh;
        void *FakeStack = nullptr;        /* the address sanitizer's, for the call's stack */
        const void *BackBottom = nullptr; /* the resumer's stack */
        std::size_t BackSize = 0;

        Call()
        {
            if (race::kEnabled) {
                Fiber = race::CreateFiber("blocking call");
            }
        }
        ~Call()
        {
            delete[] Stack;
            if (Fiber != nullptr) {
                race::DestroyFiber(Fiber);
            }
        }
        Call(const Call &) = delete;
        Call &operator=(const Call &) = delete;

        /* The call's side: back to the resumer until it resumes the call. */
        void Leave()
        {
            race::HandToFiber(BackFiber);
            fiber::StartSwitch(&FakeStack, BackBottom, BackSize);
            swapcontext(&Own, Back);
            fiber::FinishSwitch(FakeStack, &BackBottom, &BackSize);
        }
        /* The fiber: each call handed to it, for as long as it is kept. */
        static void Serve(unsigned Hi, unsigned Lo)
        {
            auto *C = reinterpret_cast<Call *>((static_cast<std::uintptr_t>(Hi) << 32) | Lo);
            fiber::FinishSwitch(nullptr, &C->BackBottom, &C->BackSize);
            for (;;) {
                fx::RestoreContext(C->Context);
                {
                    race::Section Host(race::Mode::Host); /* the blocking caller is host code */
                    C->Body();
                    C->Body = nullptr; /* what it held goes before the world runs on */
                }
                C->Done = true;
                C->Leave();
            }
        }
    };
    static constexpr std::size_t kCallStack = 256 * 1024;
    std::vector<std::shared_ptr<Call>> Calls;

    /* Fibers whose call ended, for the next blocking call of any world in
       this process: a world is one of many in a fuzzing or test process,
       and most make a blocking call or two. A fiber carries nothing of the
       world it served (each call brings its own context). Only one world
       runs at a time; the lock keeps the pool sound regardless. Never
       freed: it lives as long as the process. */
    struct ParkedCalls {
        std::mutex M;
        std::vector<std::shared_ptr<Call>> Idle;
    };
    static ParkedCalls &Parked()
    {
        static auto *P = new ParkedCalls(); // NOLINT(bugprone-unhandled-exception-at-new)
        return *P;
    }
    /* A parked fiber for the next call, or nullptr. */
    static std::shared_ptr<Call> Unpark()
    {
        ParkedCalls &P = Parked();
        std::lock_guard<std::mutex> L(P.M);
        if (P.Idle.empty()) {
            return nullptr;
        }
        std::shared_ptr<Call> C = std::move(P.Idle.back());
        P.Idle.pop_back();
        return C;
    }
    /* The blocking call running on this thread, if it is one. */
    static thread_local Call *CurrentCall;

    /* Switches to C and waits until C blocks again or ends. The world, or
       the call that made C. */
    static void Resume(const std::shared_ptr<Call> &C)
    {
        fx::ExecutionContext Mine = fx::SaveContext();
        Call *Outer = CurrentCall;
        CurrentCall = C.get();
        const race::Mode MyMode = race::CurrentMode();
        race::CurrentMode() = C->RaceMode;
        /* Zeroed: the address sanitizer's switch reads the stack named in
           the context it switches to, and the world's names none. */
        ucontext_t Here{};
        C->Back = &Here;
        C->BackFiber = race::CurrentFiber();
        if (!C->Started) {
            C->Started = true;
            C->Stack = new unsigned char[kCallStack];
            getcontext(&C->Own);
            C->Own.uc_stack.ss_sp = C->Stack;
            C->Own.uc_stack.ss_size = kCallStack;
            C->Own.uc_link = nullptr;
            auto Bits = reinterpret_cast<std::uintptr_t>(C.get());
            makecontext(&C->Own, reinterpret_cast<void (*)()>(&Call::Serve), 2, static_cast<unsigned>(Bits >> 32),
                        static_cast<unsigned>(Bits & 0xffffffffU));
        }
        race::HandToFiber(C->Fiber);
        void *Fake = nullptr;
        fiber::StartSwitch(&Fake, C->Stack, kCallStack);
        swapcontext(&Here, &C->Own);
        fiber::FinishSwitch(Fake, nullptr, nullptr);
        C->RaceMode = race::CurrentMode();
        race::CurrentMode() = MyMode;
        CurrentCall = Outer;
        fx::RestoreContext(Mine);
    }

    /* Resumes every blocked call whose condition holds. TRUE when one ran. */
    bool ResumeReady()
    {
        if (Cpus) {
            return Cpus->Drive(); /* tasks whose wait is over */
        }
        bool Ran = false;
        if (Impl::CurrentCall != nullptr) {
            return false; /* only the world resumes a blocked call */
        }
        for (bool Again = true; Again;) {
            Again = false;
            for (std::size_t I = 0; I < Calls.size(); ++I) {
                std::shared_ptr<Call> C = Calls[I];
                if (C->Done || !C->Waiting || !C->Waiting()) {
                    continue;
                }
                Resume(C);
                Ran = Again = true;
            }
            for (std::size_t I = 0; I < Calls.size();) {
                if (Calls[I]->Done) {
                    Park(Calls[I]);
                    Calls.erase(Calls.begin() + static_cast<std::ptrdiff_t>(I));
                } else {
                    ++I;
                }
            }
        }
        return Ran;
    }

    /* Keeps the fiber of call C, which ended, for a later call; a call
       that ended holding a lock is not reused (its lock stack is named by
       the locks it holds). */
    static void Park(const std::shared_ptr<Call> &C)
    {
        if (!C->Locks.Locks.empty()) {
            return;
        }
        ParkedCalls &P = Parked();
        std::lock_guard<std::mutex> L(P.M);
        if (P.Idle.size() < kMostParked) {
            C->Done = false;
            C->Waiting = nullptr;
            P.Idle.push_back(C);
        }
    }
    static constexpr std::size_t kMostParked = 64;

    bool RunFirst()
    {
        if (Events.Empty()) {
            return ResumeReady();
        }
        const VirtualTime Due = Events.TopDue();
        if (Due > Now) {
            Now = Due;
        }
        std::function<void()> Fn = Events.Pop();
        if (Cpus) {
            Cpus->Start(std::move(Fn));
            return true;
        }
        Fn();
        ResumeReady();
        return true;
    }
};

thread_local Scheduler::Impl::Call *Scheduler::Impl::CurrentCall = nullptr;

Scheduler::Scheduler() : impl_(new Impl) {}
Scheduler::~Scheduler()
{
    /* A call still blocked would wait for ever, as its thread would on a
       real system: it is left blocked, its state and stack allocated (what
       its stack refers to stays reachable). */
    static auto *Abandoned =
        new std::vector<std::shared_ptr<Impl::Call>>(); // NOLINT(bugprone-unhandled-exception-at-new)
    for (auto &C : impl_->Calls) {
        if (C->Done) {
            Impl::Park(C); /* ended, its fiber kept for another call */
            continue;
        }
        Abandoned->push_back(C);
    }
    delete impl_;
}

VirtualTime Scheduler::Now() const { return impl_->Now; }

EventId Scheduler::ScheduleAt(VirtualTime At, std::function<void()> Fn, const char *What)
{
    if (At < impl_->Now) {
        At = impl_->Now;
    }
    return impl_->Events.Push(At, std::move(Fn), What != nullptr ? What : "");
}

EventId Scheduler::ScheduleAfter(VirtualTime Delay, std::function<void()> Fn, const char *What)
{
    if (Delay < 0) {
        Delay = 0;
    }
    return ScheduleAt(impl_->Now + Delay, std::move(Fn), What);
}

bool Scheduler::Cancel(EventId Id) { return impl_->Events.Cancel(Id); }

bool Scheduler::CancelIfQueued(EventId &Id)
{
    if (Id == 0) {
        return false;
    }
    bool Removed = Cancel(Id);
    Id = 0;
    return Removed;
}

bool Scheduler::RunOne() { return impl_->RunFirst(); }

void Scheduler::RunDue()
{
    do {
        while (!impl_->Events.Empty() && impl_->Events.TopDue() <= impl_->Now) {
            impl_->RunFirst();
        }
    } while (impl_->ResumeReady());
}

std::size_t Scheduler::RunUntilIdle(VirtualTime Limit, std::size_t MaxEvents)
{
    std::size_t Count = 0;
    while ((!impl_->Events.Empty() && impl_->Events.TopDue() <= Limit) || impl_->ResumeReady()) {
        if (impl_->Events.Empty() || impl_->Events.TopDue() > Limit) {
            continue; /* a blocking call ran, and may have scheduled more */
        }
        if (Count >= MaxEvents) {
            fx::VerifierReport("WorldNeverIdle", "the world ran " + std::to_string(Count) +
                                                     " events without becoming idle; next: " + impl_->Events.TopWhat());
            break;
        }
        impl_->RunFirst();
        ++Count;
    }
    return Count;
}

void Scheduler::AdvanceBy(VirtualTime Duration)
{
    if (Duration < 0) {
        Duration = 0;
    }
    AdvanceTo(impl_->Now + Duration);
}

void Scheduler::AdvanceTo(VirtualTime Time)
{
    do {
        while (!impl_->Events.Empty() && impl_->Events.TopDue() <= Time) {
            impl_->RunFirst();
        }
    } while (impl_->ResumeReady());
    if (Time > impl_->Now) {
        impl_->Now = Time;
    }
}

std::size_t Scheduler::Pending() const { return impl_->Events.Size(); }

VirtualTime Scheduler::NextDue() const { return impl_->Events.Empty() ? INT64_MAX : impl_->Events.TopDue(); }

void Scheduler::RunUntil(const std::function<bool()> &Condition, const char *Why)
{
    if (impl_->Cpus && impl_->Cpus->InTask()) {
        /* A task waits without running the world: the others go on. */
        if (!Condition()) {
            impl_->Cpus->Block(Condition);
        }
        return;
    }
    if (Impl::Call *C = Impl::CurrentCall) {
        /* A blocking call waits without running the world: it goes back
           to its resumer, and the world resumes it once the condition
           holds. */
        if (Condition()) {
            return;
        }
        C->Context = fx::SaveContext();
        C->Waiting = Condition;
        C->Leave();
        C->Waiting = nullptr;
        fx::RestoreContext(C->Context);
        return;
    }
    std::size_t Count = 0;
    while (!Condition()) {
        if (Count++ > 10'000'000) {
            fx::VerifierReport("WaitNeverSatisfied", std::string("waited too long for: ") + Why);
            return;
        }
        if (!impl_->RunFirst()) {
            fx::VerifierReport("Hang", std::string("the world went idle while waiting for: ") + Why);
            return;
        }
    }
}

void Scheduler::RunBlockingCall(std::function<void()> Body)
{
    if (impl_->Cpus) {
        if (impl_->Cpus->InTask()) {
            Body(); /* a task is a caller of its own already */
        } else {
            impl_->Cpus->RunTask(std::move(Body), true);
        }
        return;
    }
    std::shared_ptr<Impl::Call> C = Impl::Unpark();
    if (C == nullptr) {
        C = std::make_shared<Impl::Call>();
    }
    C->Context = fx::SaveContext();
    C->Context.HeldLocks = &C->Locks;
    C->Body = std::move(Body);
    impl_->Calls.push_back(C);
    Impl::Resume(C);
    impl_->ResumeReady();
}

std::size_t Scheduler::BlockedCalls() const { return impl_->Calls.size(); }

void Scheduler::SetProcessors(const ProcessorOptions &Options)
{
    cpus_ = nullptr;
    impl_->Cpus.reset();
    if (Options.Count > 1) {
        Impl *I = impl_;
        impl_->Cpus = std::make_unique<Processors>(
            Options, [I](std::function<void()> *Fn) { return I->TakeDue(Fn); },
            [I]() { return !I->Events.Empty() && I->RunFirst(); });
    }
    cpus_ = impl_->Cpus.get();
}

} // namespace fx

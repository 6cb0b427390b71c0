/*
 * Scheduler.cpp - the virtual clock and the world's one ordered event queue.
 */
#include "Scheduler.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <unistd.h>

#include "FxCore.h"
#include "core/LockOrder.h"
#include "core/Processors.h"
#include "core/RaceAnnotations.h"

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

    /* A blocking call on a thread of its own. The baton (Running) passes
       between it and the world's thread; exactly one of them runs. A
       thread whose call ended waits, parked, for the next call (making a
       thread costs far more than handing it the baton).

       The side that gives the baton up watches for it to come back for a
       few microseconds before it sleeps: most hand-backs come sooner than
       a sleeping thread could be woken, and a wake costs two system calls
       and a switch on either side. With one processor the other side
       cannot run while this one watches, so then it sleeps at once. */
    struct Call {
        std::mutex M;
        std::condition_variable CV;
        std::atomic<bool> Running{false}; /* written under M; read without it while watching */
        int Sleepers = 0;                 /* threads waiting on CV; guarded by M */
        bool Done = false;
        bool Quit = false;             /* parked: end the thread; guarded by M */
        std::function<void()> Body;    /* the call; empty once it ended */
        std::function<bool()> Waiting; /* set while blocked */
        fx::ExecutionContext Context{};
        fx::LockStack Locks; /* the locks this caller's thread holds */
        std::thread Thread;

        /* Gives the baton to the call (Run) or back to the world's thread,
           waking the other side if it sleeps. Everything written before
           this is seen by the side that takes the baton. */
        void Hand(bool Run)
        {
            std::lock_guard<std::mutex> L(M);
            Running.store(Run, std::memory_order_release);
            if (Sleepers != 0) {
                CV.notify_all();
            }
        }
        /* Returns when Running is Want (or, for the call's thread, when
           told to quit). */
        void Await(bool Want)
        {
            for (int I = Spins(); I > 0; --I) {
                if (Running.load(std::memory_order_acquire) == Want) {
                    return;
                }
                CpuRelax();
            }
            std::unique_lock<std::mutex> L(M);
            ++Sleepers;
            CV.wait(L, [&]() { return Running.load(std::memory_order_relaxed) == Want || (Want && Quit); });
            --Sleepers;
        }
        /* How long to watch for the baton before sleeping (a thousand
           pauses: some 20 microseconds on a current processor); not at all
           on one processor. */
        static int Spins()
        {
            static const int Count = std::thread::hardware_concurrency() > 1 ? 1000 : 0;
            return Count;
        }
        static void CpuRelax()
        {
#if defined(__x86_64__) || defined(__i386__)
            __builtin_ia32_pause();
#endif
        }

        /* The thread: each call handed to it, until told to quit. */
        void Serve()
        {
            for (;;) {
                Await(true);
                {
                    std::lock_guard<std::mutex> L(M);
                    if (Quit) {
                        return;
                    }
                }
                Impl::CurrentCall = this;
                fx::RestoreContext(Context);
                {
                    fx::race::Section Host(fx::race::Mode::Host); /* the blocking caller is host code */
                    Body();
                    Body = nullptr; /* what it held goes before the world runs on */
                }
                Impl::CurrentCall = nullptr;
                Done = true;
                Hand(false);
            }
        }
        /* Ends a parked thread. The world's thread only. */
        void End()
        {
            {
                std::lock_guard<std::mutex> L(M);
                Quit = true;
                CV.notify_all();
            }
            Thread.join();
        }
    };
    std::vector<std::shared_ptr<Call>> Calls;

    /* Threads whose call ended, for the next blocking call of any world in
       this process: a world is one of many in a fuzzing or test process,
       and most make a blocking call or two. A thread carries nothing of
       the world it served (each call brings its own context), and only one
       world runs at a time; the lock keeps the pool sound regardless. A
       forked child has none of its parent's threads, so it starts a pool
       of its own. Never freed: its threads wait on it until the process
       ends. */
    struct ParkedThreads {
        std::mutex M;
        std::vector<std::shared_ptr<Call>> Idle;
        pid_t Owner = getpid();
    };
    static ParkedThreads &Parked()
    {
        static auto *P = new ParkedThreads(); // NOLINT(bugprone-unhandled-exception-at-new)
        if (P->Owner != getpid()) {
            P = new ParkedThreads(); // NOLINT(bugprone-unhandled-exception-at-new)
        }
        return *P;
    }
    /* A parked thread for the next call, or nullptr. */
    static std::shared_ptr<Call> Unpark()
    {
        ParkedThreads &P = Parked();
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

    /* Hands the baton to C and waits until C blocks again or ends. The
       world's thread only. */
    static void Resume(const std::shared_ptr<Call> &C)
    {
        fx::ExecutionContext Mine = fx::SaveContext();
        C->Hand(true);
        C->Await(false);
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
            return false; /* only the world's thread hands out the baton */
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

    /* Keeps the thread of call C, which ended, for a later call; a call
       that ended holding a lock leaves its thread to end with it. */
    static void Park(const std::shared_ptr<Call> &C)
    {
        if (C->Locks.Locks.empty()) {
            ParkedThreads &P = Parked();
            std::lock_guard<std::mutex> L(P.M);
            if (P.Idle.size() < kMostParked) {
                C->Done = false;
                C->Waiting = nullptr;
                P.Idle.push_back(C);
                return;
            }
        }
        C->End();
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
       real system: it is left blocked (its state stays allocated). */
    /* Never freed: their threads wait on them. */
    static auto *Abandoned =
        new std::vector<std::shared_ptr<Impl::Call>>(); // NOLINT(bugprone-unhandled-exception-at-new)
    for (auto &C : impl_->Calls) {
        if (C->Done) {
            Impl::Park(C); /* ended, its thread waiting for another call */
            continue;
        }
        if (C->Thread.joinable()) {
            C->Thread.detach();
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
        /* A blocking call waits without running the world: the baton goes
           back to the world's thread until the condition holds. */
        if (Condition()) {
            return;
        }
        C->Context = fx::SaveContext();
        C->Waiting = Condition;
        C->Hand(false);
        C->Await(true);
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
        Impl::Call *Raw = C.get();
        C->Thread = std::thread([Raw]() { Raw->Serve(); });
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

/*
 * Scheduler.cpp - the virtual clock and the world's one ordered event queue.
 */
#include "Scheduler.h"

#include <climits>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "FxCore.h"
#include "NodePool.h"
#include "core/LockOrder.h"
#include "core/Processors.h"
#include "core/RaceAnnotations.h"

namespace fx {

struct Scheduler::Impl {
    struct Entry {
        EventId Id;
        std::function<void()> Fn;
        const char *What; /* a static description, for reports */
    };
    using Key = std::pair<VirtualTime, std::uint64_t>;
    VirtualTime Now = 0;
    std::uint64_t NextSeq = 1;
    /* Node tables whose nodes are reused from event to event. */
    std::map<Key, Entry, std::less<Key>, NodeAllocator<std::pair<const Key, Entry>>> Events;
    std::unordered_map<EventId, Key, std::hash<EventId>, std::equal_to<EventId>,
                       NodeAllocator<std::pair<const EventId, Key>>>
        ById;
    /* Several simulated processors, when set (nullptr: one). */
    std::unique_ptr<Processors> Cpus;

    /* The earliest event when it is due now, taken off the queue. */
    bool TakeDue(std::function<void()> *Fn)
    {
        auto It = Events.begin();
        if (It == Events.end() || It->first.first > Now) {
            return false;
        }
        *Fn = std::move(It->second.Fn);
        ById.erase(It->second.Id);
        Events.erase(It);
        return true;
    }

    /* A blocking call on a thread of its own. The baton (Running) passes
       between it and the world's thread; exactly one of them runs. */
    struct Call {
        std::mutex M;
        std::condition_variable CV;
        bool Running = false;
        bool Done = false;
        std::function<bool()> Waiting; /* set while blocked */
        fx::ExecutionContext Context{};
        fx::LockStack Locks; /* the locks this caller's thread holds */
        std::thread Thread;
    };
    std::vector<std::shared_ptr<Call>> Calls;
    /* The blocking call running on this thread, if it is one. */
    static thread_local Call *CurrentCall;

    /* Hands the baton to C and waits until C blocks again or ends. The
       world's thread only. */
    static void Resume(const std::shared_ptr<Call> &C)
    {
        fx::ExecutionContext Mine = fx::SaveContext();
        {
            std::unique_lock<std::mutex> L(C->M);
            C->Running = true;
            C->CV.notify_all();
            C->CV.wait(L, [&]() { return !C->Running; });
        }
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
                    Calls[I]->Thread.join();
                    Calls.erase(Calls.begin() + static_cast<std::ptrdiff_t>(I));
                } else {
                    ++I;
                }
            }
        }
        return Ran;
    }

    bool RunFirst()
    {
        auto It = Events.begin();
        if (It == Events.end()) {
            return ResumeReady();
        }
        if (It->first.first > Now) {
            Now = It->first.first;
        }
        Entry E = std::move(It->second);
        ById.erase(E.Id);
        Events.erase(It);
        if (Cpus) {
            Cpus->Start(std::move(E.Fn));
            return true;
        }
        E.Fn();
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
    EventId Id = impl_->NextSeq++;
    Impl::Key K{At, Id};
    impl_->Events.emplace(K, Impl::Entry{Id, std::move(Fn), What != nullptr ? What : ""});
    impl_->ById.emplace(Id, K);
    return Id;
}

EventId Scheduler::ScheduleAfter(VirtualTime Delay, std::function<void()> Fn, const char *What)
{
    if (Delay < 0) {
        Delay = 0;
    }
    return ScheduleAt(impl_->Now + Delay, std::move(Fn), What);
}

bool Scheduler::Cancel(EventId Id)
{
    auto It = impl_->ById.find(Id);
    if (It == impl_->ById.end()) {
        return false;
    }
    impl_->Events.erase(It->second);
    impl_->ById.erase(It);
    return true;
}

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
        while (!impl_->Events.empty() && impl_->Events.begin()->first.first <= impl_->Now) {
            impl_->RunFirst();
        }
    } while (impl_->ResumeReady());
}

std::size_t Scheduler::RunUntilIdle(VirtualTime Limit, std::size_t MaxEvents)
{
    std::size_t Count = 0;
    while ((!impl_->Events.empty() && impl_->Events.begin()->first.first <= Limit) || impl_->ResumeReady()) {
        if (impl_->Events.empty() || impl_->Events.begin()->first.first > Limit) {
            continue; /* a blocking call ran, and may have scheduled more */
        }
        if (Count >= MaxEvents) {
            fx::VerifierReport("WorldNeverIdle",
                               "the world ran " + std::to_string(Count) +
                                   " events without becoming idle; next: " + impl_->Events.begin()->second.What);
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
        while (!impl_->Events.empty() && impl_->Events.begin()->first.first <= Time) {
            impl_->RunFirst();
        }
    } while (impl_->ResumeReady());
    if (Time > impl_->Now) {
        impl_->Now = Time;
    }
}

std::size_t Scheduler::Pending() const { return impl_->Events.size(); }

VirtualTime Scheduler::NextDue() const
{
    return impl_->Events.empty() ? INT64_MAX : impl_->Events.begin()->first.first;
}

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
        {
            std::unique_lock<std::mutex> L(C->M);
            C->Waiting = Condition;
            C->Running = false;
            C->CV.notify_all();
            C->CV.wait(L, [&]() { return C->Running; });
            C->Waiting = nullptr;
        }
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
    auto C = std::make_shared<Impl::Call>();
    C->Context = fx::SaveContext();
    C->Context.HeldLocks = &C->Locks;
    Impl::Call *Raw = C.get();
    C->Thread = std::thread([Raw, Body = std::move(Body)]() {
        {
            std::unique_lock<std::mutex> L(Raw->M);
            Raw->CV.wait(L, [&]() { return Raw->Running; });
        }
        Impl::CurrentCall = Raw;
        fx::RestoreContext(Raw->Context);
        {
            fx::race::Section Host(fx::race::Mode::Host); /* the blocking caller is host code */
            Body();
        }
        std::lock_guard<std::mutex> L(Raw->M);
        Raw->Done = true;
        Raw->Running = false;
        Raw->CV.notify_all();
    });
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
            [I]() { return !I->Events.empty() && I->RunFirst(); });
    }
    cpus_ = impl_->Cpus.get();
}

} // namespace fx

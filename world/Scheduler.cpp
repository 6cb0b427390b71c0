/*
 * Scheduler.cpp - the virtual clock and the world's one ordered event queue.
 */
#include "Scheduler.h"

#include <climits>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>

#include "FxCore.h"

namespace world {

struct Scheduler::Impl {
    struct Entry {
        EventId Id;
        std::function<void()> Fn;
        std::string What;
    };
    using Key = std::pair<VirtualTime, std::uint64_t>;
    VirtualTime Now = 0;
    std::uint64_t NextSeq = 1;
    std::map<Key, Entry> Events;
    std::unordered_map<EventId, Key> ById;

    bool RunFirst()
    {
        auto It = Events.begin();
        if (It == Events.end()) {
            return false;
        }
        if (It->first.first > Now) {
            Now = It->first.first;
        }
        Entry E = std::move(It->second);
        ById.erase(E.Id);
        Events.erase(It);
        E.Fn();
        return true;
    }
};

Scheduler::Scheduler() : impl_(new Impl) {}
Scheduler::~Scheduler() { delete impl_; }

VirtualTime Scheduler::Now() const { return impl_->Now; }

EventId Scheduler::ScheduleAt(VirtualTime At, std::function<void()> Fn, std::string What)
{
    if (At < impl_->Now) {
        At = impl_->Now;
    }
    EventId Id = impl_->NextSeq++;
    Impl::Key K{At, Id};
    impl_->Events.emplace(K, Impl::Entry{Id, std::move(Fn), std::move(What)});
    impl_->ById.emplace(Id, K);
    return Id;
}

EventId Scheduler::ScheduleAfter(VirtualTime Delay, std::function<void()> Fn, std::string What)
{
    if (Delay < 0) {
        Delay = 0;
    }
    return ScheduleAt(impl_->Now + Delay, std::move(Fn), std::move(What));
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

bool Scheduler::RunOne() { return impl_->RunFirst(); }

void Scheduler::RunDue()
{
    while (!impl_->Events.empty() && impl_->Events.begin()->first.first <= impl_->Now) {
        impl_->RunFirst();
    }
}

std::size_t Scheduler::RunUntilIdle(VirtualTime Limit, std::size_t MaxEvents)
{
    std::size_t Count = 0;
    while (!impl_->Events.empty() && impl_->Events.begin()->first.first <= Limit) {
        if (Count >= MaxEvents) {
            fx::VerifierReport("WorldNeverIdle", "the world ran " + std::to_string(Count) +
                                                     " events without becoming idle; next: " +
                                                     impl_->Events.begin()->second.What);
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
    while (!impl_->Events.empty() && impl_->Events.begin()->first.first <= Time) {
        impl_->RunFirst();
    }
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

} // namespace world

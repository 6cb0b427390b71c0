/*
 * Scheduler.h - the host's virtual clock and its one event queue.
 *
 * Deterministic and single-threaded: every asynchronous event (timer
 * expiries, DPCs, device-side activity, USB completions, application
 * requests) is an entry here, run in order of due time and, for equal due
 * times, in order of scheduling. Time is virtual, in 100 ns units, and only
 * moves when the scheduler runs an event that is due later. Tests never sleep.
 * A blocking call (RunBlockingCall) has a stack of its own (a fiber on the
 * world's thread), and runs only while its resumer waits for it, so one
 * caller runs at any time.
 */
#pragma once
#include <cstdint>
#include <functional>
#include <string>

namespace fx {

class Processors;
struct ProcessorOptions;

using VirtualTime = std::int64_t; /* 100 ns units since the world began */
using EventId = std::uint64_t;

constexpr VirtualTime kMillisecond = 10'000;
constexpr VirtualTime kSecond = 10'000'000;

class Scheduler {
public:
    VirtualTime Now() const;

    /* Runs Fn at time At (not earlier than Now()); returns a handle for Cancel.
       What names the event in reports: a string that outlives it (a literal). */
    EventId ScheduleAt(VirtualTime At, std::function<void()> Fn, const char *What = "");
    EventId ScheduleAfter(VirtualTime Delay, std::function<void()> Fn, const char *What = "");
    /* TRUE when the event was still queued and is now removed. */
    bool Cancel(EventId Id);
    /* Cancels the event Id names, if it names one (not 0), and sets Id to 0
       (no event): TRUE when that event was still queued and is now removed. */
    bool CancelIfQueued(EventId &Id);

    /* Runs the earliest event, moving the clock to its due time. FALSE when none. */
    bool RunOne();
    /* Runs every event due at or before Now() (without moving the clock). */
    void RunDue();
    /* Runs events until none is left or the next one is due after Limit.
       Returns the number run. A world that never becomes idle (an endless
       chain of events before Limit) stops after MaxEvents and reports it. */
    std::size_t RunUntilIdle(VirtualTime Limit = INT64_MAX, std::size_t MaxEvents = 10'000'000);
    /* Runs every event due within Duration from now, then sets the clock to
       Now() + Duration. */
    void AdvanceBy(VirtualTime Duration);
    void AdvanceTo(VirtualTime Time);

    std::size_t Pending() const;
    /* Due time of the earliest pending event, or INT64_MAX. */
    VirtualTime NextDue() const;

    /* Runs events until Condition() holds, used by calls that block their
       caller (a flush waiting for a write, a synchronous stop). Fails loudly
       (verifier) when the world becomes idle while the condition is false:
       a real system would hang there. */
    void RunUntil(const std::function<bool()> &Condition, const char *Why);

    /* Runs Body as a caller of its own (an application thread blocked in a
       call): it runs at once, and when it blocks in RunUntil the world goes
       on without it; it resumes, at the first point the scheduler runs
       after its condition holds, and runs on until it blocks again or
       ends. Only one caller runs at any time, so the world stays
       deterministic. Returns when Body ends or first blocks. */
    void RunBlockingCall(std::function<void()> Body);
    /* Blocking calls still waiting. */
    std::size_t BlockedCalls() const;

    /* Simulated processors (core/Processors.h). With a Count above 1 every
       event, blocking call and callback made from outside an event runs as
       a task, interleaved with the others at each kit call under the
       seeded schedule; 1 (the default) runs each event to its end. Set
       before the world runs anything. */
    void SetProcessors(const ProcessorOptions &Options);
    /* The processors when there are several, else nullptr. */
    Processors *Cpus() const { return cpus_; }

    struct Impl;
    Scheduler();
    ~Scheduler();
    Scheduler(const Scheduler &) = delete;
    Scheduler &operator=(const Scheduler &) = delete;

private:
    Impl *impl_;
    Processors *cpus_ = nullptr; /* Impl's processors, read at every kit call */
};

} // namespace fx

/*
 * Processors.h - simulated processors: the world's events and the driver
 * callbacks they make run interleaved, as on a machine with several
 * processors, under a schedule a seed reproduces.
 *
 * With one processor (the default) nothing here exists and the world runs
 * each event to its end before the next, as it always has. With N > 1,
 * every event of the clock, every blocking caller and every driver callback
 * the world makes from outside an event is a task: a fiber (ucontext, one
 * host thread) that occupies a processor from its start to its end. Tasks
 * run at the current virtual time; time moves only once no task can run.
 *
 * A task runs until it reaches a preemption point (every kit call, through
 * KIT_ENTRY), spins on a lock another task holds, or blocks (a wait the
 * kit would block in). There the schedule chooses the task that runs next
 * among those that can: a random walk (any of them, uniformly) or a
 * priority schedule (each task draws a priority when it starts, the
 * highest runs, and at a few change points drawn from the seed the running
 * task drops below every other). A processor free at a point takes the
 * next event due now. The seed alone fixes every choice, so a run replays
 * exactly.
 *
 * What the framework serialises stays serialised: a task that wants the
 * device-wide lock or a spin lock another holds spins until it is free;
 * a DPC, timer or work item whose callback is running does not start
 * again until it returned. When tasks spin on each other's locks in a
 * cycle the verifier reports a Deadlock naming each lock and its holder.
 */
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "FxCore.h"
#include "core/LockOrder.h"

namespace fx {

enum class ScheduleKind : unsigned char { RandomWalk, Priority };

struct ProcessorOptions {
    int Count = 1;
    std::uint64_t Seed = 1;
    ScheduleKind Kind = ScheduleKind::RandomWalk;
    int ChangePoints = 3; /* the priority schedule's change points */
};
/* "random" or "priority"; FALSE for another name. */
bool ParseScheduleKind(const std::string &Name, ScheduleKind *Kind);
const char *ScheduleName(ScheduleKind Kind);

class Processors {
public:
    /* TakeDue moves the earliest event due now into *Fn (FALSE when none is
       due); Advance runs the clock to the next event and starts it (FALSE
       when there is none). */
    Processors(const ProcessorOptions &Options, std::function<bool(std::function<void()> *)> TakeDue,
               std::function<bool()> Advance);
    ~Processors();
    Processors(const Processors &) = delete;
    Processors &operator=(const Processors &) = delete;

    const ProcessorOptions &Options() const { return options_; }

    /* Starts Fn as a task and runs tasks until none can run. */
    void Start(std::function<void()> Fn);
    /* Runs tasks until none can run; TRUE when one ran. */
    bool Drive();
    /* From outside any task: runs Fn as a task, the others alongside it,
       until it ends (moving the clock when nothing else can run), or only
       until it first blocks when UntilBlocked. */
    void RunTask(std::function<void()> Fn, bool UntilBlocked);

    /* TRUE while a task runs (the caller is on its fiber). */
    bool InTask() const { return current_ != nullptr; }
    /* A preemption point of the running task. */
    void Preempt();
    /* The running task waits until Until() holds. */
    void Block(std::function<bool()> Until);
    /* The running task spins until Key is free (Site: its acquisition). */
    void Spin(LockKey Key, const void *Site);

    /* Preemption points passed so far. */
    std::uint64_t Steps() const { return steps_; }

    struct Task;
    /* The fiber side: a task's fiber reports the world's stack (sanitizer
       builds) and ends through these. */
    void NoteWorldStack(const void *Bottom, std::size_t Size);
    [[noreturn]] void Finish();

private:
    struct Impl;
    void Yield();
    void SwitchTo(Task *T);
    /* FromCaller: the task starts after what its caller did; Joined: the
       caller goes on after its end. */
    Task *NewTask(std::function<void()> Fn, const ExecutionContext &From, LockStack *Locks, bool FromCaller = false,
                  bool Joined = false);
    bool Runnable(const Task *T) const;
    /* A task whose caller gave up on it: it never runs again. */
    void Retire(Task *T);
    Task *Choose(const std::vector<Task *> &Candidates);

    ProcessorOptions options_;
    Task *current_ = nullptr;
    std::uint64_t steps_ = 0;
    std::unique_ptr<Impl> impl_;
};

/* The world's processors when it has more than one, else nullptr. */
inline Processors *MultiProcessor() { return HaveHost() ? detail::CurrentHost->Clock.Cpus() : nullptr; }
/* A callback the world makes from outside any task runs as a task of its
   own: TRUE when Fn ran that way (FALSE: the caller runs it). */
bool RunOnProcessor(const std::function<void()> &Fn);
/* Waits while Held() (a lock held by another task), spinning when on
   several processors. FALSE when this thread cannot wait for it: a single
   processor, or outside a task. */
bool SpinWhileHeld(LockKey Key, const void *Site, const std::function<bool()> &Held);

} // namespace fx

/*
 * Timeline.h - a recorder of what ran where and when: driver callbacks,
 * lock holds, requests, USB transfers and verifier reports, each stamped
 * with the processor it ran on, the virtual time and a step that orders
 * the events of one time (virtual time does not move while tasks run).
 *
 * The world installs a sink (SetTimelineSink) to collect them; with none
 * installed every hook is one pointer test, so the per-packet paths cost
 * nothing. TimelineRecording is the sink that keeps the events in memory;
 * WriteTimelineHtml turns them into a self-contained page with a lane per
 * processor (core/TimelineHtml.cpp).
 *
 * Pairing: a begin event and its end carry the same Id (a callback's
 * serial, a lock's handle, a request's handle, a transfer's recorder id).
 */
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "Scheduler.h"

namespace fx {

enum class TimelineKind : unsigned char {
    CallbackBegin, /* Name: the callback; Detail: the framework code that called it */
    CallbackEnd,
    LockAcquire, /* Name: the lock; Detail: where it was acquired; Flag: the device-wide lock */
    LockRelease,
    RequestArrive,    /* Name: the request kind (read, write, ioctl 0x...) */
    RequestComplete,  /* Detail: the status */
    TransferSubmit,   /* Name: the pipe (endpoint 0x81, control) */
    TransferComplete, /* Detail: the USBD status and the bytes moved */
    Report,           /* Name: the rule; Detail: the message */
};
const char *TimelineKindName(TimelineKind Kind);

struct TimelineEvent {
    TimelineKind Kind;
    VirtualTime Time;
    std::uint64_t Step; /* increases with every event recorded */
    int Cpu;            /* the processor; -1: the world's thread, outside every task */
    int Irql;
    bool Flag;
    std::uint64_t Id;
    std::string Name;
    std::string Detail;
};

class TimelineSink {
public:
    virtual ~TimelineSink() = default;
    virtual void Record(const TimelineEvent &Event) = 0;
};

/* Installs Sink (nullptr: none) and restarts the step count. The sink
   outlives its installation. */
void SetTimelineSink(TimelineSink *Sink);
TimelineSink *InstalledTimelineSink();

namespace detail {
extern TimelineSink *g_TimelineSink;
void TimelineNote(TimelineKind Kind, std::uint64_t Id, std::string Name, std::string Detail, bool Flag);
} // namespace detail

/* TRUE while a sink is installed: a caller builds names only then. */
inline bool TimelineOn() { return detail::g_TimelineSink != nullptr; }
/* Records one event now, on the running processor, at the current IRQL. */
inline void TimelineNote(TimelineKind Kind, std::uint64_t Id, std::string Name, std::string Detail = {},
                         bool Flag = false)
{
    if (TimelineOn()) detail::TimelineNote(Kind, Id, std::move(Name), std::move(Detail), Flag);
}
/* The simulated processors tell which task runs: it takes the lowest free
   processor when it first runs or resumes from a wait, and frees it when
   it ends or waits (Leaves). */
void TimelineTaskIn(std::uint64_t Task);
void TimelineTaskOut(std::uint64_t Task, bool Leaves);
/* A callback's name for the page, from the framework code at Site that
   calls it: the Evt... routine it names, else that code's function. */
std::string TimelineCallbackName(const void *Site);
/* A lock's name for the page: for a spin lock, the driver's expression
   for it at its first acquisition seen (Site), with the lock's own name. */
struct LockKey;
std::string TimelineLockName(LockKey Key, const void *Site);
/* A fresh id for pairing a transfer's submission with its completion. */
std::uint64_t TimelineNextId();

/* The sink that keeps every event (up to Limit; the rest only counted). */
class TimelineRecording final : public TimelineSink {
public:
    explicit TimelineRecording(std::size_t Limit = 200000) : limit_(Limit) {}
    void Record(const TimelineEvent &Event) override;
    const std::vector<TimelineEvent> &Events() const { return events_; }
    std::uint64_t Dropped() const { return dropped_; }
    void Clear()
    {
        events_.clear();
        dropped_ = 0;
    }

private:
    std::size_t limit_;
    std::vector<TimelineEvent> events_;
    std::uint64_t dropped_ = 0;
};

/* Installs a recording for its lifetime, restoring the sink before it. */
class TimelineScope {
public:
    TimelineScope() : previous_(InstalledTimelineSink()) { SetTimelineSink(&recording_); }
    ~TimelineScope() { SetTimelineSink(previous_); }
    TimelineScope(const TimelineScope &) = delete;
    TimelineScope &operator=(const TimelineScope &) = delete;
    TimelineRecording &Recording() { return recording_; }
    const TimelineRecording &Recording() const { return recording_; }

private:
    TimelineRecording recording_;
    TimelineSink *previous_;
};

/* The page: Title heads it; Processors is the run's processor count (the
   lanes, at least). Every text is escaped. */
std::string TimelineHtml(const TimelineRecording &Recording, const std::string &Title, int Processors);
/* Writes the page to Path: FALSE when the file cannot be written. */
bool WriteTimelineHtml(const TimelineRecording &Recording, const std::string &Title, int Processors,
                       const std::string &Path);

} // namespace fx

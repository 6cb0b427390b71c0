/*
 * Timeline.cpp - the recorder's hooks and its in-memory sink (Timeline.h).
 *
 * The processor of an event is the slot of the task running when it was
 * recorded: the simulated processors report each switch, and a task keeps
 * its slot from the moment it first runs (or resumes from a wait) until it
 * ends or waits, which is how long it occupies a processor there.
 */
#include "core/Timeline.h"

#include <cctype>
#include <map>

#include "FxCore.h"
#include "core/LockOrder.h"
#include "core/Processors.h"

namespace fx {

namespace detail {
TimelineSink *g_TimelineSink = nullptr;
} // namespace detail

namespace {
struct RecorderState {
    std::uint64_t Step = 0;
    std::uint64_t NextId = 0;
    std::uint64_t Running = 0;                       /* the task on the fiber now, 0: none */
    std::map<std::uint64_t, int> Slots;              /* task -> the processor it occupies */
    std::map<std::uintptr_t, std::string> LockNames; /* spin locks by handle */
};
RecorderState &State()
{
    static auto *S = new RecorderState(); // NOLINT(bugprone-unhandled-exception-at-new): lives as long as the process
    return *S;
}

int RunningCpu()
{
    RecorderState &S = State();
    if (S.Running != 0) {
        auto It = S.Slots.find(S.Running);
        if (It != S.Slots.end()) return It->second;
    }
    /* One processor: everything runs on it. Several: outside every task
       is the world's own thread. */
    return MultiProcessor() == nullptr ? 0 : -1;
}
} // namespace

const char *TimelineKindName(TimelineKind Kind)
{
    switch (Kind) {
    case TimelineKind::CallbackBegin: return "callback-begin";
    case TimelineKind::CallbackEnd: return "callback-end";
    case TimelineKind::LockAcquire: return "lock-acquire";
    case TimelineKind::LockRelease: return "lock-release";
    case TimelineKind::RequestArrive: return "request-arrive";
    case TimelineKind::RequestComplete: return "request-complete";
    case TimelineKind::TransferSubmit: return "transfer-submit";
    case TimelineKind::TransferComplete: return "transfer-complete";
    case TimelineKind::Report: return "report";
    }
    return "?";
}

void SetTimelineSink(TimelineSink *Sink)
{
    detail::g_TimelineSink = Sink;
    RecorderState &S = State();
    S.Step = 0;
    S.Slots.clear();
    S.LockNames.clear();
    S.Running = 0;
}

TimelineSink *InstalledTimelineSink() { return detail::g_TimelineSink; }

void detail::TimelineNote(TimelineKind Kind, std::uint64_t Id, std::string Name, std::string Detail, bool Flag)
{
    TimelineEvent E{Kind,
                    HaveHost() ? Clock().Now() : 0,
                    ++State().Step,
                    RunningCpu(),
                    static_cast<int>(Irql()),
                    Flag,
                    Id,
                    std::move(Name),
                    std::move(Detail)};
    g_TimelineSink->Record(E);
}

void TimelineTaskIn(std::uint64_t Task)
{
    if (!TimelineOn()) return;
    RecorderState &S = State();
    S.Running = Task;
    if (S.Slots.count(Task) != 0) return;
    auto Used = [&S](int Cpu) {
        for (const auto &Entry : S.Slots) {
            if (Entry.second == Cpu) return true;
        }
        return false;
    };
    int Free = 0;
    while (Used(Free)) ++Free;
    S.Slots[Task] = Free;
}

void TimelineTaskOut(std::uint64_t Task, bool Leaves)
{
    if (!TimelineOn()) return;
    RecorderState &S = State();
    S.Running = 0;
    if (Leaves) S.Slots.erase(Task);
}

namespace {
bool IsWordChar(char C) { return std::isalnum(static_cast<unsigned char>(C)) != 0 || C == '_'; }
} // namespace

std::string TimelineCallbackName(const void *Site)
{
    static auto *Names = new std::map<const void *, std::string>(); // NOLINT(bugprone-unhandled-exception-at-new)
    auto It = Names->find(Site);
    if (It != Names->end()) return It->second;
    std::string Line = SourceLineOf(Site);
    std::string Called;
    std::size_t At = Line.find("Evt");
    if (At == std::string::npos) {
        /* The routine the lambda calls: "[&]() { Routine(H); }". */
        At = Line.find('{');
        while (At != std::string::npos && At < Line.size() && !IsWordChar(Line[At])) ++At;
    }
    while (At != std::string::npos && At < Line.size() && IsWordChar(Line[At])) Called += Line[At++];
    std::string Name = Called;
    if (Called.compare(0, 3, "Evt") != 0) {
        std::string Where = DescribeCode(Site);
        std::size_t In = Where.find(" in ");
        std::string Function = In == std::string::npos ? Where : Where.substr(In + 4);
        if (Function.compare(0, 4, "fx::") == 0) Function.erase(0, 4);
        Name = Called.empty() ? Function : Function + ": " + Called;
    }
    (*Names)[Site] = Name;
    return Name;
}

std::string TimelineLockName(LockKey Key, const void *Site)
{
    if (Key.DeviceWide) return Locks().Name(Key);
    auto &Names = State().LockNames;
    auto It = Names.find(Key.Handle);
    if (It != Names.end()) return It->second;
    /* "WdfSpinLockAcquire(DeviceContext->ReadLock);": the last name inside
       the call's parentheses. */
    std::string Text = SourceLineOf(Site);
    std::size_t Open = Text.find('(');
    std::size_t Close = Text.find(')', Open == std::string::npos ? 0 : Open);
    std::string Var;
    if (Open != std::string::npos && Close != std::string::npos) {
        std::size_t End = Close;
        while (End > Open && !IsWordChar(Text[End - 1])) --End;
        std::size_t Begin = End;
        while (Begin > Open + 1 && IsWordChar(Text[Begin - 1])) --Begin;
        Var = Text.substr(Begin, End - Begin);
    }
    std::string Name = Var.empty() ? Locks().Name(Key) : Var + " (" + Locks().Name(Key) + ")";
    Names[Key.Handle] = Name;
    return Name;
}

std::uint64_t TimelineNextId() { return ++State().NextId; }

void TimelineRecording::Record(const TimelineEvent &Event)
{
    if (events_.size() >= limit_) {
        ++dropped_;
        return;
    }
    events_.push_back(Event);
}

} // namespace fx

/*
 * VerbsClock.cpp - the clock: advance, run, wait.
 */
#include "SessionImpl.h"

namespace sim::verbs {

/* ---------------- the clock ---------------- */

Action CompileAdvance(const Statement &, ArgReader &A)
{
    VirtualTime D = ParseDuration(A.Word("a duration such as 100ms"));
    A.Finish();
    return Wrap([=](Impl &I) { I.AdvanceBy(D); });
}

Action CompileRun(const Statement &, ArgReader &A)
{
    VirtualTime Limit = OptDuration(A, "limit", kDefaultRunLimit);
    A.Finish();
    return Wrap([=](Impl &I) {
        if (!I.RunUntil(nullptr, Limit))
            I.Emit(I.Now(), "note", "still busy after " + FormatDuration(Limit) + " (timers keep re-arming)");
    });
}

Action CompileWait(const Statement &, ArgReader &A)
{
    std::string Target = A.Word("the tag of an operation");
    VirtualTime Limit = OptDuration(A, "limit", kDefaultRunLimit);
    A.Finish();
    return Wrap([=](Impl &I) {
        Impl::Entity *E = I.FindTag(Target);
        if (!E || !E->Op) throw SyntaxError("no operation tagged '" + Target + "'");
        world::OpHandle Op = E->Op;
        if (!I.RunUntil([Op]() { return Op->Completed; }, Limit))
            I.Fail(Target + " is still pending after " + FormatDuration(Limit) +
                   (I.W.Clock().Pending() == 0 ? " (nothing left to happen)" : ""));
    });
}

/* ---------------- the processors ---------------- */

Action CompileProcessors(const Statement &S, ArgReader &A)
{
    const std::string Verb = S.Verb;
    const std::string &Word = A.Word(Verb == "processors" ? "a processor count such as 2"
                                     : Verb == "seed"     ? "a seed such as 7"
                                                          : "random or priority");
    A.Finish();
    std::uint64_t Value = 0;
    if (Verb == "processors") {
        Value = ParseUnsigned(Word, kMaxProcessors);
        if (Value < 1) throw SyntaxError("processors takes a count from 1 to " + std::to_string(kMaxProcessors));
    } else if (Verb == "seed") {
        Value = ParseUnsigned(Word, UINT64_MAX);
    } else {
        fx::ScheduleKind Kind;
        if (!fx::ParseScheduleKind(Word, &Kind))
            throw SyntaxError("schedule takes random or priority, not '" + Word + "'");
    }
    return Wrap([=](Impl &I) {
        if (I.WorldStarted)
            throw SyntaxError(Verb + " must come before the world starts (ahead of every other statement)");
        if (Verb == "processors") I.Cpus.Count = static_cast<int>(Value);
        if (Verb == "seed") I.Cpus.Seed = Value;
        if (Verb == "schedule") (void)fx::ParseScheduleKind(Word, &I.Cpus.Kind);
        (void)I.W.SetProcessors(I.Cpus.Count, I.Cpus.Seed, fx::ScheduleName(I.Cpus.Kind));
    });
}

} // namespace sim::verbs

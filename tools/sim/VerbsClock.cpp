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

} // namespace sim::verbs

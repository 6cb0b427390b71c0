// The driver side of the race self-test (race_fixture.h).
#include "race_fixture.h"

namespace {
RaceShared *g_Shared = nullptr;

void Bump(RaceShared *S)
{
    if (S->Lock != nullptr) WdfSpinLockAcquire(S->Lock);
    LONG Seen = S->Count;
    (void)KeQueryInterruptTime(); /* a kit call: the other processor may run here */
    S->Count = Seen + 1;
    if (S->Lock != nullptr) WdfSpinLockRelease(S->Lock);
}
} // namespace

EXTERN_C void RaceFixtureShare(RaceShared *Shared) { g_Shared = Shared; }
EXTERN_C VOID RaceFixtureTransmitDpc(WDFDPC Dpc)
{
    UNREFERENCED_PARAMETER(Dpc);
    Bump(g_Shared);
}
EXTERN_C VOID RaceFixtureReceiveDpc(WDFDPC Dpc)
{
    UNREFERENCED_PARAMETER(Dpc);
    Bump(g_Shared);
}

// The race preset's self-test plays a driver with two DPC routines that
// bump one shared counter: without a lock (a data race the detector must
// report, naming both routines) or inside a spin lock (ordered: no report).
// The routines are compiled with the driver's instrumentation; the test
// around them is host code.
#pragma once

#include <ntddk.h>
#include <wdf.h>

struct RaceShared {
    LONG Count;
    WDFSPINLOCK Lock; /* nullptr: the routines bump the counter unlocked */
};

EXTERN_C void RaceFixtureShare(RaceShared *Shared);
EXTERN_C VOID RaceFixtureTransmitDpc(WDFDPC Dpc);
EXTERN_C VOID RaceFixtureReceiveDpc(WDFDPC Dpc);

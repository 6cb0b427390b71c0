/*
 * KitCalls.h - the registry of kit routines (rows in KitCalls.def) and the
 * entry every routine makes.
 *
 * KIT_ENTRY(Name) at the top of a routine declares `Kit`, the routine's
 * view of its row:
 *   - it checks the row's IRQL rule and raises the verifier's IrqlTooHigh
 *     report when the caller breaks it; Kit.IrqlOk() tells a routine that
 *     must not go on (a blocking or passive-only one) to refuse;
 *   - Kit.Name() is the routine's name for verifier reports, so no routine
 *     types its own name;
 *   - Kit.Injected(&Status) is the fault-injection point of a FAILABLE row:
 *     TRUE when a test asked for this call to fail now, with the status to
 *     return. Calling it from a NEVER row is a loud error: the registry and
 *     the hooks cannot drift apart;
 *   - Kit.Refused(&Status) is the opening of a FAILABLE routine that must
 *     not run at the wrong IRQL: an injected fault first, then the IRQL
 *     rule (STATUS_INVALID_DEVICE_STATE), in that order.
 */
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <ntddk.h>

#include "core/RaceAnnotations.h"

namespace fx {

enum class KitIrql : unsigned char { PASSIVE, DISPATCH, ANY };
enum class KitFault : unsigned char { NEVER, FAILABLE };

enum class KitCall : unsigned short {
#define KIT_CALL(Name, Irql, Fault) Name,
#include "KitCalls.def"
#undef KIT_CALL
};

struct KitCallRow {
    const char *Name;
    KitIrql Irql;
    KitFault Fault;
};

/* Each row's IRQL rule, where the inline entry check reads it. */
inline constexpr KitIrql kKitIrql[] = {
#define KIT_CALL(Name, Irql, Fault) KitIrql::Irql,
#include "KitCalls.def"
#undef KIT_CALL
};

/* Each row's fault rule, where the inline injection point reads it. */
inline constexpr KitFault kKitFault[] = {
#define KIT_CALL(Name, Irql, Fault) KitFault::Fault,
#include "KitCalls.def"
#undef KIT_CALL
};

/* The rows in the order of KitCalls.def. */
const KitCallRow *KitCallRows(std::size_t *Count);
const KitCallRow &KitRow(KitCall Call);
/* The row of Name, or nullptr when the stand-in has no such routine. */
const KitCallRow *FindKitCall(const char *Name, KitCall *Call);
/* TRUE when Name is a FAILABLE row; the names of every FAILABLE row. */
bool CanFailCall(const std::string &Name);
std::vector<std::string> FailableCallNames();

/* The entry's slow paths, out of line: the IRQL report (always FALSE, the
   call is not allowed at Level), and the work the world asked to run at
   this call (core of KitEntry's constructor, defined in FxCore.h). */
[[gnu::cold]] bool IrqlAllowed(KitCall Call, KIRQL Level);
[[gnu::noinline]] void RunCallHooks(KitCall Call);

class KitEntry {
public:
    [[gnu::always_inline]] inline explicit KitEntry(KitCall Call);
    KitEntry(const KitEntry &) = delete;
    KitEntry &operator=(const KitEntry &) = delete;

    const char *Name() const { return KitRow(call_).Name; }
    bool IrqlOk() const { return irqlOk_; }
    /* Inline: the row's rule, and whether any fault is asked for at all
       (FxCore.h); the search of the faults asked for is out of line. */
    [[gnu::always_inline]] inline bool Injected(NTSTATUS *Status) const;
    bool Refused(NTSTATUS *Status) const
    {
        if (Injected(Status)) return true;
        if (irqlOk_) return false;
        *Status = STATUS_INVALID_DEVICE_STATE;
        return true;
    }

private:
    race::Section host_{race::Mode::Host}; /* first: the whole call is the host's */
    [[noreturn, gnu::cold]] void NotFailable() const;
    bool InjectedNow(NTSTATUS *Status) const;

    KitCall call_;
    bool irqlOk_;
};

} // namespace fx

#define KIT_ENTRY(Name) const ::fx::KitEntry Kit(::fx::KitCall::Name)

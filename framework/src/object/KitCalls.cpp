/*
 * KitCalls.cpp - the rows of KitCalls.def, the entry check every kit
 * routine makes, and fault injection.
 *
 * A fault is asked for by name (World::FailNthCall, the scenario verb
 * `fail`) and counted per routine: the Nth call of that routine that
 * reaches its injection point returns the status instead of doing its work.
 * A name that is not a FAILABLE row is refused, so a misspelt name cannot
 * silently test nothing.
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FxHost.h"
#include "KitCalls.h"
#include "core/Processors.h"

#include <ntstrsafe.h>

namespace {

using fx::KitCallRow;
using fx::KitFault;
using fx::KitIrql;

constexpr KitCallRow kRows[] = {
#define KIT_CALL(Name, Irql, Fault) {#Name, KitIrql::Irql, KitFault::Fault},
#include "KitCalls.def"
#undef KIT_CALL
};

/* Each row names a routine of the stand-in: taking its address makes a row
   without a routine a build error. */
using AnyRoutine = void (*)();
[[maybe_unused]] const AnyRoutine kRoutines[] = {
#define KIT_CALL(Name, Irql, Fault) reinterpret_cast<AnyRoutine>(&::Name),
#include "KitCalls.def"
#undef KIT_CALL
};
static_assert(sizeof(kRoutines) / sizeof(kRoutines[0]) == sizeof(kRows) / sizeof(kRows[0]));

constexpr bool Sorted()
{
    for (std::size_t I = 1; I < sizeof(kRows) / sizeof(kRows[0]); ++I) {
        const char *A = kRows[I - 1].Name;
        const char *B = kRows[I].Name;
        while (*A != '\0' && *A == *B) {
            ++A;
            ++B;
        }
        if (static_cast<unsigned char>(*A) >= static_cast<unsigned char>(*B)) return false;
    }
    return true;
}
static_assert(Sorted(), "KitCalls.def: keep the rows sorted by name, one row per routine");

} // namespace

namespace fx {

const KitCallRow *KitCallRows(std::size_t *Count)
{
    *Count = sizeof(kRows) / sizeof(kRows[0]);
    return kRows;
}

const KitCallRow &KitRow(KitCall Call) { return kRows[static_cast<std::size_t>(Call)]; }

const KitCallRow *FindKitCall(const char *Name, KitCall *Call)
{
    std::size_t Lo = 0;
    std::size_t Hi = sizeof(kRows) / sizeof(kRows[0]);
    while (Lo < Hi) {
        std::size_t Mid = (Lo + Hi) / 2;
        int Order = std::strcmp(kRows[Mid].Name, Name);
        if (Order == 0) {
            if (Call != nullptr) *Call = static_cast<KitCall>(Mid);
            return &kRows[Mid];
        }
        if (Order < 0) {
            Lo = Mid + 1;
        } else {
            Hi = Mid;
        }
    }
    return nullptr;
}

void RunCallHooks(KitCall Call)
{
    std::vector<std::function<void()>> Due;
    auto &Hooks = Host().CallHooks;
    for (auto It = Hooks.begin(); It != Hooks.end();) {
        if (It->Call == Call && --It->Remaining == 0) {
            Due.push_back(std::move(It->Action));
            It = Hooks.erase(It);
        } else {
            ++It;
        }
    }
    for (auto &Action : Due) Action();
}

bool IrqlAllowed(KitCall Call, KIRQL Level)
{
    const KitCallRow &Row = KitRow(Call);
    if (Row.Irql == KitIrql::PASSIVE) {
        VerifierReport("IrqlTooHigh", std::string(Row.Name) + " called at IRQL " + std::to_string(Level) +
                                          "; it may be called only at PASSIVE_LEVEL");
    } else {
        VerifierReport("IrqlTooHigh", std::string(Row.Name) + " called above DISPATCH_LEVEL");
    }
    return false;
}

void PreemptKitCall(Processors *Cpus) { Cpus->Preempt(); }

void KitEntry::NotFailable() const
{
    /* A hook in a routine whose row says NEVER could never be asked for. */
    std::fprintf(stderr, "stand-in: %s injects faults but its row in KitCalls.def is not FAILABLE\n", Name());
    std::abort();
}

bool KitEntry::InjectedNow(NTSTATUS *Status) const
{
    auto &H = Host();
    for (auto It = H.Faults.begin(); It != H.Faults.end(); ++It) {
        if (It->Call != call_) continue;
        if (--It->Remaining == 0) {
            *Status = It->Status;
            H.Faults.erase(It);
            return true;
        }
    }
    return false;
}

bool CanFailCall(const std::string &Name)
{
    const KitCallRow *Row = FindKitCall(Name.c_str(), nullptr);
    return Row != nullptr && Row->Fault == KitFault::FAILABLE;
}

std::vector<std::string> FailableCallNames()
{
    std::vector<std::string> Names;
    for (const KitCallRow &Row : kRows) {
        if (Row.Fault == KitFault::FAILABLE) Names.emplace_back(Row.Name);
    }
    return Names;
}

} // namespace fx

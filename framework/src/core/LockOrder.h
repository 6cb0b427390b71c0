/*
 * LockOrder.h - the verifier's view of the locks a driver takes: which
 * thread of execution holds which lock, and the order in which locks have
 * been nested over the whole life of the host.
 *
 * Two kinds of lock are followed: the driver's spin locks (WdfSpinLockAcquire
 * / WdfSpinLockRelease) and the device-wide lock the framework takes around
 * the callbacks of WdfSynchronizationScopeDevice. A lock is known by its
 * handle, which is never reused, so two locks that live at the same address
 * one after the other are never confused.
 *
 * Every acquisition made while other locks are held records the ordered pair
 * (held, acquired) with where each of the two was acquired. When a pair is
 * seen in one order after it was seen in the other, the verifier reports a
 * LockOrderInversion naming both nestings: two processors taking the pair
 * in the two orders at once deadlock, whether or not this run did. A pair
 * nested in both orders only ever under a common outer lock (the gate: a
 * lock held outside the pair in every nesting of either order) cannot
 * deadlock that way, and is not reported. Acquiring a lock the same thread
 * already holds is a report of its own (it would spin for ever).
 *
 * The run's graph: with the run graph on (BRISUM_LOCK_GRAPH in the
 * environment, which the stress runs set, or SetRunLockGraph), the same
 * nestings are also kept for the life of the process with each lock known
 * by its kind: a spin lock by the code that created it, the device-wide
 * lock as itself. Every world of a test program then adds to one graph, and
 * an order seen in one world that inverts one seen in another (two devices'
 * locks of the same kinds, or the same driver code in two runs) is a
 * LockOrderInversion too: the two worlds' schedules could meet in one.
 *
 * A thread of execution is the world's own thread, a blocking call's thread
 * or, on several simulated processors, one callback's fiber; each has a
 * LockStack, and fx::ExecutionContext carries which one is running.
 */
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "FxCore.h"
#include "NodePool.h"
#include "core/Timeline.h"

namespace fx {

class Device;
class SpinLock;

/* A lock by its handle; DeviceWide for the device-wide lock of a device. */
struct LockKey {
    std::uintptr_t Handle = 0;
    bool DeviceWide = false;
    bool operator==(const LockKey &Other) const { return Handle == Other.Handle && DeviceWide == Other.DeviceWide; }
};
LockKey KeyOf(const SpinLock *Lock);
LockKey KeyOf(const Device *Dev);

/* The locks one thread of execution holds, outermost first. Site: the code
   that acquired it (the driver's call of WdfSpinLockAcquire, or the
   framework code that runs a callback under the device-wide lock). */
struct LockStack {
    struct Held {
        LockKey Key;
        const void *Site;
    };
    std::vector<Held> Locks;
    /* The simulated processors' task running on this thread, if any. */
    void *Task = nullptr;
    /* The entry of Key, or nullptr when this thread does not hold it. */
    const Held *Find(LockKey Key) const;
};

class LockOrder {
public:
    /* Where a spin lock was created (its name in reports). */
    void Created(LockKey Key, const void *Site);
    /* Records Key as acquired at Site by Stack's thread: pairs with every
       lock it holds, an inversion report when one is new; then pushes it.
       Inline for the common case, a thread that holds no other lock. */
    void Acquired(LockStack &Stack, LockKey Key, const void *Site)
    {
        if (!Stack.Locks.empty() || !holders_.empty() || TimelineOn()) [[unlikely]] {
            AcquiredNested(Stack, Key, Site);
            return;
        }
        Stack.Locks.push_back(LockStack::Held{Key, Site});
        holders_.emplace_back(Key, &Stack);
    }
    /* Takes Key off Stack (locks may be released in any order). Inline for
       the common case, the only lock held, released by its holder. */
    void Released(LockStack &Stack, LockKey Key)
    {
        if (holders_.size() == 1 && holders_[0].first == Key && holders_[0].second == &Stack &&
            Stack.Locks.size() == 1 && Stack.Locks[0].Key == Key && !TimelineOn()) [[likely]] {
            holders_.pop_back();
            Stack.Locks.pop_back();
            return;
        }
        ReleasedAny(Stack, Key);
    }
    /* The lock's name in reports, and where a spin lock was created with the
       source line that did it (empty when unknown). */
    std::string Name(LockKey Key) const;
    std::string Origin(LockKey Key) const;

    /* The thread holding Key, or nullptr when it is free. */
    LockStack *Holder(LockKey Key) const
    {
        for (const auto &H : holders_) {
            if (H.first == Key) return H.second;
        }
        return nullptr;
    }

    /* Inversions reported so far. */
    std::size_t Inversions() const { return inversions_; }

    /* The world's own thread (ExecutionContext::HeldLocks is nullptr there). */
    LockStack Main;

private:
    /* The general cases of Acquired and Released. */
    [[gnu::noinline]] void AcquiredNested(LockStack &Stack, LockKey Key, const void *Site);
    [[gnu::noinline]] void ReleasedAny(LockStack &Stack, LockKey Key);
    struct PairKey {
        LockKey Outer;
        LockKey Inner;
        bool operator==(const PairKey &Other) const { return Outer == Other.Outer && Inner == Other.Inner; }
    };
    struct PairHash {
        std::size_t operator()(const PairKey &K) const
        {
            return std::hash<std::uintptr_t>()(K.Outer.Handle * 31 + K.Outer.DeviceWide) ^
                   (std::hash<std::uintptr_t>()(K.Inner.Handle * 31 + K.Inner.DeviceWide) << 1);
        }
    };
    struct Nesting {
        const void *OuterSite;
        const void *InnerSite;
        /* Locks held outside Outer in every nesting seen of this order. */
        std::vector<LockKey> Gate;
        bool Reported = false;
    };
    struct KeyHash {
        std::size_t operator()(const LockKey &K) const
        {
            return std::hash<std::uintptr_t>()(K.Handle * 31 + K.DeviceWide);
        }
    };
    using HeldIt = std::vector<LockStack::Held>::const_iterator;
    /* Inner acquired at InnerSite while Outer (acquired at OuterSite) is
       held, with [OutsideBegin, OutsideEnd) held outside Outer: records the
       nesting and checks it against the other order. */
    /* Out of line: the acquire that calls it stays small for the pairs
       already settled, which are nearly all of them. */
    [[gnu::noinline]] void Nested(const PairKey &Pair, const void *OuterSite, const void *InnerSite,
                                  HeldIt OutsideBegin, HeldIt OutsideEnd);
    void Check(const PairKey &Pair, Nesting &Seen);
    /* Adds the nesting to the run's graph, checked against it there. */
    void NestedInRun(const PairKey &Pair, const Nesting &Seen) const;
    /* A lock's kind in the run's graph: where it was created, or the
       device-wide lock's mark; nullptr when not known. */
    const void *KindOf(LockKey Key) const;
    /* The cache slot of a pair. */
    static std::size_t Slot(const PairKey &Pair)
    {
        return static_cast<std::size_t>((Pair.Outer.Handle >> 4) * 0x9E3779B1U ^ (Pair.Inner.Handle >> 4) ^
                                        (Pair.Inner.DeviceWide ? 0x55 : 0)) %
               kSettled;
    }

    std::unordered_map<PairKey, Nesting, PairHash> pairs_;
    std::unordered_map<LockKey, const void *, KeyHash> created_;
    /* Pairs whose nesting can change no more (seen, with no lock held
       outside them in some nesting: nothing left for a gate to lose), so
       seeing them again needs no look-up in pairs_. Direct-mapped; a pair
       pushed out is only looked up again. Handles are never reused, so an
       entry never goes stale. */
    static constexpr std::size_t kSettled = 64;
    PairKey settled_[kSettled] = {};
    /* The locks held now and by whom: a few at any time, entered and left
       at every acquire and release. */
    std::vector<std::pair<LockKey, LockStack *>> holders_;
    std::size_t inversions_ = 0;
};

/* The run's graph on or off; turning it off forgets it. */
void SetRunLockGraph(bool On);

/* The host's lock-order verifier, and the lock stack of the running thread. */
namespace detail {
LockOrder &MakeLocks();
} // namespace detail
inline LockOrder &Locks(HostCore &H) { return H.LockVerifier ? *H.LockVerifier : detail::MakeLocks(); }
inline LockOrder &Locks() { return Locks(Core()); }
inline LockStack &HeldLocks(HostCore &H) { return H.HeldLocks != nullptr ? *H.HeldLocks : Locks(H).Main; }
inline LockStack &HeldLocks() { return HeldLocks(Core()); }

/* "file:line in function" of a code address, file relative to the source
   tree; the function alone, or the address, when no line is known. */
std::string DescribeCode(const void *Pc);
/* The source text at that address's line, trimmed (empty when unknown). */
std::string SourceLineOf(const void *Pc);

} // namespace fx

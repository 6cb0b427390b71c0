/*
 * LockOrder.cpp - the lock-order graph of the verifier (LockOrder.h).
 */
#include "LockOrder.h"

#include <algorithm>
#include <cstdlib>
#include <map>

#include "FxHost.h"
#include "core/Timeline.h"

namespace fx {

LockKey KeyOf(const SpinLock *Lock) { return LockKey{reinterpret_cast<std::uintptr_t>(Lock->Handle()), false}; }
LockKey KeyOf(const Device *Dev) { return LockKey{reinterpret_cast<std::uintptr_t>(Dev->Handle()), true}; }

const LockStack::Held *LockStack::Find(LockKey Key) const
{
    for (const Held &H : Locks) {
        if (H.Key == Key) return &H;
    }
    return nullptr;
}

void LockOrder::Created(LockKey Key, const void *Site) { created_[Key] = Site; }

namespace {

/* The device-wide lock's kind: an address no code has. */
const char kDeviceWideKind = 0;

/* The run's graph (LockOrder.h): nestings by the kinds of the two locks. */
struct RunGraph {
    struct Nesting {
        const void *OuterSite;
        const void *InnerSite;
        std::vector<const void *> Gate; /* kinds held outside Outer in every nesting */
        bool Reported = false;
    };
    bool On = std::getenv("BRISUM_LOCK_GRAPH") != nullptr;
    std::map<std::pair<const void *, const void *>, Nesting> Pairs;
};

RunGraph &Run()
{
    static RunGraph G;
    return G;
}

std::string KindName(const void *Kind)
{
    if (Kind == &kDeviceWideKind) return "the device-wide lock";
    std::string Text = SourceLineOf(Kind);
    return "the spin lock created at " + DescribeCode(Kind) + (Text.empty() ? "" : " (" + Text + ")");
}

} // namespace

void SetRunLockGraph(bool On)
{
    Run().On = On;
    Run().Pairs.clear();
}

const void *LockOrder::KindOf(LockKey Key) const
{
    if (Key.DeviceWide) return &kDeviceWideKind;
    auto It = created_.find(Key);
    return It == created_.end() ? nullptr : It->second;
}

void LockOrder::NestedInRun(const PairKey &Pair, const Nesting &Seen) const
{
    RunGraph &G = Run();
    const void *Outer = KindOf(Pair.Outer);
    const void *Inner = KindOf(Pair.Inner);
    if (Outer == nullptr || Inner == nullptr || Outer == Inner) {
        return; /* unknown kinds, or two locks of one kind: nothing to order */
    }
    std::vector<const void *> Gate;
    for (const LockKey &K : Seen.Gate) {
        if (const void *Kind = KindOf(K)) Gate.push_back(Kind);
    }
    auto [It, New] = G.Pairs.try_emplace({Outer, Inner});
    RunGraph::Nesting &Mine = It->second;
    if (Seen.Reported) {
        /* This world reported the pair itself: the run has nothing to add. */
        Mine.Reported = true;
        auto Reverse = G.Pairs.find({Inner, Outer});
        if (Reverse != G.Pairs.end()) Reverse->second.Reported = true;
    }
    if (New) {
        Mine.OuterSite = Seen.OuterSite;
        Mine.InnerSite = Seen.InnerSite;
        Mine.Gate = Gate;
    } else {
        std::size_t Before = Mine.Gate.size();
        Mine.Gate.erase(
            std::remove_if(Mine.Gate.begin(), Mine.Gate.end(),
                           [&](const void *K) { return std::find(Gate.begin(), Gate.end(), K) == Gate.end(); }),
            Mine.Gate.end());
        if (Mine.Gate.size() == Before) return;
        Mine.OuterSite = Seen.OuterSite;
        Mine.InnerSite = Seen.InnerSite;
    }
    auto Reverse = G.Pairs.find({Inner, Outer});
    if (Reverse == G.Pairs.end() || Mine.Reported || Reverse->second.Reported) {
        return;
    }
    for (const void *K : Mine.Gate) {
        if (std::find(Reverse->second.Gate.begin(), Reverse->second.Gate.end(), K) != Reverse->second.Gate.end()) {
            return; /* both orders only ever under one lock kind */
        }
    }
    Mine.Reported = true;
    Reverse->second.Reported = true;
    const RunGraph::Nesting &Earlier = Reverse->second;
    VerifierReport("LockOrderInversion", "lock order inversion across the run: " + KindName(Inner) + " acquired at " +
                                             DescribeCode(Mine.InnerSite) + " while holding " + KindName(Outer) +
                                             " (acquired at " + DescribeCode(Mine.OuterSite) +
                                             "); earlier in the run " + KindName(Outer) + " was acquired at " +
                                             DescribeCode(Earlier.InnerSite) + " while holding " + KindName(Inner) +
                                             " (acquired at " + DescribeCode(Earlier.OuterSite) +
                                             "): two processors running both orders at once on one device deadlock");
}

std::string LockOrder::Name(LockKey Key) const
{
    char Handle[32];
    std::snprintf(Handle, sizeof Handle, "0x%llx", static_cast<unsigned long long>(Key.Handle));
    if (Key.DeviceWide) {
        return std::string("the device-wide lock of WDFDEVICE ") + Handle;
    }
    return std::string("spin lock ") + Handle;
}

std::string LockOrder::Origin(LockKey Key) const
{
    auto It = created_.find(Key);
    if (Key.DeviceWide || It == created_.end() || It->second == nullptr) {
        return {};
    }
    std::string Text = SourceLineOf(It->second);
    return Name(Key) + " was created at " + DescribeCode(It->second) + (Text.empty() ? "" : ": " + Text);
}

namespace {
/* The timeline's notes of a lock, kept out of the acquire and release that
   run with every spin lock the driver takes. */
[[gnu::noinline, gnu::cold]] void NoteAcquire(LockKey Key, const void *Site)
{
    TimelineNote(TimelineKind::LockAcquire, Key.Handle, TimelineLockName(Key, Site), DescribeCode(Site),
                 Key.DeviceWide);
}
[[gnu::noinline, gnu::cold]] void NoteRelease(LockKey Key)
{
    TimelineNote(TimelineKind::LockRelease, Key.Handle, {}, {}, Key.DeviceWide);
}
} // namespace

void LockOrder::AcquiredNested(LockStack &Stack, LockKey Key, const void *Site)
{
    if (TimelineOn()) [[unlikely]] {
        NoteAcquire(Key, Site);
    }
    /* The locks held outside the I-th held lock are the first I of the
       stack: read in place, so an acquire allocates nothing once its
       nestings are known. */
    for (std::size_t I = 0; I < Stack.Locks.size(); ++I) {
        const LockStack::Held &H = Stack.Locks[I];
        const PairKey Pair{H.Key, Key};
        if (settled_[Slot(Pair)] == Pair) continue;
        Nested(Pair, H.Site, Site, Stack.Locks.cbegin(), Stack.Locks.cbegin() + static_cast<std::ptrdiff_t>(I));
    }
    Stack.Locks.push_back(LockStack::Held{Key, Site});
    for (auto &Entry : holders_) {
        if (Entry.first == Key) {
            Entry.second = &Stack;
            return;
        }
    }
    holders_.emplace_back(Key, &Stack);
}

void LockOrder::Nested(const PairKey &Pair, const void *OuterSite, const void *InnerSite, HeldIt OutsideBegin,
                       HeldIt OutsideEnd)
{
    auto [It, New] = pairs_.try_emplace(Pair);
    Nesting &Seen = It->second;
    if (New) {
        Seen.OuterSite = OuterSite;
        Seen.InnerSite = InnerSite;
        for (auto O = OutsideBegin; O != OutsideEnd; ++O) Seen.Gate.push_back(O->Key);
        Check(Pair, Seen);
        if (Run().On) NestedInRun(Pair, Seen);
    } else if (!Seen.Gate.empty()) {
        /* The gate is what every nesting of this order held outside it. */
        std::size_t Before = Seen.Gate.size();
        Seen.Gate.erase(std::remove_if(Seen.Gate.begin(), Seen.Gate.end(),
                                       [&](const LockKey &G) {
                                           return std::find_if(OutsideBegin, OutsideEnd, [&](const LockStack::Held &O) {
                                                      return O.Key == G;
                                                  }) == OutsideEnd;
                                       }),
                        Seen.Gate.end());
        if (Seen.Gate.size() != Before) {
            Seen.OuterSite = OuterSite;
            Seen.InnerSite = InnerSite;
            Check(Pair, Seen);
            if (Run().On) NestedInRun(Pair, Seen);
        }
    }
    if (Seen.Gate.empty()) {
        settled_[Slot(Pair)] = Pair;
    }
}

void LockOrder::Check(const PairKey &Pair, Nesting &Seen)
{
    auto Reverse = pairs_.find(PairKey{Pair.Inner, Pair.Outer});
    if (Reverse == pairs_.end() || Seen.Reported || Reverse->second.Reported) {
        return;
    }
    const Nesting &Earlier = Reverse->second;
    for (const LockKey &G : Seen.Gate) {
        if (std::find(Earlier.Gate.begin(), Earlier.Gate.end(), G) != Earlier.Gate.end()) {
            return; /* both orders only ever under G: they never run together */
        }
    }
    Seen.Reported = true;
    Reverse->second.Reported = true;
    ++inversions_;
    std::string A = Name(Pair.Outer);
    std::string B = Name(Pair.Inner);
    std::string Message = "lock order inversion: " + B + " acquired at " + DescribeCode(Seen.InnerSite) +
                          " while holding " + A + " (acquired at " + DescribeCode(Seen.OuterSite) + "); earlier " + A +
                          " was acquired at " + DescribeCode(Earlier.InnerSite) + " while holding " + B +
                          " (acquired at " + DescribeCode(Earlier.OuterSite) +
                          "): two processors taking them in the two orders at once deadlock";
    for (const LockKey &K : {Pair.Outer, Pair.Inner}) {
        std::string Made = Origin(K);
        if (!Made.empty()) Message += "; " + Made;
    }
    VerifierReport("LockOrderInversion", Message);
}

void LockOrder::ReleasedAny(LockStack &Stack, LockKey Key)
{
    if (TimelineOn()) [[unlikely]] {
        NoteRelease(Key);
    }
    /* A lock released by another thread than its holder (a verifier report
       of its own) leaves the holder's stack. */
    LockStack *Holder = nullptr;
    for (auto It = holders_.begin(); It != holders_.end(); ++It) {
        if (It->first == Key) {
            Holder = It->second;
            *It = holders_.back();
            holders_.pop_back();
            break;
        }
    }
    LockStack &From = Holder != nullptr ? *Holder : Stack;
    for (auto It = From.Locks.rbegin(); It != From.Locks.rend(); ++It) {
        if (It->Key == Key) {
            From.Locks.erase(std::next(It).base());
            return;
        }
    }
}

LockOrder &detail::MakeLocks()
{
    HostCore &H = Core();
    H.LockVerifier = std::make_shared<LockOrder>();
    return *H.LockVerifier;
}

} // namespace fx

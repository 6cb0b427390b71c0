/*
 * RaceAnnotations.h - the orderings the framework guarantees, told to the
 * data-race detector (the tsan preset), and each simulated task a fiber of
 * its own to it.
 *
 * The driver's translation units are the only instrumented ones: the host
 * (framework, world, tests) is compiled without the detector, so its own
 * memory is never checked, and every ordering the detector knows between
 * two driver callbacks is one the host states here. Release(Addr) on one
 * task happens before a later Acquire(Addr) on another; the host pairs them
 * on the object the guarantee is about (a lock, a request, a DPC). Fibers
 * switch without implying any ordering, so callbacks on different
 * simulated processors are as unordered as they would be on a machine.
 *
 * The host's own accesses that the detector still sees (its allocations,
 * and the C library routines it intercepts) are ignored: each thread and
 * fiber runs host code in Mode::Host, where the detector ignores it, and
 * the driver's callbacks in Mode::Driver. A kit call enters the host, a
 * callback the driver; a Section restores the mode it found.
 *
 * Outside the tsan preset every function here is an empty inline one and
 * the build is unchanged.
 */
#pragma once

#if defined(__SANITIZE_THREAD__) || defined(BRISUM_RACE_ANNOTATIONS)
#define FX_RACE_ANNOTATIONS 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define FX_RACE_ANNOTATIONS 1
#endif
#endif

#ifdef FX_RACE_ANNOTATIONS
#include <sanitizer/tsan_interface.h>
extern "C" void __tsan_ignore_thread_begin(); // NOLINT(bugprone-reserved-identifier)
extern "C" void __tsan_ignore_thread_end();   // NOLINT(bugprone-reserved-identifier)
#endif

namespace fx::race {

#ifdef FX_RACE_ANNOTATIONS
constexpr bool kEnabled = true;
/* What this task did so far happens before whatever follows an Acquire of
   Addr elsewhere. */
inline void Release(const void *Addr) { __tsan_release(const_cast<void *>(Addr)); }
inline void Acquire(const void *Addr) { __tsan_acquire(const_cast<void *>(Addr)); }
inline void *CurrentFiber() { return __tsan_get_current_fiber(); }
inline void *CreateFiber(const char *Name)
{
    void *F = __tsan_create_fiber(0);
    __tsan_set_fiber_name(F, Name);
    return F;
}
/* Immediately before the switch of stacks: no ordering implied. */
inline void SwitchToFiber(void *Fiber) { __tsan_switch_to_fiber(Fiber, __tsan_switch_to_fiber_no_sync); }
inline void DestroyFiber(void *Fiber) { __tsan_destroy_fiber(Fiber); }
/* Immediately before the switch of stacks, to a fiber that goes on only
   after this one stops (a baton): what this one did happens before. */
inline void HandToFiber(void *Fiber) { __tsan_switch_to_fiber(Fiber, 0); }
inline void IgnoreBegin() { __tsan_ignore_thread_begin(); }
inline void IgnoreEnd() { __tsan_ignore_thread_end(); }
#else
constexpr bool kEnabled = false;
inline void Release(const void *) {}
inline void Acquire(const void *) {}
inline void *CurrentFiber() { return nullptr; }
inline void *CreateFiber(const char *) { return nullptr; }
inline void SwitchToFiber(void *) {}
inline void DestroyFiber(void *) {}
inline void HandToFiber(void *) {}
inline void IgnoreBegin() {}
inline void IgnoreEnd() {}
#endif

/* Fresh: a thread or fiber that has run neither (not ignored yet). */
enum class Mode : unsigned char { Fresh, Host, Driver };

/* The running thread's mode; the simulated processors keep each task's
   with its fiber. */
inline Mode &CurrentMode()
{
    static thread_local Mode M = Mode::Fresh;
    return M;
}

inline void SetMode(Mode To)
{
    Mode &M = CurrentMode();
    if (kEnabled && To == Mode::Host && M != Mode::Host) IgnoreBegin();
    if (kEnabled && To != Mode::Host && M == Mode::Host) IgnoreEnd();
    M = To;
}

#ifdef FX_RACE_ANNOTATIONS
class Section {
public:
    explicit Section(Mode To) : saved_(CurrentMode()) { SetMode(To); }
    ~Section() { SetMode(saved_); }
    Section(const Section &) = delete;
    Section &operator=(const Section &) = delete;

private:
    Mode saved_;
};
#else
/* Nothing reads the mode without the detector: a section costs nothing
   (every kit call opens one). */
class Section {
public:
    explicit Section(Mode) {}
    Section(const Section &) = delete;
    Section &operator=(const Section &) = delete;
};
#endif

} // namespace fx::race

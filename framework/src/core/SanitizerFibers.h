/*
 * SanitizerFibers.h - switches of stacks told to the address sanitizer.
 *
 * The host runs simulated tasks and blocking calls on fibers (ucontext
 * stacks on the world's thread). Under the address sanitizer each switch
 * is announced before it (the stack it goes to) and confirmed after it (the
 * stack it came from), so the sanitizer's view of the current stack stays
 * right and no access to a live frame is reported. Elsewhere both calls
 * are empty and FX_ASAN_FIBERS is undefined.
 */
#pragma once

#include <cstddef>

#if defined(__SANITIZE_ADDRESS__)
#define FX_ASAN_FIBERS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FX_ASAN_FIBERS 1
#endif
#endif
#ifdef FX_ASAN_FIBERS
#include <sanitizer/common_interface_defs.h>
#endif

namespace fx::fiber {

/* Immediately before switching to the stack of Size bytes at Bottom;
   *FakeSave keeps what the sanitizer needs of the stack left, nullptr when
   that stack ends with this switch. */
inline void StartSwitch(void **FakeSave, const void *Bottom, std::size_t Size)
{
#ifdef FX_ASAN_FIBERS
    __sanitizer_start_switch_fiber(FakeSave, Bottom, Size);
#else
    (void)FakeSave;
    (void)Bottom;
    (void)Size;
#endif
}

/* Immediately after arriving on a stack: FakeSave is what its own last
   StartSwitch kept (nullptr on its first entry); the stack just left is
   stored through FromBottom and FromSize unless they are nullptr. */
inline void FinishSwitch(void *FakeSave, const void **FromBottom, std::size_t *FromSize)
{
#ifdef FX_ASAN_FIBERS
    __sanitizer_finish_switch_fiber(FakeSave, FromBottom, FromSize);
#else
    (void)FakeSave;
    (void)FromBottom;
    (void)FromSize;
#endif
}

} // namespace fx::fiber

/*
 * SanitizerOptions.cpp - AddressSanitizer's defaults for every fuzz target
 * (ASAN_OPTIONS overrides any of them).
 *
 * Each input builds a world of its own and tears it down, so a use after
 * free that matters is one within an input. The quarantine holds a freed
 * block back from reuse until 4 MB of later frees have passed it: eight
 * times what the largest whole-system corpus input allocates in all (about
 * 500 KB), where the default 256 MB kept the allocator handing out cold,
 * fresh pages. Allocation and free stacks are recorded five frames deep
 * instead of thirty: a report still gives the faulting access's whole
 * stack, and a reproduction with ASAN_OPTIONS=malloc_context_size=30 the
 * rest, while the stack walk on every allocation was the largest single
 * cost of a sanitized execution.
 */
extern "C" __attribute__((visibility("default"), used)) const char *__asan_default_options()
{
    return "quarantine_size_mb=4:malloc_context_size=5";
}

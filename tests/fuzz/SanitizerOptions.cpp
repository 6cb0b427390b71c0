/*
 * SanitizerOptions.cpp - AddressSanitizer's defaults for every fuzz target
 * (ASAN_OPTIONS overrides any of them).
 *
 * Each input builds a world of its own and tears it down, so a use after
 * free that matters is one within an input: a quarantine of 16 MB holds a
 * freed block back from reuse for the next hundred or more inputs' frees,
 * and takes the sanitizer's allocator off fresh pages (the default 256 MB
 * kept a process faulting in new memory for its first several thousand
 * inputs). Allocation and free stacks are recorded five frames deep: a
 * report still gives the faulting access's whole stack, and a reproduction
 * with ASAN_OPTIONS=malloc_context_size=30 the rest. Together they take
 * about a third off a whole-system execution, most of it the stack walk on
 * every allocation.
 */
extern "C" __attribute__((visibility("default"), used)) const char *__asan_default_options()
{
    return "quarantine_size_mb=16:malloc_context_size=5";
}

// Replacement global allocation functions for the benchmark binary: each
// allocation is counted, then served by malloc. Counting is a relaxed
// atomic increment, cheap beside the allocation itself.
#include "AllocationCount.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<std::uint64_t> g_Allocations{0};

void *Allocate(std::size_t Size)
{
    g_Allocations.fetch_add(1, std::memory_order_relaxed);
    void *P = std::malloc(Size == 0 ? 1 : Size);
    if (P == nullptr) throw std::bad_alloc();
    return P;
}
} // namespace

std::uint64_t bench::Allocations() { return g_Allocations.load(std::memory_order_relaxed); }

void *operator new(std::size_t Size) { return Allocate(Size); }
void *operator new[](std::size_t Size) { return Allocate(Size); }
void operator delete(void *P) noexcept { std::free(P); }
void operator delete[](void *P) noexcept { std::free(P); }
void operator delete(void *P, std::size_t) noexcept { std::free(P); }
void operator delete[](void *P, std::size_t) noexcept { std::free(P); }

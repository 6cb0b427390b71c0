// Heap allocations made by the process so far, counted by the benchmark
// binary's replacement of the global allocation functions
// (AllocationCount.cpp). A benchmark reads the count before and after its
// timed loop and reports allocations per packet.
#pragma once
#include <cstdint>

namespace bench {
std::uint64_t Allocations();
} // namespace bench

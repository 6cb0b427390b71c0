// What a loopback may give back of what it was given: the bytes read are an
// in-order subsequence of the bytes written (the device drops what finds no
// room, never invents, duplicates or reorders).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace test_support {

inline bool IsSubsequence(const std::vector<std::uint8_t> &Part, const std::vector<std::uint8_t> &Whole)
{
    std::size_t At = 0;
    for (std::uint8_t B : Part) {
        while (At < Whole.size() && Whole[At] != B) ++At;
        if (At == Whole.size()) return false;
        ++At;
    }
    return true;
}

} // namespace test_support

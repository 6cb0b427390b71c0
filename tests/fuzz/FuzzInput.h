/*
 * FuzzInput.h - reads a fuzz input as a stream of small decisions. Past the
 * end every read yields zero, so any byte string is a valid program.
 */
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace fuzz {

class Input {
public:
    Input(const std::uint8_t *Data, std::size_t Size) : data_(Data), size_(Size) {}
    bool Empty() const { return at_ >= size_; }
    std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint16_t U16() { return static_cast<std::uint16_t>(Byte() | (Byte() << 8)); }
    std::uint32_t U32() { return U16() | (static_cast<std::uint32_t>(U16()) << 16); }
    /* A value in [0, Bound). */
    std::size_t Below(std::size_t Bound) { return Bound == 0 ? 0 : U16() % Bound; }
    std::vector<std::uint8_t> Bytes(std::size_t Length)
    {
        std::vector<std::uint8_t> Out;
        while (Out.size() < Length && !Empty()) Out.push_back(Byte());
        return Out;
    }

private:
    const std::uint8_t *data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

} // namespace fuzz

// Reads the variable-length integer codes of a Shorten bit stream, most
// significant bit of each byte first.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/bytes.hpp"
#include "common/result.hpp"

namespace korrin::bitreader {

// The longest unary run a code may have: 2^26 zeros before its one bit.
inline constexpr std::uint64_t kMaxUnaryZeros = std::uint64_t{1} << 26;
// The widest low part a code may have.
inline constexpr std::uint32_t kMaxLowBits = 32;

class BitReader {
public:
    // A reader over `data`, starting at bit 0 of byte `start`.
    BitReader(ByteView data, std::size_t start) noexcept;

    Result<std::uint64_t> uvar(std::uint32_t n);
    Result<std::int64_t> var(std::uint32_t n);
    Result<std::uint64_t> ulong();

    // Index of the byte holding the next bit, and of that bit (0 = MSB).
    std::size_t pos() const noexcept;
    std::uint8_t bit() const noexcept;

private:
    ByteView data_;
    std::size_t pos_;
    std::uint8_t bit_ = 0;
};

}  // namespace korrin::bitreader

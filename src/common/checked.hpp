// Overflow-checked 64-bit arithmetic for values that come from input. Each
// returns false (leaving `out` unspecified) instead of wrapping.
#pragma once

#include <bit>
#include <cstdint>

namespace korrin {

[[nodiscard]] inline bool checked_add(std::int64_t a, std::int64_t b, std::int64_t& out) noexcept {
    return !__builtin_add_overflow(a, b, &out);
}
[[nodiscard]] inline bool checked_sub(std::int64_t a, std::int64_t b, std::int64_t& out) noexcept {
    return !__builtin_sub_overflow(a, b, &out);
}
[[nodiscard]] inline bool checked_mul(std::int64_t a, std::int64_t b, std::int64_t& out) noexcept {
    return !__builtin_mul_overflow(a, b, &out);
}
[[nodiscard]] inline bool checked_add(std::uint64_t a, std::uint64_t b, std::uint64_t& out) noexcept {
    return !__builtin_add_overflow(a, b, &out);
}
[[nodiscard]] inline bool checked_mul(std::uint64_t a, std::uint64_t b, std::uint64_t& out) noexcept {
    return !__builtin_mul_overflow(a, b, &out);
}

// a / d rounded toward zero, as the / operator divides, for 0 < d < 2^63.
// Where d is a power of two (the usual block sizes and mean counts), a
// shift of a biased a instead of a division, which takes tens of cycles.
[[nodiscard]] inline std::int64_t divide(std::int64_t a, std::uint64_t d) noexcept {
    if (std::has_single_bit(d)) {
        // Negative values take d - 1 first, so that the shift (which rounds
        // down) rounds toward zero; a + (d - 1) cannot overflow for a < 0.
        const std::int64_t bias = (a >> 63) & static_cast<std::int64_t>(d - 1);
        return (a + bias) >> std::countr_zero(d);
    }
    return a / static_cast<std::int64_t>(d);
}

}  // namespace korrin

// Overflow-checked 64-bit arithmetic for values that come from input. Each
// returns false (leaving `out` unspecified) instead of wrapping.
#pragma once

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

}  // namespace korrin

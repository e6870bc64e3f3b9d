#include "bitreader/bitreader.hpp"

#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace korrin::bitreader {
namespace {

using detail::fold;
using detail::load_be64;

[[gnu::cold]] DecodeError past_end() {
    return invalid("truncated or corrupt shorten stream: ran past end of bitstream");
}
[[gnu::cold]] DecodeError runaway() { return invalid("runaway unary code"); }
[[gnu::cold]] DecodeError oversized(std::uint32_t n) { return invalid("oversized uvar width ", n); }

}  // namespace

BitReader::BitReader(ByteView data, std::size_t start) noexcept
    : data_(data.data()), size_(data.size()), next_(start) {}

// Tops the cache up to at least 56 valid bits, or to every bit left.
void BitReader::refill() noexcept {
    if (next_ < size_ && size_ - next_ >= 8) {
        // Whole bytes only: the bits that do not fit stay below `valid_` as
        // the stream's own bits, which the next refill ORs in again.
        cache_ |= load_be64(data_ + next_) >> valid_;
        next_ += (63 - valid_) >> 3;
        valid_ |= 56;
        return;
    }
    while (valid_ < 56 && next_ < size_) {
        cache_ |= std::uint64_t{data_[next_++]} << (56 - valid_);
        valid_ += 8;
    }
}

Result<std::uint64_t> BitReader::uvar(std::uint32_t n) {
    if (n > kMaxLowBits) return oversized(n);

    std::uint64_t zeros = 0;
    for (;;) {
        if (valid_ < 56) refill();
        if (valid_ == 0) return past_end();
        const auto run = static_cast<unsigned>(std::countl_zero(cache_));
        if (run < valid_) {
            if (zeros + run > kMaxUnaryZeros) {
                consume(static_cast<unsigned>(kMaxUnaryZeros + 1 - zeros));
                return runaway();
            }
            zeros += run;
            consume(run + 1);
            break;
        }
        // Every cached bit is a zero of the run.
        if (zeros + valid_ > kMaxUnaryZeros) {
            consume(static_cast<unsigned>(kMaxUnaryZeros + 1 - zeros));
            return runaway();
        }
        zeros += valid_;
        consume(valid_);
    }

    if (n == 0) return zeros;
    if (valid_ < n) refill();
    if (valid_ < n) {
        consume(valid_);  // every bit left was read before the end was met
        return past_end();
    }
    const std::uint64_t low = cache_ >> (64 - n);
    consume(n);
    return (zeros << n) | low;
}

Result<std::int64_t> BitReader::var(std::uint32_t n) {
    KR_ASSIGN_OR_RETURN(const std::uint64_t u, uvar(n));
    return fold(u);
}

Result<std::uint64_t> BitReader::ulong() {
    KR_ASSIGN_OR_RETURN(const std::uint64_t width, uvar(2));
    // The width is below 2^29 (2^26 * 4 + 3), so it fits the argument.
    return uvar(static_cast<std::uint32_t>(width));
}

bool has_fast_bit_instructions() noexcept {
#if defined(__x86_64__)
    static const bool has = [] {
        unsigned a = 0, b = 0, c = 0, d = 0;
        if (__get_cpuid(0x80000001, &a, &b, &c, &d) == 0 || (c & (1u << 5)) == 0) return false;  // LZCNT
        if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
        return (b & (1u << 3)) != 0 && (b & (1u << 8)) != 0;  // BMI1, BMI2
    }();
    return has;
#else
    return false;
#endif
}

Result<void> BitReader::var_block(std::uint32_t n, std::span<std::int64_t> out, std::size_t& decoded) {
    decoded = 0;
    if (out.empty()) return ok();
    if (n > kMaxLowBits) return oversized(n);

    std::size_t i = 0;
    while (i < out.size()) {
        std::int64_t* next = out.data() + i;
        i += take_fast_here(*this, n, out.size() - i, [next](std::int64_t v) mutable noexcept {
            *next++ = v;
            return true;
        });
        if (i == out.size()) break;
        // A long code, or one among the last eight bytes.
        auto u = uvar(n);
        if (!u) {
            decoded = i;
            return std::move(u).error();
        }
        out[i++] = fold(*u);
    }
    decoded = i;
    return ok();
}

}  // namespace korrin::bitreader

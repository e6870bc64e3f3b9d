// Reads the variable-length integer codes of a Shorten bit stream, most
// significant bit of each byte first.
//
// Bits are served from a 64-bit cache, so a unary run costs one count of
// leading zeros per cached word rather than one step per bit. The cache is an
// implementation detail: values, errors and the position after every call,
// failed ones included, are those of a reader that takes one bit at a time.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

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

    // q zeros, a one, then n plain bits: q * 2^n + low.
    Result<std::uint64_t> uvar(std::uint32_t n);
    // uvar(n) folded into a signed value: 0, 1, 2, 3 read as 0, -1, 1, -2.
    Result<std::int64_t> var(std::uint32_t n);
    // uvar(uvar(2)).
    Result<std::uint64_t> ulong();

    // Reads out.size() var(n) codes into `out`, the same as that many var(n)
    // calls but faster. On failure `decoded` is the number of codes read
    // before the one that failed; on success it is out.size().
    Result<void> var_block(std::uint32_t n, std::span<std::int64_t> out, std::size_t& decoded);

    // Takes up to `count` var(n) codes (1 <= n <= 32) the fast way, handing each
    // value to `take(value)`, which returns false to stop after it. Returns
    // how many codes were taken: fewer than `count` when `take` stopped, or
    // when the next code needs the careful way (a run longer than a cache
    // fill, or the last eight bytes of the stream), which var_block and
    // uvar take. Never fails: what it takes, it takes exactly as var(n).
    //
    // Defined here so that a caller can compile it into a loop of its own,
    // for the processor it runs on (see has_fast_bit_instructions).
    template <class Take>
    std::size_t take_fast(std::uint32_t n, std::size_t count, Take&& take) noexcept;

    // Index of the byte holding the next bit, and of that bit (0 = MSB).
    std::size_t pos() const noexcept { return bit_position() >> 3; }
    std::uint8_t bit() const noexcept { return static_cast<std::uint8_t>(bit_position() & 7); }

private:
    std::uint64_t bit_position() const noexcept { return std::uint64_t{next_} * 8 - valid_; }
    void refill() noexcept;
    void consume(unsigned count) noexcept {
        cache_ <<= count;
        valid_ -= count;
    }

    const std::uint8_t* data_;
    std::size_t size_;
    // The next byte to move into the cache.
    std::size_t next_;
    // The top `valid_` bits of `cache_` are the next bits of the stream. Each
    // bit below them is either zero or the stream's own bit at that place.
    std::uint64_t cache_ = 0;
    unsigned valid_ = 0;  // at most 63
};

// True on x86-64 processors with lzcnt and BMI2, where a copy of a loop
// around take_fast compiled with [[gnu::target("lzcnt,bmi,bmi2")]] runs
// nearly twice as fast: the count of leading zeros and the shifts form the
// chain that every code waits on, and without them the compiler must use
// bsr and shifts through cl. Checked once, by cpuid.
bool has_fast_bit_instructions() noexcept;

// reader.take_fast(n, count, take), on a copy of the loop compiled for this
// processor. Each caller's `Take` gets its own pair of copies.
//
// `take` is passed by value: a local whose address never escapes lives in
// registers, where one behind a reference would be written back after every
// value, in case the values' stores reached it.
template <class Take>
std::size_t take_fast_here(BitReader& reader, std::uint32_t n, std::size_t count, Take take) noexcept;

namespace detail {

inline std::uint64_t load_be64(const std::uint8_t* p) noexcept {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return __builtin_bswap64(word);
}

inline std::int64_t fold(std::uint64_t u) noexcept { return static_cast<std::int64_t>((u >> 1) ^ (0 - (u & 1))); }

}  // namespace detail

template <class Take>
[[gnu::always_inline]] inline std::size_t BitReader::take_fast(std::uint32_t n, std::size_t count, Take&& take) noexcept {
    if (n == 0 || n > kMaxLowBits || size_ < 8) return 0;
    const std::size_t wide_end = size_ - 8;
    std::uint64_t cache = cache_;
    unsigned valid = valid_;
    std::size_t next = next_;
    const unsigned low_shift = 64 - n;
    const unsigned after_run = n + 1;
    std::size_t i = 0;
    while (i < count && next <= wide_end) {
        cache |= detail::load_be64(data_ + next) >> valid;
        next += (63 - valid) >> 3;
        valid |= 56;
        // Take codes from this fill for as long as they lie wholly in it.
        // `| 1` spares the zero test: an all-zero cache gives a run of 63,
        // which no code of valid bits can have.
        for (;;) {
            const auto run = static_cast<unsigned>(__builtin_clzll(cache | 1));
            const unsigned length = run + after_run;
            if (length > valid) break;
            // The code's one bit at the top, then its low bits.
            const std::uint64_t marked = cache << run;
            const std::uint64_t low = (marked + marked) >> low_shift;
            cache = marked << after_run;
            valid -= length;
            ++i;
            if (!take(detail::fold((std::uint64_t{run} << n) | low)) || i == count) goto done;
        }
        // The next code does not fit what is left of the fill: top it up and
        // try again, unless the fill was full, when the code is long.
        if (valid >= 56) break;
    }
done:
    cache_ = cache;
    valid_ = valid;
    next_ = next;
    return i;
}

namespace detail {

template <class Take>
std::size_t take_fast_portable(BitReader& reader, std::uint32_t n, std::size_t count, Take take) noexcept {
    return reader.take_fast(n, count, take);
}

#if defined(__x86_64__)
template <class Take>
[[gnu::target("lzcnt,bmi,bmi2")]] std::size_t take_fast_bmi2(BitReader& reader, std::uint32_t n, std::size_t count,
                                                              Take take) noexcept {
    return reader.take_fast(n, count, take);
}
#endif

}  // namespace detail

template <class Take>
std::size_t take_fast_here(BitReader& reader, std::uint32_t n, std::size_t count, Take take) noexcept {
#if defined(__x86_64__)
    if (has_fast_bit_instructions()) return detail::take_fast_bmi2(reader, n, count, take);
#endif
    return detail::take_fast_portable(reader, n, count, take);
}

}  // namespace korrin::bitreader

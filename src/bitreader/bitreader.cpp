#include "bitreader/bitreader.hpp"

#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace korrin::bitreader {
namespace {

static_assert(std::endian::native == std::endian::little, "the wide load assumes a little-endian host");

inline std::uint64_t load_be64(const std::uint8_t* p) noexcept {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return __builtin_bswap64(word);
}

inline std::int64_t fold(std::uint64_t u) noexcept {
    return static_cast<std::int64_t>((u >> 1) ^ (0 - (u & 1)));
}

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

namespace {

// The codes that lie wholly in freshly filled caches, taken while eight
// bytes can still be loaded: the whole of a well-formed stream but its last
// few bytes. Stops at the first code that needs the careful path (a run
// longer than a fill, the end of the stream) or when `count` codes are out.
struct WideState {
    std::uint64_t cache;
    unsigned valid;
    std::size_t next;
};

[[gnu::always_inline]] inline std::size_t take_wide(WideState& state, const std::uint8_t* data, std::size_t wide_end,
                                                    std::uint32_t n, std::int64_t* out, std::size_t count) noexcept {
    std::uint64_t cache = state.cache;
    unsigned valid = state.valid;
    std::size_t next = state.next;
    const unsigned low_shift = 64 - n;
    const unsigned after_run = n + 1;
    std::size_t i = 0;
    while (next <= wide_end) {
        cache |= load_be64(data + next) >> valid;
        next += (63 - valid) >> 3;
        valid |= 56;
        // Take codes from this fill for as long as they lie wholly in it.
        // `| 1` spares the zero test: an all-zero cache gives a run of 63,
        // which no code of valid bits can have.
        for (;;) {
            const auto run = static_cast<unsigned>(__builtin_clzll(cache | 1));
            const unsigned length = run + 1 + n;
            if (length > valid) break;
            // The code's one bit at the top, then its low bits (n >= 1).
            const std::uint64_t marked = cache << run;
            const std::uint64_t low = (marked + marked) >> low_shift;
            out[i++] = fold((std::uint64_t{run} << n) | low);
            cache = marked << after_run;
            valid -= length;
            if (i == count) goto done;
        }
        // The next code does not fit what is left of the fill: top it up and
        // try again, unless the fill was full, when the code is long.
        if (valid >= 56) break;
    }
done:
    state = {cache, valid, next};
    return i;
}

using TakeWide = std::size_t (*)(WideState&, const std::uint8_t*, std::size_t, std::uint32_t, std::int64_t*,
                                 std::size_t) noexcept;

std::size_t take_wide_portable(WideState& state, const std::uint8_t* data, std::size_t wide_end, std::uint32_t n,
                               std::int64_t* out, std::size_t count) noexcept {
    return take_wide(state, data, wide_end, n, out, count);
}

#if defined(__x86_64__)
// The same loop where the processor counts leading zeros in one step
// (lzcnt) and shifts without touching the flags (BMI2): the count and the
// shifts form the chain that each code waits on, and the generic build has
// to use bsr and shift through cl. Nearly twice as fast on the machines
// that have them, which is every x86-64 made since about 2013.
[[gnu::target("lzcnt,bmi,bmi2")]] std::size_t take_wide_bmi2(WideState& state, const std::uint8_t* data,
                                                              std::size_t wide_end, std::uint32_t n,
                                                              std::int64_t* out, std::size_t count) noexcept {
    return take_wide(state, data, wide_end, n, out, count);
}

bool has_lzcnt_and_bmi2() noexcept {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(0x80000001, &a, &b, &c, &d) == 0 || (c & (1u << 5)) == 0) return false;  // LZCNT
    if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
    return (b & (1u << 3)) != 0 && (b & (1u << 8)) != 0;  // BMI1, BMI2
}
#endif

TakeWide pick_take_wide() noexcept {
#if defined(__x86_64__)
    if (has_lzcnt_and_bmi2()) return take_wide_bmi2;
#endif
    return take_wide_portable;
}

}  // namespace

Result<void> BitReader::var_block(std::uint32_t n, std::span<std::int64_t> out, std::size_t& decoded) {
    static const TakeWide take = pick_take_wide();

    decoded = 0;
    if (out.empty()) return ok();
    if (n > kMaxLowBits) return oversized(n);

    const std::size_t wide_end = size_ >= 8 ? size_ - 8 : 0;
    // The wide loop takes codes with low bits; n = 0 goes the careful way.
    const bool wide_possible = size_ >= 8 && n > 0;
    std::size_t i = 0;
    while (i < out.size()) {
        if (wide_possible) {
            WideState state{cache_, valid_, next_};
            i += take(state, data_, wide_end, n, out.data() + i, out.size() - i);
            cache_ = state.cache;
            valid_ = state.valid;
            next_ = state.next;
            if (i == out.size()) break;
        }
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

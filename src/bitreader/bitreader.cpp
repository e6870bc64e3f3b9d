#include "bitreader/bitreader.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "common/cpu.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace korrin::bitreader {
namespace {

std::uint64_t load_be64(const std::uint8_t* p) noexcept {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    return __builtin_bswap64(word);  // the host is little-endian (common/bytes.hpp)
}

std::int64_t fold(std::uint64_t u) noexcept { return static_cast<std::int64_t>((u >> 1) ^ (0 - (u & 1))); }

[[gnu::cold]] DecodeError past_end() {
    return invalid("truncated or corrupt shorten stream: ran past end of bitstream");
}
[[gnu::cold]] DecodeError runaway() { return invalid("runaway unary code"); }
[[gnu::cold]] DecodeError oversized(std::uint32_t n) { return invalid("oversized uvar width ", n); }

}  // namespace

BitReader::BitReader(ByteView data, std::size_t start) noexcept
    : data_(data.data()), size_(data.size()), next_(start) {}

void BitReader::seek(std::uint64_t position) noexcept {
    next_ = static_cast<std::size_t>(std::min<std::uint64_t>(position / 8, size_));
    cache_ = 0;
    valid_ = 0;
    refill();
    consume(std::min(valid_, static_cast<unsigned>(position % 8)));
}

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

Result<std::uint64_t> BitReader::uvar_careful(std::uint32_t n) {
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

// The fast road for a block of codes, in two passes.
//
// The first takes the codes in groups of four with no check between them,
// and keeps of each only the cache word at its start and its count of
// leading zeros: per code, the count, and the word shifted past the code
// (by the fixed part, which does not wait on the count, then by the
// count), so that only the count and one shift wait on the code before.
// The cache is topped up within the group, between the third code and the
// fourth, from the word loaded ahead at the next byte: the fourth code's
// fixed part is dropped, the new bytes are ORed in below what is left,
// and the shift by the fourth count then gives the next group's cache, so
// that topping up costs the chain nothing. Once per group, the group's
// length is tested against the bits in hand (the cache's before the new
// bytes); a group that did not fit (rare: about one in several hundred on
// speech) is taken again one checked code at a time.
//
// The second pass forms each value from its word and count, in a loop
// with no chain (AVX2 where the processor has it): done inside the first,
// the shifts that form a value (a code's low bits, its fold) outnumbered
// those of the chain, and the loop waited on its shift ports instead of
// its chain.
//
// The first stops before a code longer than a cache fill, and before the
// last eight bytes of the stream, which var_block reads the careful way.

// 1 <= n <= 32. Leaves in words[i] and runs[i] the cache word at the start
// of each code taken and its count of leading zeros (below 64).
[[gnu::always_inline]] inline std::size_t BitReader::take_grouped(std::uint32_t n, std::int64_t* words,
                                                                  std::uint8_t* runs, std::size_t count) noexcept {
    if (size_ < 8) return 0;
    const std::uint8_t* const data = data_;
    const std::size_t wide_end = size_ - 8;
    std::uint64_t cache = cache_;
    std::uint64_t valid = valid_;
    std::size_t next = next_;
    const std::uint64_t fixed = n + 1;  // the one bit and the low bits
    const auto group_fixed = static_cast<std::int64_t>(4 * fixed);
    const auto keep = [words, runs](std::size_t at, std::uint64_t word, std::uint64_t run) {
        words[at] = static_cast<std::int64_t>(word);
        runs[at] = static_cast<std::uint8_t>(run);
    };
    std::size_t i = 0;
    while (i < count && next <= wide_end) {
        // Whole bytes only: the bits that do not fit stay below `valid`
        // as the stream's own bits. Afterwards valid >= 56.
        cache |= load_be64(data + next) >> valid;
        next += (63 - valid) >> 3;
        valid |= 56;
        while (count - i >= 4 && next <= wide_end) {
            // An all-zero word gives a count of 64 (and a shift by 0),
            // which no code within the valid bits can have, so such a
            // group fails the test below. `left` is what remains of the
            // valid bits once the four fixed parts and the counts so far
            // are taken; each shift is below 64, so the two shifts
            // together are exact whatever they add to.
            const std::uint64_t ahead = load_be64(data + next);
            std::uint64_t c = cache;
            std::int64_t left = static_cast<std::int64_t>(valid) - group_fixed;
            for (std::size_t g = 0; g < 3; ++g) {
                const auto run = static_cast<std::uint64_t>(std::countl_zero(c));
                keep(i + g, c, run);
                c = (c << fixed) << (run & 63);
                left -= static_cast<std::int64_t>(run);
            }
            const auto run = static_cast<std::uint64_t>(std::countl_zero(c));
            keep(i + 3, c, run);
            // c without the fourth code's fixed part holds `left` valid
            // bits (when the group fits), and `ahead` the bits after them.
            const std::uint64_t topped = (c << fixed) | (ahead >> (left & 63));
            if (left < static_cast<std::int64_t>(run)) break;
            const std::uint64_t bytes = (63 - static_cast<std::uint64_t>(left)) >> 3;
            cache = topped << run;
            valid = static_cast<std::uint64_t>(left) + 8 * bytes - run;  // below 64
            next += bytes;
            i += 4;
        }
        if (i == count || next > wide_end) break;
        // One code, checked. With 56 bits or more in hand, one that does not
        // fit is long: the careful road takes it.
        cache |= load_be64(data + next) >> valid;
        next += (63 - valid) >> 3;
        valid |= 56;
        const auto run = static_cast<std::uint64_t>(__builtin_clzll(cache | 1));
        const std::uint64_t length = run + fixed;
        if (length > valid) break;
        keep(i, cache, run);
        cache = (cache << run) << fixed;
        valid -= length;
        ++i;
    }
    cache_ = cache;
    valid_ = static_cast<unsigned>(valid);
    next_ = next;
    return i;
}

std::size_t BitReader::take_grouped_portable(std::uint32_t n, std::int64_t* words, std::uint8_t* runs,
                                             std::size_t count) noexcept {
    return take_grouped(n, words, runs, count);
}

#if defined(__x86_64__)
[[gnu::target("lzcnt,bmi,bmi2")]] std::size_t BitReader::take_grouped_bmi2(std::uint32_t n, std::int64_t* words,
                                                                           std::uint8_t* runs,
                                                                           std::size_t count) noexcept {
    return take_grouped(n, words, runs, count);
}
#endif

namespace {

// The value of a code of `run` zeros whose cache word was `word`: with
// x = word << run (its one bit on top), u = run * 2^n + the n bits after
// the one, folded. In place, words becoming values.
// Returns the OR of the values' halves (u >> 1), which bounds each value's
// magnitude but for one: the value of u is u / 2 or -(u / 2) - 1.
std::uint64_t form_values_portable(std::uint32_t n, std::int64_t* io, const std::uint8_t* runs,
                                   std::size_t count) noexcept {
    std::uint64_t halves = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t run = runs[i];
        const std::uint64_t x = static_cast<std::uint64_t>(io[i]) << run;
        const std::uint64_t u = (run << n) | ((x << 1) >> (64 - n));
        halves |= u >> 1;
        io[i] = fold(u);
    }
    return halves;
}

#if defined(__x86_64__)
// The same four at a time. With q = u >> 1 and b = u & 1, the value is
// q ^ -b: q = run * 2^(n-1) + (x >> (64 - n)) - 2^(n-1) (the top n bits
// of x are the one bit and the first n - 1 low bits), and b, the last low
// bit, is bit 63 of x << n.
[[gnu::target("avx2")]] std::uint64_t form_values_avx2(std::uint32_t n, std::int64_t* io, const std::uint8_t* runs,
                                                       std::size_t count) noexcept {
    const __m256i to_q = _mm256_set1_epi64x(n - 1);
    const __m256i to_low = _mm256_set1_epi64x(64 - n);
    const __m256i to_last = _mm256_set1_epi64x(n);
    const __m256i half = _mm256_set1_epi64x(std::int64_t{1} << (n - 1));
    const __m256i zero = _mm256_setzero_si256();
    __m256i halves = zero;
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        std::int32_t four;
        std::memcpy(&four, runs + i, sizeof four);
        const __m256i run = _mm256_cvtepu8_epi64(_mm_cvtsi32_si128(four));
        const __m256i x = _mm256_sllv_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(io + i)), run);
        const __m256i q =
            _mm256_sub_epi64(_mm256_add_epi64(_mm256_sllv_epi64(run, to_q), _mm256_srlv_epi64(x, to_low)), half);
        const __m256i b = _mm256_cmpgt_epi64(zero, _mm256_sllv_epi64(x, to_last));
        halves = _mm256_or_si256(halves, q);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(io + i), _mm256_xor_si256(q, b));
    }
    const __m128i pair = _mm_or_si128(_mm256_castsi256_si128(halves), _mm256_extracti128_si256(halves, 1));
    const auto lanes =
        static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_or_si128(pair, _mm_unpackhi_epi64(pair, pair))));
    return lanes | form_values_portable(n, io + i, runs + i, count - i);
}
#endif

}  // namespace

Result<void> BitReader::var_block(std::uint32_t n, std::span<std::int64_t> out, std::size_t& decoded,
                                  std::uint64_t* magnitude) {
    decoded = 0;
    std::uint64_t halves = 0;  // of the values read so far
    const auto bound = [magnitude, &halves] {
        if (magnitude != nullptr) *magnitude = halves + 1;
    };
    bound();
    if (out.empty()) return ok();
    if (n > kMaxLowBits) return oversized(n);

    std::size_t i = 0;
    while (i < out.size()) {
        if (n > 0) {
            // The counts of a piece of the block, then its values.
            constexpr std::size_t kPiece = 256;
            std::uint8_t runs[kPiece];
            const std::size_t piece = std::min(out.size() - i, kPiece);
            std::int64_t* const words = out.data() + i;
            std::size_t taken;
#if defined(__x86_64__)
            if (has_fast_bit_instructions())
                taken = take_grouped_bmi2(n, words, runs, piece);
            else
#endif
                taken = take_grouped_portable(n, words, runs, piece);
#if defined(__x86_64__)
            if (has_avx2())
                halves |= form_values_avx2(n, words, runs, taken);
            else
#endif
                halves |= form_values_portable(n, words, runs, taken);
            i += taken;
            if (taken == piece) continue;
        }
        if (i == out.size()) break;
        // A long code, or one among the last eight bytes.
        auto u = uvar(n);
        if (!u) {
            decoded = i;
            bound();
            return std::move(u).error();
        }
        halves |= *u >> 1;
        out[i++] = fold(*u);
    }
    decoded = i;
    bound();
    return ok();
}

}  // namespace korrin::bitreader

#include "bitreader/bitreader.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "common/cpu.hpp"

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

// The fast road for a block of codes reads them in two passes.
//
// First the codes' bits: the cache is topped up once, then a group of
// four codes is taken with no check between them, keeping per code only
// its count of leading zeros and the cache word that starts at its one bit,
// so that only the count and two shifts wait on the code before. Once per
// group, the group's total length is tested against the bits in hand; a
// group that did not fit (rare: about one in several hundred on speech) is
// taken again one checked code at a time. Then the values, for the whole
// run of codes at once, from the stored words and counts: a loop with no
// chain from one value to the next, which the compiler vectorises (four
// values at a time with AVX2, where the processor has it).
//
// It stops before a code longer than a cache fill, and before the last
// eight bytes of the stream, which var_block reads the careful way.
namespace {

// Codes whose counts wait in a local array for the second pass.
constexpr std::size_t kChunk = 256;

// out[k] holds the cache word that starts at code k's one bit: its low bits
// follow that bit.
[[gnu::always_inline]] inline void form_values(std::int64_t* out, const std::uint8_t* runs, std::size_t count,
                                               std::uint32_t n) noexcept {
    const unsigned low_shift = 64 - n;
    for (std::size_t k = 0; k < count; ++k) {
        const auto word = static_cast<std::uint64_t>(out[k]);
        out[k] = fold((std::uint64_t{runs[k]} << n) | ((word << 1) >> low_shift));
    }
}

void form_values_portable(std::int64_t* out, const std::uint8_t* runs, std::size_t count, std::uint32_t n) noexcept {
    form_values(out, runs, count, n);
}

#if defined(__x86_64__)
[[gnu::target("avx2")]] void form_values_avx2(std::int64_t* out, const std::uint8_t* runs, std::size_t count,
                                               std::uint32_t n) noexcept {
    form_values(out, runs, count, n);
}
#endif

void form_values_here(std::int64_t* out, const std::uint8_t* runs, std::size_t count, std::uint32_t n) noexcept {
#if defined(__x86_64__)
    if (has_avx2()) return form_values_avx2(out, runs, count, n);
#endif
    form_values_portable(out, runs, count, n);
}

}  // namespace

// 1 <= n <= 32.
[[gnu::always_inline]] inline std::size_t BitReader::take_grouped(std::uint32_t n, std::int64_t* out,
                                                                  std::size_t count) noexcept {
    if (size_ < 8) return 0;
    const std::size_t wide_end = size_ - 8;
    std::uint64_t cache = cache_;
    unsigned valid = valid_;
    std::size_t next = next_;
    const unsigned after_run = n + 1;  // the one bit and the low bits
    std::uint8_t runs[kChunk];
    std::size_t i = 0;
    bool stopped = false;
    while (i < count && !stopped) {
        std::int64_t* const words = out + i;
        const std::size_t chunk = std::min(count - i, kChunk);
        std::size_t j = 0;
        while (j < chunk) {
            if (next > wide_end) {
                stopped = true;
                break;
            }
            // Whole bytes only: the bits that do not fit stay below `valid`
            // as the stream's own bits. Afterwards valid >= 56.
            cache |= load_be64(data_ + next) >> valid;
            next += (63 - valid) >> 3;
            valid |= 56;
            if (chunk - j >= 4) {
                // An all-zero cache gives a run of 64 (and a shift by 0),
                // which no code within the valid bits can have, so such a
                // group fails the test below. With lzcnt the count of zeros
                // is one instruction, and the `& 63` comes free with the
                // shift: the chain from one code to the next is the count
                // and two shifts.
                std::uint64_t c = cache;
                unsigned total = 0;
                for (std::size_t g = 0; g < 4; ++g) {
                    const auto run = static_cast<unsigned>(std::countl_zero(c));
                    const std::uint64_t marked = c << (run & 63);
                    words[j + g] = static_cast<std::int64_t>(marked);
                    runs[j + g] = static_cast<std::uint8_t>(run);
                    c = marked << after_run;
                    total += run + after_run;
                }
                if (total <= valid) {
                    cache = c;
                    valid -= total;
                    j += 4;
                    continue;
                }
            }
            // One code, checked. With 56 bits or more in hand, one that does
            // not fit is long: the careful road takes it.
            const auto run = static_cast<unsigned>(__builtin_clzll(cache | 1));
            const unsigned length = run + after_run;
            if (length > valid) {
                stopped = true;
                break;
            }
            const std::uint64_t marked = cache << run;
            words[j] = static_cast<std::int64_t>(marked);
            runs[j] = static_cast<std::uint8_t>(run);
            cache = marked << after_run;
            valid -= length;
            ++j;
        }
        form_values_here(words, runs, j, n);
        i += j;
    }
    cache_ = cache;
    valid_ = valid;
    next_ = next;
    return i;
}

std::size_t BitReader::take_grouped_portable(std::uint32_t n, std::int64_t* out, std::size_t count) noexcept {
    return take_grouped(n, out, count);
}

#if defined(__x86_64__)
[[gnu::target("lzcnt,bmi,bmi2")]] std::size_t BitReader::take_grouped_bmi2(std::uint32_t n, std::int64_t* out,
                                                                            std::size_t count) noexcept {
    return take_grouped(n, out, count);
}
#endif

Result<void> BitReader::var_block(std::uint32_t n, std::span<std::int64_t> out, std::size_t& decoded) {
    decoded = 0;
    if (out.empty()) return ok();
    if (n > kMaxLowBits) return oversized(n);

    std::size_t i = 0;
    while (i < out.size()) {
        if (n > 0) {
#if defined(__x86_64__)
            if (has_fast_bit_instructions())
                i += take_grouped_bmi2(n, out.data() + i, out.size() - i);
            else
#endif
                i += take_grouped_portable(n, out.data() + i, out.size() - i);
        }
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

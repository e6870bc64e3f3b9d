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

// The fast road for a block of codes.
//
// The cache is topped up once, then a group of four codes is taken with no
// check between them: per code, the count of leading zeros, and the cache
// word shifted to start after the code, so that only the count and one
// shift wait on the code before. Each code's value is formed from that
// word and its count beside the chain, in the slots the chain leaves idle
// (the count of zeros takes three cycles on Intel processors). Once per
// group, the group's total length is tested against the bits in hand; a
// group that did not fit (rare: about one in several hundred on speech) is
// taken again one checked code at a time, its values written again.
//
// It stops before a code longer than a cache fill, and before the last
// eight bytes of the stream, which var_block reads the careful way.

// 1 <= n <= 32.
[[gnu::always_inline]] inline std::size_t BitReader::take_grouped(std::uint32_t n, std::int64_t* out,
                                                                  std::size_t count) noexcept {
    if (size_ < 8) return 0;
    const std::size_t wide_end = size_ - 8;
    std::uint64_t cache = cache_;
    unsigned valid = valid_;
    std::size_t next = next_;
    const unsigned after_run = n + 1;  // the one bit and the low bits
    const unsigned low_shift = 64 - n;
    // The value of a code of `run` zeros whose one bit starts `marked`.
    const auto value = [n, low_shift](unsigned run, std::uint64_t marked) {
        return fold((std::uint64_t{run} << n) | ((marked << 1) >> low_shift));
    };
    std::size_t i = 0;
    while (i < count) {
        if (next > wide_end) break;
        // Whole bytes only: the bits that do not fit stay below `valid`
        // as the stream's own bits. Afterwards valid >= 56.
        cache |= load_be64(data_ + next) >> valid;
        next += (63 - valid) >> 3;
        valid |= 56;
        if (count - i >= 4) {
            // An all-zero cache gives a run of 64 (and a shift by 0), which
            // no code within the valid bits can have, so such a group fails
            // the test below. With lzcnt the count of zeros is one
            // instruction, and the `& 63` comes free with the shift.
            // The next code's word is c shifted by after_run, which does not
            // wait on the count, and then by the count: only the count and
            // one shift are on the chain from code to code (each shift is
            // below 64, so the two together are exact whatever they add to).
            std::uint64_t c = cache;
            unsigned total = 0;
            for (std::size_t g = 0; g < 4; ++g) {
                const auto run = static_cast<unsigned>(std::countl_zero(c));
                out[i + g] = value(run, c << (run & 63));
                c = (c << after_run) << (run & 63);
                total += run + after_run;
            }
            if (total <= valid) {
                cache = c;
                valid -= total;
                i += 4;
                continue;
            }
        }
        // One code, checked. With 56 bits or more in hand, one that does not
        // fit is long: the careful road takes it.
        const auto run = static_cast<unsigned>(__builtin_clzll(cache | 1));
        const unsigned length = run + after_run;
        if (length > valid) break;
        const std::uint64_t marked = cache << run;
        out[i] = value(run, marked);
        cache = marked << after_run;
        valid -= length;
        ++i;
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

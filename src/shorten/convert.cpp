#include "shorten/convert.hpp"

#include <algorithm>

#include "common/checked.hpp"
#include "common/cpu.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace korrin::shorten {

// Candidates are saturated at 128 as they are formed; from i = 9 on b(i)
// alone is above 127, so later candidates never win.
std::uint8_t shifted_ulaw_magnitude(std::uint64_t m, std::uint32_t t) noexcept {
    std::uint64_t q = 127;
    std::uint64_t b = 0;
    for (std::uint32_t i = 0; i <= t && i <= 8; ++i) {
        if (i > 0) b = b / 2 + 8 * i;
        const std::uint32_t s = t - i;
        std::uint64_t scaled = m;
        if (m != 0) scaled = (s >= 7 || m >= 128) ? 128 : std::min<std::uint64_t>(m << s, 128);
        q = std::min(q, scaled + b);
    }
    return static_cast<std::uint8_t>(q);
}

namespace {

struct Gathered {
    std::uint64_t sum;  // wrapped: exact only when within_2_38
    bool within_2_38;
    bool fits;  // every output sample was formed exactly (see gather_with)
};

// What gather writes besides the sums: nothing, linear samples at shift 0,
// or mu-law code bytes at shift 0.
enum class Form { kNone, kLinear, kUlaw };

// The bounds are ORs of biased values: each is below 2^k exactly when
// every one is, so the loop has no branch and the compiler vectorises it.
// A mu-law value v has the magnitude index m = v for v >= 0 and ~v below,
// and the byte 0xFF - m or 0x7F - m (0xFF - m less 0x80 for a negative
// value), formed exactly when m <= 127, that is when v + 128 < 256.
template <Form kForm>
[[gnu::always_inline]] inline Gathered gather_with(std::span<const std::int64_t> values, std::int16_t* out) noexcept {
    constexpr std::uint64_t kValueBound = std::uint64_t{1} << 38;
    std::uint64_t spread = 0;
    std::uint64_t spread_out = 0;
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const auto v = static_cast<std::uint64_t>(values[i]);
        spread |= v + kValueBound;
        sum += v;
        if constexpr (kForm == Form::kLinear) {
            spread_out |= v + 32768;
            out[i] = static_cast<std::int16_t>(v);
        }
        if constexpr (kForm == Form::kUlaw) {
            // In 16 bits, which hold every value of the domain: the
            // compiler then forms sixteen bytes a vector, not four.
            const auto v16 = static_cast<std::int16_t>(v);
            const auto sign = static_cast<std::int16_t>(v16 >> 15);
            const auto m = static_cast<std::int16_t>(v16 ^ sign);
            spread_out |= v + 128;
            out[i] = static_cast<std::int16_t>((0xFF - m) - (sign & 0x80));
        }
    }
    const bool fits = kForm == Form::kLinear ? spread_out < 65536 : kForm == Form::kUlaw ? spread_out < 256 : true;
    return {sum, spread < 2 * kValueBound, fits};
}

#if defined(__x86_64__)
// The output forms sixteen values a step, written out: left to the
// compilers, the narrowing from 64 to 16 bits came out differently under
// each (clang's mu-law loop took 1.5x GCC's time). While every output
// sample fits, so does every value within 2^38, so only the output's bound
// is gathered; where it shows a value beyond, the sums' bound is found by
// a second look at the values.
template <Form kForm>
[[gnu::target("avx2")]] Gathered gather_avx2(std::span<const std::int64_t> values, std::int16_t* out) noexcept {
    if constexpr (kForm == Form::kNone) {
        return gather_with<kForm>(values, out);
    } else {
        constexpr std::int64_t kBias = kForm == Form::kLinear ? 32768 : 128;  // the output's bound, biased
        const __m256i bias = _mm256_set1_epi64x(kBias);
        const __m256i low_dwords = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
        const auto load = [&values](std::size_t at) __attribute__((target("avx2"), always_inline)) {
            return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(values.data() + at));
        };
        __m256i sums = _mm256_setzero_si256(), spread = _mm256_setzero_si256();
        std::size_t i = 0;
        for (; i + 16 <= values.size(); i += 16) {
            const __m256i v0 = load(i), v1 = load(i + 4), v2 = load(i + 8), v3 = load(i + 12);
            sums = _mm256_add_epi64(sums, _mm256_add_epi64(_mm256_add_epi64(v0, v1), _mm256_add_epi64(v2, v3)));
            spread = _mm256_or_si256(
                spread, _mm256_or_si256(_mm256_or_si256(_mm256_add_epi64(v0, bias), _mm256_add_epi64(v1, bias)),
                                        _mm256_or_si256(_mm256_add_epi64(v2, bias), _mm256_add_epi64(v3, bias))));
            // The low halves of the values in order, then to 16 bits (exact
            // where they fit; where not, the output is not used).
            const __m256i d01 = _mm256_permute2x128_si256(_mm256_permutevar8x32_epi32(v0, low_dwords),
                                                          _mm256_permutevar8x32_epi32(v1, low_dwords), 0x20);
            const __m256i d23 = _mm256_permute2x128_si256(_mm256_permutevar8x32_epi32(v2, low_dwords),
                                                          _mm256_permutevar8x32_epi32(v3, low_dwords), 0x20);
            __m256i w = _mm256_permute4x64_epi64(_mm256_packs_epi32(d01, d23), 0xD8);
            if constexpr (kForm == Form::kUlaw) {
                const __m256i sign = _mm256_srai_epi16(w, 15);
                w = _mm256_sub_epi16(_mm256_sub_epi16(_mm256_set1_epi16(0xFF), _mm256_xor_si256(w, sign)),
                                     _mm256_and_si256(sign, _mm256_set1_epi16(0x80)));
            }
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), w);
        }
        const auto total = [](__m256i x, auto combine) __attribute__((target("avx2"), always_inline)) {
            const __m128i pair = combine(_mm256_castsi256_si128(x), _mm256_extracti128_si256(x, 1));
            return static_cast<std::uint64_t>(_mm_cvtsi128_si64(combine(pair, _mm_unpackhi_epi64(pair, pair))));
        };
        const std::uint64_t sum = total(sums, [](__m128i a, __m128i b) { return _mm_add_epi64(a, b); });
        const std::uint64_t spread_out = total(spread, [](__m128i a, __m128i b) { return _mm_or_si128(a, b); });
        const Gathered rest = gather_with<kForm>(values.subspan(i), out + i);
        Gathered gathered{sum + rest.sum, rest.within_2_38, rest.fits && spread_out < 2 * kBias};
        if (!gathered.fits) gathered.within_2_38 = gather_with<Form::kNone>(values, nullptr).within_2_38;
        return gathered;
    }
}
#endif

template <Form kForm>
Gathered gather(std::span<const std::int64_t> values, std::int16_t* out) noexcept {
#if defined(__x86_64__)
    if (has_avx2()) return gather_avx2<kForm>(values, out);
#endif
    return gather_with<kForm>(values, out);
}

}  // namespace

void SampleConverter::set_shift(std::uint32_t shift) noexcept {
    shift_ = shift;
    if (is_ulaw_ && shift > 0)
        for (std::uint64_t m = 0; m < ulaw_magnitudes_.size(); ++m)
            ulaw_magnitudes_[m] = shifted_ulaw_magnitude(m, shift);
}

void SampleConverter::convert(std::span<const std::int64_t> values, std::int16_t* out,
                              BlockTally& tally) const noexcept {
    // The common cases, linear output and mu-law codes at shift 0, take one
    // pass: the sum and its bound check, and each value's output sample,
    // with a note of whether any value lay beyond what that sample holds
    // (16 bits, or the mu-law domain). Only then is the piece clamped, or
    // searched for its first value outside the domain; both are rare.
    Gathered gathered;
    if (out == nullptr || shift_ != 0)
        gathered = gather<Form::kNone>(values, nullptr);
    else if (is_ulaw_)
        gathered = gather<Form::kUlaw>(values, out);
    else
        gathered = gather<Form::kLinear>(values, out);
    if (sums_ && !tally.sum_overflowed) {
        // A block holds at most 2^24 values: while each is within 2^38 and
        // the sum so far within 2^62, no partial sum can overflow, so one
        // OR per value checks the bound and the sum runs free.
        constexpr std::int64_t kSumBound = std::int64_t{1} << 62;
        if (gathered.within_2_38 && tally.sum < kSumBound && tally.sum > -kSumBound) {
            tally.sum += static_cast<std::int64_t>(gathered.sum);
        } else {
            for (const std::int64_t v : values) {
                if (!checked_add(tally.sum, v, tally.sum)) {
                    tally.sum_overflowed = true;
                    break;
                }
            }
        }
    }
    if (out == nullptr) return;
    if (shift_ != 0) {
        if (is_ulaw_)
            to_shifted_ulaw_bytes(values, out);
        else
            to_linear(values, out);
    } else if (!gathered.fits) {
        if (!is_ulaw_) {
            to_linear(values, out);
        } else if (!tally.ulaw_fault) {
            // The bytes of this block are never used: its completion fails
            // with the first value outside the domain.
            for (const std::int64_t v : values) {
                if ((v ^ (v >> 63)) > 127) {
                    tally.ulaw_fault = true;
                    tally.ulaw_fault_value = v;
                    break;
                }
            }
        }
    }
}

void SampleConverter::to_linear(std::span<const std::int64_t> values, std::int16_t* out) const noexcept {
    if (shift_ == 0) {
        for (std::size_t i = 0; i < values.size(); ++i) {
            const std::int64_t v = values[i];
            out[i] = static_cast<std::int16_t>(v < -32768 ? -32768 : v > 32767 ? 32767 : v);
        }
        return;
    }
    // Beyond 2^20 in magnitude every shift clamps, so clamping there first
    // keeps the product small.
    const std::int64_t scale = std::int64_t{1} << shift_;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::int64_t v = std::clamp<std::int64_t>(values[i], -(1 << 20), 1 << 20);
        out[i] = static_cast<std::int16_t>(std::clamp<std::int64_t>(v * scale, -32768, 32767));
    }
}

void SampleConverter::to_shifted_ulaw_bytes(std::span<const std::int64_t> values, std::int16_t* out) const noexcept {
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::int64_t v = values[i];
        const auto m = static_cast<std::uint64_t>(v < 0 ? ~v : v);
        const std::uint64_t q = m >= 127 ? 127 : ulaw_magnitudes_[m];
        out[i] = static_cast<std::int16_t>(v < 0 ? 0x7F - q : 0xFF - q);
    }
}

}  // namespace korrin::shorten

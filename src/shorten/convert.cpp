#include "shorten/convert.hpp"

#include <algorithm>

#include "common/checked.hpp"
#include "common/cpu.hpp"

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
template <Form kForm>
[[gnu::target("avx2")]] Gathered gather_avx2(std::span<const std::int64_t> values, std::int16_t* out) noexcept {
    return gather_with<kForm>(values, out);
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

void SampleConverter::to_shifted_ulaw_bytes(std::span<const std::int64_t> values,
                                            std::int16_t* out) const noexcept {
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::int64_t v = values[i];
        const auto m = static_cast<std::uint64_t>(v < 0 ? ~v : v);
        const std::uint64_t q = m >= 127 ? 127 : ulaw_magnitudes_[m];
        out[i] = static_cast<std::int16_t>(v < 0 ? 0x7F - q : 0xFF - q);
    }
}

}  // namespace korrin::shorten

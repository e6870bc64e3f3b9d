#include "shorten/ulaw_out.hpp"

#include <algorithm>
#include <array>

#include "common/cpu.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace korrin::shorten {
namespace {

// t = ((u & 15) * 8 + 132) << ((u >> 4) & 7) with u = ~code; the sample is
// t - 132 for codes from 0x80 up, 132 - t below.
constexpr std::int16_t expand(unsigned code) noexcept {
    const unsigned u = ~code & 0xFF;
    const int t = static_cast<int>(((u & 15) * 8 + 132) << ((u >> 4) & 7));
    return static_cast<std::int16_t>(code & 0x80 ? t - 132 : 132 - t);
}

constexpr std::array<std::int16_t, 256> kTable = [] {
    std::array<std::int16_t, 256> table{};
    for (unsigned code = 0; code < 256; ++code) table[code] = expand(code);
    return table;
}();

std::int16_t look_up(std::int16_t code, std::uint64_t& sum) noexcept {
    const auto c = static_cast<std::uint8_t>(code);
    sum += c;
    return kTable[c];
}

#if defined(__x86_64__)
// Sixteen codes (16-bit lanes, each 0 to 255) expanded in order, by the
// rule above in 16-bit lanes: t as (m * 8 + 132) * 2^e, the power looked up
// by pshufb and the product by pmullw, exact since t <= 252 * 128 < 2^15.
// Their sum is added to `sums` (32-bit lanes, two codes each).
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i expand16(__m256i codes, __m256i& sums) noexcept {
    const __m256i bias = _mm256_set1_epi16(132);
    const __m256i u = _mm256_andnot_si256(codes, _mm256_set1_epi16(0xFF));
    const __m256i base = _mm256_add_epi16(_mm256_slli_epi16(_mm256_and_si256(u, _mm256_set1_epi16(0x0F)), 3), bias);
    // The exponent indexes the table from the low byte; the high byte's top
    // bit is set, so that pshufb gives 0 there.
    const __m256i exponent = _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi16(u, 4), _mm256_set1_epi16(0x07)),
                                             _mm256_set1_epi16(static_cast<std::int16_t>(0x8000)));
    const __m256i powers = _mm256_setr_epi8(1, 2, 4, 8, 16, 32, 64, -128, 0, 0, 0, 0, 0, 0, 0, 0,  //
                                            1, 2, 4, 8, 16, 32, 64, -128, 0, 0, 0, 0, 0, 0, 0, 0);
    const __m256i t = _mm256_mullo_epi16(base, _mm256_shuffle_epi8(powers, exponent));
    const __m256i magnitude = _mm256_sub_epi16(t, bias);
    const __m256i negative = _mm256_cmpgt_epi16(_mm256_set1_epi16(0x80), codes);  // code < 0x80
    sums = _mm256_add_epi32(sums, _mm256_madd_epi16(codes, _mm256_set1_epi16(1)));
    return _mm256_sub_epi16(_mm256_xor_si256(magnitude, negative), negative);
}

[[gnu::target("avx2")]] std::uint64_t lane_total(__m256i sums) noexcept {
    alignas(32) std::uint32_t lanes[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), sums);
    std::uint64_t total = 0;
    for (const std::uint32_t lane : lanes) total += lane;
    return total;
}

// A step of sixteen frames adds at most 4 * 255 to a lane, so a lane holds
// the sums of 2^22 steps: the callers pass at most kPiece frames at a time.
constexpr std::size_t kPiece = std::size_t{1} << 20;

[[gnu::target("avx2")]] std::uint64_t expand_avx2(const std::int16_t* src, std::int16_t* dst,
                                                  std::size_t count) noexcept {
    __m256i sums = _mm256_setzero_si256();
    std::size_t i = 0;
    for (; i + 16 <= count; i += 16) {
        const __m256i codes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), expand16(codes, sums));
    }
    std::uint64_t sum = lane_total(sums);
    for (; i < count; ++i) dst[i] = look_up(src[i], sum);
    return sum;
}

[[gnu::target("avx2")]] std::uint64_t expand_pair_avx2(const std::int16_t* a, const std::int16_t* b, std::int16_t* dst,
                                                       std::size_t frames) noexcept {
    __m256i sums = _mm256_setzero_si256();
    std::size_t i = 0;
    for (; i + 16 <= frames; i += 16) {
        const __m256i x = expand16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i)), sums);
        const __m256i y = expand16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i)), sums);
        // unpack works within 128-bit lanes: frames 0-3 and 8-11, then 4-7
        // and 12-15; the two permutes put them in order.
        const __m256i low = _mm256_unpacklo_epi16(x, y), high = _mm256_unpackhi_epi16(x, y);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 2 * i), _mm256_permute2x128_si256(low, high, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 2 * i + 16), _mm256_permute2x128_si256(low, high, 0x31));
    }
    std::uint64_t sum = lane_total(sums);
    for (; i < frames; ++i) {
        dst[2 * i] = look_up(a[i], sum);
        dst[2 * i + 1] = look_up(b[i], sum);
    }
    return sum;
}
#endif

}  // namespace

std::int16_t expand_ulaw_code(std::uint8_t code) noexcept { return kTable[code]; }

std::uint64_t expand_ulaw(const std::int16_t* src, std::int16_t* dst, std::size_t count) noexcept {
#if defined(__x86_64__)
    if (has_avx2()) {
        std::uint64_t sum = 0;
        for (std::size_t done = 0; done < count; done += kPiece)
            sum += expand_avx2(src + done, dst + done, std::min(kPiece, count - done));
        return sum;
    }
#endif
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) dst[i] = look_up(src[i], sum);
    return sum;
}

std::uint64_t expand_ulaw_pair(const std::int16_t* a, const std::int16_t* b, std::int16_t* dst,
                               std::size_t frames) noexcept {
#if defined(__x86_64__)
    if (has_avx2()) {
        std::uint64_t sum = 0;
        for (std::size_t done = 0; done < frames; done += kPiece)
            sum += expand_pair_avx2(a + done, b + done, dst + 2 * done, std::min(kPiece, frames - done));
        return sum;
    }
#endif
    std::uint64_t sum = 0;
    for (std::size_t i = 0; i < frames; ++i) {
        dst[2 * i] = look_up(a[i], sum);
        dst[2 * i + 1] = look_up(b[i], sum);
    }
    return sum;
}

}  // namespace korrin::shorten

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "codecs/codecs.hpp"
#include "common/cpu.hpp"

namespace korrin::codecs {
namespace {

// Expands mu-law code bytes (one per 16-bit sample) in place, as
// ulaw_to_linear does, and returns the sum of the codes modulo 2^16.
std::uint16_t expand_codes_portable(std::span<std::int16_t> samples) noexcept {
    std::array<std::int16_t, 256> table;
    for (unsigned code = 0; code < 256; ++code) table[code] = ulaw_to_linear(static_cast<std::uint8_t>(code));
    std::uint16_t sum = 0;
    for (std::int16_t& s : samples) {
        const auto code = static_cast<std::uint8_t>(s);
        sum = static_cast<std::uint16_t>(sum + code);
        s = table[code];
    }
    return sum;
}

#if defined(__x86_64__)
// Eight codes in 32-bit lanes: t = ((u & 15) * 8 + 132) << ((u >> 4) & 7)
// with u = ~code & 0xFF; the sample is t - 132 for codes from 0x80 up,
// 132 - t below.
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i expand8(__m256i code) noexcept {
    const __m256i bias = _mm256_set1_epi32(132);
    const __m256i u = _mm256_andnot_si256(code, _mm256_set1_epi32(0xFF));
    const __m256i mantissa = _mm256_and_si256(u, _mm256_set1_epi32(0x0F));
    const __m256i exponent = _mm256_and_si256(_mm256_srli_epi32(u, 4), _mm256_set1_epi32(0x07));
    const __m256i t = _mm256_sllv_epi32(_mm256_add_epi32(_mm256_slli_epi32(mantissa, 3), bias), exponent);
    const __m256i magnitude = _mm256_sub_epi32(t, bias);
    const __m256i negative = _mm256_cmpgt_epi32(_mm256_set1_epi32(0x80), code);  // code < 0x80
    return _mm256_sub_epi32(_mm256_xor_si256(magnitude, negative), negative);
}

// The same as expand_codes_portable, computed rather than looked up,
// sixteen codes at a time: the shift by each code's exponent is AVX2's
// per-lane shift.
[[gnu::target("avx2")]] std::uint16_t expand_codes_avx2(std::span<std::int16_t> samples) noexcept {
    const std::size_t n = samples.size();
    std::int16_t* const data = samples.data();
    std::size_t i = 0;
    __m256i sums = _mm256_setzero_si256();
    for (; i + 16 <= n; i += 16) {
        const __m256i codes16 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
        const __m256i lo = _mm256_cvtepu16_epi32(_mm256_castsi256_si128(codes16));
        const __m256i hi = _mm256_cvtepu16_epi32(_mm256_extracti128_si256(codes16, 1));
        sums = _mm256_add_epi32(sums, _mm256_add_epi32(lo, hi));
        // packs works within 128-bit lanes: the permute puts the halves back
        // in order. Every sample fits 16 bits, so nothing saturates.
        const __m256i packed = _mm256_packs_epi32(expand8(lo), expand8(hi));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(data + i), _mm256_permute4x64_epi64(packed, 0xD8));
    }
    alignas(32) std::uint32_t lanes[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), sums);
    std::uint32_t sum = 0;
    for (const std::uint32_t lane : lanes) sum += lane;
    return static_cast<std::uint16_t>(sum + expand_codes_portable(samples.subspan(i)));
}
#endif

std::uint16_t expand_ulaw_codes(std::span<std::int16_t> samples) noexcept {
#if defined(__x86_64__)
    if (has_avx2()) return expand_codes_avx2(samples);
#endif
    return expand_codes_portable(samples);
}

}  // namespace

Result<ShortenPcm> shorten_to_pcm(ByteView stream, const shorten::OutputOptions& output,
                                  const shorten::StreamOptions& versions) {
    KR_ASSIGN_OR_RETURN(shorten::ShortenAudio audio, shorten::decode(stream, {}, output, versions));
    // Linear values arrive clamped to 16 bits already; mu-law code bytes are
    // expanded here, in the decoder's own buffer, whose host-order samples
    // are already LE bytes (see common/bytes.hpp); it is handed on as the
    // result.
    // The code bytes' checksum is taken on the way, as the expansion is the
    // last moment they are seen.
    const std::span<std::int16_t> samples = audio.samples.span();
    std::uint16_t code_checksum = 0;
    if (audio.is_ulaw) code_checksum = expand_ulaw_codes(samples);
    return ShortenPcm{audio.channel_count, audio.is_ulaw, std::move(audio.samples).release(), audio.frames_decoded,
                      audio.version, code_checksum, audio.stopped_early};
}

Result<ByteBuffer> pcm_table_to_le(std::span<const std::int16_t> samples, Framing framing) {
    KR_ASSIGN_OR_RETURN(ByteBuffer bytes, ByteBuffer::allocate(samples.size() * 2, framing));
    // A host sample is already little-endian (see common/bytes.hpp).
    if (!samples.empty()) std::memcpy(bytes.data(), samples.data(), samples.size() * 2);
    return bytes;
}

}  // namespace korrin::codecs

// G.711 expansion loops compared on 10 MB of codes, all into memory that is
// already mapped (so that only the loop is timed). Evidence for PROFILE.md:
//
//   table4   one 256-entry table, four look-ups per 64-bit store (the loop
//            in src/codecs/g711.cpp when these were first measured);
//   table1   one look-up and one 16-bit store per code (the loop there now);
//   pair     a 65,536-entry table of two samples, one look-up per two codes;
//   ssse3    the mu-law rule computed 16 codes at a time: two PSHUFB look-ups
//            (mantissa term, 2^exponent) and one PMULLW;
//   avx2     the same on 32 codes at a time.
//
//   g++ -O3 -std=c++20 g711_kernels.cpp -o g711_kernels && ./g711_kernels CODES
#include <immintrin.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <vector>

namespace {

std::int16_t ulaw(std::uint8_t code) {
    const unsigned u = ~code & 0xFFu;
    const int t = static_cast<int>(((u & 0x0Fu) * 8 + 132) << ((u >> 4) & 7u));
    return static_cast<std::int16_t>(code & 0x80u ? t - 132 : 132 - t);
}

void table4(const std::uint8_t* in, std::uint8_t* dst, std::size_t n) {
    std::array<std::uint16_t, 256> table;
    for (unsigned c = 0; c < 256; ++c) table[c] = static_cast<std::uint16_t>(ulaw(static_cast<std::uint8_t>(c)));
    std::size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        const std::uint64_t word = std::uint64_t{table[in[i]]} | std::uint64_t{table[in[i + 1]]} << 16 |
                                   std::uint64_t{table[in[i + 2]]} << 32 | std::uint64_t{table[in[i + 3]]} << 48;
        std::memcpy(dst + 2 * i, &word, 8);
    }
    for (; i < n; ++i) std::memcpy(dst + 2 * i, &table[in[i]], 2);
}

void table1(const std::uint8_t* in, std::uint8_t* dst, std::size_t n) {
    std::array<std::uint16_t, 256> table;
    for (unsigned c = 0; c < 256; ++c) table[c] = static_cast<std::uint16_t>(ulaw(static_cast<std::uint8_t>(c)));
    for (std::size_t i = 0; i < n; ++i) std::memcpy(dst + 2 * i, &table[in[i]], 2);
}

void pair(const std::uint8_t* in, std::uint8_t* dst, std::size_t n) {
    static std::vector<std::uint32_t> table(65536);
    std::array<std::uint16_t, 256> t1;
    for (unsigned c = 0; c < 256; ++c) t1[c] = static_cast<std::uint16_t>(ulaw(static_cast<std::uint8_t>(c)));
    for (unsigned hi = 0; hi < 256; ++hi)
        for (unsigned lo = 0; lo < 256; ++lo) table[hi << 8 | lo] = t1[lo] | std::uint32_t{t1[hi]} << 16;
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t w;
        std::memcpy(&w, in + i, 8);
        const std::uint64_t a = table[w & 0xFFFF] | std::uint64_t{table[(w >> 16) & 0xFFFF]} << 32;
        const std::uint64_t b = table[(w >> 32) & 0xFFFF] | std::uint64_t{table[w >> 48]} << 32;
        std::memcpy(dst + 2 * i, &a, 8);
        std::memcpy(dst + 2 * i + 8, &b, 8);
    }
    for (; i < n; ++i) std::memcpy(dst + 2 * i, &t1[in[i]], 2);
}

[[gnu::target("ssse3")]] void ssse3(const std::uint8_t* in, std::uint8_t* dst, std::size_t n) {
    const __m128i base =
        _mm_setr_epi8(static_cast<char>(132), static_cast<char>(140), static_cast<char>(148), static_cast<char>(156),
                      static_cast<char>(164), static_cast<char>(172), static_cast<char>(180), static_cast<char>(188),
                      static_cast<char>(196), static_cast<char>(204), static_cast<char>(212), static_cast<char>(220),
                      static_cast<char>(228), static_cast<char>(236), static_cast<char>(244), static_cast<char>(252));
    const __m128i pow2 = _mm_setr_epi8(1, 2, 4, 8, 16, 32, 64, static_cast<char>(128), 0, 0, 0, 0, 0, 0, 0, 0);
    const __m128i low4 = _mm_set1_epi8(0x0F), low3 = _mm_set1_epi8(0x07), zero = _mm_setzero_si128();
    const __m128i bias = _mm_set1_epi16(132);
    std::size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + i));
        const __m128i u = _mm_xor_si128(c, _mm_set1_epi8(-1));
        const __m128i b = _mm_shuffle_epi8(base, _mm_and_si128(u, low4));
        const __m128i p = _mm_shuffle_epi8(pow2, _mm_and_si128(_mm_srli_epi16(u, 4), low3));
        // neg: 0xFF where bit 7 of the code is clear (a negative sample).
        const __m128i neg = _mm_cmpgt_epi8(zero, u);
        const __m128i tlo =
            _mm_sub_epi16(_mm_mullo_epi16(_mm_unpacklo_epi8(b, zero), _mm_unpacklo_epi8(p, zero)), bias);
        const __m128i thi =
            _mm_sub_epi16(_mm_mullo_epi16(_mm_unpackhi_epi8(b, zero), _mm_unpackhi_epi8(p, zero)), bias);
        const __m128i nlo = _mm_unpacklo_epi8(neg, neg), nhi = _mm_unpackhi_epi8(neg, neg);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * i), _mm_sub_epi16(_mm_xor_si128(tlo, nlo), nlo));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 2 * i + 16), _mm_sub_epi16(_mm_xor_si128(thi, nhi), nhi));
    }
    for (; i < n; ++i) {
        const std::int16_t v = ulaw(in[i]);
        std::memcpy(dst + 2 * i, &v, 2);
    }
}

[[gnu::target("avx2")]] void avx2(const std::uint8_t* in, std::uint8_t* dst, std::size_t n) {
    const __m256i base =
        _mm256_setr_epi16(132, 140, 148, 156, 164, 172, 180, 188, 196, 204, 212, 220, 228, 236, 244, 252);
    (void)base;
    // Byte tables, repeated in both 128-bit lanes for VPSHUFB.
    const __m256i basetab = _mm256_broadcastsi128_si256(
        _mm_setr_epi8(static_cast<char>(132), static_cast<char>(140), static_cast<char>(148), static_cast<char>(156),
                      static_cast<char>(164), static_cast<char>(172), static_cast<char>(180), static_cast<char>(188),
                      static_cast<char>(196), static_cast<char>(204), static_cast<char>(212), static_cast<char>(220),
                      static_cast<char>(228), static_cast<char>(236), static_cast<char>(244), static_cast<char>(252)));
    const __m256i powtab = _mm256_broadcastsi128_si256(
        _mm_setr_epi8(1, 2, 4, 8, 16, 32, 64, static_cast<char>(128), 0, 0, 0, 0, 0, 0, 0, 0));
    const __m256i low4 = _mm256_set1_epi8(0x0F), low3 = _mm256_set1_epi8(0x07), zero = _mm256_setzero_si256();
    const __m256i bias = _mm256_set1_epi16(132), ones = _mm256_set1_epi8(-1);
    std::size_t i = 0;
    for (; i + 32 <= n; i += 32) {
        // Lanes arranged so that the in-lane unpacks give codes in order.
        const __m256i c = _mm256_permute4x64_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + i)), 0xD8);
        const __m256i u = _mm256_xor_si256(c, ones);
        const __m256i b = _mm256_shuffle_epi8(basetab, _mm256_and_si256(u, low4));
        const __m256i p = _mm256_shuffle_epi8(powtab, _mm256_and_si256(_mm256_srli_epi16(u, 4), low3));
        const __m256i neg = _mm256_cmpgt_epi8(zero, u);
        const __m256i tlo =
            _mm256_sub_epi16(_mm256_mullo_epi16(_mm256_unpacklo_epi8(b, zero), _mm256_unpacklo_epi8(p, zero)), bias);
        const __m256i thi =
            _mm256_sub_epi16(_mm256_mullo_epi16(_mm256_unpackhi_epi8(b, zero), _mm256_unpackhi_epi8(p, zero)), bias);
        const __m256i nlo = _mm256_unpacklo_epi8(neg, neg), nhi = _mm256_unpackhi_epi8(neg, neg);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 2 * i), _mm256_sub_epi16(_mm256_xor_si256(tlo, nlo), nlo));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + 2 * i + 32),
                            _mm256_sub_epi16(_mm256_xor_si256(thi, nhi), nhi));
    }
    for (; i < n; ++i) {
        const std::int16_t v = ulaw(in[i]);
        std::memcpy(dst + 2 * i, &v, 2);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::ifstream f(argc > 1 ? argv[1] : "codes.g711", std::ios::binary);
    std::vector<std::uint8_t> in((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    if (in.empty()) {
        in.resize(10'000'000);
        for (std::size_t i = 0; i < in.size(); ++i) in[i] = static_cast<std::uint8_t>(i * 2654435761u >> 13);
    }
    const std::size_t n = in.size();
    std::vector<std::uint8_t> want(2 * n), out(2 * n);
    table4(in.data(), want.data(), n);
    struct K {
        const char* name;
        void (*fn)(const std::uint8_t*, std::uint8_t*, std::size_t);
    };
    const K kernels[] = {{"table4", table4}, {"table1", table1}, {"pair", pair}, {"ssse3", ssse3}, {"avx2", avx2}};
    std::printf("%zu codes, output into mapped memory; median CPU time of 15\n", n);
    for (const K& k : kernels) {
        std::vector<double> t;
        for (int r = 0; r < 15; ++r) {
            std::fill(out.begin(), out.end(), 0);
            // CPU time of this process: steadier than wall time on a shared machine.
            timespec a{}, b{};
            clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &a);
            k.fn(in.data(), out.data(), n);
            clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &b);
            t.push_back(static_cast<double>(b.tv_sec - a.tv_sec) + static_cast<double>(b.tv_nsec - a.tv_nsec) * 1e-9);
        }
        std::sort(t.begin(), t.end());
        std::printf("%-7s %7.2f ms  %6.0f Mcodes/s  %s\n", k.name, t[7] * 1e3, n / t[7] / 1e6,
                    out == want ? "same output" : "DIFFERENT OUTPUT");
    }
    // The whole-range check: every byte value, every kernel.
    std::vector<std::uint8_t> all(256 * 64);
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(i);
    std::vector<std::uint8_t> a(2 * all.size()), b(2 * all.size());
    table4(all.data(), a.data(), all.size());
    for (const K& k : kernels) {
        k.fn(all.data(), b.data(), all.size());
        if (a != b) std::printf("%s differs on the byte range\n", k.name);
    }
    return 0;
}

#include "shorten/lpc_vector.hpp"

#include <algorithm>
#include <array>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace korrin::shorten::predict {

#if defined(__x86_64__)
namespace {

using U = std::uint64_t;

// vpmuldq of a register and four lanes in memory: the signed products of
// the low 32 bits of each 64-bit lane. Written out for both compilers:
// clang reads the intrinsic as a 64-bit multiply of sign-extended lanes, and
// where it cannot see that the lanes are (a value that comes around the
// loop, a coefficient from a table) some versions form the full 64-bit
// product from three vpmuludq and shifts; the memory operand keeps the
// coefficients out of registers, which clang otherwise loads ahead of the
// loop and spills with the sums.
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i mul_low32(__m256i a, const std::int64_t* b) noexcept {
    __m256i product;
    __asm__("vpmuldq %2, %1, %0" : "=x"(product) : "x"(a), "m"(*reinterpret_cast<const __m256i*>(b)));
    return product;
}

// The sum of value i is split in two: the three newest terms, a0 x_(i-1) +
// a1 x_(i-2) + a2 x_(i-3) (x: a value less mu), in scalar arithmetic, the
// first of them on the chain from one value to the next (a multiply, an
// add, a shift, an add); and the others, with the rounding offset, which
// wait on values three or more steps back and are gathered ahead of time.
//
// Those are gathered the other way round from a dot product: as each value
// x_j is formed, it is broadcast and multiplied by the coefficients at
// once, a_k x_j going to the sum of value j + 1 + k for k = 3..p-1. The sums
// waiting for values of the next kRegisters groups of four sit in that many
// registers, lane l of register m holding value 4 (g + 1 + m) + l while
// group g is formed; the coefficients for each place of a value in its group
// (its phase) are a table, so that no register is rotated. When x_j is
// added, the sum of value j + 4 is complete, and its lane is read out for
// later; after each group the registers move down by one, by renaming.
// No sum is reduced across lanes, and the path from a value to the sums it
// feeds spans four values, long enough for the multiply and the lane's
// read-out to stay off the chain.
//
// vpmuldq is exact while coefficients and values fit 32 bits, as the caller
// has checked for the history and the bound keeps the values formed; in
// unsigned arithmetic every sum is exact in any order while no value goes
// beyond the bound (lpc_bound), so the values are the checked rule's. The
// bound is tested once per block, by an OR of the biased values (a power
// of two), not value by value.
template <int kRegisters>
[[gnu::target("avx2")]] std::size_t transposed(const std::int64_t* r, std::size_t n, std::int64_t* s,
                                               std::span<const std::int64_t> a, std::int64_t mu, std::int64_t bound,
                                               std::int64_t offset) noexcept {
    constexpr int R = kRegisters;
    constexpr std::ptrdiff_t kPad = 4 * R + 3;
    const auto p = static_cast<std::ptrdiff_t>(a.size());
    // padded[kPad + k] = a_k for 3 <= k < p, 0 around them, so that the
    // coefficients of phase f for register m, k = 4m + l + 3 - f for lanes
    // l = 0..3, are the four at padded + kPad + 4m + 3 - f.
    std::int64_t padded[2 * kPad + 4 * R] = {};
    for (std::ptrdiff_t k = 3; k < p; ++k) padded[kPad + k] = a[static_cast<std::size_t>(k)];
    const auto coefficients = [&padded](int phase, std::size_t m) {
        return padded + kPad + 4 * static_cast<std::ptrdiff_t>(m) + 3 - phase;
    };
    const __m256i fresh = _mm256_set1_epi64x(offset);
    // The registers are named by constants only (the packs below), so that
    // both compilers keep them in registers; with loops over an index, clang
    // kept them in memory and moved them down through it after every group.
    __m256i pending[R];
    constexpr auto kAll = std::make_index_sequence<R>();
    constexpr auto kBelowLast = std::make_index_sequence<R - 1>();
    [&]<std::size_t... M>(std::index_sequence<M...>) __attribute__((target("avx2"), always_inline)) {
        ((pending[M] = fresh), ...);
    }
    (kAll);
    std::int64_t older[4];
    // x_j's terms, into the sums of the values after it; then the sum of
    // value j + 4 is complete.
    const auto push = [&]<int kPhase>(U x) __attribute__((target("avx2"), always_inline)) {
        const __m256i value = _mm256_set1_epi64x(static_cast<std::int64_t>(x));
        [&]<std::size_t... M>(std::index_sequence<M...>) __attribute__((target("avx2"), always_inline)) {
            ((pending[M] = _mm256_add_epi64(pending[M], mul_low32(value, coefficients(kPhase, M)))), ...);
        }
        (kAll);
        older[kPhase] = _mm256_extract_epi64(pending[0], kPhase);
    };
    const auto next_group = [&]() __attribute__((target("avx2"), always_inline)) {
        [&]<std::size_t... M>(std::index_sequence<M...>) __attribute__((target("avx2"), always_inline)) {
            ((pending[M] = pending[M + 1]), ...);
        }
        (kBelowLast);
        pending[R - 1] = fresh;
    };
    // The history, as the groups before the block (values before it are 0).
    const auto history = [s, mu, p](std::ptrdiff_t j) { return j >= -p ? U(s[j]) - U(mu) : U{0}; };
    for (std::ptrdiff_t g = -R; g < 0; ++g) {
        push.template operator()<0>(history(4 * g));
        push.template operator()<1>(history(4 * g + 1));
        push.template operator()<2>(history(4 * g + 2));
        push.template operator()<3>(history(4 * g + 3));
        next_group();
    }
    const U a0 = U(a[0]), a1 = U(a[1]), a2 = U(a[2]);
    U x1 = history(-1), x2 = history(-2), x3 = history(-3);
    const U biased = U(bound);
    U spread = 0;  // below 2 * bound while every value is within it
    std::size_t i = 0;
    const auto step = [&]<int kPhase>() __attribute__((target("avx2"), always_inline)) {
        // Everything but the newest term first, the residual times 32
        // among them (as in the scalar loops): told nothing of `rest`, the
        // compiler cannot move that term's multiply back to the start of
        // the sum, which puts three adds between it and the shift.
        U rest = U(older[kPhase]) + a2 * x3 + a1 * x2 + (U(r[i]) << 5);
        __asm__("" : "+r"(rest));
        const U t = U(static_cast<std::int64_t>(rest + a0 * x1) >> 5);
        s[i] = static_cast<std::int64_t>(t + U(mu));
        spread |= t + biased;
        x3 = x2;
        x2 = x1;
        x1 = t;
        push.template operator()<kPhase>(t);
        ++i;
    };
    while (n - i >= 4) {
        step.template operator()<0>();
        step.template operator()<1>();
        step.template operator()<2>();
        step.template operator()<3>();
        next_group();
    }
    if (n - i >= 1) step.template operator()<0>();
    if (n - i >= 1) step.template operator()<1>();
    if (n - i >= 1) step.template operator()<2>();
    if (spread < 2 * biased) return n;
    for (std::size_t j = 0; j < n; ++j)
        if (U(s[j]) - U(mu) + biased >= 2 * biased) return j + 1;
    return n;
}

using Loop = std::size_t (*)(const std::int64_t*, std::size_t, std::int64_t*, std::span<const std::int64_t>,
                             std::int64_t, std::int64_t, std::int64_t) noexcept;
template <std::size_t... kIndex>
constexpr std::array<Loop, sizeof...(kIndex)> loops(std::index_sequence<kIndex...>) noexcept {
    return {&transposed<static_cast<int>(kIndex) + 1>...};
}
// By the registers an order needs: ceil(p / 4).
constexpr auto kLoops = loops(std::make_index_sequence<(kVectorMaxOrder + 3) / 4>());

}  // namespace

std::size_t lpc_vector_avx2(const std::int64_t* r, std::size_t n, std::int64_t* s, std::span<const std::int64_t> a,
                            std::int64_t mu, std::int64_t bound, std::int64_t offset) noexcept {
    return kLoops[(a.size() + 3) / 4 - 1](r, n, s, a, mu, bound, offset);
}
#endif

}  // namespace korrin::shorten::predict

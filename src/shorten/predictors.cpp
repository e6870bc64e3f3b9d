#include "shorten/predictors.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <type_traits>
#include <utility>

#include "common/cpu.hpp"
#include "shorten/lpc_vector.hpp"

namespace korrin::shorten::predict {

bool restore_offset(const std::int64_t* r, std::size_t n, std::int64_t* s, std::int64_t mu) noexcept {
    if (mu <= kOffsetMuBound && mu >= -kOffsetMuBound) {
        for (std::size_t i = 0; i < n; ++i) offset_value<Unchecked>(r[i], mu, s[i]);
        return true;
    }
    for (std::size_t i = 0; i < n; ++i)
        if (!offset_value<Checked>(r[i], mu, s[i])) return false;
    return true;
}

namespace {

// Whether every value of a block is sure to stay within 2^59, given the
// history (each value within it) and a bound on the residuals' magnitudes:
// each running difference grows by at most n times the one below it. With
// n up to 2^16 and the magnitude up to 2^58, the widest term (DIFF3's, near
// n^3 times the magnitude) stays below 2^107, well inside __int128.
template <int kOrder>
bool block_within_difference_bound(const std::int64_t* s, std::size_t n, std::uint64_t magnitude) noexcept {
    using W = __int128;
    if (n > (std::size_t{1} << 16) || magnitude > (std::uint64_t{1} << 58)) return false;
    const auto abs = [](W v) { return v < 0 ? -v : v; };
    const W d = W{s[-1]} - s[-2];
    W growth = W(n) * W(magnitude);  // of the highest difference
    if constexpr (kOrder == 3) growth = W(n) * (abs(d - (W{s[-2]} - s[-3])) + growth);
    if constexpr (kOrder >= 2) growth = W(n) * (abs(d) + growth);
    return abs(W{s[-1]}) + growth <= (W{1} << 59);
}

// The unchecked DIFF loop, from the last value s1, difference d and second
// difference dd; with kChecks, returns the OR of the values biased by 2^59
// (below 2^60 while every value is within 2^59). Four values a turn,
// written out: GCC does not unroll the loop itself (clang does), and its
// loop control then cost a third more instructions than the values' own
// steps. The state is this function's own (not captured from the caller,
// which clang then kept in memory).
template <int kOrder, bool kChecks>
[[gnu::always_inline]] inline std::uint64_t difference_loop(const std::int64_t* r, std::ptrdiff_t count,
                                                            std::int64_t* s, std::uint64_t s1, std::uint64_t d,
                                                            std::uint64_t dd) noexcept {
    using U = std::uint64_t;
    constexpr U kBias = U{1} << 59;
    U spread = 0;
    const auto step = [&](std::ptrdiff_t j) {
        if constexpr (kOrder == 3) dd += U(r[j]);
        if constexpr (kOrder == 3) d += dd;
        if constexpr (kOrder == 2) d += U(r[j]);
        s1 += kOrder == 1 ? U(r[j]) : d;
        s[j] = static_cast<std::int64_t>(s1);
        if constexpr (kChecks) spread |= s1 + kBias;
    };
    std::ptrdiff_t j = 0;
    for (; j + 4 <= count; j += 4) {
        step(j);
        step(j + 1);
        step(j + 2);
        step(j + 3);
    }
    for (; j < count; ++j) step(j);
    return spread;
}

}  // namespace

// The unchecked DIFF loops keep the differences of the last values rather
// than the values alone: DIFF1 adds r to the last value, DIFF2 adds r to
// the last difference d = s1 - s2 and d to the last value, DIFF3 adds r to
// the second difference, that to d, and d to the last value. The same
// values modulo 2^64 as the rules' steps, but each value waits on one add
// instead of a multiply-add and a subtraction. Where the history and the
// residuals' bound show that no value can leave the bound, nothing is
// tested in the loop. Otherwise the bound is not tested value by value (a
// compare and a branch on every one): the loop ORs the biased values
// together, and only when that shows a value beyond the bound is the first
// such value looked for. Up to it every value read was within the bound,
// so every value up to and including it is the rules' own, exactly; the
// checked loop goes on after it.
template <int kOrder>
bool restore_difference(const std::int64_t* r, std::size_t n, std::int64_t* s, std::uint64_t magnitude) noexcept {
    // The history sits just before the block, so s[i - k] reaches back into
    // it; i is signed so that the index, not the pointer, goes negative.
    const auto count = static_cast<std::ptrdiff_t>(n);
    std::ptrdiff_t i = 0;
    bool within = true;
    for (int k = 1; k <= kOrder; ++k) within = within && within_difference_bound(s[-k]);
    if (within) {
        using U = std::uint64_t;
        constexpr U kBias = U{1} << 59;
        U s1 = U(s[-1]), d = U(s[-1]) - U(s[-2]), dd = d - (U(s[-2]) - U(s[-3]));
        // Where nothing is tested the loop has no spread to gather.
        if (block_within_difference_bound<kOrder>(s, n, magnitude)) {
            difference_loop<kOrder, false>(r, count, s, s1, d, dd);
            return true;
        }
        const U spread = difference_loop<kOrder, true>(r, count, s, s1, d, dd);
        if (spread < 2 * kBias) return true;
        // A value beyond the bound: keep the values up to the first one.
        while (i < count && within_difference_bound(s[i])) ++i;
        if (i == count) return true;
        ++i;
    }
    for (; i < count; ++i)
        if (!difference_value<kOrder, Checked>(r[i], s[i - 1], s[i - 2], s[i - 3], s[i])) return false;
    return true;
}

template bool restore_difference<1>(const std::int64_t*, std::size_t, std::int64_t*, std::uint64_t) noexcept;
template bool restore_difference<2>(const std::int64_t*, std::size_t, std::int64_t*, std::uint64_t) noexcept;
template bool restore_difference<3>(const std::int64_t*, std::size_t, std::int64_t*, std::uint64_t) noexcept;

std::int64_t lpc_bound(const std::int64_t* s, std::span<const std::int64_t> a, std::int64_t mu) noexcept {
    if (mu > kLpcMuBound || mu < -kLpcMuBound) return 0;
    std::uint64_t total = 0;
    for (const std::int64_t c : a) {
        const auto magnitude = static_cast<std::uint64_t>(c < 0 ? -c : c);
        if (magnitude >= (std::uint64_t{1} << 52)) return 0;
        total += magnitude;
    }
    if (total == 0) total = 1;
    const auto d = static_cast<std::int64_t>((std::uint64_t{1} << 62) / total);
    for (std::size_t k = 1; k <= a.size(); ++k) {
        std::int64_t diff;
        if (__builtin_sub_overflow(s[-static_cast<std::ptrdiff_t>(k)], mu, &diff) || diff > d || diff < -d) return 0;
    }
    return d;
}

namespace {

// x[k] = x[k - 1] for k = kOrder - 1 down to 1, written out one index at a
// time: as a loop, clang turns it into a memmove, which keeps the window in
// memory, and each value then waits for a load of the store just made.
template <std::size_t... kIndex>
[[gnu::always_inline]] inline void shift_window(std::int64_t* x, std::index_sequence<kIndex...>) noexcept {
    constexpr std::size_t kLast = sizeof...(kIndex);
    ((x[kLast - kIndex] = x[kLast - kIndex - 1]), ...);
}

// The unchecked QLPC loop, for the orders up to kFixedOrders, with the
// window of centred values (each less mu) and the coefficients in
// registers; it runs while every value it forms stays within d (see
// lpc_bound), and returns how many values it formed.
template <std::size_t kOrder>
std::size_t lpc_unchecked_fixed(const std::int64_t* r, std::size_t n, std::int64_t* s, const std::int64_t* coefficients,
                                std::int64_t mu, std::int64_t d, std::int64_t offset) noexcept {
    std::int64_t a[kOrder], x[kOrder];  // x[k]: the (k + 1)-th most recent value, less mu
    for (std::size_t k = 0; k < kOrder; ++k) {
        a[k] = coefficients[k];
        x[k] = s[-1 - static_cast<std::ptrdiff_t>(k)] - mu;
    }
    using U = std::uint64_t;
    for (std::size_t i = 0; i < n; ++i) {
        // The same steps as lpc_value's, in the order that keeps the chain
        // from value to value short: the offset, the residual times 32 and
        // the older terms first, then the newest, a multiply, an add and
        // the shift (r + (sum >> 5) is (32 r + sum) >> 5 while the latter
        // stays within 64 bits, as the residuals' bound makes sure). Told
        // nothing of `rest` (the empty asm), the compiler cannot move the
        // newest term to the start of the sum, as GCC did, three adds
        // before the shift.
        U rest = U(offset) + (U(r[i]) << 5);
        for (std::size_t k = kOrder - 1; k >= 1; --k) rest += U(a[k]) * U(x[k]);
        __asm__("" : "+r"(rest));
        const auto t = static_cast<std::int64_t>(rest + U(a[0]) * U(x[0])) >> 5;
        s[i] = static_cast<std::int64_t>(U(t) + U(mu));
        shift_window(x, std::make_index_sequence<kOrder - 1>());
        x[0] = t;
        if (t > d || t < -d) return i + 1;
    }
    return n;
}

// The same for any order, reading the window from memory.
std::size_t lpc_unchecked_any(const std::int64_t* r, std::size_t n, std::int64_t* s, const std::int64_t* a,
                              std::size_t p, std::int64_t mu, std::int64_t d, std::int64_t offset) noexcept {
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t* recent = s + i - 1;  // recent[-k]: the k-th most recent value
        const auto centred = [recent, mu](std::size_t k, std::int64_t& out) {
            return Unchecked::sub(recent[-static_cast<std::ptrdiff_t>(k)], mu, out);
        };
        std::int64_t t;
        lpc_value<Unchecked>(r[i], centred, a, p, mu, offset, t, s[i]);
        if (t > d || t < -d) return i + 1;
    }
    return n;
}

constexpr std::size_t kFixedOrders = 16;
using LpcLoop = std::size_t (*)(const std::int64_t*, std::size_t, std::int64_t*, const std::int64_t*, std::int64_t,
                                std::int64_t, std::int64_t) noexcept;
template <std::size_t... kIndex>
constexpr std::array<LpcLoop, sizeof...(kIndex)> lpc_loops(std::index_sequence<kIndex...>) noexcept {
    return {&lpc_unchecked_fixed<kIndex + 1>...};
}
constexpr auto kLpcLoops = lpc_loops(std::make_index_sequence<kFixedOrders>());

}  // namespace

bool restore_lpc(const std::int64_t* r, std::size_t n, std::int64_t* s, std::span<const std::int64_t> a,
                 std::int64_t mu, std::int64_t offset, std::uint64_t magnitude) noexcept {
    if (a.empty()) return restore_offset(r, n, s, mu);
    const std::size_t p = a.size();
    std::size_t i = 0;
    // The unchecked loops shift 32 r + sum, which the bound keeps within
    // 2^62 + 32 + 2^61 for residuals up to 2^56.
    const std::int64_t d = magnitude <= kLpcResidualBound ? lpc_bound(s, a, mu) : 0;
    if (d != 0) {
#if defined(__x86_64__)
        constexpr std::int64_t k32 = INT32_MAX;
        constexpr std::int64_t k30 = std::int64_t{1} << 30;
        const bool narrow = std::all_of(a.begin(), a.end(), [](std::int64_t c) { return c >= -k32 && c <= k32; });
        // The history's centred values are within d already; the vector
        // loop also needs them within 2^31 - 1, and those it forms within
        // a power of two of at most 2^30.
        const auto centred_narrow = [s, p, mu] {
            for (std::size_t k = 1; k <= p; ++k) {
                const std::int64_t x = s[-static_cast<std::ptrdiff_t>(k)] - mu;
                if (x < -k32 || x > k32) return false;
            }
            return true;
        };
        if (p >= kVectorMinOrder && p <= kVectorMaxOrder && narrow && has_avx2() && centred_narrow())
            i = lpc_vector_avx2(r, n, s, a, mu,
                                static_cast<std::int64_t>(std::bit_floor(std::uint64_t(std::min(d, k30)))), offset);
        else
#endif
            i = p <= kFixedOrders ? kLpcLoops[p - 1](r, n, s, a.data(), mu, d, offset)
                                  : lpc_unchecked_any(r, n, s, a.data(), p, mu, d, offset);
    }
    for (; i < n; ++i) {
        const std::int64_t* recent = s + i - 1;
        const auto centred = [recent, mu](std::size_t k, std::int64_t& out) {
            return Checked::sub(recent[-static_cast<std::ptrdiff_t>(k)], mu, out);
        };
        std::int64_t t;
        if (!lpc_value<Checked>(r[i], centred, a.data(), p, mu, offset, t, s[i])) return false;
    }
    return true;
}

}  // namespace korrin::shorten::predict

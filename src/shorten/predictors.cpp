#include "shorten/predictors.hpp"

#include <array>
#include <utility>

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

template <int kOrder>
bool restore_difference(const std::int64_t* r, std::size_t n, std::int64_t* s) noexcept {
    // The history sits just before the block, so s[i - k] reaches back into
    // it; i is signed so that the index, not the pointer, goes negative.
    const auto count = static_cast<std::ptrdiff_t>(n);
    std::ptrdiff_t i = 0;
    bool within = true;
    for (int k = 1; k <= kOrder; ++k) within = within && within_difference_bound(s[-k]);
    if (within) {
        std::int64_t s1 = s[-1], s2 = s[-2], s3 = s[-3];
        while (i < count) {
            std::int64_t v;
            difference_value<kOrder, Unchecked>(r[i], s1, s2, s3, v);
            s[i++] = v;
            s3 = s2;
            s2 = s1;
            s1 = v;
            if (!within_difference_bound(v)) break;
        }
    }
    for (; i < count; ++i)
        if (!difference_value<kOrder, Checked>(r[i], s[i - 1], s[i - 2], s[i - 3], s[i])) return false;
    return true;
}

template bool restore_difference<1>(const std::int64_t*, std::size_t, std::int64_t*) noexcept;
template bool restore_difference<2>(const std::int64_t*, std::size_t, std::int64_t*) noexcept;
template bool restore_difference<3>(const std::int64_t*, std::size_t, std::int64_t*) noexcept;

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
    const auto centred = [&x](std::size_t k, std::int64_t& out) {
        out = x[k];
        return true;
    };
    for (std::size_t i = 0; i < n; ++i) {
        std::int64_t t;
        lpc_value<Unchecked>(r[i], centred, a, kOrder, mu, offset, t, s[i]);
        for (std::size_t k = kOrder - 1; k >= 1; --k) x[k] = x[k - 1];
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
                 std::int64_t mu, std::int64_t offset) noexcept {
    if (a.empty()) return restore_offset(r, n, s, mu);
    const std::size_t p = a.size();
    std::size_t i = 0;
    if (const std::int64_t d = lpc_bound(s, a, mu); d != 0)
        i = p <= kFixedOrders ? kLpcLoops[p - 1](r, n, s, a.data(), mu, d, offset)
                              : lpc_unchecked_any(r, n, s, a.data(), p, mu, d, offset);
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

// The Shorten predictors: how each block type restores a sample from its
// residual and the values before it.
//
// Each predictor's arithmetic is written once, as a template over the
// arithmetic it runs on: `Checked` tests every step for signed 64-bit
// overflow, as the stream's rules require; `Unchecked` runs the same steps
// free, and is used only while a bound stated beside the predictor holds,
// under which no step can overflow, so both give the same values. A residual
// is below 2^58 in magnitude (a unary part of at most 2^26 and at most 32
// low bits), which every bound relies on.
//
// The restore routines form a block's values from its residuals: the
// unchecked loop runs while the values it reads stay within the bound,
// checking that bound once per value, and the checked loop takes over from
// the first value beyond it, so values and errors are those of the checked
// arithmetic alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace korrin::shorten::predict {

// Every step checked: false when its result leaves the signed 64-bit range.
struct Checked {
    static bool add(std::int64_t a, std::int64_t b, std::int64_t& out) noexcept {
        return !__builtin_add_overflow(a, b, &out);
    }
    static bool sub(std::int64_t a, std::int64_t b, std::int64_t& out) noexcept {
        return !__builtin_sub_overflow(a, b, &out);
    }
    static bool mul(std::int64_t a, std::int64_t b, std::int64_t& out) noexcept {
        return !__builtin_mul_overflow(a, b, &out);
    }
    // sum = term(0) + term(1) + ... + term(count - 1), added in that order
    // from 0, so that the partial sums that must fit are the rules' ones.
    template <class Term>
    static bool sum(std::size_t count, Term term, std::int64_t& out) noexcept {
        out = 0;
        for (std::size_t k = 0; k < count; ++k) {
            std::int64_t v;
            if (!term(k, v) || !add(out, v, out)) return false;
        }
        return true;
    }
};

// No checks, for operands under a bound that keeps every result in range.
// Formed in unsigned arithmetic, which is exact there, and which the
// compiler may reorder (it keeps signed sums in the order written).
struct Unchecked {
    using U = std::uint64_t;
    [[gnu::always_inline]] static bool add(std::int64_t a, std::int64_t b, std::int64_t& out) noexcept {
        out = static_cast<std::int64_t>(U(a) + U(b));
        return true;
    }
    [[gnu::always_inline]] static bool sub(std::int64_t a, std::int64_t b, std::int64_t& out) noexcept {
        out = static_cast<std::int64_t>(U(a) - U(b));
        return true;
    }
    [[gnu::always_inline]] static bool mul(std::int64_t a, std::int64_t b, std::int64_t& out) noexcept {
        out = static_cast<std::int64_t>(U(a) * U(b));
        return true;
    }
    // The same sum (count >= 1), exact in any order: term(0) is added last, since in the
    // predictors it is the one that waits on the value just formed, and
    // the others can be summed meanwhile.
    template <class Term>
    [[gnu::always_inline]] static bool sum(std::size_t count, Term term, std::int64_t& out) noexcept {
        U total = 0;
        std::int64_t v;
        for (std::size_t k = count - 1; k >= 1; --k) {
            term(k, v);
            total += U(v);
        }
        term(0, v);
        out = static_cast<std::int64_t>(total + U(v));
        return true;
    }
};

// ---- DIFF0, and QLPC of order 0: s = r + mu.
//
// Bound: |mu| <= 2^62, since |r| < 2^58.
inline constexpr std::int64_t kOffsetMuBound = std::int64_t{1} << 62;

template <class A>
[[gnu::always_inline]] inline bool offset_value(std::int64_t r, std::int64_t mu, std::int64_t& s) noexcept {
    return A::add(r, mu, s);
}

// ---- DIFF1-3, from the last three values s1 (the newest), s2, s3:
//   DIFF1: s = r + s1
//   DIFF2: s = (r + 2 s1) - s2
//   DIFF3: s = ((r + 3 s1) - 3 s2) + s3
// each step in the order written.
//
// Bound: every value read within 2^59, which keeps each step within
// 3 * 2^59 + 2^58 + 3 * 2^59 + 2^59 < 2^63.
inline bool within_difference_bound(std::int64_t v) noexcept {
    constexpr std::uint64_t kBound = std::uint64_t{1} << 59;
    return static_cast<std::uint64_t>(v) + kBound <= 2 * kBound;  // |v| <= 2^59 in one comparison
}

template <int kOrder, class A>
[[gnu::always_inline]] inline bool difference_value(std::int64_t r, std::int64_t s1, std::int64_t s2, std::int64_t s3,
                                                    std::int64_t& s) noexcept {
    static_assert(kOrder >= 1 && kOrder <= 3);
    std::int64_t t, u;
    if constexpr (kOrder == 1) return A::add(r, s1, s);
    if constexpr (kOrder == 2) return A::mul(s1, 2, t) && A::add(r, t, t) && A::sub(t, s2, s);
    if constexpr (kOrder == 3)
        return A::mul(s1, 3, t) && A::add(r, t, t) && A::mul(s2, 3, u) && A::sub(t, u, t) && A::add(t, s3, s);
}

// ---- QLPC of order p >= 1, with coefficients a[0..p) (a[0] weighs the
// newest value) and the running mean mu:
//   sum = 0; for k = 0..p-1: sum += a[k] * (x_k - mu)   (x_0 the newest value)
//   s = (r + ((sum + offset) >> 5)) + mu
// each step in the order written; offset is the rounding term (32, or 0 in
// version 1), the sum formed by A::sum. `centred(k, d)` sets d = x_k - mu,
// with A's check. The value
// less mu, r + ((sum + offset) >> 5), comes back in `t` as well.
//
// Bound (lpc_bound): with A = sum |a[k]| and every x_k - mu within
// D = 2^62 / A, each product, the sum and the sum plus the offset stay
// within 2^62 + 32; with |mu| <= 2^61 the value stays below
// 2^58 + 2^57 + 2^61. Only coefficients below 2^52 are taken, so A (at most
// 1024 of them) stays below 2^62.
inline constexpr std::int64_t kLpcMuBound = std::int64_t{1} << 61;
// The residuals' magnitude up to which the unchecked QLPC loops run.
inline constexpr std::uint64_t kLpcResidualBound = std::uint64_t{1} << 56;

// The steps after the sum.
template <class A>
[[gnu::always_inline]] inline bool lpc_value_from_sum(std::int64_t r, std::int64_t sum, std::int64_t mu,
                                                      std::int64_t offset, std::int64_t& t, std::int64_t& s) noexcept {
    return A::add(sum, offset, sum) && A::add(r, sum >> 5, t) && A::add(t, mu, s);
}

template <class A, class Centred>
[[gnu::always_inline]] inline bool lpc_value(std::int64_t r, Centred centred, const std::int64_t* a, std::size_t p,
                                             std::int64_t mu, std::int64_t offset, std::int64_t& t,
                                             std::int64_t& s) noexcept {
    const auto term = [&centred, a](std::size_t k, std::int64_t& d) { return centred(k, d) && A::mul(d, a[k], d); };
    std::int64_t sum;
    return A::sum(p, term, sum) && lpc_value_from_sum<A>(r, sum, mu, offset, t, s);
}

// D for coefficients `a` and mean `mu`, with the p values before `s`
// checked against it; 0 when the bound cannot be had.
std::int64_t lpc_bound(const std::int64_t* s, std::span<const std::int64_t> a, std::int64_t mu) noexcept;

// ---- Restoring a block: values s[0..n) from residuals r[0..n), with
// s[-1], s[-2], ... the channel's earlier values. Each returns false on an
// overflow, after forming the values before it.

// `magnitude`, where known, bounds the residuals' magnitudes (as var_block
// reports it), which lets the DIFF loops skip the bound where it shows that
// no value can leave it, and the QLPC loops take the residual into the sum
// before its shift.
inline constexpr std::uint64_t kUnknownMagnitude = UINT64_MAX;

bool restore_offset(const std::int64_t* r, std::size_t n, std::int64_t* s, std::int64_t mu) noexcept;
template <int kOrder>
bool restore_difference(const std::int64_t* r, std::size_t n, std::int64_t* s,
                        std::uint64_t magnitude = kUnknownMagnitude) noexcept;
bool restore_lpc(const std::int64_t* r, std::size_t n, std::int64_t* s, std::span<const std::int64_t> a,
                 std::int64_t mu, std::int64_t offset, std::uint64_t magnitude = kUnknownMagnitude) noexcept;

extern template bool restore_difference<1>(const std::int64_t*, std::size_t, std::int64_t*, std::uint64_t) noexcept;
extern template bool restore_difference<2>(const std::int64_t*, std::size_t, std::int64_t*, std::uint64_t) noexcept;
extern template bool restore_difference<3>(const std::int64_t*, std::size_t, std::int64_t*, std::uint64_t) noexcept;

}  // namespace korrin::shorten::predict

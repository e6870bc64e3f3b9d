// The QLPC loop with the older terms in AVX2 registers (lpc_vector.cpp),
// for restore_lpc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace korrin::shorten::predict {

// The orders the vector loop takes.
inline constexpr std::size_t kVectorMinOrder = 7;
inline constexpr std::size_t kVectorMaxOrder = 32;

// Forms values s[0..n) of a QLPC block in unsigned arithmetic, as the
// unchecked loops do, while every value formed less mu stays within
// [-bound, bound). Returns how many values are exact: n, or the index of
// the first value beyond the bound plus one (that value is exact, those
// after it are not and must be formed again).
//
// The caller has checked: kVectorMinOrder <= a.size() <= kVectorMaxOrder;
// a processor with AVX2; every coefficient and every centred value of the
// history (s[-1]..s[-p] less mu) within 32 bits and within lpc_bound; bound
// a power of two of at most 2^30 and at most lpc_bound's; every residual
// within kLpcResidualBound.
std::size_t lpc_vector_avx2(const std::int64_t* r, std::size_t n, std::int64_t* s, std::span<const std::int64_t> a,
                            std::int64_t mu, std::int64_t bound, std::int64_t offset) noexcept;

}  // namespace korrin::shorten::predict

// Fused decoding: while a predictor's bound holds (see predictors.hpp), each
// residual code goes straight from the bit reader into the predictor's
// unchecked arithmetic, so the two chains (the reader's position and the
// prediction) overlap and no residual is stored.
//
// Each function forms up to `count` values at `s` (with s[-1], s[-2], ...
// the channel's earlier values) and returns how many it formed. It stops
// after the first value beyond the bound, or where the reader's fast path
// stops (a long code, the last bytes of the stream); the careful road of
// the caller goes on from there, so values, errors and their order are the
// same. The loops run on bitreader::take_fast_here, compiled for this
// processor.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "bitreader/bitreader.hpp"

namespace korrin::shorten::fused {

// DIFF0, and QLPC of order 0.
std::size_t offset(bitreader::BitReader& reader, std::uint32_t width, std::size_t count, std::int64_t* s,
                   std::int64_t mu) noexcept;

// DIFF1-3.
template <int kOrder>
std::size_t difference(bitreader::BitReader& reader, std::uint32_t width, std::size_t count,
                       std::int64_t* s) noexcept;

// QLPC of orders 1 to 16 (kMaxLpcOrder); 0 for other orders, which take the
// careful road.
inline constexpr std::size_t kMaxLpcOrder = 16;
std::size_t lpc(bitreader::BitReader& reader, std::uint32_t width, std::size_t count, std::int64_t* s,
                std::span<const std::int64_t> a, std::int64_t mu, std::int64_t offset) noexcept;

extern template std::size_t difference<1>(bitreader::BitReader&, std::uint32_t, std::size_t, std::int64_t*) noexcept;
extern template std::size_t difference<2>(bitreader::BitReader&, std::uint32_t, std::size_t, std::int64_t*) noexcept;
extern template std::size_t difference<3>(bitreader::BitReader&, std::uint32_t, std::size_t, std::int64_t*) noexcept;

}  // namespace korrin::shorten::fused

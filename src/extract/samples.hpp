// Stored samples to the element types of an array: 16- and 32-bit integers
// and 32- and 64-bit floats, as libsndfile converts each coding, with a
// choice of channels, in one pass from the bytes as stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "payload/payload.hpp"

namespace korrin::extract {

// The element type of the result.
enum class Dtype : std::uint8_t { Int16, Int32, Float32, Float64 };

std::size_t element_size(Dtype dtype) noexcept;

// "int16", "int32", "float32" or "float64"; nothing for any other name.
std::optional<Dtype> dtype_named(std::string_view name) noexcept;

// Converts `frames` frames of `channels` interleaved samples that lie as
// `stored`, keeping of each frame the channels `picks` (0-based, each below
// `channels`, in that order), into frames.size() x picks.size() elements of
// `dtype` at `out`, interleaved. The values are libsndfile's: a 16-bit
// sample s (linear, a G.711 code expanded by ITU-T G.711, or an 8-bit
// sample b as s = b * 256) gives s, s * 65536, s / 32768 (float and
// double); a 32-bit sample v gives v >> 16 (floor), v, v / 2^31 (v rounded
// to float first for float).
void convert(const std::uint8_t* in, payload::Form stored, std::size_t channels, std::span<const std::uint32_t> picks,
             std::size_t frames, Dtype dtype, std::uint8_t* out) noexcept;

}  // namespace korrin::extract

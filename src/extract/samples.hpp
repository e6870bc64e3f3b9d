// Stored samples to the element types of an array: 16- and 32-bit integers
// and 32- and 64-bit floats, as libsndfile converts each coding, with a
// choice of channels, in one pass from the bytes as stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace korrin::extract {

// The element type of the result.
enum class Dtype : std::uint8_t { Int16, Int32, Float32, Float64 };

std::size_t element_size(Dtype dtype) noexcept;

// "int16", "int32", "float32" or "float64"; nothing for any other name.
std::optional<Dtype> dtype_named(std::string_view name) noexcept;

// How samples are stored: linear PCM of 2 or 4 bytes in either byte order
// or of one signed byte, G.711 code bytes, or pculaw bytes (mu-law codes
// with their bits reversed). A decoded stream (Shorten) is Le16.
enum class Stored : std::uint8_t { Le16, Be16, Le32, Be32, Ulaw, Alaw, S8, Pculaw };

std::size_t stored_size(Stored stored) noexcept;

// The sample checksum of a SPHERE header over `count` stored samples: the
// sum modulo 65536 of the 16-bit values (as unsigned patterns) or of the
// bytes of one-byte samples (G.711 codes, 8-bit PCM, pculaw). Not for
// 4-byte samples (no rule is known): 0.
std::uint16_t checksum_of(const std::uint8_t* in, Stored stored, std::size_t count) noexcept;

// Converts `frames` frames of `channels` interleaved samples stored as
// `stored`, keeping of each frame the channels `picks` (0-based, each below
// `channels`, in that order), into frames.size() x picks.size() elements of
// `dtype` at `out`, interleaved. The values are libsndfile's: a 16-bit
// sample s (linear, a G.711 code expanded by ITU-T G.711, or an 8-bit
// sample b as s = b * 256) gives s, s * 65536, s / 32768 (float and
// double); a 32-bit sample v gives v >> 16 (floor), v, v / 2^31 (v rounded
// to float first for float).
void convert(const std::uint8_t* in, Stored stored, std::size_t channels, std::span<const std::uint32_t> picks,
             std::size_t frames, Dtype dtype, std::uint8_t* out) noexcept;

}  // namespace korrin::extract

// Mu-law code bytes (one per 16-bit sample) expanded to 16-bit linear PCM
// on their way into the interleaved output, as G.711 expands them, with the
// sum of the codes taken on the way: the output is then written once, not
// written as codes and expanded in a second pass over it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace korrin::shorten {

// dst[i] = the expansion of src[i], for `count` samples; returns the sum
// of the codes.
std::uint64_t expand_ulaw(const std::int16_t* src, std::int16_t* dst, std::size_t count) noexcept;
// dst[2i] and dst[2i + 1] = the expansions of a[i] and b[i]; returns the
// sum of the codes.
std::uint64_t expand_ulaw_pair(const std::int16_t* a, const std::int16_t* b, std::int16_t* dst,
                               std::size_t frames) noexcept;
// The expansion of one code, for the other channel counts.
std::int16_t expand_ulaw_code(std::uint8_t code) noexcept;

}  // namespace korrin::shorten

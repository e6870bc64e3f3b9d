// The Shorten stream decoder ("ajkg" streams, version 2, sample types 3, 5, 8).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "common/bytes.hpp"
#include "common/result.hpp"

namespace korrin::shorten {

inline constexpr std::uint64_t kMaxNskip = std::uint64_t{1} << 20;
inline constexpr std::uint64_t kMaxChannels = 256;
inline constexpr std::uint64_t kMaxBlocksize = std::uint64_t{1} << 24;
inline constexpr std::uint64_t kMaxMaxnlpc = 1024;
inline constexpr std::uint64_t kMaxNmean = 65536;
inline constexpr std::uint64_t kMaxBitshift = 32;
inline constexpr std::uint64_t kMaxDecodedSamples = std::uint64_t{1} << 30;

// What a decoded stream holds. The samples are already the final 16-bit
// values (linear values clamped, mu-law codes expanded), interleaved frame by
// frame, so that no 64-bit copy of the audio is ever held.
struct ShortenAudio {
    std::uint64_t channel_count = 0;
    bool is_ulaw = false;
    std::vector<std::int16_t> samples;
};

struct Limits {
    std::uint64_t max_decoded_samples = kMaxDecodedSamples;
};

Result<ShortenAudio> decode(ByteView stream, const Limits& limits = {});

// The running mean over a channel's block means.
Result<std::int64_t> coffset(std::span<const std::int64_t> means, std::uint64_t nmean);

// Re-encodes a reconstructed type-8 value as a mu-law byte.
Result<std::uint8_t> ulaw_value_to_byte(std::int64_t value, std::uint32_t shift);

}  // namespace korrin::shorten

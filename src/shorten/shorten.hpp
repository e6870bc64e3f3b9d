// The Shorten stream decoder ("ajkg" streams, version 2, sample types 3, 5, 8).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>

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

// An owned array of 16-bit samples, allocated once and not initialised.
class SampleArray {
public:
    SampleArray() noexcept = default;

    // `count` samples, or an OutOfMemory error.
    static Result<SampleArray> allocate(std::size_t count) noexcept;

    std::int16_t* data() noexcept { return values_.get(); }
    const std::int16_t* data() const noexcept { return values_.get(); }
    std::size_t size() const noexcept { return size_; }
    std::span<std::int16_t> span() noexcept { return {values_.get(), size_}; }
    std::span<const std::int16_t> span() const noexcept { return {values_.get(), size_}; }

private:
    struct Free {
        void operator()(std::int16_t* p) const noexcept { std::free(p); }
    };
    std::unique_ptr<std::int16_t[], Free> values_;
    std::size_t size_ = 0;
};

// What a decoded stream holds, interleaved frame by frame. Each value is
// already reduced to 16 bits, which gives the same output as keeping 64-bit
// values to the end and saves three quarters of the memory: a linear value
// (shifted by its block's bit shift) is clamped to the 16-bit range, and a
// type-8 value is its mu-law code byte, 0 to 255, still to be expanded.
struct ShortenAudio {
    std::uint64_t channel_count = 0;
    bool is_ulaw = false;
    SampleArray samples;
};

// Limits that tests may lower to reach a check cheaply.
struct Limits {
    std::uint64_t max_decoded_samples = kMaxDecodedSamples;
};

Result<ShortenAudio> decode(ByteView stream, const Limits& limits = {});

// The running mean over a channel's block means (all of them, oldest first).
Result<std::int64_t> coffset(std::span<const std::int64_t> means, std::uint64_t nmean);

// Re-encodes a reconstructed type-8 value as a mu-law byte.
Result<std::uint8_t> ulaw_value_to_byte(std::int64_t value, std::uint32_t shift);

}  // namespace korrin::shorten

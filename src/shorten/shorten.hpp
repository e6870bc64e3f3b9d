// The Shorten stream decoder ("ajkg" streams, version 2 and on request 1,
// sample types 3, 5, 8).
#pragma once

#include <cstddef>
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

// An owned, growable array of 16-bit samples in the host's byte order,
// allocated without initialising. It may carry room around its samples (see
// Framing), so that it can be handed on as the bytes of a result that a
// caller wraps without copying.
class SampleArray {
  public:
    SampleArray() noexcept = default;

    // `count` samples, from `source` when one is given, or an OutOfMemory
    // error.
    static Result<SampleArray> allocate(std::size_t count, Framing framing = {},
                                        const BlockSource* source = nullptr) noexcept;

    std::int16_t* data() noexcept { return reinterpret_cast<std::int16_t*>(bytes_.data()); }
    const std::int16_t* data() const noexcept { return reinterpret_cast<const std::int16_t*>(bytes_.data()); }
    std::size_t size() const noexcept { return size_; }
    std::span<std::int16_t> span() noexcept { return {data(), size_}; }
    std::span<const std::int16_t> span() const noexcept { return {data(), size_}; }

    // Room for `count` samples in all, the first size() kept: grows the
    // allocation by at least half when it must grow, so that appending costs
    // amortised constant time (a large block grows in place, without a copy,
    // under allocators that remap it).
    Result<void> reserve(std::size_t count) noexcept;
    // Sets the number of samples, at most what was reserved; samples beyond
    // the previous size are uninitialised.
    void set_size(std::size_t count) noexcept { size_ = count; }

    // The samples as bytes in the host's order, with the framing room around
    // them; the allocation is first trimmed to fit.
    ByteBuffer release() && noexcept;

  private:
    std::size_t capacity() const noexcept { return bytes_.size() / sizeof(std::int16_t); }

    ByteBuffer bytes_;  // capacity() samples
    std::size_t size_ = 0;
    std::size_t back_ = 0;
};

// What a decoded stream holds, interleaved frame by frame, as 16-bit
// linear PCM, which gives the same output as keeping 64-bit values to the
// end and saves three quarters of the memory: a linear value (shifted by
// its block's bit shift) is clamped to the 16-bit range, and a type-8 value
// becomes its mu-law code byte, expanded as G.711 expands it on its way
// into the output.
struct ShortenAudio {
    std::uint64_t channel_count = 0;
    bool is_ulaw = false;
    SampleArray samples;
    std::uint16_t code_checksum = 0;    // type 8: the sum of the samples' code bytes, modulo 2^16
    std::uint16_t sample_checksum = 0;  // with a sink, other types: the sum of the samples, modulo 2^16
    std::uint64_t frames_decoded = 0;   // whole frames in the stream, kept or not
    std::uint8_t version = 2;           // the stream's version byte
    bool stopped_early = false;         // the kept frames were out before QUIT
};

// Limits that tests may lower to reach a check cheaply.
struct Limits {
    std::uint64_t max_decoded_samples = kMaxDecodedSamples;
};

// The decoder's whole state between two rounds of blocks, with every
// channel at the same frame: what a decode of the same stream needs to go
// on from there rather than from the stream's start.
struct DecoderState {
    std::uint64_t bit_position = 0;  // of the next command, from the stream's first byte
    std::uint64_t frame = 0;         // frames every channel has completed before it
    std::uint64_t samples = 0;       // values decoded before it, for the length limit
    std::uint64_t blocksize = 0;
    std::uint32_t bitshift = 0;
    std::size_t header_end = 0;  // bytes of the stream that its header reaches into
    // Each channel's last max(3, maxnlpc) values, oldest first, channel
    // after channel; then each channel's block means in the running mean's
    // window (the same number for every channel), oldest first.
    std::vector<std::int64_t> history;
    std::vector<std::int64_t> means;
};

// Takes the kept frames as they are interleaved, in runs, in place of an
// output array: for a caller that converts them on their way into memory
// of its own, so that the whole decoded stream is never held at once.
class FrameSink {
  public:
    // `frames` whole frames, interleaved; the first is the `first`-th frame
    // kept (0: the first frame after those skipped).
    virtual void take(const std::int16_t* samples, std::uint64_t first, std::size_t frames) noexcept = 0;

  protected:
    ~FrameSink() = default;
};

// How the decoded samples are delivered.
struct OutputOptions {
    // Room around the samples, for a caller that hands them on as bytes
    // (SampleArray::release).
    Framing framing;
    // Where their memory comes from; malloc when null.
    const BlockSource* source = nullptr;
    // Frames at the start that are decoded and checked, then dropped.
    std::uint64_t skip_frames = 0;
    // The frames kept after those: later ones are decoded and checked, then
    // dropped, unless `stop_early` ends the decoding once they are out.
    std::uint64_t max_frames = UINT64_MAX;
    // Stop at the first whole round of blocks that completes the kept
    // frames, without reading the rest of the stream: what lies beyond (its
    // length, its QUIT, any fault in it) is then never looked at.
    bool stop_early = false;
    // max_frames is also the count expected (a header's): reserve the
    // output's block for it at the start when the count is plausible, and
    // decode straight into it. A stream that falls short then gives fewer
    // samples than the block holds.
    bool preallocate = false;
    // Type 8: deliver the code bytes themselves (each 0-255 in a 16-bit
    // sample), not their expansion, for a caller that keeps mu-law as
    // mu-law: expansion cannot be undone, since two codes expand to 0.
    bool ulaw_codes = false;
    // Where the kept frames go, when not into the result's array (which is
    // then empty): `preallocate` and `framing` have no effect.
    FrameSink* sink = nullptr;
    // Go on from a state that a decode of the same stream took, instead of
    // from its start; skip_frames then counts from the state's frame.
    const DecoderState* resume = nullptr;
    // Where states are kept as the decode goes: one after each round of
    // blocks that ends with every channel at the same frame, at least
    // `checkpoint_every` frames after the last one kept (or the start).
    std::vector<DecoderState>* checkpoints = nullptr;
    std::uint64_t checkpoint_every = 0;
};

// The stream versions accepted. Version 2 always; version 1, which older
// corpora carry, only when asked for. Version 1 forms block means and the
// running mean as plain truncating divisions, without the half-divisor
// rounding term, adds no rounding offset to QLPC predictions, and keeps the
// means unscaled by the bit shift; version 2 keeps each block mean
// multiplied by its block's bit shift and shifts the running mean back down
// by the current one.
struct StreamOptions {
    bool accept_version_1 = false;
};

Result<ShortenAudio> decode(ByteView stream, const Limits& limits = {}, const OutputOptions& output = {},
                            const StreamOptions& versions = {});

// The version byte of a stream that begins with the magic, whether or not
// the decoder takes that version; the magic and length errors of decode.
Result<std::uint8_t> stream_version(ByteView stream);

// The running mean over a channel's block means (all of them, oldest first,
// each as the stream keeps it: in version 2 scaled by its block's bit
// shift), as a stream of `version` forms it under the bit shift `shift`
// (version 1: without the rounding term, and unshifted).
Result<std::int64_t> coffset(std::span<const std::int64_t> means, std::uint64_t nmean, std::uint8_t version = 2,
                             std::uint32_t shift = 0);

// Re-encodes a reconstructed type-8 value as a mu-law byte.
Result<std::uint8_t> ulaw_value_to_byte(std::int64_t value, std::uint32_t shift);

}  // namespace korrin::shorten

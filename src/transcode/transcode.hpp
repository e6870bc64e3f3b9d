// A whole conversion: SPHERE file in, WAV file or PCM out, built on one
// decode step that returns the audio together with its format.
#pragma once

#include <cstdint>

#include "codecs/codecs.hpp"
#include "common/bytes.hpp"
#include "common/result.hpp"
#include "sphere/sphere.hpp"

#include <string_view>

namespace korrin::transcode {

// A conversion's options beyond the module's behaviour; all off by default.
struct Options {
    codecs::DecodeOptions decode;
    // Fail when the header's sample_checksum differs from the checksum of the
    // decoded samples, where a rule for the coding is known (not for 4-byte
    // PCM). A header without the field passes.
    bool verify_checksum = false;
    // Appended to the message of a failed check, e.g. how to skip it.
    std::string_view checksum_hint;
};

// Decoded audio and what it is: `frames()` frames of `channels` samples of
// `bits_per_sample` bits each, interleaved little-endian, starting at frame
// `first_frame` of the file.
struct Audio {
    std::uint64_t channels = 1;      // the header's channel_count, at least 1
    std::uint64_t sample_rate = 1;   // the header's sample_rate, at least 1
    std::uint16_t bits_per_sample = 16;
    std::uint64_t first_frame = 0;
    ByteBuffer pcm;

    // Saturates: a header may declare more channels than any frame can
    // hold when it declares no samples.
    std::uint64_t frame_bytes() const noexcept {
        std::uint64_t bytes = 0;
        return __builtin_mul_overflow(channels, std::uint64_t{bits_per_sample / 8u}, &bytes) ? UINT64_MAX : bytes;
    }
    std::uint64_t frames() const noexcept { return pcm.size() / frame_bytes(); }
};

struct DecodeOptions {
    Framing framing;                       // room to leave around the PCM
    const BlockSource* source = nullptr;   // where the PCM's memory comes from
    codecs::FrameWindow window;            // the frames needed; others may be left out
    Options conversion;                    // what the module leaves off
};

// Hands the decoder the part of the payload that the header calls for.
Result<codecs::Pcm> decode_payload(const sphere::SphereHeader& header, ByteView payload,
                                   Framing framing = {}, const BlockSource* source = nullptr,
                                   const Options& options = {}, const codecs::FrameWindow& window = {});

// Compares the header's sample_checksum with `pcm.checksum`: passes when
// either is missing (a part of a payload has no checksum).
Result<void> check_checksum(const sphere::SphereHeader& header, const codecs::Pcm& pcm,
                            std::string_view hint = {});

// Decodes a file that `sphere::read` has read.
Result<Audio> decode(const sphere::SphereFile& file, const DecodeOptions& options = {});

// Wraps audio into a RIFF/WAV file, in place when it was decoded with
// wav::kWavFraming room. Refuses a channel count or a rate that the WAV
// fields cannot hold, then what the WAV writer refuses.
Result<ByteBuffer> to_wav(Audio audio);

// A whole SPHERE file to a whole RIFF/WAV file. With a `source`, the file
// is built in one block from it, unless the decoder kept frames beyond the
// header's count, which are then dropped with a copy.
Result<ByteBuffer> transcode(ByteView sph, const BlockSource* source = nullptr);
Result<ByteBuffer> transcode(ByteView sph, const BlockSource* source, const Options& options);

// A whole SPHERE file to its PCM (read, then decode).
Result<ByteBuffer> decode_pcm(ByteView sph, const BlockSource* source = nullptr);
Result<ByteBuffer> decode_pcm(ByteView sph, const BlockSource* source, const Options& options);

}  // namespace korrin::transcode

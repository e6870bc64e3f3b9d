// A whole conversion: SPHERE file in, WAV file or PCM out, built on one
// decode step that returns the audio together with its format.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "common/bytes.hpp"
#include "common/result.hpp"
#include "format/format.hpp"
#include "payload/payload.hpp"
#include "sphere/sphere.hpp"

namespace korrin::transcode {

// A conversion's options beyond the module's behaviour; all off by default.
struct Options {
    // Who reads: the module's codings and labels, or those sph2wav takes.
    format::Reader reader = format::Reader::Module;
    // Compute the checksum of the decoded samples (Audio::checksum), where
    // a rule for the coding is known (not for 4-byte PCM).
    bool checksum = false;
    // Fail when the header's sample_checksum differs from that checksum. A
    // header without the field passes.
    bool verify_checksum = false;
    // Appended to the message of a failed check, e.g. how to skip it.
    std::string_view checksum_hint;
};

// Decoded audio and what it is: `frames()` frames of `channels` samples of
// `bits_per_sample` bits each, interleaved little-endian, starting at frame
// `first_frame` of the file.
struct Audio {
    std::uint64_t channels = 1;     // the header's channel_count, at least 1
    std::uint64_t sample_rate = 1;  // the header's sample_rate, at least 1
    std::uint16_t bits_per_sample = 16;
    std::uint64_t first_frame = 0;
    ByteBuffer pcm;
    // With Options::checksum and every frame read: the samples' checksum.
    std::optional<std::uint16_t> checksum;

    // Saturates: a header may declare more channels than any frame can
    // hold when it declares no samples.
    std::uint64_t frame_bytes() const noexcept {
        std::uint64_t bytes = 0;
        return __builtin_mul_overflow(channels, std::uint64_t{bits_per_sample / 8u}, &bytes) ? UINT64_MAX : bytes;
    }
    std::uint64_t frames() const noexcept { return pcm.size() / frame_bytes(); }
};

struct DecodeOptions {
    Framing framing;                      // room to leave around the PCM
    const BlockSource* source = nullptr;  // where the PCM's memory comes from
    payload::Window window;               // the frames needed; others may be left out
    Options conversion;                   // what the module leaves off
};

// Decodes a file that `sphere::read` has read.
Result<Audio> decode(const sphere::SphereFile& file, const DecodeOptions& options = {});

// Wraps audio into a RIFF/WAV file, in place when it was decoded with
// wav::kWavFraming room. Refuses a channel count or a rate that the WAV
// fields cannot hold, then what the WAV writer refuses.
Result<ByteBuffer> to_wav(Audio audio);

// A whole SPHERE file to a whole RIFF/WAV file. With a `source`, the file
// is built in one block from it.
Result<ByteBuffer> transcode(ByteView sph, const BlockSource* source = nullptr);
Result<ByteBuffer> transcode(ByteView sph, const BlockSource* source, const Options& options);

// A whole SPHERE file to its PCM (read, then decode).
Result<ByteBuffer> decode_pcm(ByteView sph, const BlockSource* source = nullptr);
Result<ByteBuffer> decode_pcm(ByteView sph, const BlockSource* source, const Options& options);

}  // namespace korrin::transcode

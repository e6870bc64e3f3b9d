// A whole conversion: SPHERE file in, WAV file or PCM out, built on one
// decode step that returns the audio together with its format.
#pragma once

#include <cstdint>

#include "codecs/codecs.hpp"
#include "common/bytes.hpp"
#include "common/result.hpp"
#include "sphere/sphere.hpp"

namespace korrin::transcode {

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
};

// Hands the decoder the part of the payload that the header calls for.
Result<codecs::Pcm> decode_payload(const sphere::SphereHeader& header, ByteView payload,
                                   Framing framing = {}, const BlockSource* source = nullptr,
                                   const codecs::FrameWindow& window = {});

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

// A whole SPHERE file to its PCM (read, then decode).
Result<ByteBuffer> decode_pcm(ByteView sph, const BlockSource* source = nullptr);

}  // namespace korrin::transcode

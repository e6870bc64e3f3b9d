// Decoding a payload into samples of its own coding: linear PCM as
// little-endian or big-endian words, G.711 as its code bytes (from a
// stored payload, or from a Shorten stream of mu-law codes), so that an
// output in the same coding is the payload's own samples and any other is
// converted once, in one pass (containers/samples.hpp).
#pragma once

#include <cstdint>
#include <optional>

#include "codecs/codecs.hpp"
#include "common/bytes.hpp"
#include "common/result.hpp"
#include "containers/samples.hpp"
#include "sphere/sphere.hpp"

namespace korrin::transcode {

// How a stored payload whose size differs from the header's is taken.
enum class StoredSize {
    Declared,  // the header's size: less is an error ("audio payload truncated"), more is ignored
    AsFound,   // the whole frames the file holds, whatever the header says
};

struct NativeOptions {
    codecs::DecodeOptions decode;  // the Shorten labels taken; the checksum computed
    StoredSize stored_size = StoredSize::Declared;
};

struct NativeAudio {
    std::uint64_t channels = 1;
    std::uint64_t rate = 1;
    std::uint64_t frames = 0;           // of the whole payload as taken
    std::uint64_t declared_frames = 0;  // the header's sample_count
    std::uint64_t first_frame = 0;      // the frame `samples` begins with
    containers::Samples samples;        // whole frames from first_frame on
    ByteBuffer storage;                 // holds `samples` when they were decoded; empty otherwise
    // With DecodeOptions::checksum and the whole payload: its checksum, where
    // a rule for the coding is known.
    std::optional<std::uint16_t> checksum;
};

// The frames a stored payload of `payload_bytes` bytes holds, taken as
// `size` says; nothing for a compressed payload (its stream says) or a
// header whose fields decoding refuses.
std::optional<std::uint64_t> stored_frames(const sphere::SphereHeader& header, std::uint64_t payload_bytes,
                                           StoredSize size);

// Decodes `window` of a payload. Stored samples are not copied: `samples`
// then points into `payload`, which must outlive the result. A Shorten
// stream is decoded into `storage`, with `framing` room around the samples
// when they are linear. Refusals and their messages are transcode's: the
// same file fails here exactly when decode_payload fails on it, and with
// its message (under StoredSize::Declared).
Result<NativeAudio> decode_native(const sphere::SphereHeader& header, ByteView payload, const NativeOptions& options,
                                  const codecs::FrameWindow& window = {}, Framing framing = {});

}  // namespace korrin::transcode

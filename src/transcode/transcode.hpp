// A whole conversion: SPHERE file in, WAV file or PCM out.
#pragma once

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

// Hands the decoder the part of the payload that the header calls for.
Result<codecs::Pcm> decode_payload(const sphere::SphereHeader& header, ByteView payload,
                                   Framing framing = {}, const BlockSource* source = nullptr,
                                   const Options& options = {});

// Compares the header's sample_checksum with `pcm.checksum`: passes when
// either is missing.
Result<void> check_checksum(const sphere::SphereHeader& header, const codecs::Pcm& pcm,
                            std::string_view hint = {});

// A whole SPHERE file to a whole RIFF/WAV file. With a `source`, the file
// is built in one block from it, unless the decoder kept frames beyond the
// header's count, which are then dropped with a copy.
Result<ByteBuffer> transcode(ByteView sph, const BlockSource* source = nullptr);
Result<ByteBuffer> transcode(ByteView sph, const BlockSource* source, const Options& options);

// A whole SPHERE file to its PCM (read, then decode_payload).
Result<ByteBuffer> decode_pcm(ByteView sph, const BlockSource* source = nullptr);
Result<ByteBuffer> decode_pcm(ByteView sph, const BlockSource* source, const Options& options);

}  // namespace korrin::transcode

// A whole conversion: SPHERE file in, WAV file or PCM out.
#pragma once

#include "codecs/codecs.hpp"
#include "common/bytes.hpp"
#include "common/result.hpp"
#include "sphere/sphere.hpp"

namespace korrin::transcode {

// Hands the decoder the part of the payload that the header calls for.
Result<codecs::Pcm> decode_payload(const sphere::SphereHeader& header, ByteView payload,
                                   Framing framing = {}, const BlockSource* source = nullptr);

// A whole SPHERE file to a whole RIFF/WAV file. With a `source`, the file
// is built in one block from it, unless the decoder kept frames beyond the
// header's count, which are then dropped with a copy.
Result<ByteBuffer> transcode(ByteView sph, const BlockSource* source = nullptr);

// A whole SPHERE file to its PCM (read, then decode_payload).
Result<ByteBuffer> decode_pcm(ByteView sph, const BlockSource* source = nullptr);

}  // namespace korrin::transcode

#include <cstring>

#include "codecs/codecs.hpp"

namespace korrin::codecs {

Result<ShortenPcm> shorten_to_pcm(ByteView stream, const shorten::OutputOptions& output,
                                  const shorten::StreamOptions& versions) {
    KR_ASSIGN_OR_RETURN(shorten::ShortenAudio audio, shorten::decode(stream, {}, output, versions));
    // The samples arrive as 16-bit linear PCM, mu-law expanded on the way,
    // in the decoder's own buffer, whose host-order samples are already LE
    // bytes (see common/bytes.hpp); it is handed on as the result.
    return ShortenPcm{audio.channel_count, audio.is_ulaw, std::move(audio.samples).release()};
}

Result<ByteBuffer> pcm_table_to_le(std::span<const std::int16_t> samples, Framing framing) {
    KR_ASSIGN_OR_RETURN(ByteBuffer bytes, ByteBuffer::allocate(samples.size() * 2, framing));
    // A host sample is already little-endian (see common/bytes.hpp).
    if (!samples.empty()) std::memcpy(bytes.data(), samples.data(), samples.size() * 2);
    return bytes;
}

}  // namespace korrin::codecs

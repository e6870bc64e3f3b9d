#include <array>
#include <bit>
#include <cstring>

#include "codecs/codecs.hpp"

namespace korrin::codecs {

Result<ShortenPcm> shorten_to_pcm(ByteView stream, const shorten::OutputOptions& output,
                                  const shorten::StreamOptions& versions) {
    KR_ASSIGN_OR_RETURN(shorten::ShortenAudio audio, shorten::decode(stream, {}, output, versions));
    // Linear values arrive clamped to 16 bits already; mu-law code bytes are
    // expanded here, in the decoder's own buffer, whose host-order samples
    // are already LE bytes (see common/bytes.hpp); it is handed on as the
    // result.
    // The code bytes' checksum is taken on the way, as the expansion is the
    // last moment they are seen.
    const std::span<std::int16_t> samples = audio.samples.span();
    std::uint16_t code_checksum = 0;
    if (audio.is_ulaw) {
        std::array<std::int16_t, 256> table;
        for (unsigned code = 0; code < 256; ++code) table[code] = ulaw_to_linear(static_cast<std::uint8_t>(code));
        for (std::int16_t& s : samples) {
            const auto code = static_cast<std::uint8_t>(s);
            code_checksum = static_cast<std::uint16_t>(code_checksum + code);
            s = table[code];
        }
    }
    return ShortenPcm{audio.channel_count, audio.is_ulaw, std::move(audio.samples).release(), audio.frames_decoded,
                      audio.version, code_checksum, audio.stopped_early};
}

Result<ByteBuffer> pcm_table_to_le(std::span<const std::int16_t> samples, Framing framing) {
    KR_ASSIGN_OR_RETURN(ByteBuffer bytes, ByteBuffer::allocate(samples.size() * 2, framing));
    // A host sample is already little-endian (see common/bytes.hpp).
    if (!samples.empty()) std::memcpy(bytes.data(), samples.data(), samples.size() * 2);
    return bytes;
}

}  // namespace korrin::codecs

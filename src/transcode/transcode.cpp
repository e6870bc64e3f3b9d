#include "transcode/transcode.hpp"

#include <limits>

#include "wav/wav.hpp"

namespace korrin::transcode {

Result<codecs::Pcm> decode_payload(const sphere::SphereHeader& header, ByteView payload, Framing framing,
                                   const BlockSource* source, const codecs::FrameWindow& window) {
    // A compressed stream carries its own length: the decoder gets all of it.
    if (codecs::is_compressed(codecs::coding_text(header)))
        return codecs::decode(header, payload, framing, source, window);
    KR_ASSIGN_OR_RETURN(const std::uint64_t declared, header.expected_data_bytes());
    if (payload.size() < declared)
        return invalid("audio payload truncated: header declares ", declared, " bytes but only ",
                       payload.size(), " present");
    return codecs::decode(header, payload.first(static_cast<std::size_t>(declared)), framing, source, window);
}

Result<Audio> decode(const sphere::SphereFile& file, const DecodeOptions& options) {
    KR_ASSIGN_OR_RETURN(codecs::Pcm pcm,
                        decode_payload(file.header, file.payload, options.framing, options.source, options.window));
    // Validation has made both at least 1.
    KR_ASSIGN_OR_RETURN(const std::int64_t channels, file.header.int_("channel_count"));
    KR_ASSIGN_OR_RETURN(const std::int64_t sample_rate, file.header.int_("sample_rate"));
    return Audio{static_cast<std::uint64_t>(channels), static_cast<std::uint64_t>(sample_rate),
                 pcm.bits_per_sample, pcm.first_frame, std::move(pcm.bytes)};
}

Result<ByteBuffer> to_wav(Audio audio) {
    if (audio.channels > std::numeric_limits<std::uint16_t>::max()) return invalid("channel_count too large for WAV");
    if (audio.sample_rate > std::numeric_limits<std::uint32_t>::max())
        return invalid("sample_rate too large for WAV");
    return wav::wrap_wav(static_cast<std::uint16_t>(audio.channels), static_cast<std::uint32_t>(audio.sample_rate),
                         audio.bits_per_sample, std::move(audio.pcm));
}

Result<ByteBuffer> transcode(ByteView sph, const BlockSource* source) {
    KR_ASSIGN_OR_RETURN(const sphere::SphereFile file, sphere::read(sph));
    // The PCM is decoded with room for the WAV header, which is then written
    // in front of it in place.
    KR_ASSIGN_OR_RETURN(Audio audio, decode(file, {wav::kWavFraming, source, {}}));
    return to_wav(std::move(audio));
}

Result<ByteBuffer> decode_pcm(ByteView sph, const BlockSource* source) {
    KR_ASSIGN_OR_RETURN(const sphere::SphereFile file, sphere::read(sph));
    KR_ASSIGN_OR_RETURN(Audio audio, decode(file, {{}, source, {}}));
    return std::move(audio.pcm);
}

}  // namespace korrin::transcode

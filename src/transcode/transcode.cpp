#include "transcode/transcode.hpp"

#include <algorithm>
#include <limits>

#include "payload/pcm_sink.hpp"
#include "wav/wav.hpp"

namespace korrin::transcode {

Result<Audio> decode(const sphere::SphereFile& file, const DecodeOptions& options) {
    const Options& conversion = options.conversion;
    KR_ASSIGN_OR_RETURN(const format::Format format,
                        format::admit(file.header, file.payload.size(), conversion.reader));
    const std::uint64_t frames = format.compressed() ? format.declared_frames : format.frames;
    const std::uint64_t end = std::min(options.window.end, frames);
    const auto bits = static_cast<std::uint16_t>(8 * format.decoded_width());
    payload::PcmSink sink(format.channels, end - std::min(options.window.begin, end), bits, options.framing,
                          options.source);
    payload::Options reading;
    reading.checksum = conversion.checksum || conversion.verify_checksum;
    KR_ASSIGN_OR_RETURN(const payload::Outcome outcome,
                        payload::read(format, payload::Source::of(file.payload), options.window, sink, reading));
    if (conversion.verify_checksum && outcome.checksum)
        KR_TRY(format::check_checksum(format, *outcome.checksum, conversion.checksum_hint));
    KR_ASSIGN_OR_RETURN(ByteBuffer pcm, std::move(sink).finish());
    return Audio{format.channels, format.rate, bits, outcome.first_frame, std::move(pcm), outcome.checksum};
}

Result<ByteBuffer> to_wav(Audio audio) {
    if (audio.channels > std::numeric_limits<std::uint16_t>::max()) return invalid("channel_count too large for WAV");
    if (audio.sample_rate > std::numeric_limits<std::uint32_t>::max()) return invalid("sample_rate too large for WAV");
    return wav::wrap_wav(static_cast<std::uint16_t>(audio.channels), static_cast<std::uint32_t>(audio.sample_rate),
                         audio.bits_per_sample, std::move(audio.pcm));
}

Result<ByteBuffer> transcode(ByteView sph, const BlockSource* source, const Options& options) {
    KR_ASSIGN_OR_RETURN(const sphere::SphereFile file, sphere::read(sph));
    // The PCM is decoded with room for the WAV header, which is then written
    // in front of it in place.
    KR_ASSIGN_OR_RETURN(Audio audio, decode(file, {wav::kWavFraming, source, {}, options}));
    return to_wav(std::move(audio));
}

Result<ByteBuffer> decode_pcm(ByteView sph, const BlockSource* source, const Options& options) {
    KR_ASSIGN_OR_RETURN(const sphere::SphereFile file, sphere::read(sph));
    KR_ASSIGN_OR_RETURN(Audio audio, decode(file, {{}, source, {}, options}));
    return std::move(audio.pcm);
}

Result<ByteBuffer> transcode(ByteView sph, const BlockSource* source) { return transcode(sph, source, Options{}); }

Result<ByteBuffer> decode_pcm(ByteView sph, const BlockSource* source) { return decode_pcm(sph, source, Options{}); }

}  // namespace korrin::transcode

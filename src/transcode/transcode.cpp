#include "transcode/transcode.hpp"

#include <limits>

#include "wav/wav.hpp"

namespace korrin::transcode {

namespace {

Result<codecs::Pcm> decode_unchecked(const sphere::SphereHeader& header, ByteView payload, Framing framing,
                                     const BlockSource* source, const codecs::DecodeOptions& options,
                                     const codecs::FrameWindow& window) {
    // A compressed stream carries its own length: the decoder gets all of it.
    if (codecs::is_compressed(codecs::coding_text(header)))
        return codecs::decode(header, payload, framing, source, options, window);
    KR_ASSIGN_OR_RETURN(const std::uint64_t declared, header.expected_data_bytes());
    if (payload.size() < declared)
        return invalid("audio payload truncated: header declares ", declared, " bytes but only ",
                       payload.size(), " present");
    return codecs::decode(header, payload.first(static_cast<std::size_t>(declared)), framing, source, options,
                          window);
}

}  // namespace

Result<codecs::Pcm> decode_payload(const sphere::SphereHeader& header, ByteView payload, Framing framing,
                                   const BlockSource* source, const Options& options,
                                   const codecs::FrameWindow& window) {
    codecs::DecodeOptions decode = options.decode;
    decode.checksum = decode.checksum || options.verify_checksum;
    KR_ASSIGN_OR_RETURN(codecs::Pcm pcm, decode_unchecked(header, payload, framing, source, decode, window));
    if (options.verify_checksum) KR_TRY(check_checksum(header, pcm, options.checksum_hint));
    return pcm;
}

Result<Audio> decode(const sphere::SphereFile& file, const DecodeOptions& options) {
    KR_ASSIGN_OR_RETURN(codecs::Pcm pcm, decode_payload(file.header, file.payload, options.framing, options.source,
                                                        options.conversion, options.window));
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

Result<void> check_checksum(const sphere::SphereHeader& header, const codecs::Pcm& pcm, std::string_view hint) {
    if (!pcm.checksum || header.find("sample_checksum") == nullptr) return ok();
    const auto declared = header.int_("sample_checksum");
    if (!declared) return invalid(declared.error().message, hint);
    if (*declared != *pcm.checksum)
        return invalid("sample_checksum mismatch: the header declares ", *declared, ", the samples sum to ",
                       *pcm.checksum, hint);
    return ok();
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

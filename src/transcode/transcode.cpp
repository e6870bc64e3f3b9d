#include "transcode/transcode.hpp"

#include <limits>

#include "wav/wav.hpp"

namespace korrin::transcode {

namespace {

Result<codecs::Pcm> decode_unchecked(const sphere::SphereHeader& header, ByteView payload, Framing framing,
                                     const BlockSource* source, const codecs::DecodeOptions& options) {
    // A compressed stream carries its own length: the decoder gets all of it.
    if (codecs::is_compressed(codecs::coding_text(header)))
        return codecs::decode(header, payload, framing, source, options);
    KR_ASSIGN_OR_RETURN(const std::uint64_t declared, header.expected_data_bytes());
    if (payload.size() < declared)
        return invalid("audio payload truncated: header declares ", declared, " bytes but only ",
                       payload.size(), " present");
    return codecs::decode(header, payload.first(static_cast<std::size_t>(declared)), framing, source, options);
}

}  // namespace

Result<codecs::Pcm> decode_payload(const sphere::SphereHeader& header, ByteView payload, Framing framing,
                                   const BlockSource* source, const Options& options) {
    codecs::DecodeOptions decode = options.decode;
    decode.checksum = decode.checksum || options.verify_checksum;
    KR_ASSIGN_OR_RETURN(codecs::Pcm pcm, decode_unchecked(header, payload, framing, source, decode));
    if (options.verify_checksum) KR_TRY(check_checksum(header, pcm, options.checksum_hint));
    return pcm;
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
    KR_ASSIGN_OR_RETURN(codecs::Pcm pcm,
                        decode_payload(file.header, file.payload, wav::kWavFraming, source, options));
    KR_ASSIGN_OR_RETURN(const std::int64_t channels, file.header.int_("channel_count"));
    if (channels > std::numeric_limits<std::uint16_t>::max()) return invalid("channel_count too large for WAV");
    KR_ASSIGN_OR_RETURN(const std::int64_t sample_rate, file.header.int_("sample_rate"));
    if (sample_rate > std::numeric_limits<std::uint32_t>::max()) return invalid("sample_rate too large for WAV");
    // Validation has made both at least 1.
    return wav::wrap_wav(static_cast<std::uint16_t>(channels), static_cast<std::uint32_t>(sample_rate),
                         pcm.bits_per_sample, std::move(pcm.bytes));
}

Result<ByteBuffer> decode_pcm(ByteView sph, const BlockSource* source, const Options& options) {
    KR_ASSIGN_OR_RETURN(const sphere::SphereFile file, sphere::read(sph));
    KR_ASSIGN_OR_RETURN(codecs::Pcm pcm, decode_payload(file.header, file.payload, {}, source, options));
    return std::move(pcm.bytes);
}

Result<ByteBuffer> transcode(ByteView sph, const BlockSource* source) { return transcode(sph, source, Options{}); }

Result<ByteBuffer> decode_pcm(ByteView sph, const BlockSource* source) { return decode_pcm(sph, source, Options{}); }

}  // namespace korrin::transcode

#include "cli/convert/encode.hpp"

#include "cli/flac/flac.hpp"
#include "sphere/sphere.hpp"
#include "wav/wav.hpp"

namespace korrin::cli {

namespace {

// WAV's own limits are checked as the file is written, after decoding, as
// the module checks them.
Result<void> check_nothing(std::uint64_t, std::uint64_t) { return ok(); }

// A RIFF/WAV file around the PCM, its header written into the room the
// decoder left in front.
Result<ByteBuffer> encode_wav(transcode::Audio audio, ByteView, const Options&) {
    return transcode::to_wav(std::move(audio));
}

// The PCM itself: no container, so nothing to refuse.
Result<ByteBuffer> encode_pcm(transcode::Audio audio, ByteView, const Options&) { return std::move(audio.pcm); }

Result<void> check_flac(std::uint64_t channels, std::uint64_t rate) { return flac::check_limits(channels, rate); }

// FLAC through libFLAC, the header's fields kept as Vorbis comments.
Result<ByteBuffer> encode_flac(transcode::Audio audio, ByteView header_region, const Options& options) {
    KR_ASSIGN_OR_RETURN(const std::vector<sphere::HeaderField> fields, sphere::fields_in_order(header_region));
    return flac::encode(audio.pcm, audio.bits_per_sample, audio.channels, audio.sample_rate, fields,
                        options.flac_settings);
}

constexpr Encoder wav_encoder{".wav", wav::kWavFraming, check_nothing, encode_wav};
constexpr Encoder pcm_encoder{".pcm", {}, check_nothing, encode_pcm};
constexpr Encoder flac_encoder{".flac", {}, check_flac, encode_flac};

}  // namespace

const Encoder& encoder_for(OutputFormat format) noexcept {
    switch (format) {
        case OutputFormat::Wav: break;
        case OutputFormat::Pcm: return pcm_encoder;
        case OutputFormat::Flac: return flac_encoder;
    }
    return wav_encoder;
}

}  // namespace korrin::cli

#include "cli/encode.hpp"

#include "wav/wav.hpp"

namespace korrin::cli {

namespace {

// A RIFF/WAV file around the PCM, its header written into the room the
// decoder left in front.
Result<ByteBuffer> encode_wav(transcode::Audio audio, const sphere::SphereHeader&) {
    return transcode::to_wav(std::move(audio));
}

// The PCM itself: no container, so nothing to refuse.
Result<ByteBuffer> encode_pcm(transcode::Audio audio, const sphere::SphereHeader&) {
    return std::move(audio.pcm);
}

constexpr Encoder wav_encoder{".wav", wav::kWavFraming, encode_wav};
constexpr Encoder pcm_encoder{".pcm", {}, encode_pcm};

}  // namespace

const Encoder& encoder_for(OutputFormat format) noexcept {
    switch (format) {
        case OutputFormat::Wav: break;
        case OutputFormat::Pcm: return pcm_encoder;
    }
    return wav_encoder;
}

}  // namespace korrin::cli

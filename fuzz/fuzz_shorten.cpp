// The Shorten kernel on arbitrary streams. Each input is decoded three
// times: by the stream decoder under a small length cap (so that a tiny
// stream of ZERO blocks cannot ask for gigabytes, which is within the
// format's limits but not a finding); by the plain reference decoder of
// reference_shorten.hpp under the same cap, which must give the same error
// (message and kind) or the same samples; and, when it fits the cap, by
// shorten_to_pcm with the real limits, which must agree exactly as well:
// same error, or same channel count, flag and samples serialised
// little-endian. A version-1 stream is decoded once more, by the decoder
// that takes that version, against the reference in the same mode.
#include <cstdint>
#include <cstring>
#include <string>
#include <variant>

#include "codecs/codecs.hpp"
#include "fuzz_check.hpp"
#include "messages.hpp"
#include "reference_shorten.hpp"
#include "shorten/shorten.hpp"

namespace {

using korrin::fuzz::check;

// 2^20 samples: 2 MB of 16-bit output, far above any interesting stream.
constexpr std::uint64_t kFuzzMaxSamples = std::uint64_t{1} << 20;
constexpr std::string_view kTooLong = "shorten stream exceeds the maximum decoded length";

// The decoder's outcome is the reference decoder's: the same error, or the
// same samples.
void check_against_reference(const korrin::Result<korrin::shorten::ShortenAudio>& capped,
                             const korrin::fuzz::ReferenceShorten::Outcome& reference) {
    if (const auto* error = std::get_if<korrin::DecodeError>(&reference)) {
        check(!capped, "decoded a stream the reference rejects", error->message);
        check(capped.error() == *error, "error differs from the reference",
              capped.error().message + " / " + error->message);
        return;
    }
    const auto& want = std::get<korrin::fuzz::ReferenceAudio>(reference);
    check(capped.has_value(), "rejected a stream the reference decodes", capped ? "" : capped.error().message);
    check(capped->channel_count == want.channel_count && capped->is_ulaw == want.is_ulaw,
          "header differs from the reference");
    const auto got = capped->samples.span();
    check(got.size() == want.samples.size(), "sample count differs from the reference");
    // The reference keeps mu-law values as their code bytes; the decoder
    // expands them on the way out, and sums them.
    std::uint16_t code_sum = 0;
    for (std::size_t i = 0; i < got.size(); ++i) {
        const std::int16_t reference_sample =
            want.is_ulaw ? korrin::codecs::ulaw_to_linear(static_cast<std::uint8_t>(want.samples[i])) : want.samples[i];
        check(got[i] == reference_sample, "sample differs from the reference", std::to_string(i));
        code_sum = static_cast<std::uint16_t>(code_sum + static_cast<std::uint8_t>(want.samples[i]));
    }
    if (want.is_ulaw) check(capped->code_checksum == code_sum, "code checksum differs from the reference");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const korrin::ByteView stream(data, size);

    auto capped = korrin::shorten::decode(stream, korrin::shorten::Limits{kFuzzMaxSamples});
    if (!capped) {
        const auto& error = capped.error();
        korrin::fuzz::check_error(error, "shorten::decode");
        check(korrin::fuzz::known_message(korrin::fuzz::kShortenMessages, error.message), "unexpected shorten message",
              error.message);
    } else {
        const auto& audio = *capped;
        check(audio.channel_count >= 1 && audio.channel_count <= korrin::shorten::kMaxChannels,
              "channel count outside 1..256");
        check(audio.samples.size() % audio.channel_count == 0, "samples are not whole frames");
        check(audio.samples.size() <= kFuzzMaxSamples, "decoded past the length cap");
    }

    check_against_reference(capped, korrin::fuzz::ReferenceShorten(stream, kFuzzMaxSamples).run());
    // A version-1 stream also goes through the decoder that takes it.
    if (size > 4 && data[4] == 1) {
        const auto v1 =
            korrin::shorten::decode(stream, korrin::shorten::Limits{kFuzzMaxSamples}, {}, {.accept_version_1 = true});
        if (!v1) korrin::fuzz::check_error(v1.error(), "shorten::decode (version 1)");
        check_against_reference(v1, korrin::fuzz::ReferenceShorten(stream, kFuzzMaxSamples, true).run());
    }
    if (!capped && capped.error().message == kTooLong) return 0;  // too big to decode again here

    auto pcm = korrin::codecs::shorten_to_pcm(stream);
    if (!capped) {
        check(!pcm.has_value(), "shorten_to_pcm succeeded where decode failed", capped.error().message);
        check(pcm.error() == capped.error(), "shorten_to_pcm and decode fail differently", pcm.error().message);
        return 0;
    }
    check(pcm.has_value(), "shorten_to_pcm failed where decode succeeded", pcm ? "" : pcm.error().message);
    const auto& audio = *capped;
    check(pcm->channel_count == audio.channel_count, "channel counts differ");
    check(pcm->is_ulaw == audio.is_ulaw, "mu-law flags differ");
    check(pcm->pcm_bytes.size() == 2 * audio.samples.size(), "PCM is not two bytes per sample");
    const std::uint8_t* bytes = pcm->pcm_bytes.data();
    const auto samples = audio.samples.span();
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const auto s = static_cast<std::uint16_t>(samples[i]);
        check(bytes[2 * i] == (s & 0xFF) && bytes[2 * i + 1] == (s >> 8), "PCM bytes differ from the samples");
    }
    return 0;
}

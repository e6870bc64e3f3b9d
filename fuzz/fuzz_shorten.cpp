// The Shorten kernel on arbitrary streams. Each input is decoded twice: by
// the stream decoder under a small length cap (so that a tiny stream of ZERO
// blocks cannot ask for gigabytes, which is within the format's limits but
// not a finding), and, when it fits the cap, by shorten_to_pcm with the real
// limits. The two must agree exactly: same error, or same channel count,
// flag and samples serialised little-endian.
#include <cstdint>
#include <cstring>

#include "codecs/codecs.hpp"
#include "fuzz_check.hpp"
#include "messages.hpp"
#include "shorten/shorten.hpp"

namespace {

using korrin::fuzz::check;

// 2^20 samples: 2 MB of 16-bit output, far above any interesting stream.
constexpr std::uint64_t kFuzzMaxSamples = std::uint64_t{1} << 20;
constexpr std::string_view kTooLong = "shorten stream exceeds the maximum decoded length";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const korrin::ByteView stream(data, size);

    auto capped = korrin::shorten::decode(stream, korrin::shorten::Limits{kFuzzMaxSamples});
    if (!capped) {
        const auto& error = capped.error();
        korrin::fuzz::check_error(error, "shorten::decode");
        check(korrin::fuzz::known_message(korrin::fuzz::kShortenMessages, error.message),
              "unexpected shorten message", error.message);
        if (error.message == kTooLong) return 0;  // too big to decode again here
    } else {
        const auto& audio = *capped;
        check(audio.channel_count >= 1 && audio.channel_count <= korrin::shorten::kMaxChannels,
              "channel count outside 1..256");
        check(audio.samples.size() % audio.channel_count == 0, "samples are not whole frames");
        check(audio.samples.size() <= kFuzzMaxSamples, "decoded past the length cap");
        if (audio.is_ulaw)
            for (std::int16_t s : audio.samples.span()) check(s >= 0 && s <= 255, "mu-law code outside 0..255");
    }

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
        // mu-law codes are expanded on the way out; linear values are final.
        const std::int16_t value = audio.is_ulaw
            ? korrin::codecs::ulaw_to_linear(static_cast<std::uint8_t>(samples[i])) : samples[i];
        const auto s = static_cast<std::uint16_t>(value);
        check(bytes[2 * i] == (s & 0xFF) && bytes[2 * i + 1] == (s >> 8), "PCM bytes differ from the samples");
    }
    return 0;
}

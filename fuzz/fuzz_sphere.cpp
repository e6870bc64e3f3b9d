// Whole SPHERE files through both public paths, transcode and decode_pcm,
// with the header mutated field line by field line (see sphere_mutator.hpp)
// as well as byte by byte. Properties checked on every input:
// - every error carries one of the core's messages;
// - a file the reader rejects fails both paths with the reader's error;
// - decode_pcm and transcode agree: the same error, or a WAV file whose data
//   chunk is exactly the PCM; transcode may only add the WAV limits;
// - the PCM length is what the header declares;
// - the WAV header fields match the SPHERE header;
// - a channel and span picked from the input, decoded with a frame window
//   (stopping a Shorten stream early) and selected, give the same bytes as
//   the whole PCM sliced; where the whole decode fails on an uncompressed
//   payload, the windowed one fails alike.
#include <cstdint>
#include <cstring>
#include <string>

#include "cli/select/select.hpp"
#include "common/text.hpp"
#include "fuzz_check.hpp"
#include "messages.hpp"
#include "shorten/shorten.hpp"
#include "sphere/sphere.hpp"
#include "sphere_mutator.hpp"
#include "transcode/transcode.hpp"

namespace {

using korrin::fuzz::check;

// Embedded Shorten payloads are first decoded under this cap; a stream that
// would decode to more is legal (up to 2^30 samples) but too big to be worth
// converting in every fuzz iteration.
constexpr std::uint64_t kFuzzMaxSamples = std::uint64_t{1} << 20;

std::uint32_t le32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }

void check_known(const korrin::DecodeError& error, std::string_view where) {
    korrin::fuzz::check_error(error, where);
    check(korrin::fuzz::known_message(korrin::fuzz::kFileMessages, error.message) ||
              korrin::fuzz::known_message(korrin::fuzz::kShortenMessages, error.message),
          "unexpected message", error.message);
}

// The payload is compressed when the coding's second comma-separated piece,
// trimmed, is not empty; such a payload goes whole to the Shorten decoder.
bool is_compressed(const korrin::sphere::SphereHeader& header) {
    const std::string* coding = header.find("sample_coding");
    if (coding == nullptr) return false;
    const std::size_t comma = coding->find(',');
    if (comma == std::string::npos) return false;
    const std::string_view rest = std::string_view(*coding).substr(comma + 1);
    return !korrin::trim(rest.substr(0, rest.find(','))).empty();
}

bool is_wav_limit(std::string_view message) {
    return message == "channel_count too large for WAV" || message == "sample_rate too large for WAV" ||
           message == "WAV byte_rate exceeds 32-bit field" || message == "WAV block_align exceeds 16-bit field" ||
           message.starts_with("output exceeds the 4 GB RIFF/WAV size limit");
}

void check_wav(const korrin::ByteBuffer& wav, const korrin::ByteBuffer& pcm,
               const korrin::sphere::SphereHeader& header) {
    const std::size_t pad = pcm.size() % 2;
    check(wav.size() == 44 + pcm.size() + pad, "WAV length is not 44 + PCM + pad");
    const std::uint8_t* w = wav.data();
    check(
        std::memcmp(w, "RIFF", 4) == 0 && std::memcmp(w + 8, "WAVEfmt ", 8) == 0 && std::memcmp(w + 36, "data", 4) == 0,
        "WAV chunk tags wrong");
    check(le32(w + 4) == 36 + pcm.size() + pad, "RIFF size wrong");
    check(le32(w + 16) == 16 && le16(w + 20) == 1, "fmt chunk is not plain PCM");
    const auto channels = *header.int_("channel_count");
    const auto rate = *header.int_("sample_rate");
    const std::uint16_t bits = le16(w + 34);
    check(bits == 16 || bits == 32, "bits_per_sample neither 16 nor 32");
    check(le16(w + 22) == channels, "WAV channels differ from channel_count");
    check(le32(w + 24) == rate, "WAV sample rate differs from sample_rate");
    const std::uint64_t align = static_cast<std::uint64_t>(channels) * (bits / 8);
    check(le16(w + 32) == static_cast<std::uint16_t>(align), "block_align wrong");
    check(le32(w + 28) == static_cast<std::uint64_t>(rate) * align, "byte_rate wrong");
    check(le32(w + 40) == pcm.size(), "data chunk size differs from the PCM");
    check(pcm.empty() || std::memcmp(w + 44, pcm.data(), pcm.size()) == 0, "data chunk differs from decode_pcm");
    if (pad) check(w[44 + pcm.size()] == 0, "pad byte not zero");
}

// The PCM length the header implies, for a file whose decode succeeded.
void check_pcm_length(const korrin::ByteBuffer& pcm, const korrin::sphere::SphereHeader& header, bool compressed) {
    const auto count = static_cast<std::uint64_t>(*header.int_("sample_count"));
    const auto channels = static_cast<std::uint64_t>(*header.int_("channel_count"));
    if (compressed) {
        check(pcm.size() == count * channels * 2, "Shorten PCM length differs from the header");
        return;
    }
    const auto declared = header.expected_data_bytes();
    check(declared.has_value(), "decode succeeded but the declared size overflows");
    const auto n = *header.int_("sample_n_bytes");
    check(pcm.size() == (n == 1 ? 2 * *declared : *declared), "PCM length differs from the header");
}

// A selection picked by a hash of the input, checked against the whole
// decode (`whole`: its PCM, or its error).
void check_selection(const korrin::sphere::SphereFile& file, korrin::ByteView input,
                     const korrin::Result<korrin::ByteBuffer>& whole, bool compressed) {
    std::uint64_t hash = 1469598103934665603u;
    for (const std::uint8_t byte : input) hash = (hash ^ byte) * 1099511628211u;
    const auto count = static_cast<std::uint64_t>(*file.header.int_("sample_count"));
    const auto channels = static_cast<std::uint64_t>(*file.header.int_("channel_count"));
    const auto rate = static_cast<std::uint64_t>(*file.header.int_("sample_rate"));
    korrin::select::Request request;
    request.channel = 1 + (hash >> 48) % std::min<std::uint64_t>(channels, 4);
    korrin::select::Span span;
    span.begin_frame = count == 0 ? 0 : (hash & 0xFFFF) % count;
    span.end_frame = *span.begin_frame + ((hash >> 16) & 0xFFFF) % (count - *span.begin_frame + 2);
    request.span = span;
    const auto chosen = korrin::select::resolve(request, channels, count, rate);
    if (!chosen) {  // only an empty file has no span to start
        check(count == 0, "a span inside the file was refused", chosen.error().message);
        return;
    }
    auto part = korrin::transcode::decode(file, {{}, nullptr, chosen->window(true), {}});
    if (!whole) {
        if (!compressed) check(!part && part.error() == whole.error(), "a window changed the decoder's error");
        return;
    }
    check(part.has_value(), "a window failed where the whole file decodes", part ? "" : part.error().message);
    const std::size_t width = part->bits_per_sample / 8u;
    const std::size_t frame = static_cast<std::size_t>(channels) * width;
    const std::size_t frames = static_cast<std::size_t>(chosen->end - chosen->begin);
    check(part->first_frame == chosen->begin && part->pcm.size() == frames * frame, "the window's length is wrong");
    for (std::size_t i = 0; i < frames; ++i) {
        const std::size_t at = i * frame + *chosen->channel * width;
        const std::uint8_t* want = whole->data() + chosen->begin * frame + at;
        check(std::memcmp(part->pcm.data() + at, want, width) == 0, "the window differs from the whole");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const korrin::ByteView input(data, size);
    auto file = korrin::sphere::read(input);
    bool compressed = false;
    if (file) {
        compressed = is_compressed(file->header);
        if (compressed) {
            auto capped = korrin::shorten::decode(file->payload, korrin::shorten::Limits{kFuzzMaxSamples});
            if (!capped && capped.error().message == "shorten stream exceeds the maximum decoded length") return 0;
        }
    } else {
        check_known(file.error(), "sphere::read");
    }

    auto pcm = korrin::transcode::decode_pcm(input);
    auto wav = korrin::transcode::transcode(input);
    if (!file) {
        check(!pcm && !wav, "a path succeeded on a file the reader rejects");
        check(pcm.error() == file.error() && wav.error() == file.error(), "paths report another error than the reader");
        return 0;
    }
    check_selection(*file, input, pcm, compressed);
    if (!pcm) {
        check_known(pcm.error(), "decode_pcm");
        check(!wav, "transcode succeeded where decode_pcm failed", pcm.error().message);
        check(wav.error() == pcm.error(), "transcode and decode_pcm fail differently", wav.error().message);
        return 0;
    }
    check_pcm_length(*pcm, file->header, compressed);
    if (!wav) {
        check_known(wav.error(), "transcode");
        check(is_wav_limit(wav.error().message), "transcode failed beyond the WAV limits", wav.error().message);
        return 0;
    }
    check_wav(*wav, *pcm, file->header);
    return 0;
}

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size, std::size_t max_size,
                                               unsigned int seed) {
    return korrin::fuzz::mutate_sphere(data, size, max_size, seed);
}

// The payload decoder: picks linear PCM, G.711 or embedded Shorten by the
// header's sample_coding and checks what it produced against the header.
#include <algorithm>
#include <bit>
#include <cstring>
#include <string>

#include "codecs/codecs.hpp"
#include "common/checked.hpp"
#include "common/text.hpp"

namespace korrin::codecs {
namespace {

constexpr std::string_view kShorten = "embedded-shorten-v2.00";
// Labels of older corpora (the WSJ era), taken on request.
constexpr std::string_view kOlderShorten[] = {"embedded-shorten-v1.09", "embedded-shorten-v1.1"};

bool is_shorten(std::string_view compression, const DecodeOptions& options) noexcept {
    if (compression == kShorten) return true;
    if (!options.older_shorten) return false;
    for (const std::string_view label : kOlderShorten)
        if (compression == label) return true;
    return false;
}

// The first two comma-separated pieces of a coding text, trimmed and with
// ASCII letters in lower case. Pieces after the second are ignored.
struct Coding {
    std::string base;
    std::string compression;  // empty: not compressed
};

struct RawPieces {
    std::string_view base;
    std::string_view compression;
};

RawPieces split_coding(std::string_view text) noexcept {
    const std::size_t comma = text.find(',');
    if (comma == std::string_view::npos) return {trim(text), {}};
    const std::string_view rest = text.substr(comma + 1);
    return {trim(text.substr(0, comma)), trim(rest.substr(0, rest.find(',')))};
}

Coding parse_coding(std::string_view text) {
    const RawPieces pieces = split_coding(text);
    return {ascii_lower(pieces.base), ascii_lower(pieces.compression)};
}

enum class Family { Pcm, Ulaw, Alaw, Pculaw, Unknown };

Family family_of(std::string_view base) noexcept {
    if (base == "pcm") return Family::Pcm;
    if (base == "ulaw" || base == "mulaw" || base == "mu-law") return Family::Ulaw;
    if (base == "alaw" || base == "a-law") return Family::Alaw;
    if (base == "pculaw") return Family::Pculaw;
    return Family::Unknown;
}

// n x 8 in decimal, exact for every 64-bit n: a header may declare a width
// whose bit count does not fit 64 bits, and the message still names it.
std::string bits_text(std::int64_t n) {
    std::int64_t bits = 0;
    if (checked_mul(n, std::int64_t{8}, bits)) return std::to_string(bits);
    __extension__ using Wide = unsigned __int128;
    const std::uint64_t magnitude = n < 0 ? 0 - static_cast<std::uint64_t>(n) : static_cast<std::uint64_t>(n);
    Wide value = Wide{magnitude} * 8;
    std::string digits;
    for (; value != 0; value /= 10) digits.insert(digits.begin(), static_cast<char>('0' + value % 10));
    return n < 0 ? "-" + digits : digits;
}

template <class Word>
Word byte_reversed(Word word) noexcept {
    if constexpr (sizeof(Word) == 2)
        return __builtin_bswap16(word);
    else
        return __builtin_bswap32(word);
}

// Copies `size` bytes, reversing every complete group of sizeof(Word) bytes
// on the way (one pass, which the compiler turns into vector shuffles); a
// trailing partial group is copied unchanged.
template <class Word>
void copy_reversed(const std::uint8_t* in, std::uint8_t* out, std::size_t size) noexcept {
    constexpr std::size_t width = sizeof(Word);
    const std::size_t whole = size - size % width;
    for (std::size_t i = 0; i < whole; i += width) {
        Word word;
        std::memcpy(&word, in + i, width);
        word = byte_reversed(word);
        std::memcpy(out + i, &word, width);
    }
    if (whole != size) std::memcpy(out + whole, in + whole, size - whole);
}

// The options for a decode of `window`: a checksum is of a whole payload's
// samples, so a part of one has none.
DecodeOptions checksum_options(DecodeOptions options, const FrameWindow& window) noexcept {
    if (!window.whole()) options.checksum = false;
    return options;
}

// The checksum where one is asked for, by the rule for 16-bit samples.
std::optional<std::uint16_t> le16_checksum_if(const DecodeOptions& options, ByteView pcm) noexcept {
    if (!options.checksum) return std::nullopt;
    return checksum_of_le16(pcm);
}

// The part of an uncompressed payload that `window` asks for, in whole
// frames of `sample_bytes` x channel_count bytes, and the frame it starts at.
ByteView frames_in_window(const sphere::SphereHeader& header, ByteView payload, std::uint64_t sample_bytes,
                          const FrameWindow& window, std::uint64_t& first_frame) {
    first_frame = 0;
    if (window.whole()) return payload;
    const auto channels = header.int_("channel_count");
    std::uint64_t frame_bytes = 0;
    if (!channels || *channels < 1 ||
        !checked_mul(static_cast<std::uint64_t>(*channels), sample_bytes, frame_bytes))
        return payload.first(0);  // no frame fits in any payload there can be
    const std::uint64_t frames = payload.size() / frame_bytes;
    const std::uint64_t end = std::min(window.end, frames);
    first_frame = std::min(window.begin, end);
    return payload.subspan(static_cast<std::size_t>(first_frame * frame_bytes),
                           static_cast<std::size_t>((end - first_frame) * frame_bytes));
}

Result<Pcm> decode_linear(const sphere::SphereHeader& header, ByteView payload, Framing framing,
                          const BlockSource* source, const DecodeOptions& options, const FrameWindow& window) {
    KR_ASSIGN_OR_RETURN(const std::int64_t n, header.int_("sample_n_bytes"));
    if (n != 2 && n != 4)
        return unsupported(bits_text(n), "-bit PCM not supported yet (supported: 16, 32 bit)");
    const auto bits = static_cast<std::uint16_t>(n * 8);
    const std::string_view format = header.sample_byte_format();
    // No rule is known for 4-byte samples' checksums.
    const DecodeOptions& sum_options = n == 2 ? options : DecodeOptions{};
    const bool little_endian = format == "01" || format == "1";
    if (!little_endian && format != "10")
        return unsupported("unrecognized sample_byte_format ", quote(format),
                           " (supported: '1', '01', '10')");
    std::uint64_t first_frame = 0;
    payload = frames_in_window(header, payload, static_cast<std::uint64_t>(n), window, first_frame);
    if (little_endian) {
        KR_ASSIGN_OR_RETURN(ByteBuffer copy, ByteBuffer::copy_of(payload, framing, source));
        const auto checksum = le16_checksum_if(sum_options, copy);
        return Pcm{bits, std::move(copy), checksum, first_frame};
    }
    KR_ASSIGN_OR_RETURN(ByteBuffer out, ByteBuffer::allocate(payload.size(), framing, source));
    if (n == 2)
        copy_reversed<std::uint16_t>(payload.data(), out.data(), payload.size());
    else
        copy_reversed<std::uint32_t>(payload.data(), out.data(), payload.size());
    // The sum is of the samples' values, whatever their byte order.
    const auto checksum = le16_checksum_if(sum_options, out);
    return Pcm{bits, std::move(out), checksum, first_frame};
}

Result<Pcm> decode_g711(const sphere::SphereHeader& header, ByteView payload, bool alaw, Framing framing,
                        const BlockSource* source, const DecodeOptions& options, const FrameWindow& window) {
    KR_ASSIGN_OR_RETURN(const std::int64_t n, header.int_("sample_n_bytes"));
    if (n != 1)
        return unsupported(alaw ? "alaw" : "ulaw", " expects 1-byte samples, got sample_n_bytes=", n);
    std::uint64_t first_frame = 0;
    payload = frames_in_window(header, payload, 1, window, first_frame);
    KR_ASSIGN_OR_RETURN(ByteBuffer out, g711_expand(payload, alaw, framing, source));
    std::optional<std::uint16_t> checksum;
    if (options.checksum) checksum = checksum_of_codes(payload);
    return Pcm{16, std::move(out), checksum, first_frame};
}

Result<Pcm> decode_shorten(const sphere::SphereHeader& header, ByteView payload, Framing framing,
                           const BlockSource* source, const DecodeOptions& decode_options,
                           const FrameWindow& window) {
    // Frames beyond the header's sample_count (or the window) are dropped
    // below, so the decoder need not keep them. The header is read again
    // for the checks, in their order, after the decoder's own.
    const auto declared = header.int_("sample_count");
    shorten::OutputOptions options{framing, source};
    std::uint64_t first_frame = 0;
    if (declared && *declared >= 0) {
        const std::uint64_t end = std::min(window.end, static_cast<std::uint64_t>(*declared));
        first_frame = std::min(window.begin, end);
        options.skip_frames = first_frame;
        if (decode_options.resume != nullptr && decode_options.resume->frame <= first_frame) {
            options.resume = decode_options.resume;
            options.skip_frames = first_frame - decode_options.resume->frame;
        }
        options.max_frames = end - first_frame;
        options.preallocate = true;
        options.stop_early = window.stop_early;
    }
    options.checkpoints = decode_options.checkpoints;
    options.checkpoint_every = decode_options.checkpoint_every;
    options.sink = decode_options.sink;
    KR_ASSIGN_OR_RETURN(ShortenPcm decoded,
                        shorten_to_pcm(payload, options, {.accept_version_1 = decode_options.older_shorten}));
    KR_ASSIGN_OR_RETURN(const std::int64_t channels, header.int_("channel_count"));
    const std::uint64_t decoded_channels = decoded.channel_count;
    if (channels < 0 || static_cast<std::uint64_t>(channels) != decoded_channels)
        return unsupported("shorten channel count ", decoded_channels,
                           " disagrees with SPHERE header channel_count ", channels);
    KR_ASSIGN_OR_RETURN(const std::int64_t sample_count, header.int_("sample_count"));
    // Shorten output is 16-bit whatever sample_n_bytes says. A declared
    // length beyond 64 bits is more than any stream can decode, so it is
    // reported as a short decode rather than wrapped into a small length.
    const std::uint64_t frames = decoded.frames_decoded;
    std::uint64_t want = 0;
    const bool representable = sample_count >= 0 &&
                               checked_mul(static_cast<std::uint64_t>(sample_count), decoded_channels, want) &&
                               checked_mul(want, std::uint64_t{2}, want);
    if (!representable || (frames < static_cast<std::uint64_t>(sample_count) && !decoded.stopped_early))
        return invalid("shorten stream decoded ", frames, " samples/channel, but the SPHERE header declares ",
                       sample_count, " (truncated or QUIT came early)");
    // Surplus frames are dropped; the buffer keeps its room either way.
    decoded.pcm_bytes.truncate(static_cast<std::size_t>(want));
    // A mu-law stream's checksum is of its code bytes, as in an
    // uncompressed mu-law file; the decoder kept no frame beyond the header's.
    std::optional<std::uint16_t> checksum;
    if (decode_options.checksum)
        checksum = decoded.is_ulaw        ? decoded.code_checksum
                   : options.sink != nullptr ? decoded.sample_checksum
                                             : checksum_of_le16(decoded.pcm_bytes);
    return Pcm{16, std::move(decoded.pcm_bytes), checksum, first_frame};
}

}  // namespace

std::string_view coding_text(const sphere::SphereHeader& header) noexcept {
    const std::string* coding = header.find("sample_coding");
    return coding == nullptr ? std::string_view("pcm") : std::string_view(*coding);
}

std::string codec_name(const sphere::SphereHeader& header) {
    const Coding coding = parse_coding(coding_text(header));
    if (!coding.compression.empty())
        return is_shorten(coding.compression, DecodeOptions{.older_shorten = true}) ? "shorten" : "";
    const auto n = header.int_("sample_n_bytes");
    if (!n) return "";
    switch (family_of(coding.base)) {
        case Family::Ulaw: return *n == 1 ? "ulaw" : "";
        case Family::Alaw: return *n == 1 ? "alaw" : "";
        case Family::Pculaw: return *n == 1 ? "pculaw" : "";
        case Family::Pcm: break;
        case Family::Unknown: return "";
    }
    const std::string_view format = header.sample_byte_format();
    const char* order = format == "01" || format == "1" ? "le" : format == "10" ? "be" : nullptr;
    // One byte has no order: whatever the field says, short of a
    // compression that it names.
    if (*n == 1) return unsupported_form(header) ? "" : "pcm_s8";
    if (order == nullptr || (*n != 2 && *n != 4)) return "";
    return std::string(*n == 2 ? "pcm_s16" : "pcm_s32") + order;
}

std::optional<DecodeError> unsupported_form(const sphere::SphereHeader& header) {
    const std::string_view format = trim(header.sample_byte_format());
    if (ascii_lower(format).starts_with("shortpack"))
        return unsupported("sample_byte_format ", quote(format), " (shortpack compression) not supported");
    return std::nullopt;
}

std::optional<std::uint64_t> channel_counted_frames(const sphere::SphereHeader& header, std::uint64_t payload_bytes) {
    if (is_compressed(coding_text(header))) return std::nullopt;
    const auto count = header.int_("sample_count");
    const auto channels = header.int_("channel_count");
    const auto width = header.int_("sample_n_bytes");
    const auto declared = header.expected_data_bytes();
    if (!count || !channels || !width || !declared || *channels < 2 || *width < 1 || *count < 0 ||
        payload_bytes >= *declared || *count % *channels != 0)
        return std::nullopt;
    // count x width fits: count x channels x width does.
    if (static_cast<std::uint64_t>(*count) * static_cast<std::uint64_t>(*width) != payload_bytes) return std::nullopt;
    return static_cast<std::uint64_t>(*count / *channels);
}

std::optional<std::uint64_t> settle_sample_count(sphere::SphereHeader& header, std::uint64_t payload_bytes) {
    const std::optional<std::uint64_t> frames = channel_counted_frames(header, payload_bytes);
    if (!frames) return std::nullopt;
    const auto declared = static_cast<std::uint64_t>(*header.int_("sample_count"));
    header.fields["sample_count"] = std::to_string(*frames);
    return declared;
}

std::uint8_t pculaw_to_ulaw(std::uint8_t byte) noexcept {
    byte = static_cast<std::uint8_t>((byte & 0xF0) >> 4 | (byte & 0x0F) << 4);
    byte = static_cast<std::uint8_t>((byte & 0xCC) >> 2 | (byte & 0x33) << 2);
    return static_cast<std::uint8_t>((byte & 0xAA) >> 1 | (byte & 0x55) << 1);
}

bool is_compressed(std::string_view coding) noexcept { return !split_coding(coding).compression.empty(); }

std::uint16_t checksum_of_le16(ByteView pcm) noexcept {
    // Summed in 16 bits, which wrap modulo 65536 as the rule does; the loop
    // over whole words vectorises.
    const std::uint8_t* data = pcm.data();
    std::uint16_t sum = 0;
    for (std::size_t i = 0; i < pcm.size() / 2; ++i) {
        std::uint16_t sample;
        std::memcpy(&sample, data + 2 * i, 2);
        sum = static_cast<std::uint16_t>(sum + sample);
    }
    return sum;
}

std::uint16_t checksum_of_codes(ByteView codes) noexcept {
    std::uint32_t sum = 0;
    for (const std::uint8_t code : codes) sum += code;
    return static_cast<std::uint16_t>(sum);
}

std::optional<std::string> shorten_label(std::string_view coding, const DecodeOptions& options) {
    Coding parsed = parse_coding(coding);
    if (!is_shorten(parsed.compression, options)) return std::nullopt;
    return std::move(parsed.compression);
}

Result<Pcm> decode(const sphere::SphereHeader& header, ByteView payload, Framing framing,
                   const BlockSource* source, const DecodeOptions& options, const FrameWindow& window) {
    const std::string_view text = coding_text(header);
    const Coding coding = parse_coding(text);
    if (!coding.compression.empty()) {
        if (is_shorten(coding.compression, options))
            return decode_shorten(header, payload, framing, source, checksum_options(options, window), window);
        return unsupported("compressed coding ", quote(text), " not supported yet (compression: ",
                           quote(coding.compression), ")");
    }
    switch (family_of(coding.base)) {
        case Family::Pcm: return decode_linear(header, payload, framing, source, checksum_options(options, window), window);
        case Family::Ulaw:
            return decode_g711(header, payload, false, framing, source, checksum_options(options, window), window);
        case Family::Alaw:
            return decode_g711(header, payload, true, framing, source, checksum_options(options, window), window);
        case Family::Pculaw:
        case Family::Unknown: break;
    }
    return unsupported("sample_coding ", quote(coding.base), " not supported yet");
}

}  // namespace korrin::codecs

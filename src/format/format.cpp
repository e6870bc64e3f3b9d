#include "format/format.hpp"

#include <limits>

#include "common/checked.hpp"
#include "common/text.hpp"
#include "shorten/shorten.hpp"

namespace korrin::format {
namespace {

constexpr std::string_view kShorten = "embedded-shorten-v2.00";
// Labels of older corpora (the WSJ era), whose streams may be version 1.
constexpr std::string_view kOlderShorten[] = {"embedded-shorten-v1.09", "embedded-shorten-v1.1"};

// The first two comma-separated pieces of a coding text, trimmed. Pieces
// after the second are ignored.
struct Pieces {
    std::string_view base;
    std::string_view compression;  // empty: not compressed
};

Pieces split_coding(std::string_view text) noexcept {
    const std::size_t comma = text.find(',');
    if (comma == std::string_view::npos) return {trim(text), {}};
    const std::string_view rest = text.substr(comma + 1);
    return {trim(text.substr(0, comma)), trim(rest.substr(0, rest.find(',')))};
}

// The header's sample_coding text as stored, or "pcm" when it has none.
std::string_view coding_text(const sphere::SphereHeader& header) noexcept {
    const std::string* coding = header.find("sample_coding");
    return coding == nullptr ? std::string_view("pcm") : std::string_view(*coding);
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

// A validated header's integer field (validation has made it one).
std::int64_t field(const sphere::SphereHeader& header, std::string_view name) {
    const Result<std::int64_t> value = header.int_(name);
    return value ? *value : 0;
}

// Shortpack compression, which sample_byte_format names ("shortpack-v0"):
// refused by name by the readers of files, before the payload's size.
std::optional<DecodeError> shortpack(const sphere::SphereHeader& header) {
    const std::string_view order = trim(header.sample_byte_format());
    if (ascii_lower(order).starts_with("shortpack"))
        return unsupported("sample_byte_format ", quote(order), " (shortpack compression) not supported");
    return std::nullopt;
}

// The frames of a stored payload of `payload_bytes` bytes whose header's
// sample_count counts the samples of every channel, as some early
// two-channel files have it: more than one channel, a sample_count that
// channel_count divides, and exactly sample_count x sample_n_bytes bytes
// of payload, less than the header declares.
std::optional<std::uint64_t> channel_counted_frames(const sphere::SphereHeader& header, std::uint64_t payload_bytes) {
    const std::int64_t count = field(header, "sample_count");
    const std::int64_t channels = field(header, "channel_count");
    const std::int64_t width = field(header, "sample_n_bytes");
    const Result<std::uint64_t> declared = header.expected_data_bytes();
    if (!declared || channels < 2 || payload_bytes >= *declared || count % channels != 0) return std::nullopt;
    // count x width fits: count x channels x width does.
    if (static_cast<std::uint64_t>(count) * static_cast<std::uint64_t>(width) != payload_bytes) return std::nullopt;
    return static_cast<std::uint64_t>(count / channels);
}

// The counts a read allocates by, against what the file can hold: a
// channel count up to what WAV holds is taken at its word, a larger one
// only when the payload holds a frame of it; a Shorten stream holds at most
// its decoder's channels and decodes to at most its limit of samples.
// Checked before anything is allocated per channel or per frame, so that a
// few bytes of header cannot ask for gigabytes.
Result<void> check_counts(const Format& format, std::uint64_t payload_bytes) {
    constexpr std::uint64_t kTakenAtItsWord = 65535;
    if (format.compressed()) {
        if (format.channels > shorten::kMaxChannels)
            return invalid("channel_count ", format.channels, " is more than a Shorten stream holds (",
                           shorten::kMaxChannels, ")");
        std::uint64_t samples = 0;
        if (!checked_mul(format.frames, format.channels, samples) || samples > shorten::kMaxDecodedSamples)
            return invalid("sample_count ", format.frames, " x channel_count ", format.channels, " is more than the ",
                           shorten::kMaxDecodedSamples, " samples a Shorten stream decodes to");
        return ok();
    }
    std::uint64_t frame_bytes = 0;
    const bool fits = checked_mul(format.channels, std::uint64_t{format.stored_width()}, frame_bytes);
    if (format.channels > kTakenAtItsWord && (!fits || frame_bytes > payload_bytes))
        return invalid("channel_count ", format.channels, ": a frame of ",
                       fits ? std::to_string(frame_bytes) : std::string("more than 2^64"), " bytes is more than the ",
                       payload_bytes, " bytes of the payload");
    return ok();
}

// The coding of a stored payload, as `reader` takes it.
Result<void> stored_coding(const sphere::SphereHeader& header, std::string_view base, Reader reader, Format& format) {
    KR_ASSIGN_OR_RETURN(const std::int64_t n, header.int_("sample_n_bytes"));
    switch (family_of(base)) {
        case Family::Ulaw:
        case Family::Alaw: {
            const bool alaw = family_of(base) == Family::Alaw;
            if (n != 1) return unsupported(alaw ? "alaw" : "ulaw", " expects 1-byte samples, got sample_n_bytes=", n);
            format.coding = alaw ? Coding::Alaw : Coding::Ulaw;
            format.checksum = ChecksumRule::Bytes;
            return ok();
        }
        case Family::Pculaw:
            if (reader == Reader::Module) break;
            if (n != 1) return unsupported("pculaw expects 1-byte samples, got sample_n_bytes=", n);
            format.coding = Coding::Pculaw;
            format.checksum = ChecksumRule::Bytes;
            return ok();
        case Family::Pcm: {
            // One byte has no order: whatever the field says, but for a
            // compression that it names (refused before).
            if (n == 1 && reader == Reader::Files) {
                format.coding = Coding::Linear8;
                format.checksum = ChecksumRule::Bytes;
                return ok();
            }
            if (n != 2 && n != 4)
                return unsupported(bits_text(n), "-bit PCM not supported yet (supported: 16, 32 bit)");
            const std::string_view order = header.sample_byte_format();
            const bool little_endian = order == "01" || order == "1";
            if (!little_endian && order != "10")
                return unsupported("unrecognized sample_byte_format ", quote(order), " (supported: '1', '01', '10')");
            format.coding = n == 2 ? Coding::Linear16 : Coding::Linear32;
            format.big_endian = !little_endian;
            format.checksum = n == 2 ? ChecksumRule::Words : ChecksumRule::None;
            return ok();
        }
        case Family::Unknown: break;
    }
    return unsupported("sample_coding ", quote(ascii_lower(base)), " not supported yet");
}

}  // namespace

unsigned Format::stored_width() const noexcept {
    switch (coding) {
        case Coding::Linear16: return 2;
        case Coding::Linear32: return 4;
        case Coding::Shorten: return 0;
        case Coding::Linear8:
        case Coding::Ulaw:
        case Coding::Alaw:
        case Coding::Pculaw: break;
    }
    return 1;
}

std::string_view codec_name(const Format& format) noexcept {
    switch (format.coding) {
        case Coding::Linear8:
        case Coding::Linear16:
        case Coding::Linear32: return "pcm";
        case Coding::Ulaw: return "ulaw";
        case Coding::Alaw: return "alaw";
        case Coding::Pculaw: return "pculaw";
        case Coding::Shorten: break;
    }
    return "shorten";
}

std::uint32_t sample_width(const Format& format) noexcept {
    switch (format.coding) {
        case Coding::Linear8: return 1;
        case Coding::Linear32: return 4;
        case Coding::Linear16:
        case Coding::Ulaw:
        case Coding::Alaw:
        case Coding::Pculaw:
        case Coding::Shorten: break;
    }
    return 2;
}

bool is_compressed(const sphere::SphereHeader& header) noexcept {
    return !split_coding(coding_text(header)).compression.empty();
}

Result<Format> format_of(const sphere::SphereHeader& header, std::uint64_t payload_bytes, Reader reader) {
    Format format;
    // Validation has made these integers, the first two at least 1.
    format.channels = static_cast<std::uint64_t>(field(header, "channel_count"));
    format.rate = static_cast<std::uint64_t>(field(header, "sample_rate"));
    format.declared_frames = static_cast<std::uint64_t>(field(header, "sample_count"));
    format.frames = format.declared_frames;
    if (header.find("sample_checksum") != nullptr) format.declared_checksum = header.int_("sample_checksum");

    const std::string_view text = coding_text(header);
    const Pieces pieces = split_coding(text);
    if (!pieces.compression.empty()) {
        std::string label = ascii_lower(pieces.compression);
        bool older = false;
        for (const std::string_view name : kOlderShorten) older |= label == name;
        if (label != kShorten && !(older && reader == Reader::Files))
            return unsupported("compressed coding ", quote(text), " not supported yet (compression: ", quote(label),
                               ")");
        format.coding = Coding::Shorten;
        format.ulaw_stream = family_of(ascii_lower(pieces.base)) == Family::Ulaw;
        format.stream_version_1 = reader == Reader::Files;  // under any label
        format.shorten_label = std::move(label);
        format.checksum = ChecksumRule::OfStream;
    } else {
        if (reader == Reader::Files)
            if (auto refused = shortpack(header)) return std::move(*refused);
        KR_TRY(stored_coding(header, ascii_lower(pieces.base), reader, format));
        if (reader == Reader::Files)
            if (const auto frames = channel_counted_frames(header, payload_bytes)) format.frames = *frames;
    }
    if (reader == Reader::Files) KR_TRY(check_counts(format, payload_bytes));
    return format;
}

Result<Format> admit(const sphere::SphereHeader& header, std::uint64_t payload_bytes, Reader reader, StoredSize size) {
    if (is_compressed(header)) return format_of(header, payload_bytes, reader);
    if (size == StoredSize::AsFound) {
        // The coding first: the size cannot be wrong, only too small.
        KR_ASSIGN_OR_RETURN(Format format, format_of(header, payload_bytes, reader));
        KR_ASSIGN_OR_RETURN(const std::uint64_t declared, header.expected_data_bytes());
        const std::uint64_t frame_bytes = format.channels * format.stored_width();  // fits: counts checked
        if (payload_bytes < frame_bytes && declared != 0)
            return invalid("no sample data: header declares ", declared, " bytes but only ", payload_bytes, " present");
        format.frames = payload_bytes / frame_bytes;
        return format;
    }
    if (reader == Reader::Files)
        if (auto refused = shortpack(header)) return std::move(*refused);
    KR_ASSIGN_OR_RETURN(const std::uint64_t declared, header.expected_data_bytes());
    if (payload_bytes < declared && !(reader == Reader::Files && channel_counted_frames(header, payload_bytes)))
        return invalid("audio payload truncated: header declares ", declared, " bytes but only ", payload_bytes,
                       " present");
    return format_of(header, payload_bytes, reader);
}

Result<void> check_checksum(const Format& format, std::uint16_t sum, std::string_view hint) {
    if (!format.declared_checksum) return ok();
    const Result<std::int64_t>& declared = *format.declared_checksum;
    if (!declared) return invalid(declared.error().message, hint);
    if (*declared != sum)
        return invalid("sample_checksum mismatch: the header declares ", *declared, ", the samples sum to ", sum, hint);
    return ok();
}

}  // namespace korrin::format

#include "transcode/native.hpp"

#include <algorithm>
#include <cstring>

#include "common/checked.hpp"
#include "common/text.hpp"
#include "shorten/shorten.hpp"
#include "transcode/transcode.hpp"

namespace korrin::transcode {
namespace {

using containers::Coding;
using containers::Layout;

// The layout of a stored payload whose codec_name is `name`; nothing for a
// compressed or refused one.
std::optional<Layout> stored_layout(std::string_view name) {
    if (name == "pcm_s16le") return Layout{Coding::Linear16, 2, false};
    if (name == "pcm_s16be") return Layout{Coding::Linear16, 2, true};
    if (name == "pcm_s32le") return Layout{Coding::Linear32, 4, false};
    if (name == "pcm_s32be") return Layout{Coding::Linear32, 4, true};
    if (name == "ulaw") return Layout{Coding::Ulaw, 1, false};
    if (name == "alaw") return Layout{Coding::Alaw, 1, false};
    // Read as bytes, then widened (see widen).
    if (name == "pcm_s8" || name == "pculaw") return Layout{Coding::Ulaw, 1, false};
    return std::nullopt;
}

// The samples of a payload whose bytes the converters do not take as they
// are: 8-bit linear PCM becomes 16-bit (s << 8, as libsndfile and sox read
// it), and bit-reversed mu-law (pculaw) its mu-law codes.
Result<void> widen(std::string_view name, NativeAudio& audio) {
    const ByteView bytes = audio.samples.bytes;
    if (name == "pculaw") {
        KR_ASSIGN_OR_RETURN(audio.storage, ByteBuffer::allocate(bytes.size()));
        std::uint8_t* out = audio.storage.data();
        for (std::size_t i = 0; i < bytes.size(); ++i) out[i] = codecs::pculaw_to_ulaw(bytes[i]);
        audio.samples = {audio.storage.view(), Layout{Coding::Ulaw, 1, false}, audio.channels};
        return ok();
    }
    KR_ASSIGN_OR_RETURN(audio.storage, ByteBuffer::allocate(2 * bytes.size()));
    std::uint8_t* out = audio.storage.data();
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        out[2 * i] = 0;
        out[2 * i + 1] = bytes[i];  // the signed byte is the high byte of s << 8
    }
    audio.samples = {audio.storage.view(), Layout{Coding::Linear16, 2, false}, audio.channels};
    return ok();
}

// The refusal of a payload this decoder does not take: the one decoding it
// in full gives. It cannot succeed; if it did, the coding would still be
// one this decoder does not know.
DecodeError refusal(const sphere::SphereHeader& header, ByteView payload, const NativeOptions& options) {
    Options conversion;
    conversion.decode = options.decode;
    // Under AsFound the payload's size is no error: only the coding is asked about.
    const ByteView asked = options.stored_size == StoredSize::AsFound ? payload.first(0) : payload;
    auto decoded = options.stored_size == StoredSize::AsFound ? codecs::decode(header, asked, {}, nullptr, options.decode)
                                                                : decode_payload(header, asked, {}, nullptr, conversion);
    if (!decoded) return std::move(decoded).error();
    return unsupported("sample_coding ", quote(codecs::coding_text(header)), " not supported yet");
}

std::uint16_t checksum_of_be16(ByteView bytes) noexcept {
    std::uint16_t sum = 0;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2)
        sum = static_cast<std::uint16_t>(sum + (bytes[i] << 8 | bytes[i + 1]));
    return sum;
}

std::optional<std::uint16_t> stored_checksum(const Layout& layout, ByteView bytes) noexcept {
    switch (layout.coding) {
        case Coding::Ulaw:
        case Coding::Alaw: return codecs::checksum_of_codes(bytes);
        case Coding::Linear16: return layout.big_endian ? checksum_of_be16(bytes) : codecs::checksum_of_le16(bytes);
        case Coding::Linear32: break;
    }
    return std::nullopt;
}

Result<NativeAudio> decode_stored(const sphere::SphereHeader& header, ByteView payload, const Layout& layout,
                                  const NativeOptions& options, const codecs::FrameWindow& window,
                                  NativeAudio audio) {
    if (auto refused = codecs::unsupported_form(header)) return std::move(*refused);
    KR_ASSIGN_OR_RETURN(const std::uint64_t declared, header.expected_data_bytes());
    const std::uint64_t frame_bytes = audio.channels * layout.width;  // validated: both at least 1
    if (options.stored_size == StoredSize::Declared) {
        if (payload.size() < declared)
            return invalid("audio payload truncated: header declares ", declared, " bytes but only ", payload.size(),
                           " present");
        payload = payload.first(static_cast<std::size_t>(declared));
    } else if (payload.size() < frame_bytes && declared != 0) {
        return invalid("no sample data: header declares ", declared, " bytes but only ", payload.size(), " present");
    }
    audio.frames = payload.size() / frame_bytes;
    const ByteView whole = payload.first(static_cast<std::size_t>(audio.frames * frame_bytes));
    const std::uint64_t end = std::min(window.end, audio.frames);
    audio.first_frame = std::min(window.begin, end);
    audio.samples = {whole.subspan(static_cast<std::size_t>(audio.first_frame * frame_bytes),
                                   static_cast<std::size_t>((end - audio.first_frame) * frame_bytes)),
                     layout, audio.channels};
    if (options.decode.checksum && window.whole()) audio.checksum = stored_checksum(layout, whole);
    return audio;
}

Result<NativeAudio> decode_shorten(const sphere::SphereHeader& header, ByteView payload, const NativeOptions& options,
                                   const codecs::FrameWindow& window, Framing framing, NativeAudio audio) {
    // As the module's decoder: frames beyond the header's count (or the
    // window) are not kept, and its checks follow the stream's own.
    shorten::OutputOptions output{framing, nullptr};
    output.ulaw_codes = true;
    const auto declared = header.int_("sample_count");
    if (declared && *declared >= 0) {
        const std::uint64_t end = std::min(window.end, static_cast<std::uint64_t>(*declared));
        audio.first_frame = std::min(window.begin, end);
        output.skip_frames = audio.first_frame;
        output.max_frames = end - audio.first_frame;
        output.preallocate = true;
        output.stop_early = window.stop_early;
    }
    KR_ASSIGN_OR_RETURN(shorten::ShortenAudio decoded,
                        shorten::decode(payload, {}, output, {.accept_version_1 = options.decode.older_shorten}));
    KR_ASSIGN_OR_RETURN(const std::int64_t channels, header.int_("channel_count"));
    if (channels < 0 || static_cast<std::uint64_t>(channels) != decoded.channel_count)
        return unsupported("shorten channel count ", decoded.channel_count,
                           " disagrees with SPHERE header channel_count ", channels);
    KR_ASSIGN_OR_RETURN(const std::int64_t sample_count, header.int_("sample_count"));
    std::uint64_t want = 0;
    std::uint64_t bytes = 0;
    const bool representable = sample_count >= 0 &&
                               checked_mul(static_cast<std::uint64_t>(sample_count), decoded.channel_count, want) &&
                               checked_mul(want, std::uint64_t{2}, bytes);
    if (!representable || (decoded.frames_decoded < static_cast<std::uint64_t>(sample_count) && !decoded.stopped_early))
        return invalid("shorten stream decoded ", decoded.frames_decoded,
                       " samples/channel, but the SPHERE header declares ", sample_count,
                       " (truncated or QUIT came early)");
    decoded.samples.set_size(std::min<std::size_t>(decoded.samples.size(), static_cast<std::size_t>(want)));
    audio.frames = static_cast<std::uint64_t>(sample_count);
    const Layout layout{decoded.is_ulaw ? Coding::Ulaw : Coding::Linear16, 2, false};
    if (options.decode.checksum && window.whole()) {
        std::uint16_t sum = decoded.code_checksum;
        if (!decoded.is_ulaw)
            for (const std::int16_t value : decoded.samples.span())
                sum = static_cast<std::uint16_t>(sum + static_cast<std::uint16_t>(value));
        audio.checksum = sum;
    }
    audio.storage = std::move(decoded.samples).release();
    audio.samples = {audio.storage.view(), layout, audio.channels};
    return audio;
}

}  // namespace

std::optional<std::uint64_t> stored_frames(const sphere::SphereHeader& header, std::uint64_t payload_bytes,
                                           StoredSize size) {
    const std::optional<Layout> layout = stored_layout(codecs::codec_name(header));
    const auto channels = header.int_("channel_count");
    if (!layout || !channels || *channels < 1) return std::nullopt;
    std::uint64_t frame_bytes = 0;
    if (!checked_mul(static_cast<std::uint64_t>(*channels), std::uint64_t{layout->width}, frame_bytes))
        return std::nullopt;
    if (size == StoredSize::Declared) {
        const auto declared = header.int_("sample_count");
        if (!declared || *declared < 0) return std::nullopt;
        return static_cast<std::uint64_t>(*declared);
    }
    return payload_bytes / frame_bytes;
}

Result<NativeAudio> decode_native(const sphere::SphereHeader& header, ByteView payload, const NativeOptions& options,
                                  const codecs::FrameWindow& window, Framing framing) {
    NativeAudio audio;
    // Validation has made these integers, at least 1.
    KR_ASSIGN_OR_RETURN(const std::int64_t channels, header.int_("channel_count"));
    KR_ASSIGN_OR_RETURN(const std::int64_t rate, header.int_("sample_rate"));
    KR_ASSIGN_OR_RETURN(const std::int64_t declared, header.int_("sample_count"));
    audio.channels = static_cast<std::uint64_t>(channels);
    audio.rate = static_cast<std::uint64_t>(rate);
    audio.declared_frames = declared < 0 ? 0 : static_cast<std::uint64_t>(declared);
    const std::string name = codecs::codec_name(header);
    if (name == "shorten" && codecs::shorten_label(codecs::coding_text(header), options.decode))
        return decode_shorten(header, payload, options, window, framing, std::move(audio));
    if (const std::optional<Layout> layout = stored_layout(name)) {
        KR_ASSIGN_OR_RETURN(audio, decode_stored(header, payload, *layout, options, window, std::move(audio)));
        if (name == "pcm_s8" || name == "pculaw") KR_TRY(widen(name, audio));
        return audio;
    }
    if (auto refused = codecs::unsupported_form(header)) return std::move(*refused);
    return refusal(header, payload, options);
}

}  // namespace korrin::transcode

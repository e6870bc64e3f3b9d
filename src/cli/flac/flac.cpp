#include "cli/flac/flac.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "common/text.hpp"

#ifdef KORRIN_HAVE_FLAC
#include <FLAC/format.h>
#include <FLAC/metadata.h>
#include <FLAC/stream_encoder.h>
#endif

namespace korrin::cli::flac {

const char unavailable_message[] = "FLAC output is not available: this sph2wav was built without libFLAC";

namespace {

// The fields that describe the coding: the FLAC stream states all of it.
constexpr std::string_view coding_fields[] = {
    "sample_count",       "sample_rate",   "channel_count",   "sample_n_bytes",
    "sample_byte_format", "sample_coding", "sample_sig_bits", "sample_checksum",
};

constexpr char hex_digits[] = "0123456789ABCDEF";

// `text` with every byte outside [low, high], and '%', written as %XX.
void append_escaped(std::string& out, std::string_view text, char low, char high, char also) {
    for (const char c : text) {
        if (c >= low && c <= high && c != '%' && c != also) {
            out.push_back(c);
        } else {
            const auto byte = static_cast<unsigned char>(c);
            out.push_back('%');
            out.push_back(hex_digits[byte >> 4]);
            out.push_back(hex_digits[byte & 0xF]);
        }
    }
}

// True when a comment value may hold `value` as it stands.
bool is_comment_text(std::string_view value) {
    if (!is_well_formed_utf8(value)) return false;
#ifdef KORRIN_HAVE_FLAC
    // libFLAC refuses some well-formed text too (U+FFFE and U+FFFF).
    return FLAC__format_vorbiscomment_entry_value_is_legal(reinterpret_cast<const FLAC__byte*>(value.data()),
                                                           static_cast<std::uint32_t>(value.size()));
#else
    return true;
#endif
}

}  // namespace

std::optional<std::string> vorbis_comment(std::string_view name, std::string_view value) {
    if (std::find(std::begin(coding_fields), std::end(coding_fields), name) != std::end(coding_fields))
        return std::nullopt;
    std::string comment(comment_prefix);
    comment.reserve(comment.size() + name.size() + value.size() + 2);
    // Names: ' ' to '}' but '='.
    append_escaped(comment, name, ' ', '}', '=');
    if (value.size() <= UINT32_MAX && is_comment_text(value)) {
        comment.push_back('=');
        comment.append(value);
    } else {
        comment.append("%=");
        append_escaped(comment, value, ' ', '~', '%');
    }
    return comment;
}

#ifndef KORRIN_HAVE_FLAC

bool available() noexcept { return false; }

Result<void> check_limits(std::uint64_t, std::uint64_t) { return unsupported(unavailable_message); }

Result<ByteBuffer> encode(ByteView, unsigned, std::int64_t, std::int64_t, std::span<const sphere::HeaderField>,
                          const Settings&) {
    return unsupported(unavailable_message);
}

#else

bool available() noexcept { return true; }

namespace {

constexpr std::int64_t max_channels = FLAC__MAX_CHANNELS;
constexpr std::int64_t max_rate = FLAC__MAX_SAMPLE_RATE;
// Beyond these a stream is valid FLAC but not of the "subset" that every
// decoder must play; libFLAC encodes it only when told to go beyond.
constexpr std::int64_t subset_max_rate = 655350;
constexpr unsigned subset_max_bits = 24;
constexpr std::size_t max_block_length = (std::size_t{1} << 24) - 1;  // a metadata block's length field
constexpr std::uint64_t seek_spacing_seconds = 10;
constexpr std::size_t frames_per_call = 4096;

}  // namespace

Result<void> check_limits(std::uint64_t channels, std::uint64_t rate) {
    if (channels > static_cast<std::uint64_t>(max_channels))
        return invalid("channel_count ", channels, " is more than FLAC holds (at most ", max_channels,
                       " channels; pick channels with -c)");
    if (rate > static_cast<std::uint64_t>(max_rate))
        return invalid("sample_rate ", rate, " is more than FLAC holds (at most ", max_rate, " Hz)");
    return ok();
}

namespace {

Result<void> check_bits(unsigned bits) {
    if (bits != 16 && bits != 32) return invalid("FLAC output takes 16- or 32-bit samples, not ", bits);
    if (bits > FLAC__MAX_BITS_PER_SAMPLE)
        return unsupported("32-bit samples are more than this libFLAC (", FLAC__VERSION_STRING, ") writes (at most ",
                           FLAC__MAX_BITS_PER_SAMPLE, " bits)");
    return ok();
}

struct EncoderDeleter {
    void operator()(FLAC__StreamEncoder* encoder) const noexcept { FLAC__stream_encoder_delete(encoder); }
};
struct MetadataDeleter {
    void operator()(FLAC__StreamMetadata* block) const noexcept { FLAC__metadata_object_delete(block); }
};
using Encoder = std::unique_ptr<FLAC__StreamEncoder, EncoderDeleter>;
using Metadata = std::unique_ptr<FLAC__StreamMetadata, MetadataDeleter>;

// The file as libFLAC writes it: appended to, and rewritten at the start
// once the stream is complete (STREAMINFO's MD5 and sizes, the seek table).
struct Sink {
    ByteBuffer bytes;
    std::size_t position = 0;
    bool out_of_memory = false;

    bool write(const FLAC__byte* data, std::size_t size) {
        std::size_t end = 0;
        if (__builtin_add_overflow(position, size, &end)) return false;
        if (end > bytes.size() && !bytes.expand(0, end - bytes.size())) {
            // Grow by half again at least, to keep appends amortised.
            const std::size_t room = std::max<std::size_t>(end / 2, 1 << 16);
            if (!bytes.resize(end, room)) {
                out_of_memory = true;
                return false;
            }
        }
        std::memcpy(bytes.data() + position, data, size);
        position = end;
        return true;
    }

    static FLAC__StreamEncoderWriteStatus on_write(const FLAC__StreamEncoder*, const FLAC__byte buffer[],
                                                   std::size_t bytes, std::uint32_t, std::uint32_t, void* context) {
        return static_cast<Sink*>(context)->write(buffer, bytes) ? FLAC__STREAM_ENCODER_WRITE_STATUS_OK
                                                                 : FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
    }
    static FLAC__StreamEncoderSeekStatus on_seek(const FLAC__StreamEncoder*, FLAC__uint64 offset, void* context) {
        Sink& sink = *static_cast<Sink*>(context);
        if (offset > sink.bytes.size()) return FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
        sink.position = static_cast<std::size_t>(offset);
        return FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
    }
    static FLAC__StreamEncoderTellStatus on_tell(const FLAC__StreamEncoder*, FLAC__uint64* offset, void* context) {
        *offset = static_cast<Sink*>(context)->position;
        return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
    }
};

// The Vorbis comment block for `fields`, or why FLAC cannot hold it.
Result<Metadata> comment_block(std::span<const sphere::HeaderField> fields) {
    Metadata block(FLAC__metadata_object_new(FLAC__METADATA_TYPE_VORBIS_COMMENT));
    if (!block) return out_of_memory();
    // The block's length: the vendor string libFLAC writes, the count, and
    // each comment with its 4-byte length.
    std::size_t length = 4 + std::strlen(FLAC__VENDOR_STRING) + 4;
    for (const sphere::HeaderField& field : fields) {
        std::optional<std::string> comment = vorbis_comment(field.name, field.value);
        if (!comment) continue;
        length += 4 + std::min(comment->size(), max_block_length);
        if (length > max_block_length) continue;  // reported once all are counted
        const FLAC__StreamMetadata_VorbisComment_Entry entry{static_cast<FLAC__uint32>(comment->size()),
                                                             reinterpret_cast<FLAC__byte*>(comment->data())};
        if (!FLAC__metadata_object_vorbiscomment_append_comment(block.get(), entry, /*copy=*/true))
            return invalid("header field ", quote(field.name), " cannot be stored as a FLAC comment");
    }
    if (length > max_block_length)
        return invalid("the SPHERE header fields take ", length,
                       " bytes as FLAC comments, more than a FLAC "
                       "metadata block holds (",
                       max_block_length, ")");
    return block;
}

// Samples [first, first + count) of interleaved LE PCM as libFLAC's 32-bit values.
void widen(ByteView pcm, unsigned bits, std::size_t first, std::size_t count, FLAC__int32* out) {
    const std::uint8_t* p = pcm.data() + first * (bits / 8);
    if (bits == 16) {
        for (std::size_t i = 0; i < count; ++i, p += 2)
            out[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | p[1] << 8));
    } else {
        for (std::size_t i = 0; i < count; ++i, p += 4)
            out[i] = static_cast<std::int32_t>(std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 |
                                               std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24);
    }
}

DecodeError encoder_failure(const FLAC__StreamEncoder* encoder, const Sink& sink) {
    if (sink.out_of_memory) return out_of_memory();
    const FLAC__StreamEncoderState state = FLAC__stream_encoder_get_state(encoder);
    if (state == FLAC__STREAM_ENCODER_VERIFY_MISMATCH_IN_AUDIO_DATA) {
        FLAC__uint64 sample = 0;
        std::uint32_t frame = 0, channel = 0, in_frame = 0;
        FLAC__int32 expected = 0, got = 0;
        FLAC__stream_encoder_get_verify_decoder_error_stats(encoder, &sample, &frame, &channel, &in_frame, &expected,
                                                            &got);
        return invalid("FLAC verify failed: sample ", sample, " of channel ", channel, " (frame ", frame,
                       ") decoded as ", got, " instead of ", expected);
    }
    return invalid("FLAC encoder failed: ", FLAC__StreamEncoderStateString[state]);
}

}  // namespace

Result<ByteBuffer> encode(ByteView pcm, unsigned bits, std::int64_t channels, std::int64_t rate,
                          std::span<const sphere::HeaderField> fields, const Settings& settings) {
    KR_TRY(check_limits(static_cast<std::uint64_t>(channels), static_cast<std::uint64_t>(rate)));
    if (channels < 1 || rate < 1 || !FLAC__format_sample_rate_is_valid(static_cast<std::uint32_t>(rate)))
        return invalid("FLAC cannot hold ", channels, " channels at ", rate, " Hz");
    KR_TRY(check_bits(bits));
    if (settings.level > max_level)
        return invalid("FLAC compression level ", settings.level, " is not one of 0 to ", max_level);
    const std::size_t frame_bytes = static_cast<std::size_t>(channels) * (bits / 8);
    if (pcm.size() % frame_bytes != 0)
        return invalid("PCM of ", pcm.size(), " bytes is not a whole number of ", frame_bytes, "-byte frames");
    const std::uint64_t frames = pcm.size() / frame_bytes;

    KR_ASSIGN_OR_RETURN(Metadata comments, comment_block(fields));
    Metadata seek_table;
    if (frames > 0) {
        seek_table.reset(FLAC__metadata_object_new(FLAC__METADATA_TYPE_SEEKTABLE));
        if (!seek_table ||
            !FLAC__metadata_object_seektable_template_append_spaced_points_by_samples(
                seek_table.get(), static_cast<std::uint32_t>(rate * seek_spacing_seconds), frames) ||
            !FLAC__metadata_object_seektable_template_sort(seek_table.get(), /*compact=*/true))
            return out_of_memory();
    }
    std::array<FLAC__StreamMetadata*, 2> blocks{comments.get(), seek_table.get()};

    // Declared before the encoder, which writes to it until it is deleted.
    Sink sink;
    {
        // A first guess at the size; the sink grows beyond it when needed.
        auto initial = ByteBuffer::allocate(0, Framing{0, pcm.size() / 2 + 8192});
        if (!initial) return out_of_memory();
        sink.bytes = std::move(*initial);
    }
    Encoder encoder(FLAC__stream_encoder_new());
    if (!encoder) return out_of_memory();
    FLAC__StreamEncoder* e = encoder.get();
    const bool subset = bits <= subset_max_bits && rate <= subset_max_rate;
    if (!FLAC__stream_encoder_set_verify(e, settings.verify) ||
        !FLAC__stream_encoder_set_streamable_subset(e, subset) ||
        !FLAC__stream_encoder_set_channels(e, static_cast<std::uint32_t>(channels)) ||
        !FLAC__stream_encoder_set_bits_per_sample(e, bits) ||
        !FLAC__stream_encoder_set_sample_rate(e, static_cast<std::uint32_t>(rate)) ||
        !FLAC__stream_encoder_set_compression_level(e, settings.level) ||
        !FLAC__stream_encoder_set_total_samples_estimate(e, frames) ||
        !FLAC__stream_encoder_set_metadata(e, blocks.data(), seek_table ? 2 : 1))
        return encoder_failure(e, sink);
    const FLAC__StreamEncoderInitStatus init =
        FLAC__stream_encoder_init_stream(e, Sink::on_write, Sink::on_seek, Sink::on_tell, nullptr, &sink);
    if (init != FLAC__STREAM_ENCODER_INIT_STATUS_OK) {
        if (init == FLAC__STREAM_ENCODER_INIT_STATUS_ENCODER_ERROR) return encoder_failure(e, sink);
        return invalid("FLAC encoder refused its settings: ", FLAC__StreamEncoderInitStatusString[init]);
    }

    const auto samples_per_call = frames_per_call * static_cast<std::size_t>(channels);
    std::vector<FLAC__int32> samples(samples_per_call);
    for (std::uint64_t frame = 0; frame < frames; frame += frames_per_call) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(frames_per_call, frames - frame));
        widen(pcm, bits, static_cast<std::size_t>(frame) * static_cast<std::size_t>(channels),
              count * static_cast<std::size_t>(channels), samples.data());
        if (!FLAC__stream_encoder_process_interleaved(e, samples.data(), static_cast<std::uint32_t>(count)))
            return encoder_failure(e, sink);
    }
    if (!FLAC__stream_encoder_finish(e)) return encoder_failure(e, sink);
    // The rewrites at the start leave the position there; the file is
    // everything written.
    return std::move(sink.bytes);
}

#endif

}  // namespace korrin::cli::flac

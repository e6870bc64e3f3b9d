#include "payload/payload.hpp"

#include <algorithm>
#include <cstring>

#include "common/checked.hpp"
#include "common/cpu.hpp"
#include "input/input_file.hpp"

namespace korrin::payload {
namespace {

// Stored samples are read from a file in pieces of about this size, each
// handed on while it is still in the cache.
constexpr std::size_t kChunkBytes = 256 * 1024;

// The sum of 16-bit words modulo 65536: a loop of 16-bit adds, which the
// compiler vectorises (sixteen at a time with AVX2, where the processor
// has it).
[[gnu::always_inline]] inline std::uint16_t sum_le16_with(const std::uint8_t* in, std::size_t count) noexcept {
    std::uint16_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint16_t word;
        std::memcpy(&word, in + 2 * i, 2);
        sum = static_cast<std::uint16_t>(sum + word);
    }
    return sum;
}

[[gnu::always_inline]] inline std::uint16_t sum_be16_with(const std::uint8_t* in, std::size_t count) noexcept {
    std::uint16_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint16_t word;
        std::memcpy(&word, in + 2 * i, 2);
        sum = static_cast<std::uint16_t>(sum + __builtin_bswap16(word));  // the host is little-endian
    }
    return sum;
}

#if defined(__x86_64__)
[[gnu::target("avx2")]] std::uint16_t sum_le16_avx2(const std::uint8_t* in, std::size_t count) noexcept {
    return sum_le16_with(in, count);
}
[[gnu::target("avx2")]] std::uint16_t sum_be16_avx2(const std::uint8_t* in, std::size_t count) noexcept {
    return sum_be16_with(in, count);
}
#endif

std::uint16_t sum_le16(const std::uint8_t* in, std::size_t count) noexcept {
#if defined(__x86_64__)
    if (has_avx2()) return sum_le16_avx2(in, count);
#endif
    return sum_le16_with(in, count);
}

std::uint16_t sum_be16(const std::uint8_t* in, std::size_t count) noexcept {
#if defined(__x86_64__)
    if (has_avx2()) return sum_be16_avx2(in, count);
#endif
    return sum_be16_with(in, count);
}

// Takes a decoder's frames as they come and hands each run on.
class RunSink final : public shorten::FrameSink {
  public:
    RunSink(Sink& sink, Form form, std::uint64_t first_frame) : sink_(sink), form_(form), first_frame_(first_frame) {}

    void take(const std::int16_t* samples, std::uint64_t first, std::size_t frames) noexcept override {
        if (failed_)
            failed_ = sink_.take({reinterpret_cast<const std::uint8_t*>(samples), form_, first_frame_ + first, frames});
        frames_ += frames;
    }

    Result<void> failed() { return std::move(failed_); }
    std::uint64_t frames() const noexcept { return frames_; }

  private:
    Sink& sink_;
    Form form_;
    std::uint64_t first_frame_;
    std::uint64_t frames_ = 0;
    Result<void> failed_;
};

Result<Outcome> read_stored(const format::Format& format, const Source& source, const Window& window, Sink& sink,
                            const Options& options) {
    const Form form = stored_form(format);
    const std::size_t width = width_of(form);
    Outcome outcome;
    const std::uint64_t end = std::min(window.end, format.frames);
    outcome.first_frame = std::min(window.begin, end);
    outcome.frames = end - outcome.first_frame;
    const bool summing = options.checksum && format.checksum != format::ChecksumRule::None &&
                         outcome.first_frame == 0 && end == format.frames;
    if (summing) outcome.checksum = 0;
    if (outcome.frames == 0) return outcome;  // nothing to read (and a frame may be of any size)
    // The payload holds these frames whole (or the header declares them in
    // a size that fits), so these products fit.
    const std::size_t frame_bytes = static_cast<std::size_t>(format.channels) * width;
    const std::size_t bytes = static_cast<std::size_t>(outcome.frames) * frame_bytes;
    const std::uint64_t at = outcome.first_frame * frame_bytes;
    const auto sum = [&](const std::uint8_t* data, std::size_t count) {
        if (summing) outcome.checksum = static_cast<std::uint16_t>(*outcome.checksum + checksum_of(data, form, count));
    };
    const MutableByteView lent = sink.lend(form, bytes);

    if (source.file == nullptr) {
        const std::uint8_t* data = source.memory.data() + at;
        if (!lent.empty()) {
            std::memcpy(lent.data(), data, bytes);
        } else {
            KR_TRY(sink.take({data, form, outcome.first_frame, static_cast<std::size_t>(outcome.frames)}));
        }
        sum(data, bytes / width);
        return outcome;
    }
    if (!lent.empty()) {  // in chunks, each summed while it is in the cache
        for (std::size_t done = 0; done < bytes;) {
            const std::size_t n = std::min(kChunkBytes, bytes - done);
            KR_TRY(source.file->read_into(source.offset + at + done, {lent.data() + done, n}));
            sum(lent.data() + done, n / width);
            done += n;
        }
        return outcome;
    }
    const std::size_t per_chunk = std::max<std::size_t>(1, kChunkBytes / frame_bytes);
    KR_ASSIGN_OR_RETURN(ByteBuffer chunk,
                        ByteBuffer::allocate(std::min<std::uint64_t>(per_chunk, outcome.frames) * frame_bytes));
    for (std::uint64_t frame = outcome.first_frame; frame < end;) {
        const std::size_t frames = static_cast<std::size_t>(std::min<std::uint64_t>(per_chunk, end - frame));
        const MutableByteView piece{chunk.data(), frames * frame_bytes};
        KR_TRY(source.file->read_into(source.offset + frame * frame_bytes, piece));
        KR_TRY(sink.take({piece.data(), form, frame, frames}));
        sum(piece.data(), piece.size() / width);
        frame += frames;
    }
    return outcome;
}

Result<Outcome> read_shorten(const format::Format& format, ByteView stream, const Window& window, Sink& sink,
                             const Options& options) {
    // Frames beyond the header's count (or the window) are not kept.
    Outcome outcome;
    const std::uint64_t end = std::min(window.end, format.declared_frames);
    outcome.first_frame = std::min(window.begin, end);
    shorten::OutputOptions output;
    output.skip_frames = outcome.first_frame;
    if (options.resume != nullptr && options.resume->frame <= outcome.first_frame) {
        output.resume = options.resume;
        output.skip_frames = outcome.first_frame - options.resume->frame;
    }
    output.max_frames = end - outcome.first_frame;
    output.preallocate = true;
    output.stop_early = window.stop_early;
    output.ulaw_codes = sink.keeps_codes();
    output.checkpoints = options.checkpoints;
    output.checkpoint_every = options.checkpoint_every;
    // The form of the samples is the stream's; a sink that keeps codes
    // takes the window as one buffer, placed alike for either form.
    const Placement* placement = sink.placement(output.ulaw_codes ? Form::UlawWords : Form::Le16);
    if (placement != nullptr) {
        output.framing = placement->framing;
        output.source = placement->source;
    }
    std::optional<RunSink> runs;
    if (placement == nullptr) {
        output.ulaw_codes = false;
        runs.emplace(sink, Form::Le16, outcome.first_frame);
        output.sink = &*runs;
    }
    KR_ASSIGN_OR_RETURN(shorten::ShortenAudio decoded,
                        shorten::decode(stream, {}, output, {.accept_version_1 = format.stream_version_1}));
    if (runs) KR_TRY(runs->failed());

    if (decoded.channel_count != format.channels)
        return unsupported("shorten channel count ", decoded.channel_count,
                           " disagrees with SPHERE header channel_count ", format.channels);
    // A declared length beyond 64 bits is more than any stream can decode,
    // so it is reported as a short decode rather than wrapped.
    std::uint64_t want = 0;
    if (!checked_mul(format.declared_frames, decoded.channel_count, want) ||
        !checked_mul(want, std::uint64_t{2}, want) ||
        (decoded.frames_decoded < format.declared_frames && !decoded.stopped_early))
        return invalid("shorten stream decoded ", decoded.frames_decoded,
                       " samples/channel, but the SPHERE header declares ", format.declared_frames,
                       " (truncated or QUIT came early)");
    const Form form = decoded.is_ulaw && output.ulaw_codes ? Form::UlawWords : Form::Le16;
    outcome.frames = runs ? runs->frames() : decoded.samples.size() / format.channels;
    if (outcome.frames < end - outcome.first_frame) return invalid("shorten stream ended before frame ", end);
    // A mu-law stream's checksum is of its code bytes, as in an
    // uncompressed mu-law file.
    if (options.checksum && outcome.first_frame == 0 && end == format.declared_frames)
        outcome.checksum =
            decoded.is_ulaw ? decoded.code_checksum
            : runs          ? decoded.sample_checksum
                   : sum_le16(reinterpret_cast<const std::uint8_t*>(decoded.samples.data()), decoded.samples.size());
    if (!runs) KR_TRY(sink.adopt(std::move(decoded.samples).release(), form, outcome.first_frame));
    return outcome;
}

}  // namespace

std::size_t width_of(Form form) noexcept {
    switch (form) {
        case Form::Le16:
        case Form::Be16:
        case Form::UlawWords: return 2;
        case Form::Le32:
        case Form::Be32: return 4;
        case Form::Ulaw:
        case Form::Alaw:
        case Form::S8:
        case Form::Pculaw: break;
    }
    return 1;
}

Form stored_form(const format::Format& format) noexcept {
    switch (format.coding) {
        case format::Coding::Linear8: return Form::S8;
        case format::Coding::Linear16: return format.big_endian ? Form::Be16 : Form::Le16;
        case format::Coding::Linear32: return format.big_endian ? Form::Be32 : Form::Le32;
        case format::Coding::Ulaw: return Form::Ulaw;
        case format::Coding::Alaw: return Form::Alaw;
        case format::Coding::Pculaw: return Form::Pculaw;
        case format::Coding::Shorten: break;
    }
    return Form::Le16;
}

std::uint16_t checksum_of(const std::uint8_t* in, Form form, std::size_t count) noexcept {
    std::uint32_t sum = 0;
    switch (form) {
        case Form::Le16: return sum_le16(in, count);
        case Form::Be16: return sum_be16(in, count);
        case Form::UlawWords:  // the code in each word's low byte
            for (std::size_t i = 0; i < count; ++i) sum += in[2 * i];
            break;
        case Form::Ulaw:
        case Form::Alaw:
        case Form::S8:
        case Form::Pculaw:
            for (std::size_t i = 0; i < count; ++i) sum += in[i];
            break;
        case Form::Le32:
        case Form::Be32: break;
    }
    return static_cast<std::uint16_t>(sum);
}

std::optional<ByteRange> stored_range(const format::Format& format, const Window& window) noexcept {
    if (window.whole() || format.compressed()) return std::nullopt;
    const std::uint64_t end = std::min(window.end, format.frames);
    const std::uint64_t begin = std::min(window.begin, end);
    // The frames are whole in the payload, or declared in a size that fits.
    const std::uint64_t frame_bytes = format.channels * format.stored_width();
    return ByteRange{begin * frame_bytes, end * frame_bytes};
}

Result<Outcome> read(const format::Format& format, const Source& source, const Window& window, Sink& sink,
                     const Options& options) {
    if (!format.compressed()) return read_stored(format, source, window, sink, options);
    return read_shorten(format, source.memory, window, sink, options);
}

}  // namespace korrin::payload

#include "extract/extract.hpp"

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "common/checked.hpp"
#include "payload/payload.hpp"

namespace korrin::extract {
namespace {

using payload::Form;

bool every_channel(const Piece& piece, std::uint64_t channels) noexcept {
    if (piece.channels.size() != channels) return false;
    for (std::size_t k = 0; k < piece.channels.size(); ++k)
        if (piece.channels[k] != k) return false;
    return true;
}

// The frames any piece asks for, from the first to the last.
FrameRange span_of(std::span<const Piece> pieces) noexcept {
    FrameRange all{UINT64_MAX, 0};
    for (const Piece& piece : pieces) {
        if (piece.frames.size() == 0) continue;
        all.begin = std::min(all.begin, piece.frames.begin);
        all.end = std::max(all.end, piece.frames.end);
    }
    if (all.end == 0) return {};
    return all;
}

// Hands the decoder one block, the array of the one piece it fills, when
// it asks for exactly that size; malloc's memory otherwise.
struct DirectBlock {
    std::uint8_t* block = nullptr;
    std::size_t size = 0;
    bool taken = false;

    static std::uint8_t* acquire(void* context, std::size_t size, void** handle) noexcept {
        auto* self = static_cast<DirectBlock*>(context);
        if (!self->taken && size == self->size) {
            self->taken = true;
            *handle = nullptr;
            return self->block;
        }
        void* memory = std::malloc(size == 0 ? 1 : size);
        *handle = memory;
        return static_cast<std::uint8_t*>(memory);
    }
    static void release(void* context, void* handle) noexcept {
        if (handle == nullptr)
            static_cast<DirectBlock*>(context)->taken = false;
        else
            std::free(handle);
    }
};

// Converts the frames of each run into the pieces it overlaps, in runs that
// stay in the cache: one pass, no copy of the whole payload or stream. One
// piece of every channel whose elements are the samples as they lie (16- or
// 32-bit little-endian PCM as int16 or int32) lends its array, for stored
// samples to be read and a stream decoded straight into it.
class PieceSink final : public payload::Sink {
  public:
    PieceSink(std::span<const Piece> pieces, FrameRange all, std::uint64_t channels, Dtype dtype)
        : pieces_(pieces),
          channels_(channels),
          dtype_(dtype),
          straight_(pieces.size() == 1 && every_channel(pieces[0], channels)) {
        if (straight_) {
            direct_.block = pieces[0].out;
            direct_.size = static_cast<std::size_t>(all.size() * channels) * 2;
        }
    }

    Result<void> take(const payload::Run& run) override {
        const FrameRange have{run.first, run.first + run.frames};
        for (const Piece& piece : pieces_) convert_overlap(piece, have, run.data, run.form);
        return ok();
    }

    MutableByteView lend(Form form, std::size_t bytes) override {
        if (!straight_ ||
            !((form == Form::Le16 && dtype_ == Dtype::Int16) || (form == Form::Le32 && dtype_ == Dtype::Int32)))
            return {};
        return {pieces_[0].out, bytes};
    }

    const payload::Placement* placement(Form form) override {
        return straight_ && form == Form::Le16 && dtype_ == Dtype::Int16 ? &placement_ : nullptr;
    }

    Result<void> adopt(ByteBuffer buffer, Form form, std::uint64_t first) override {
        if (buffer.data() == direct_.block) return ok();  // decoded in place
        return take({buffer.data(), form, first, buffer.size() / (2 * static_cast<std::size_t>(channels_))});
    }

  private:
    // The frames of `piece` that lie in `have` (frames of the file held at
    // `in` as `form`), into its array.
    void convert_overlap(const Piece& piece, FrameRange have, const std::uint8_t* in, Form form) const noexcept {
        const std::uint64_t begin = std::max(piece.frames.begin, have.begin);
        const std::uint64_t end = std::min(piece.frames.end, have.end);
        if (begin >= end) return;
        const std::size_t frame_bytes = static_cast<std::size_t>(channels_) * payload::width_of(form);
        const std::size_t out_frame = piece.channels.size() * element_size(dtype_);
        convert(in + static_cast<std::size_t>(begin - have.begin) * frame_bytes, form,
                static_cast<std::size_t>(channels_), piece.channels, static_cast<std::size_t>(end - begin), dtype_,
                piece.out + static_cast<std::size_t>(begin - piece.frames.begin) * out_frame);
    }

    std::span<const Piece> pieces_;
    std::uint64_t channels_;
    Dtype dtype_;
    bool straight_;
    DirectBlock direct_;
    const BlockSource source_{&direct_, DirectBlock::acquire, DirectBlock::release};
    const payload::Placement placement_{{}, &source_};
};

}  // namespace

std::string_view codec_of(const format::Format& format) noexcept { return format::codec_name(format); }

std::uint32_t sample_width_of(const format::Format& format) noexcept { return format::sample_width(format); }

FrameRange resolve_range(std::int64_t start, std::optional<std::int64_t> stop, std::int64_t frames,
                         std::uint64_t total) noexcept {
    // Python's slice.indices with a step of 1: a negative index counts from
    // the end, and each is then cut to [0, total].
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    total = std::min(total, kMax);
    const auto place = [total](std::int64_t index) -> std::uint64_t {
        if (index >= 0) return std::min(static_cast<std::uint64_t>(index), total);
        const std::uint64_t back = 0 - static_cast<std::uint64_t>(index);
        return back >= total ? 0 : total - back;
    };
    FrameRange range{place(start), stop ? place(*stop) : total};
    range.end = std::max(range.end, range.begin);
    if (frames >= 0) range.end = range.begin + std::min(static_cast<std::uint64_t>(frames), total - range.begin);
    return range;
}

Result<std::vector<std::uint32_t>> resolve_channels(std::span<const std::int64_t> asked, std::uint64_t channels) {
    std::vector<std::uint32_t> picks;
    if (asked.empty()) {
        picks.resize(static_cast<std::size_t>(channels));
        for (std::size_t c = 0; c < picks.size(); ++c) picks[c] = static_cast<std::uint32_t>(c);
        return picks;
    }
    picks.reserve(asked.size());
    for (const std::int64_t channel : asked) {
        std::int64_t index = channel;
        if (index < 0 && !checked_add(index, static_cast<std::int64_t>(channels), index)) index = -1;
        if (index < 0 || static_cast<std::uint64_t>(index) >= channels)
            return invalid("channel ", channel, " is out of range for a file of ", channels,
                           channels == 1 ? " channel" : " channels");
        picks.push_back(static_cast<std::uint32_t>(index));
    }
    return picks;
}

Result<void> Reader::open(const std::filesystem::path& path) {
    path_ = path;
    file_.emplace();
    KR_TRY(file_->open(path));
    KR_ASSIGN_OR_RETURN(header_, file_->read_header(&lines_));
    size_ = file_->size();
    return finish_open();
}

Result<void> Reader::open(ByteView file) {
    data_ = file;
    size_ = file.size();
    KR_ASSIGN_OR_RETURN(header_, sphere::read_header(file, file.size(), &lines_));
    return finish_open();
}

Result<void> Reader::finish_open() {
    format_ = format::format_of(header_, payload_bytes(), format::Reader::Files);
    return ok();
}

Result<void> Reader::read(std::span<const Piece> pieces, const ReadOptions& options) {
    // The checks of a conversion, in its order: a compressed payload's
    // label; of a stored one, its size, then its coding and counts.
    KR_ASSIGN_OR_RETURN(const format::Format format, format::admit(header_, payload_bytes(), format::Reader::Files));
    if (format.compressed()) return read_compressed(format, pieces, options);
    return read_stored(format, pieces, options);
}

Result<void> Reader::read_stored(const format::Format& format, std::span<const Piece> pieces,
                                 const ReadOptions& options) {
    const FrameRange all = span_of(pieces);
    if (all.size() == 0) return ok();
    PieceSink sink(pieces, all, format.channels, options.dtype);
    const payload::Source source =
        file_ ? payload::Source::of(*file_, header_.header_size, payload_bytes())
              : payload::Source::of(data_.subspan(static_cast<std::size_t>(header_.header_size)));
    KR_ASSIGN_OR_RETURN(const payload::Outcome outcome, payload::read(format, source, {all.begin, all.end}, sink,
                                                                      {.checksum = options.verify_checksum}));
    if (outcome.checksum) KR_TRY(format::check_checksum(format, *outcome.checksum, options.checksum_hint));
    return ok();
}

Result<void> Reader::read_stream(const CheckpointCache::Found& found, ByteBuffer& file_bytes, StreamBytes& stream) {
    const std::uint64_t start = header_.header_size;
    // The reader fetches up to 8 bytes beyond the bit it is at.
    constexpr std::uint64_t slack = 16;
    std::uint64_t limit = size_;
    if (found.after) limit = std::min(limit, start + CheckpointCache::check_end(found.after->bit_position) + slack);
    std::uint64_t head = start, from = start;  // without a state: the whole stream
    if (found.before) {
        head = start + found.before->header_end + slack;
        from = start + CheckpointCache::check_begin(found.before->bit_position);
        KR_ASSIGN_OR_RETURN(file_bytes, file_->read_parts(limit, head, from, limit));
    } else {
        KR_ASSIGN_OR_RETURN(file_bytes, file_->read_all(limit));
    }
    // The file's header region is in the file, and the limit past it.
    const std::uint64_t read = file_bytes.size();
    stream.bytes = file_bytes.view().subspan(static_cast<std::size_t>(start));
    stream.head = std::min(head, read) - start;
    stream.from = std::min(std::max(from, head), read) - start;
    stream.size = size_ - start;
    return ok();
}

Result<void> Reader::read_compressed(const format::Format& format, std::span<const Piece> pieces,
                                     const ReadOptions& options) {
    const FrameRange all = span_of(pieces);
    if (all.size() == 0) return ok();
    // A read of every frame is a whole decode, whose checksum is checked.
    const bool whole = all == FrameRange{0, format.frames};
    const payload::Window window = whole ? payload::Window{} : payload::Window{all.begin, all.end, true};
    PieceSink sink(pieces, all, format.channels, options.dtype);
    payload::Options reading;
    reading.checksum = options.verify_checksum && whole;

    // A stream read from a path keeps its decoder's states, and goes on
    // from the last one before the frames asked for, once the bytes it was
    // made from are found unchanged; of the file it then reads the header,
    // and the stream from that state up to the first state past those
    // frames (or its end).
    CheckpointCache* const cache = file_ ? options.checkpoints : nullptr;
    FileKey key;
    CheckpointCache::Found found;
    std::vector<shorten::DecoderState> taken;
    if (cache != nullptr) {
        key = {path_.string(), file_->identity().device, file_->identity().inode, size_, file_->times()};
        if (!whole) found = cache->find(key, all.begin, all.end);
        reading.checkpoints = &taken;
        reading.checkpoint_every = cache->interval(format.rate);
    }
    ByteBuffer file_bytes;
    StreamBytes stream;
    if (file_) {
        KR_TRY(read_stream(found, file_bytes, stream));
        if ((found.before || found.after) && !cache->confirm(key, found, stream)) {
            found = {};
            KR_TRY(read_stream(found, file_bytes, stream));
        }
    } else {
        stream.bytes = data_.subspan(static_cast<std::size_t>(header_.header_size));
    }
    reading.resume = found.before ? &*found.before : nullptr;
    auto outcome = payload::read(format, payload::Source::of(stream.bytes), window, sink, reading);
    // What a decode took is sound up to where it went, even when it then
    // failed.
    if (cache != nullptr) cache->add(key, std::move(taken), stream);
    if (!outcome) return std::move(outcome).error();
    if (outcome->checksum) KR_TRY(format::check_checksum(format, *outcome->checksum, options.checksum_hint));
    return ok();
}

}  // namespace korrin::extract

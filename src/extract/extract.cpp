#include "extract/extract.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "codecs/codecs.hpp"
#include "extract/checkpoints.hpp"
#include "common/checked.hpp"
#include "shorten/shorten.hpp"
#include "transcode/transcode.hpp"

namespace korrin::extract {
namespace {

// Stored bytes are read from a file in pieces of about this size, each
// converted while it is still in the cache.
constexpr std::size_t kChunkBytes = 256 * 1024;

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

// Converts the frames of `piece` that lie in `have` (frames of the file
// held at `in`, stored as `stored` with `channels` per frame) into its
// array.
void convert_overlap(const Piece& piece, FrameRange have, const std::uint8_t* in, Stored stored,
                     std::uint64_t channels, Dtype dtype) noexcept {
    const std::uint64_t begin = std::max(piece.frames.begin, have.begin);
    const std::uint64_t end = std::min(piece.frames.end, have.end);
    if (begin >= end) return;
    const std::size_t frame_bytes = static_cast<std::size_t>(channels) * stored_size(stored);
    const std::size_t out_frame = piece.channels.size() * element_size(dtype);
    convert(in + static_cast<std::size_t>(begin - have.begin) * frame_bytes, stored, static_cast<std::size_t>(channels),
            piece.channels, static_cast<std::size_t>(end - begin), dtype,
            piece.out + static_cast<std::size_t>(begin - piece.frames.begin) * out_frame);
}

// Takes a decoder's frames as they come and converts each run into the
// pieces it overlaps: the decoded stream is never held whole.
class PieceSink final : public shorten::FrameSink {
public:
    PieceSink(std::span<const Piece> pieces, std::uint64_t first_frame, std::uint64_t channels, Dtype dtype)
        : pieces_(pieces), first_frame_(first_frame), channels_(channels), dtype_(dtype) {}

    void take(const std::int16_t* samples, std::uint64_t first, std::size_t frames) noexcept override {
        const FrameRange have{first_frame_ + first, first_frame_ + first + frames};
        const auto* in = reinterpret_cast<const std::uint8_t*>(samples);
        for (const Piece& piece : pieces_) convert_overlap(piece, have, in, Stored::Le16, channels_, dtype_);
        frames_ += frames;
    }

    std::uint64_t frames() const noexcept { return frames_; }

private:
    std::span<const Piece> pieces_;
    std::uint64_t first_frame_;
    std::uint64_t channels_;
    Dtype dtype_;
    std::uint64_t frames_ = 0;
};

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

}  // namespace

Result<Layout> layout_of(const sphere::SphereHeader& header) {
    Layout layout;
    // Validation has made these integers, the first two at least 1.
    KR_ASSIGN_OR_RETURN(const std::int64_t channels, header.int_("channel_count"));
    KR_ASSIGN_OR_RETURN(const std::int64_t rate, header.int_("sample_rate"));
    KR_ASSIGN_OR_RETURN(const std::int64_t frames, header.int_("sample_count"));
    layout.channels = static_cast<std::uint64_t>(channels);
    layout.rate = static_cast<std::uint64_t>(rate);
    layout.frames = static_cast<std::uint64_t>(frames);
    const std::string name = codecs::codec_name(header);
    if (name.empty()) {
        if (!codecs::is_compressed(codecs::coding_text(header)))
            if (auto refused = codecs::unsupported_form(header)) return std::move(*refused);
        // What decoding says of this coding, width or byte order: its checks
        // come before it looks at a sample, so an empty payload meets them.
        const codecs::DecodeOptions options{.older_shorten = true};
        auto refused = codecs::decode(header, {}, {}, nullptr, options, codecs::FrameWindow{0, 0});
        if (!refused) return std::move(refused).error();
        return unsupported("sample_coding ", codecs::coding_text(header), " not supported");
    }
    if (name == "shorten") {
        layout.codec = "shorten";
        layout.compressed = true;
        return layout;
    }
    if (name == "ulaw" || name == "alaw" || name == "pculaw") {
        layout.codec = name;
        layout.stored = name == "ulaw" ? Stored::Ulaw : name == "alaw" ? Stored::Alaw : Stored::Pculaw;
        return layout;
    }
    layout.codec = "pcm";
    layout.stored = name == "pcm_s8"      ? Stored::S8
                    : name == "pcm_s16le" ? Stored::Le16
                    : name == "pcm_s16be" ? Stored::Be16
                    : name == "pcm_s32le" ? Stored::Le32
                                          : Stored::Be32;
    layout.sample_width = static_cast<std::uint32_t>(stored_size(layout.stored));
    return layout;
}

// The counts of a header that reading would allocate by, against what the
// file can hold: a channel count up to what WAV holds is taken at its
// word, a larger one only when the payload holds a frame of it; a Shorten
// stream holds at most its decoder's channels and decodes to at most its
// limit of samples. Checked before anything is allocated per channel or
// per frame, so that a few bytes of header cannot ask for gigabytes.
Result<void> check_counts(const Layout& layout, std::uint64_t payload_bytes) {
    constexpr std::uint64_t kTakenAtItsWord = 65535;
    if (layout.compressed) {
        if (layout.channels > shorten::kMaxChannels)
            return invalid("channel_count ", layout.channels, " is more than a Shorten stream holds (",
                           shorten::kMaxChannels, ")");
        std::uint64_t samples = 0;
        if (!checked_mul(layout.frames, layout.channels, samples) || samples > shorten::kMaxDecodedSamples)
            return invalid("sample_count ", layout.frames, " x channel_count ", layout.channels, " is more than the ",
                           shorten::kMaxDecodedSamples, " samples a Shorten stream decodes to");
        return ok();
    }
    std::uint64_t frame_bytes = 0;
    const bool fits = checked_mul(layout.channels, std::uint64_t{stored_size(layout.stored)}, frame_bytes);
    if (layout.channels > kTakenAtItsWord && (!fits || frame_bytes > payload_bytes))
        return invalid("channel_count ", layout.channels, ": a frame of ",
                       fits ? std::to_string(frame_bytes) : std::string("more than 2^64"),
                       " bytes is more than the ", payload_bytes, " bytes of the payload");
    return ok();
}

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
    codecs::settle_sample_count(header_, size_ - header_.header_size);
    layout_ = layout_of(header_);
    if (layout_)
        if (auto counts = check_counts(*layout_, size_ - std::min<std::uint64_t>(size_, header_.header_size)); !counts)
            layout_ = std::move(counts).error();
    return ok();
}

Result<void> Reader::check_checksum(std::uint16_t sum) const {
    codecs::Pcm summed;
    summed.checksum = sum;
    return transcode::check_checksum(header_, summed, checksum_hint_);
}

Result<void> Reader::read(std::span<const Piece> pieces, const ReadOptions& options) {
    checksum_hint_ = options.checksum_hint;
    // The checks of a conversion, in its order: a compressed payload's
    // label; of a stored one, its size, then its coding.
    if (codecs::is_compressed(codecs::coding_text(header_))) {
        if (!layout_) return layout_.error();
        return read_compressed(*layout_, pieces, options);
    }
    if (auto refused = codecs::unsupported_form(header_)) return std::move(*refused);
    KR_ASSIGN_OR_RETURN(const std::uint64_t declared, header_.expected_data_bytes());
    const std::uint64_t present = size_ - header_.header_size;
    if (present < declared)
        return invalid("audio payload truncated: header declares ", declared, " bytes but only ", present,
                       " present");
    if (!layout_) return layout_.error();
    return read_stored(*layout_, pieces, options);
}

Result<void> Reader::read_stored(const Layout& layout, std::span<const Piece> pieces, const ReadOptions& options) {
    const Stored stored = layout.stored;
    const std::size_t frame_bytes = static_cast<std::size_t>(layout.channels) * stored_size(stored);
    const bool summed = options.verify_checksum && layout.sample_width != 4 &&  // no rule for 4-byte samples
                        std::any_of(pieces.begin(), pieces.end(), [&](const Piece& p) {
                            return p.frames == FrameRange{0, layout.frames};
                        });
    const FrameRange all = summed ? FrameRange{0, layout.frames} : span_of(pieces);
    std::uint16_t sum = 0;
    const auto take = [&](FrameRange have, const std::uint8_t* in) {
        for (const Piece& piece : pieces) convert_overlap(piece, have, in, stored, layout.channels, options.dtype);
        if (summed)
            sum = static_cast<std::uint16_t>(
                sum + checksum_of(in, stored, static_cast<std::size_t>(have.size() * layout.channels)));
    };
    if (all.size() == 0) return ok();
    // One piece of every channel stored as its elements are (16-bit or
    // 4-byte little-endian PCM read as int16 or int32) is read straight
    // into its array.
    const Piece& first = pieces[0];
    const bool as_stored = (stored == Stored::Le16 && options.dtype == Dtype::Int16) ||
                           (stored == Stored::Le32 && options.dtype == Dtype::Int32);
    if (file_ && pieces.size() == 1 && as_stored && every_channel(first, layout.channels)) {
        // In chunks, each summed while it is in the cache.
        const std::size_t total = static_cast<std::size_t>(all.size()) * frame_bytes;
        const std::uint64_t offset = header_.header_size + all.begin * frame_bytes;
        for (std::size_t done = 0; done < total;) {
            const std::size_t n = std::min(kChunkBytes, total - done);
            KR_TRY(file_->read_into(offset + done, {first.out + done, n}));
            if (summed)
                sum = static_cast<std::uint16_t>(sum + checksum_of(first.out + done, stored, n / stored_size(stored)));
            done += n;
        }
        if (summed) KR_TRY(check_checksum(sum));
        return ok();
    }
    if (!file_) {
        take(all, data_.data() + header_.header_size + all.begin * frame_bytes);
    } else {
        const std::size_t per_chunk = std::max<std::size_t>(1, kChunkBytes / frame_bytes);
        KR_ASSIGN_OR_RETURN(ByteBuffer chunk,
                            ByteBuffer::allocate(std::min<std::uint64_t>(per_chunk, all.size()) * frame_bytes));
        for (std::uint64_t frame = all.begin; frame < all.end;) {
            const FrameRange have{frame, frame + std::min<std::uint64_t>(per_chunk, all.end - frame)};
            const MutableByteView bytes{chunk.data(), static_cast<std::size_t>(have.size()) * frame_bytes};
            KR_TRY(file_->read_into(header_.header_size + frame * frame_bytes, bytes));
            take(have, bytes.data());
            frame = have.end;
        }
    }
    if (summed) KR_TRY(check_checksum(sum));
    return ok();
}

Result<void> Reader::read_stream(const CheckpointCache::Found& found, ByteBuffer& file_bytes,
                                 StreamBytes& stream) {
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

Result<void> Reader::read_compressed(const Layout& layout, std::span<const Piece> pieces,
                                     const ReadOptions& options) {
    const FrameRange all = span_of(pieces);
    if (all.size() == 0) return ok();
    const bool whole = all == FrameRange{0, layout.frames};
    transcode::Options conversion;
    conversion.decode.older_shorten = true;
    conversion.verify_checksum = options.verify_checksum && whole;
    conversion.checksum_hint = options.checksum_hint;
    // A read of every frame is a whole decode, whose checksum is checked.
    const codecs::FrameWindow window = whole ? codecs::FrameWindow{} : codecs::FrameWindow{all.begin, all.end, true};

    // The one array of a read of every channel as 16-bit samples is where
    // the decoder writes.
    DirectBlock direct;
    const bool straight = pieces.size() == 1 && options.dtype == Dtype::Int16 && every_channel(pieces[0], layout.channels);
    if (straight) {
        direct.block = pieces[0].out;
        direct.size = static_cast<std::size_t>(all.size() * layout.channels * 2);
    }
    const BlockSource source{&direct, DirectBlock::acquire, DirectBlock::release};
    // Any other read has its frames converted as they are decoded, in runs
    // that stay in the cache, into the arrays: one pass, no copy of the
    // whole stream.
    PieceSink sink(pieces, all.begin, layout.channels, options.dtype);
    if (!straight) conversion.decode.sink = &sink;

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
        conversion.decode.checkpoints = &taken;
        conversion.decode.checkpoint_every = cache->interval(layout.rate);
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
    conversion.decode.resume = found.before ? &*found.before : nullptr;
    const ByteView payload = stream.bytes;
    auto decoded = transcode::decode_payload(header_, payload, {}, &source, conversion, window);
    // What a decode took is sound up to where it went, even when it then
    // failed.
    if (cache != nullptr) cache->add(key, std::move(taken), stream);
    if (!decoded) return std::move(decoded).error();
    codecs::Pcm& pcm = *decoded;
    const std::uint64_t frame_bytes = layout.channels * 2;
    const std::uint64_t frames = straight ? pcm.bytes.size() / frame_bytes : sink.frames();
    if (pcm.first_frame != all.begin || frames < all.size())
        return invalid("shorten stream ended before frame ", all.end);
    if (straight && pcm.bytes.data() != direct.block)
        convert_overlap(pieces[0], all, pcm.bytes.data(), Stored::Le16, layout.channels, options.dtype);
    return ok();
}

}  // namespace korrin::extract

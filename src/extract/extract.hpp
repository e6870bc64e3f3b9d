// Reading a SPHERE file into arrays: the header first, then only what the
// frames asked for need (of a stored payload, their bytes; of a Shorten
// stream, its start up to the last of them), decoded and converted to the
// element type asked for straight into the caller's memory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/bytes.hpp"
#include "common/result.hpp"
#include "extract/checkpoints.hpp"
#include "extract/samples.hpp"
#include "format/format.hpp"
#include "input/input_file.hpp"
#include "sphere/sphere.hpp"

namespace korrin::extract {

// What korrin reports of a format: format::codec_name and
// format::sample_width, the names and widths every surface shows.
std::string_view codec_of(const format::Format& format) noexcept;
std::uint32_t sample_width_of(const format::Format& format) noexcept;

// Frames [begin, end).
struct FrameRange {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;

    std::uint64_t size() const noexcept { return end - begin; }
    friend bool operator==(const FrameRange&, const FrameRange&) = default;
};

// The frames of a file of `total` frames that soundfile.read takes for
// `start`, `stop` (none: the end) and `frames` (negative: up to stop):
// start and stop as Python slices take them (negative from the end, cut to
// the file), an empty range when stop is before start, and at most
// `frames` frames from start when it is not negative.
FrameRange resolve_range(std::int64_t start, std::optional<std::int64_t> stop, std::int64_t frames,
                         std::uint64_t total) noexcept;

// The channels `asked` (0-based, negative from the last, as numpy indexes)
// of a file of `channels` channels; every channel, in order, when `asked`
// is empty. A channel the file lacks is an Invalid error.
Result<std::vector<std::uint32_t>> resolve_channels(std::span<const std::int64_t> asked, std::uint64_t channels);

// One array to fill: `frames` of the file, the samples of `channels` of
// each (resolved), as frames.size() x channels.size() elements at `out`.
struct Piece {
    FrameRange frames;
    std::vector<std::uint32_t> channels;
    std::uint8_t* out = nullptr;  // aligned for the element type
};

struct ReadOptions {
    Dtype dtype = Dtype::Float64;
    // Check the header's sample_checksum where a piece is every frame of
    // the file, as sph2wav does without a span; `checksum_hint` is added to
    // the message of a mismatch.
    bool verify_checksum = false;
    std::string_view checksum_hint;
    // Where a Shorten stream read from a path keeps and finds its
    // checkpoints; none: decoded from its start every time.
    CheckpointCache* checkpoints = nullptr;
};

// One file, opened and its header read and checked, then read piece by
// piece. Failures are the errors sph2wav reports for the same file.
class Reader {
  public:
    // A file on disk: its header read, nothing more.
    Result<void> open(const std::filesystem::path& path);
    // A whole file in memory, borrowed for the reader's life.
    Result<void> open(ByteView file);

    const sphere::SphereHeader& header() const noexcept { return header_; }
    // The field lines in the file's order.
    const std::vector<sphere::FieldLine>& lines() const noexcept { return lines_; }
    // The format, or the error reading the file will give for its coding.
    const Result<format::Format>& format() const noexcept { return format_; }

    // Fills every piece, whose ranges and channels lie within the file.
    // Nothing useful is left in the pieces on failure.
    Result<void> read(std::span<const Piece> pieces, const ReadOptions& options);

  private:
    Result<void> finish_open();
    std::uint64_t payload_bytes() const noexcept { return size_ - header_.header_size; }
    Result<void> read_stored(const format::Format& format, std::span<const Piece> pieces, const ReadOptions& options);
    Result<void> read_compressed(const format::Format& format, std::span<const Piece> pieces,
                                 const ReadOptions& options);
    // What decoding a Shorten stream from the state found needs of the
    // file (all of it without one), read into `file_bytes`.
    Result<void> read_stream(const CheckpointCache::Found& found, ByteBuffer& file_bytes, StreamBytes& stream);

    std::optional<input::InputFile> file_;  // opened from a path
    std::filesystem::path path_;
    ByteView data_;  // opened from memory
    std::uint64_t size_ = 0;
    sphere::SphereHeader header_;
    std::vector<sphere::FieldLine> lines_;
    Result<format::Format> format_ = format::Format{};
};

}  // namespace korrin::extract

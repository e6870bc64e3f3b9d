// The one payload reader: the samples of a frame window of a payload whose
// Format is known, read from memory or from a file in pieces, or decoded
// from a Shorten stream, and handed to a sink as they come; with the
// sample checksum where the format has a rule and the read covers every
// frame. The module, korrin and the command line each bring their sink.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/bytes.hpp"
#include "common/result.hpp"
#include "format/format.hpp"
#include "shorten/shorten.hpp"

namespace korrin::input {
class InputFile;
}

namespace korrin::payload {

// How samples lie in memory: linear PCM of 2 or 4 bytes in either order or
// of one signed byte, G.711 code bytes, pculaw bytes, or mu-law codes in
// the low byte of 16-bit words (as the Shorten decoder keeps them).
enum class Form : std::uint8_t { Le16, Be16, Le32, Be32, Ulaw, Alaw, S8, Pculaw, UlawWords };

std::size_t width_of(Form form) noexcept;

// The form of a stored payload's samples (not for Shorten).
Form stored_form(const format::Format& format) noexcept;

// The sample checksum over `count` samples in `form`: the sum modulo 2^16
// of 16-bit values (as unsigned patterns), or of the bytes of one-byte
// samples and mu-law code words; 0 for 32-bit samples, which have no rule.
std::uint16_t checksum_of(const std::uint8_t* in, Form form, std::size_t count) noexcept;

// Frames [begin, end) of the payload, cut to the frames it has.
struct Window {
    std::uint64_t begin = 0;
    std::uint64_t end = UINT64_MAX;
    // A Shorten stream is read no further than the round of blocks that
    // completes the window's last frame: what lies beyond (its length, its
    // QUIT, any fault in it) is then never looked at.
    bool stop_early = false;

    bool whole() const noexcept { return begin == 0 && end == UINT64_MAX; }
};

// Whole frames as they lie, the `first`-th of the payload first.
struct Run {
    const std::uint8_t* data = nullptr;
    Form form = Form::Le16;
    std::uint64_t first = 0;
    std::size_t frames = 0;
};

// Where a buffer of a whole window is made: room around it, and the
// memory's source (malloc when null).
struct Placement {
    Framing framing;
    const BlockSource* source = nullptr;
};

// What takes the samples. A read gives a sink every frame of the window,
// in order, in one of three ways: as runs (`take`); straight into memory
// the sink lends (`lend`, for samples read as they are stored); or as one
// buffer of the window made where the sink places it (`adopt`, for a
// decoded stream).
class Sink {
  public:
    virtual Result<void> take(const Run& run) = 0;
    // Memory for `bytes` bytes of samples in `form`, filled as they lie; or
    // an empty view, and the samples come as runs.
    virtual MutableByteView lend(Form, std::size_t) { return {}; }
    // Where a decoded window's buffer of `form` is to be made; null: it
    // comes as runs.
    virtual const Placement* placement(Form) { return nullptr; }
    // The window's buffer, made as `placement` said when the decoder could
    // (its size plausible), else anywhere.
    virtual Result<void> adopt(ByteBuffer buffer, Form form, std::uint64_t first) = 0;
    // A mu-law Shorten stream: keep its code bytes (UlawWords) rather than
    // their expansion (Le16), for outputs that stay mu-law.
    virtual bool keeps_codes() const { return false; }

  protected:
    ~Sink() = default;
};

// A payload: all of it in memory, or a file whose payload starts at
// `offset`, read in pieces. A Shorten stream is read from memory: its
// caller knows how much of it a window needs (korrin's checkpoints).
struct Source {
    ByteView memory;
    const input::InputFile* file = nullptr;
    std::uint64_t offset = 0;
    std::uint64_t size = 0;  // the payload's bytes

    static Source of(ByteView payload) noexcept { return {payload, nullptr, 0, payload.size()}; }
    static Source of(const input::InputFile& file, std::uint64_t offset, std::uint64_t size) noexcept {
        return {{}, &file, offset, size};
    }
};

// Bytes [begin, end) of a payload.
struct ByteRange {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
};

// Where the window of a stored payload lies in it: all that reading the
// window reads. Nothing for a compressed payload (decoded from its start)
// and for the whole payload.
std::optional<ByteRange> stored_range(const format::Format& format, const Window& window) noexcept;

struct Options {
    // Compute the checksum of a read of every frame, where a rule applies.
    bool checksum = false;
    // A Shorten stream: go on from a state that a decode of it took, at or
    // before the window's first frame, rather than from its start; keep
    // states every `checkpoint_every` frames (see shorten::OutputOptions).
    const shorten::DecoderState* resume = nullptr;
    std::vector<shorten::DecoderState>* checkpoints = nullptr;
    std::uint64_t checkpoint_every = 0;
};

struct Outcome {
    std::uint64_t first_frame = 0;  // the window as the payload held it
    std::uint64_t frames = 0;
    std::optional<std::uint16_t> checksum;  // with Options::checksum, over every frame
};

// Reads the window of a payload of `format` (as format::admit made it)
// into `sink`. The failures are a conversion's: a Shorten stream's own,
// its channel count against the header's, a stream that ends before the
// header's count, and the file's.
Result<Outcome> read(const format::Format& format, const Source& source, const Window& window, Sink& sink,
                     const Options& options = {});

}  // namespace korrin::payload

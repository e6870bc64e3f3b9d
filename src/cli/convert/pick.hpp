// Which samples of a file an output holds: one channel or all, and a span
// of frames. Each front end has its own rule for spans, and the rule is
// kept with the request until the file's shape is known:
//   sph2wav   -c N (1-based), -s B:E in frames, -t B:E in seconds with each
//             end rounded to the nearest frame (select.hpp);
//   sph2pipe  -c N (1-based), -s B:E in frames, -t B:E in seconds with each
//             end truncated to a frame, an end of 0 meaning the file's end;
//   segments  a Kaldi segment of a recording: seconds truncated to frames,
//             an end of -1 meaning the recording's end, an end past it by
//             less than half a second cut to it, a 0-based channel.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cli/select/select.hpp"
#include "common/result.hpp"

namespace korrin::cli {

// A span as sph2pipe's -s and -t give it: from `begin` to `end`, an `end` of
// 0 (or none) meaning the end of the file. Checked when parsed: neither end
// is negative, and `begin` < `end` unless `end` is 0.
struct PipeSpan {
    enum class Unit { Frames, Seconds };
    Unit unit = Unit::Frames;
    std::uint64_t begin_frame = 0, end_frame = 0;  // Unit::Frames
    double begin_time = 0, end_time = 0;           // Unit::Seconds
    std::string text;                              // as written, for messages
};

// A segment of a recording, in seconds.
struct Segment {
    double start = 0;
    double end = -1;                       // -1: the recording's end
    std::optional<std::uint64_t> channel;  // 0-based
};

struct Pick {
    enum class Rule { Sph2wav, Sph2pipe };
    Rule rule = Rule::Sph2wav;
    select::Request request;               // Rule::Sph2wav: channel (1-based) and span
    std::optional<std::uint64_t> channel;  // Rule::Sph2pipe: 1-based
    std::optional<PipeSpan> span;          // Rule::Sph2pipe
    std::optional<Segment> segment;        // taken from what the rule above picks

    // No channel and no span: the whole file.
    bool everything() const noexcept;
    // A span is asked for (a part of the payload, which has no checksum).
    bool has_span() const noexcept;
};

// What a pick needs of a file.
struct Shape {
    std::uint64_t channels = 1;
    std::uint64_t frames = 0;
    std::uint64_t rate = 1;
};

// The frames and channel a pick takes from a file of `shape`, or why it
// cannot (Invalid): a channel the file does not have, a span that starts
// beyond the file, a segment that ends too far beyond its recording.
Result<select::Selection> resolve(const Pick& pick, const Shape& shape);

// The frame of `seconds` at `rate`, truncated as C converts a double,
// saturating at the largest 64-bit value.
std::uint64_t truncated_frame(double seconds, std::uint64_t rate) noexcept;

}  // namespace korrin::cli

// Picking part of a file's audio: one channel, a span of frames, as the
// command line asks for them, checked against the file (resolve).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "payload/payload.hpp"

namespace korrin::select {

// A time in seconds written in decimal: units / 10^decimals.
struct Seconds {
    std::uint64_t units = 0;
    std::uint32_t decimals = 0;

    friend bool operator==(const Seconds&, const Seconds&) = default;
};

// Digits with at most one ".", at least one digit in all ("12", "1.5",
// ".25", "3."), with at most 19 significant digits; nothing else.
std::optional<Seconds> parse_seconds(std::string_view text);

// The frame nearest to `time` at `rate` frames per second, a half rounding
// up; saturates at the largest 64-bit value.
std::uint64_t frame_at(Seconds time, std::uint64_t rate) noexcept;

// A span as asked: either end may be missing (from the start, to the end).
struct Span {
    enum class Unit { Frames, Seconds };
    Unit unit = Unit::Frames;
    std::optional<std::uint64_t> begin_frame, end_frame;  // Unit::Frames
    std::optional<Seconds> begin_time, end_time;          // Unit::Seconds
    std::string text;                                     // as written, for messages
};

// "B:E", "B:" or ":E" (or ":"), each end a frame number, or, with
// Unit::Seconds, a time that parse_seconds reads.
std::optional<Span> parse_span(std::string_view text, Span::Unit unit);

struct Request {
    std::optional<std::uint64_t> channel;  // 1-based; none: every channel
    std::optional<Span> span;              // none: every frame

    bool everything() const noexcept { return !channel && !span; }
};

// A request made concrete for one file.
struct Selection {
    std::optional<std::uint64_t> channel;  // 0-based
    std::uint64_t begin = 0;               // frames [begin, end)
    std::uint64_t end = UINT64_MAX;

    payload::Window window(bool stop_early) const noexcept { return {begin, end, stop_early}; }
};

// Checks a request against a file of `channels` channels and `frames`
// frames at `rate` frames per second (Invalid): the channel must exist; the
// span must start before the end of the file and not after its own end. An
// end beyond the file is cut to the file.
Result<Selection> resolve(const Request& request, std::uint64_t channels, std::uint64_t frames, std::uint64_t rate);

}  // namespace korrin::select

#include "cli/convert/pick.hpp"

#include <algorithm>

namespace korrin::cli {
namespace {

std::string plural(std::uint64_t n, std::string_view word) { return cat(n, " ", word, n == 1 ? "" : "s"); }

Result<select::Selection> resolve_pipe(const Pick& pick, const Shape& shape) {
    select::Selection chosen;
    if (pick.channel) {
        if (*pick.channel == 0 || *pick.channel > shape.channels)
            return invalid("no channel ", *pick.channel, " in a file of ", plural(shape.channels, "channel"));
        chosen.channel = *pick.channel - 1;
    }
    chosen.end = shape.frames;
    if (!pick.span) return chosen;
    const PipeSpan& span = *pick.span;
    if (span.unit == PipeSpan::Unit::Frames) {
        if (span.begin_frame > shape.frames)
            return invalid("span ", span.text, " starts beyond the end of the file (", plural(shape.frames, "frame"),
                           ")");
        chosen.begin = span.begin_frame;
        if (span.end_frame != 0) chosen.end = std::min(span.end_frame, shape.frames);
        return chosen;
    }
    // The start is compared before it is truncated: 10.05 s of a 10 s file
    // is beyond its end, though frame 100 is not.
    if (span.begin_time * static_cast<double>(shape.rate) > static_cast<double>(shape.frames))
        return invalid("span ", span.text, " s starts beyond the end of the file (", plural(shape.frames, "frame"),
                       " at ", shape.rate, " Hz)");
    chosen.begin = std::min(truncated_frame(span.begin_time, shape.rate), shape.frames);
    if (span.end_time != 0) chosen.end = std::min(truncated_frame(span.end_time, shape.rate), shape.frames);
    chosen.end = std::max(chosen.end, chosen.begin);
    return chosen;
}

// A segment of the recording that `line` picked out of a file.
Result<select::Selection> resolve_segment(const Segment& segment, select::Selection line, const Shape& shape) {
    const std::uint64_t channels = line.channel ? 1 : shape.channels;
    const std::uint64_t frames = line.end - line.begin;
    if (segment.channel) {
        if (*segment.channel >= channels)
            return invalid("no channel ", *segment.channel, " (counted from 0) in a recording of ",
                           plural(channels, "channel"));
        if (!line.channel) line.channel = *segment.channel;
    }
    const std::uint64_t start = truncated_frame(segment.start, shape.rate);
    if (start >= frames)
        return invalid("segment starts at or beyond the end of its recording (", plural(frames, "frame"), ")");
    std::uint64_t end = segment.end == -1 ? frames : truncated_frame(segment.end, shape.rate);
    if (end > frames) {
        const std::uint64_t overshoot = truncated_frame(0.5, shape.rate);
        if (end - frames >= overshoot)
            return invalid("segment ends ", plural(end - frames, "frame"), " beyond the end of its recording (",
                           plural(frames, "frame"), " at ", shape.rate, " Hz; less than 0.5 s is cut off)");
        end = frames;
    }
    line.end = line.begin + end;
    line.begin += start;
    return line;
}

}  // namespace

bool Pick::everything() const noexcept {
    if (segment) return false;
    return rule == Rule::Sph2wav ? request.everything() : !channel && !span;
}

bool Pick::has_span() const noexcept {
    return segment || (rule == Rule::Sph2wav ? request.span.has_value() : span.has_value());
}

std::uint64_t truncated_frame(double seconds, std::uint64_t rate) noexcept {
    const double frames = seconds * static_cast<double>(rate);
    if (!(frames > 0)) return 0;
    if (frames >= 18446744073709551616.0) return UINT64_MAX;  // 2^64
    return static_cast<std::uint64_t>(frames);
}

Result<select::Selection> resolve(const Pick& pick, const Shape& shape) {
    select::Selection line;
    if (pick.rule == Pick::Rule::Sph2wav) {
        KR_ASSIGN_OR_RETURN(line, select::resolve(pick.request, shape.channels, shape.frames, shape.rate));
    } else {
        KR_ASSIGN_OR_RETURN(line, resolve_pipe(pick, shape));
    }
    if (!pick.segment) return line;
    return resolve_segment(*pick.segment, line, shape);
}

}  // namespace korrin::cli

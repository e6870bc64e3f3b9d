#include "cli/select/select.hpp"

#include <algorithm>

#include "common/checked.hpp"
#include "common/text.hpp"

namespace korrin::select {
namespace {

std::string plural(std::uint64_t n, std::string_view word) {
    return std::to_string(n) + " " + std::string(word) + (n == 1 ? "" : "s");
}

}  // namespace

std::optional<Seconds> parse_seconds(std::string_view text) {
    Seconds time;
    bool seen_point = false;
    std::size_t digits = 0;
    std::size_t significant = 0;
    for (const char c : text) {
        if (c == '.') {
            if (seen_point) return std::nullopt;
            seen_point = true;
            continue;
        }
        if (!is_digit(c)) return std::nullopt;
        ++digits;
        if (seen_point) ++time.decimals;
        if (time.units == 0 && c == '0') continue;  // leading zeros count for nothing
        if (++significant > 19) return std::nullopt;
        time.units = time.units * 10 + static_cast<std::uint64_t>(c - '0');
    }
    // 19 significant digits and the decimals after them fit; more decimals
    // than that only add zeros, which are kept as a scale up to 38 places.
    if (digits == 0 || time.decimals > 38) return std::nullopt;
    return time;
}

std::uint64_t frame_at(Seconds time, std::uint64_t rate) noexcept {
    __extension__ using Wide = unsigned __int128;
    // units < 10^19 and rate < 2^64: the doubled product stays below 2^128
    // whenever it could matter; anything that does not fit saturates.
    Wide product = Wide{time.units} * rate;
    Wide scale = 1;
    for (std::uint32_t i = 0; i < time.decimals; ++i) scale *= 10;
    const Wide whole = product / scale;
    const Wide rest = product % scale;
    Wide frame = whole + (rest >= scale - rest ? 1 : 0);  // rest / scale >= 1/2
    return frame > UINT64_MAX ? UINT64_MAX : static_cast<std::uint64_t>(frame);
}

std::optional<Span> parse_span(std::string_view text, Span::Unit unit) {
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const std::string_view begin = text.substr(0, colon);
    const std::string_view end = text.substr(colon + 1);
    Span span;
    span.unit = unit;
    span.text = std::string(text);
    if (unit == Span::Unit::Frames) {
        if (!begin.empty() && !(span.begin_frame = parse_digits(begin))) return std::nullopt;
        if (!end.empty() && !(span.end_frame = parse_digits(end))) return std::nullopt;
    } else {
        if (!begin.empty() && !(span.begin_time = parse_seconds(begin))) return std::nullopt;
        if (!end.empty() && !(span.end_time = parse_seconds(end))) return std::nullopt;
    }
    return span;
}

Result<Selection> resolve(const Request& request, std::uint64_t channels, std::uint64_t frames, std::uint64_t rate) {
    Selection selection;
    if (request.channel) {
        const std::uint64_t channel = *request.channel;
        if (channel == 0 || channel > channels)
            return invalid("no channel ", channel, " in a file of ", plural(channels, "channel"));
        selection.channel = channel - 1;
    }
    selection.end = frames;
    if (!request.span) return selection;

    const Span& span = *request.span;
    std::optional<std::uint64_t> begin = span.begin_frame;
    std::optional<std::uint64_t> end = span.end_frame;
    std::string label = span.text;
    if (span.unit == Span::Unit::Seconds) {
        if (span.begin_time) begin = frame_at(*span.begin_time, rate);
        if (span.end_time) end = frame_at(*span.end_time, rate);
        label += " s (frames " + (begin ? std::to_string(*begin) : "") + ":" + (end ? std::to_string(*end) : "") + ")";
    }
    selection.begin = begin.value_or(0);
    if (end && selection.begin > *end)
        return invalid("span ", label, " starts after its end (the file has ", plural(frames, "frame"), ")");
    if (selection.begin >= frames)
        return invalid("span ", label, " starts at or beyond the end of the file (", plural(frames, "frame"), ")");
    selection.end = std::min(end.value_or(frames), frames);
    return selection;
}

}  // namespace korrin::select

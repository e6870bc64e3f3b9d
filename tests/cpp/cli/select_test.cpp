#include "cli/select/select.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korrin::select {
namespace {

TEST(ParseSeconds, ReadsPlainDecimalsOnly) {
    struct Case {
        const char* text;
        std::optional<Seconds> want;
    };
    const Case cases[] = {
        {"12", Seconds{12, 0}},
        {"1.5", Seconds{15, 1}},
        {".25", Seconds{25, 2}},
        {"3.", Seconds{3, 0}},
        {"0.050", Seconds{50, 3}},
        {"000.5", Seconds{5, 1}},
        {"9999999999999999999", Seconds{9999999999999999999u, 0}},  // 19 digits
        {"0.00000000000000000000000000000000000001", Seconds{1, 38}},
        {"", std::nullopt},
        {".", std::nullopt},
        {"1..2", std::nullopt},
        {"1.2.3", std::nullopt},
        {"-1", std::nullopt},
        {"+1", std::nullopt},
        {"1e3", std::nullopt},
        {" 1", std::nullopt},
        {"10000000000000000000", std::nullopt},                       // 20 significant digits
        {"0.000000000000000000000000000000000000001", std::nullopt},  // 39 decimals
    };
    for (const Case& c : cases) EXPECT_EQ(parse_seconds(c.text), c.want) << c.text;
}

TEST(FrameAt, RoundsToTheNearestFrameHalvesUp) {
    struct Case {
        Seconds time;
        std::uint64_t rate;
        std::uint64_t want;
    };
    const Case cases[] = {
        {{15, 1}, 8000, 12000},
        {{1, 4}, 8000, 1},     // 0.8 frames
        {{5, 5}, 8000, 0},     // 0.4
        {{625, 7}, 8000, 1},   // exactly 0.5: up
        {{1875, 7}, 8000, 2},  // exactly 1.5: up
        {{3, 0}, 1, 3},
        {{0, 0}, 48000, 0},
        {{1, 38}, UINT64_MAX, 0},
        {{9999999999999999999u, 0}, UINT64_MAX, UINT64_MAX},  // saturates
        {{18446744073709551615u, 0}, 1, UINT64_MAX},
    };
    for (const Case& c : cases)
        EXPECT_EQ(frame_at(c.time, c.rate), c.want) << c.time.units << "e-" << c.time.decimals << " at " << c.rate;
}

TEST(ParseSpan, TakesEitherEndOut) {
    const auto frames = Span::Unit::Frames;
    const auto seconds = Span::Unit::Seconds;
    struct Case {
        const char* text;
        Span::Unit unit;
        bool ok;
        std::optional<std::uint64_t> begin, end;
    };
    const Case cases[] = {
        {"10:20", frames, true, 10, 20},
        {"10:", frames, true, 10, std::nullopt},
        {":20", frames, true, std::nullopt, 20},
        {":", frames, true, std::nullopt, std::nullopt},
        {"20:10", frames, true, 20, 10},
        {"18446744073709551615:", frames, true, UINT64_MAX, std::nullopt},
        {"18446744073709551616:", frames, false, {}, {}},
        {"10", frames, false, {}, {}},
        {"1:2:3", frames, false, {}, {}},
        {"1.5:2", frames, false, {}, {}},
        {"a:b", frames, false, {}, {}},
        {"1.5:2", seconds, true, {}, {}},
        {"1:2:3", seconds, false, {}, {}},
        {"x:", seconds, false, {}, {}},
    };
    for (const Case& c : cases) {
        const std::optional<Span> span = parse_span(c.text, c.unit);
        ASSERT_EQ(span.has_value(), c.ok) << c.text;
        if (!span) continue;
        EXPECT_EQ(span->text, c.text);
        if (c.unit == frames) {
            EXPECT_EQ(span->begin_frame, c.begin) << c.text;
            EXPECT_EQ(span->end_frame, c.end) << c.text;
        } else {
            EXPECT_EQ(span->begin_time, (Seconds{15, 1})) << c.text;
            EXPECT_EQ(span->end_time, (Seconds{2, 0})) << c.text;
        }
    }
}

Request request(std::optional<std::uint64_t> channel, const char* span = nullptr,
                Span::Unit unit = Span::Unit::Frames) {
    Request out;
    out.channel = channel;
    if (span != nullptr) out.span = parse_span(span, unit);
    return out;
}

TEST(Resolve, ChecksTheRequestAgainstTheFile) {
    struct Case {
        Request asked;
        std::uint64_t channels, frames, rate;
        std::optional<std::uint64_t> channel;  // 0-based
        std::uint64_t begin, end;
        const char* error;  // nullptr: resolves
    };
    const auto seconds = Span::Unit::Seconds;
    const Case cases[] = {
        {request(std::nullopt), 2, 100, 8000, std::nullopt, 0, 100, nullptr},
        {request(1), 2, 100, 8000, 0, 0, 100, nullptr},
        {request(2), 2, 100, 8000, 1, 0, 100, nullptr},
        {request(3), 2, 100, 8000, {}, 0, 0, "no channel 3 in a file of 2 channels"},
        {request(2), 1, 100, 8000, {}, 0, 0, "no channel 2 in a file of 1 channel"},
        {request(0), 1, 100, 8000, {}, 0, 0, "no channel 0 in a file of 1 channel"},
        {request(std::nullopt, "10:20"), 2, 100, 8000, std::nullopt, 10, 20, nullptr},
        {request(std::nullopt, "10:"), 2, 100, 8000, std::nullopt, 10, 100, nullptr},
        {request(std::nullopt, ":20"), 2, 100, 8000, std::nullopt, 0, 20, nullptr},
        {request(std::nullopt, "90:1000"), 2, 100, 8000, std::nullopt, 90, 100, nullptr},  // cut
        {request(std::nullopt, "99:"), 2, 100, 8000, std::nullopt, 99, 100, nullptr},
        {request(std::nullopt, "50:50"), 2, 100, 8000, std::nullopt, 50, 50, nullptr},  // empty
        {request(std::nullopt, "100:"),
         2,
         100,
         8000,
         {},
         0,
         0,
         "span 100: starts at or beyond the end of the file (100 frames)"},
        {request(std::nullopt, "0:"),
         2,
         0,
         8000,
         {},
         0,
         0,
         "span 0: starts at or beyond the end of the file (0 frames)"},
        {request(std::nullopt, "20:10"),
         2,
         100,
         8000,
         {},
         0,
         0,
         "span 20:10 starts after its end (the file has 100 frames)"},
        {request(std::nullopt, "200:150"),
         2,
         1,
         8000,
         {},
         0,
         0,
         "span 200:150 starts after its end (the file has 1 frame)"},
        {request(std::nullopt, "0.001:0.002", seconds), 2, 100, 8000, std::nullopt, 8, 16, nullptr},
        {request(std::nullopt, "0.0125:", seconds),
         2,
         100,
         8000,
         {},
         0,
         0,
         "span 0.0125: s (frames 100:) starts at or beyond the end of the file (100 frames)"},
        {request(std::nullopt, ":0.0001", seconds), 2, 100, 8000, std::nullopt, 0, 1, nullptr},
        {request(std::nullopt, "0.002:0.001", seconds),
         2,
         100,
         8000,
         {},
         0,
         0,
         "span 0.002:0.001 s (frames 16:8) starts after its end (the file has 100 frames)"},
        // The channel is checked before the span.
        {request(5, "20:10"), 2, 100, 8000, {}, 0, 0, "no channel 5 in a file of 2 channels"},
    };
    for (const Case& c : cases) {
        const std::string label = c.asked.span ? c.asked.span->text : "(whole)";
        const Result<Selection> got = resolve(c.asked, c.channels, c.frames, c.rate);
        if (c.error != nullptr) {
            ASSERT_FALSE(got) << label;
            EXPECT_EQ(got.error(), invalid(c.error)) << label;
            continue;
        }
        ASSERT_TRUE(got) << label << ": " << got.error().message;
        EXPECT_EQ(got->channel, c.channel) << label;
        EXPECT_EQ(got->begin, c.begin) << label;
        EXPECT_EQ(got->end, c.end) << label;
    }
}

}  // namespace
}  // namespace korrin::select

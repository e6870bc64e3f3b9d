#include "select/select.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "sphere_builder.hpp"
#include "wav/wav.hpp"

namespace korrin::select {
namespace {

using test_support::Bytes;
using test_support::Field;
using test_support::required;
using test_support::sphere_file;
using test_support::with;

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
        {"10000000000000000000", std::nullopt},  // 20 significant digits
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
        {{1, 4}, 8000, 1},                  // 0.8 frames
        {{5, 5}, 8000, 0},                  // 0.4
        {{625, 7}, 8000, 1},                // exactly 0.5: up
        {{1875, 7}, 8000, 2},               // exactly 1.5: up
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
        {"10:20", frames, true, 10, 20},    {"10:", frames, true, 10, std::nullopt},
        {":20", frames, true, std::nullopt, 20}, {":", frames, true, std::nullopt, std::nullopt},
        {"20:10", frames, true, 20, 10},    {"18446744073709551615:", frames, true, UINT64_MAX, std::nullopt},
        {"18446744073709551616:", frames, false, {}, {}}, {"10", frames, false, {}, {}},
        {"1:2:3", frames, false, {}, {}},   {"1.5:2", frames, false, {}, {}},
        {"a:b", frames, false, {}, {}},     {"1.5:2", seconds, true, {}, {}},
        {"1:2:3", seconds, false, {}, {}},  {"x:", seconds, false, {}, {}},
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
        {request(std::nullopt, "50:50"), 2, 100, 8000, std::nullopt, 50, 50, nullptr},     // empty
        {request(std::nullopt, "100:"), 2, 100, 8000, {}, 0, 0,
         "span 100: starts at or beyond the end of the file (100 frames)"},
        {request(std::nullopt, "0:"), 2, 0, 8000, {}, 0, 0,
         "span 0: starts at or beyond the end of the file (0 frames)"},
        {request(std::nullopt, "20:10"), 2, 100, 8000, {}, 0, 0,
         "span 20:10 starts after its end (the file has 100 frames)"},
        {request(std::nullopt, "200:150"), 2, 1, 8000, {}, 0, 0,
         "span 200:150 starts after its end (the file has 1 frame)"},
        {request(std::nullopt, "0.001:0.002", seconds), 2, 100, 8000, std::nullopt, 8, 16, nullptr},
        {request(std::nullopt, "0.0125:", seconds), 2, 100, 8000, {}, 0, 0,
         "span 0.0125: s (frames 100:) starts at or beyond the end of the file (100 frames)"},
        {request(std::nullopt, ":0.0001", seconds), 2, 100, 8000, std::nullopt, 0, 1, nullptr},
        {request(std::nullopt, "0.002:0.001", seconds), 2, 100, 8000, {}, 0, 0,
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

// Audio of `frames` frames of `channels` samples whose values say where they
// are: frame * 16 + channel, at `width` bytes each.
transcode::Audio numbered(std::uint64_t channels, std::uint64_t frames, unsigned width, std::uint64_t first = 0) {
    transcode::Audio audio;
    audio.channels = channels;
    audio.bits_per_sample = static_cast<std::uint16_t>(width * 8);
    audio.first_frame = first;
    audio.pcm = *ByteBuffer::allocate(channels * frames * width, wav::kWavFraming);
    for (std::uint64_t f = 0; f < frames; ++f)
        for (std::uint64_t c = 0; c < channels; ++c) {
            const std::uint32_t value = static_cast<std::uint32_t>((first + f) * 16 + c);
            std::memcpy(audio.pcm.data() + (f * channels + c) * width, &value, width);  // little-endian host
        }
    return audio;
}

std::vector<std::uint32_t> values_of(const transcode::Audio& audio) {
    const unsigned width = audio.bits_per_sample / 8u;
    std::vector<std::uint32_t> out(audio.pcm.size() / width);
    for (std::size_t i = 0; i < out.size(); ++i) {
        std::uint32_t value = 0;
        std::memcpy(&value, audio.pcm.data() + i * width, width);
        out[i] = value;
    }
    return out;
}

TEST(Apply, NarrowsAndCompactsInPlace) {
    struct Case {
        std::uint64_t channels, frames;
        unsigned width;
        std::uint64_t first;  // the frame the decoded audio starts at
        Selection selection;
        std::uint64_t out_channels;
        std::vector<std::uint32_t> want;
    };
    const Case cases[] = {
        {2, 3, 2, 0, {std::nullopt, 0, 3}, 2, {0, 1, 16, 17, 32, 33}},
        {2, 3, 2, 0, {1, 0, 3}, 1, {1, 17, 33}},
        {2, 3, 4, 0, {0, 1, 3}, 1, {16, 32}},
        {3, 4, 4, 0, {2, 1, 2}, 1, {18}},
        {3, 4, 2, 0, {std::nullopt, 2, 4}, 3, {32, 33, 34, 48, 49, 50}},
        {1, 4, 2, 0, {0, 1, 3}, 1, {16, 32}},
        {2, 4, 2, 0, {1, 2, 2}, 1, {}},
        // Decoded from frame 5 on: the selection is in file frames.
        {2, 3, 2, 5, {0, 6, 8}, 1, {96, 112}},
        // What the audio does not hold is not made up.
        {2, 3, 2, 5, {std::nullopt, 0, 100}, 2, {80, 81, 96, 97, 112, 113}},
    };
    for (const Case& c : cases) {
        transcode::Audio audio = numbered(c.channels, c.frames, c.width, c.first);
        const std::uint8_t* block_start = audio.pcm.data() - audio.pcm.front_room();
        apply(audio, c.selection);
        EXPECT_EQ(audio.channels, c.out_channels);
        EXPECT_EQ(values_of(audio), c.want);
        EXPECT_EQ(audio.pcm.data() - audio.pcm.front_room(), block_start);  // nothing reallocated
        EXPECT_GE(audio.pcm.front_room(), wav::kHeaderSize);                // the WAV header still fits
        EXPECT_EQ(audio.first_frame, std::max(c.selection.begin, c.first));
    }
}

// A decode with a window, narrowed to it, must equal the whole decode
// narrowed the same way, for every coding.
TEST(DecodeWindow, AgreesWithTheWholeFileNarrowed) {
    std::vector<std::int16_t> samples(2 * 400);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::int16_t>(i * 37 - 9000);
    Bytes raw(samples.size() * 2);
    std::memcpy(raw.data(), samples.data(), raw.size());
    Bytes codes(800);
    for (std::size_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<std::uint8_t>(i * 13);
    const Field shorten = {"sample_coding", "pcm,embedded-shorten-v2.00", "-s"};
    const Bytes files[] = {
        sphere_file(with(required(400, 2, 2), {"sample_byte_format", "01", "-s"}), raw),
        sphere_file(with(required(400, 2, 2), {"sample_byte_format", "10", "-s"}), raw),
        sphere_file(with(required(200, 2, 4), {"sample_byte_format", "10", "-s"}), raw),
        sphere_file(with(required(400, 2, 1), {"sample_coding", "ulaw", "-s"}), codes),
        sphere_file(with(required(800, 1, 1), {"sample_coding", "alaw", "-s"}), codes),
        sphere_file(with(required(400, 2, 2), shorten), test_support::shorten_stream(2, 50, samples)),
        sphere_file(with(required(333, 2, 2), shorten), test_support::shorten_stream(2, 50, samples)),
    };
    const std::pair<std::uint64_t, std::uint64_t> windows[] = {{0, 1}, {0, 50}, {49, 51}, {120, 333},
                                                               {199, 200}, {100, 100}, {0, UINT64_MAX}};
    for (std::size_t f = 0; f < std::size(files); ++f) {
        const auto file = *sphere::read(files[f]);
        const auto frames = static_cast<std::uint64_t>(*file.header.int_("sample_count"));
        for (const auto& [begin, end] : windows) {
            if (begin >= frames) continue;
            const Selection selection{std::nullopt, begin, std::min(end, frames)};
            transcode::Audio whole = *transcode::decode(file, {wav::kWavFraming, nullptr, {}, {}});
            auto part = transcode::decode(file, {wav::kWavFraming, nullptr, selection.window(true), {}});
            ASSERT_TRUE(part) << f << ": " << part.error().message;
            apply(whole, selection);
            apply(*part, selection);
            EXPECT_EQ(Bytes(part->pcm.begin(), part->pcm.end()), Bytes(whole.pcm.begin(), whole.pcm.end()))
                << "file " << f << " window " << begin << ":" << end;
            EXPECT_EQ(part->first_frame, begin);
            // Uncompressed codings decode the window alone.
            if (f < 5) {
                EXPECT_EQ(part->pcm.size(), whole.pcm.size()) << "file " << f;
            }
        }
    }
}

TEST(DecodeWindow, AShortenStreamIsReadNoFurtherThanTheWindow) {
    std::vector<std::int16_t> samples(2 * 400, 5);
    Bytes stream = test_support::shorten_stream(2, 50, samples);
    // Cut the stream in its second half: the whole file fails, a window in
    // its first half does not, and one past the cut fails as the whole does.
    stream.resize(stream.size() * 3 / 4);
    const Bytes file_bytes =
        sphere_file(with(required(400, 2, 2), {"sample_coding", "pcm,embedded-shorten-v2.00", "-s"}), stream);
    const auto file = *sphere::read(file_bytes);

    const auto whole = transcode::decode(file);
    ASSERT_FALSE(whole);
    const auto early = transcode::decode(file, {{}, nullptr, {10, 100, true}, {}});
    ASSERT_TRUE(early) << early.error().message;
    EXPECT_EQ(early->first_frame, 10u);
    EXPECT_EQ(early->pcm.size(), 90u * 2 * 2);
    EXPECT_EQ(transcode::decode(file, {{}, nullptr, {10, 100, false}, {}}).error(), whole.error());
    EXPECT_EQ(transcode::decode(file, {{}, nullptr, {350, 400, true}, {}}).error(), whole.error());
}

}  // namespace
}  // namespace korrin::select

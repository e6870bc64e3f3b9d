// Shorten stream version 1 and the older payload labels, which only callers
// that ask for them get.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "codecs/codecs.hpp"
#include "reference_bitreader.hpp"
#include "shorten/mean_window.hpp"
#include "shorten/shorten.hpp"
#include "sphere_builder.hpp"
#include "transcode/transcode.hpp"

namespace korrin {
namespace {

using Bytes = std::vector<std::uint8_t>;

// One channel's stream of `type`, `blocksize`, `maxnlpc` and `nmean`; its
// bytes are taken with either version byte.
test_support::StreamBuilder Stream(std::uint64_t type, std::uint64_t blocksize, std::uint64_t maxnlpc,
                                   std::uint64_t nmean) {
    return test_support::StreamBuilder(type, 1, blocksize, maxnlpc, nmean);
}

std::vector<std::int64_t> samples_of(const shorten::ShortenAudio& audio) {
    return {audio.samples.span().begin(), audio.samples.span().end()};
}

const shorten::StreamOptions kBoth{.accept_version_1 = true};

// Who reads: the module, or the readers of files, which take the older
// labels.
format::Reader older(bool on) { return on ? format::Reader::Files : format::Reader::Module; }

Result<ByteBuffer> decode(const sphere::SphereHeader& header, const Bytes& stream, format::Reader reader) {
    transcode::DecodeOptions options;
    options.conversion.reader = reader;
    KR_ASSIGN_OR_RETURN(transcode::Audio audio, transcode::decode(sphere::SphereFile{header, stream}, options));
    return std::move(audio.pcm);
}

TEST(OlderShorten, VersionsAcceptedWithAndWithoutTheOption) {
    auto stream = Stream(5, 2, 0, 0);
    stream.quit();
    struct Case {
        std::uint8_t version;
        bool option;
        const char* error;  // null: decodes
    };
    const Case cases[] = {
        {2, false, nullptr},
        {2, true, nullptr},
        {1, false, "shorten version 1 not supported (only v2 is validated)"},
        {1, true, nullptr},
        {0, true, "shorten version 0 not supported (only v2 is validated)"},
        {3, true, "shorten version 3 not supported (only v2 is validated)"},
        {255, true, "shorten version 255 not supported (only v2 is validated)"},
    };
    for (const Case& c : cases) {
        const Bytes bytes = stream.bytes(c.version);
        const auto got = shorten::decode(bytes, {}, {}, {.accept_version_1 = c.option});
        SCOPED_TRACE(::testing::Message() << "version " << int{c.version} << " option " << c.option);
        if (c.error == nullptr) {
            ASSERT_TRUE(got) << got.error().message;
            EXPECT_EQ(got->version, c.version);
        } else {
            ASSERT_FALSE(got);
            EXPECT_EQ(got.error().message, c.error);
            EXPECT_EQ(got.error().kind, ErrorKind::Unsupported);
        }
    }
}

TEST(OlderShorten, StreamVersionQuery) {
    struct Case {
        Bytes stream;
        int want;  // -1: error
        const char* error;
    };
    const Case cases[] = {
        {{'a', 'j', 'k', 'g', 1, 0xFF}, 1, ""},
        {{'a', 'j', 'k', 'g', 7}, 7, ""},
        {{'a', 'j', 'k', 'g'}, -1, "truncated shorten stream: missing version byte"},
        {{'a', 'j', 'k'}, -1, "not a shorten stream (missing 'ajkg' magic)"},
        {{'a', 'j', 'k', 'x', 2}, -1, "not a shorten stream (missing 'ajkg' magic)"},
    };
    for (const Case& c : cases) {
        const auto got = shorten::stream_version(c.stream);
        if (c.want < 0) {
            ASSERT_FALSE(got);
            EXPECT_EQ(got.error().message, c.error);
        } else {
            ASSERT_TRUE(got);
            EXPECT_EQ(*got, c.want);
        }
    }
}

// The same commands decode differently where the versions differ: the
// rounding of block means and running means, and QLPC's rounding offset.
TEST(OlderShorten, WhereTheVersionsDiffer) {
    struct Case {
        const char* name;
        test_support::StreamBuilder stream;
        std::vector<std::int64_t> v1, v2;
    };
    const Case cases[] = {
        // Block mean of 5, 6, 6, 6: v2 (23 + 2) / 4 = 6, v1 23 / 4 = 5; then
        // the running mean over nmean 2: v2 (6 + 1) / 2 = 3, v1 5 / 2 = 2.
        {"block and running mean",
         Stream(5, 4, 0, 2).diff(1, 2, {5, 1, 0, 0}).diff(0, 0, {0, 0, 0, 0}).quit(),
         {5, 6, 6, 6, 2, 2, 2, 2},
         {5, 6, 6, 6, 3, 3, 3, 3}},
        // Negative means truncate toward zero in both: (-23 + 2) / 4 = -5 and
        // -23 / 4 = -5; then (-5 + 1) / 2 = -2 and -5 / 2 = -2.
        {"negative means",
         Stream(5, 4, 0, 2).diff(1, 2, {-5, -1, 0, 0}).diff(0, 0, {0, 0, 0, 0}).quit(),
         {-5, -6, -6, -6, -2, -2, -2, -2},
         {-5, -6, -6, -6, -2, -2, -2, -2}},
        // One block mean of 3 over nmean 4: v2 (3 + 2) / 4 = 1, v1 3 / 4 = 0.
        {"running mean rounding", Stream(5, 1, 0, 4).diff(1, 2, {3}).diff(0, 0, {0}).quit(), {3, 0}, {3, 1}},
        // QLPC a = 16 (one half) after the values 3, 3: v2 (48 + 32) >> 5 = 2,
        // then (32 + 32) >> 5 = 2; v1 48 >> 5 = 1, then 16 >> 5 = 0.
        {"QLPC offset", Stream(5, 2, 1, 0).diff(1, 2, {3, 0}).qlpc(0, {16}, {0, 0}).quit(), {3, 3, 1, 0}, {3, 3, 2, 2}},
        // A negative sum: a = -16 after 3, 3: v2 (-48 + 32) >> 5 = -1, then
        // (16 + 32) >> 5 = 1; v1 -48 >> 5 = -2 (toward minus infinity), then
        // 32 >> 5 = 1.
        {"QLPC offset, negative",
         Stream(5, 2, 1, 0).diff(1, 2, {3, 0}).qlpc(0, {-16}, {0, 0}).quit(),
         {3, 3, -2, 1},
         {3, 3, -1, 1}},
        // QLPC with a running mean: the prediction works on values less mu.
        // Means: v2 (7 + 1) / 2 = 4, v1 7 / 2 = 3; running mean over nmean 1:
        // 4 and 3. Then a = 32 (one): s = r + ((32 (x - mu) + offset) >> 5) + mu,
        // v2 1 + 1 + 4 = 6, -1 + 3 + 4 = 6; v1 1 + 1 + 3 = 5, -1 + 2 + 3 = 4.
        {"QLPC around the running mean",
         Stream(5, 2, 1, 1).diff(1, 2, {3, 1}).qlpc(1, {32}, {1, -1}).quit(),
         {3, 4, 5, 4},
         {3, 4, 6, 6}},
        // DIFF2 and DIFF3 and bit shifts do not depend on the version (values
        // 1, 3, then 6, 9, shifted by one); the running mean is the last block
        // mean, of the values before the shift: v2 (15 + 1) / 2 = 8, v1
        // 15 / 2 = 7, shifted too.
        {"differences and shifts",
         Stream(5, 2, 0, 1).bitshift(1).diff(2, 1, {1, 1}).diff(3, 1, {0, -1}).diff(0, 0, {0, 0}).quit(),
         {2, 6, 12, 18, 14, 14},
         {2, 6, 12, 18, 16, 16}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const std::uint8_t version : {std::uint8_t{1}, std::uint8_t{2}}) {
            const Bytes bytes = c.stream.bytes(version);
            const auto got = shorten::decode(bytes, {}, {}, kBoth);
            ASSERT_TRUE(got) << got.error().message;
            EXPECT_EQ(samples_of(*got), version == 1 ? c.v1 : c.v2) << "version " << int{version};
        }
    }
}

TEST(OlderShorten, RunningMeanByVersion) {
    const std::int64_t max = INT64_MAX;
    struct Case {
        std::vector<std::int64_t> means;
        std::uint64_t nmean;
        std::int64_t v1, v2;  // INT64_MIN: overflow
    };
    const Case cases[] = {
        {{}, 0, 0, 0},
        {{}, 4, 0, 0},
        {{6}, 2, 3, 3},
        {{7}, 2, 3, 4},
        {{-7}, 2, -3, -3},
        {{-9}, 4, -2, -1},  // -9 / 4; (-9 + 2) / 4
        {{1000, 1, 2, 3}, 3, 2, 2},
        {{1000, 1, 2, 4}, 3, 2, 2},
        {{1000, 2, 2, 4}, 3, 2, 3},
        {{max - 1, 1}, 4, max / 4, INT64_MIN},  // only the rounding term overflows
        {{max, 1, -1}, 3, INT64_MIN, INT64_MIN},
    };
    for (const Case& c : cases) {
        for (const std::uint8_t version : {std::uint8_t{1}, std::uint8_t{2}}) {
            const std::int64_t want = version == 1 ? c.v1 : c.v2;
            const auto got = shorten::coffset(c.means, c.nmean, version);
            SCOPED_TRACE(::testing::Message() << "nmean " << c.nmean << " version " << int{version});
            if (want == INT64_MIN) {
                EXPECT_FALSE(got);
                continue;
            }
            ASSERT_TRUE(got);
            EXPECT_EQ(*got, want);
            // The decoder's window gives the same as the literal sum.
            shorten::MeanWindow window(c.nmean, version >= 2);
            for (const std::int64_t m : c.means) window.push(m);
            EXPECT_EQ(window.running_mean(), want);
        }
    }
}

TEST(OlderShorten, WindowWithoutRoundingMatchesTheLiteralMean) {
    std::mt19937_64 rng(15);
    for (int round = 0; round < 200; ++round) {
        const std::uint64_t nmean = 1 + rng() % 9;
        shorten::MeanWindow window(nmean, false);
        std::vector<std::int64_t> all;
        for (int step = 0; step < 40; ++step) {
            const auto want = shorten::coffset(all, nmean, 1);
            ASSERT_TRUE(want);
            ASSERT_EQ(window.running_mean(), *want) << "round " << round << " step " << step;
            const auto m = static_cast<std::int64_t>(rng() % 20001) - 10000;
            window.push(m);
            all.push_back(m);
        }
    }
}

// Payload labels: the module's decoder takes v2.00 alone; with the option,
// the older labels too, in any case and with white space, as v2.00 is.
TEST(OlderShorten, PayloadLabels) {
    const std::int16_t values[] = {10, -20, 30, -40};
    const Bytes stream = test_support::shorten_stream(1, 4, values);
    struct Case {
        const char* coding;
        bool with_option;  // decodes with the option
        bool without;      // decodes without it
    };
    const Case cases[] = {
        {"pcm,embedded-shorten-v2.00", true, true},     {"pcm,embedded-shorten-v1.1", true, false},
        {"pcm,embedded-shorten-v1.09", true, false},    {"ulaw,embedded-shorten-v1.09", true, false},
        {" PCM , Embedded-Shorten-V1.1 ", true, false}, {"pcm,embedded-shorten-v1.10", false, false},
        {"pcm,embedded-shorten-v1.0", false, false},    {"pcm,embedded-shorten-v3.00", false, false},
        {"pcm,embedded-wavpack-v1.1", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.coding);
        const auto header = test_support::header_of(
            test_support::with(test_support::required(4, 1, 2), {"sample_coding", c.coding, "-s"}));
        for (const bool option : {false, true}) {
            const auto got = decode(header, stream, older(option));
            const bool want = option ? c.with_option : c.without;
            EXPECT_EQ(got.has_value(), want) << "option " << option;
            if (!got) {
                // The refusal is the one the module gives for any other label.
                EXPECT_TRUE(got.error().message.starts_with("compressed coding \"")) << got.error().message;
                EXPECT_EQ(got.error().kind, ErrorKind::Unsupported);
            }
            const auto format = format::format_of(header, stream.size(), older(option));
            EXPECT_EQ(format.has_value(), want);
        }
    }
    const auto header = test_support::header_of(
        test_support::with(test_support::required(4, 1, 2), {"sample_coding", " pcm , Embedded-Shorten-V1.1 ", "-s"}));
    EXPECT_EQ(format::format_of(header, 0, older(true))->shorten_label, "embedded-shorten-v1.1");
}

// A version-1 stream in a SPHERE file needs both halves of the option: the
// label and the stream version.
TEST(OlderShorten, VersionOneInASphereFile) {
    const std::int16_t values[] = {10, -20, 30, -40};
    Bytes stream = test_support::shorten_stream(1, 4, values);
    stream[4] = 1;
    const auto header = test_support::header_of(
        test_support::with(test_support::required(4, 1, 2), {"sample_coding", "pcm,embedded-shorten-v1.1", "-s"}));
    const auto refused = decode(header, stream, older(false));
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message,
              "compressed coding \"pcm,embedded-shorten-v1.1\" not supported yet (compression: "
              "\"embedded-shorten-v1.1\")");
    const auto got = decode(header, stream, older(true));
    ASSERT_TRUE(got) << got.error().message;
    const Bytes want = {10, 0, 0xEC, 0xFF, 30, 0, 0xD8, 0xFF};
    EXPECT_EQ(Bytes(got->data(), got->data() + got->size()), want);
}

}  // namespace
}  // namespace korrin

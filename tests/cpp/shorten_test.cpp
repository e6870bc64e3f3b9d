#include "shorten/shorten.hpp"
#include "shorten/mean_window.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <map>
#include <random>
#include <string>
#include <variant>
#include <vector>

#include "codecs/codecs.hpp"
#include "reference_bitreader.hpp"
#include "reference_shorten.hpp"
#include "shorten_builder.hpp"

namespace korrin::shorten {
namespace {

using test_support::BitWriter;
using test_support::ReferenceBitReader;
using test_support::StreamBuilder;

const std::string kPastEnd = "truncated or corrupt shorten stream: ran past end of bitstream";
const std::string kOverflow = "shorten reconstruction overflowed i64 (corrupt stream)";
const std::string kTooLong = "shorten stream exceeds the maximum decoded length";

std::vector<std::uint8_t> hex(std::string_view text) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] == ' ') continue;
        out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
        ++i;
    }
    return out;
}

// The reference decoder (fuzz/reference_shorten.hpp): its samples as the
// decoder stores them, or its error's message.
std::variant<fuzz::ReferenceAudio, std::string> reference_decode(ByteView s,
                                                                 std::uint64_t max_samples = kMaxDecodedSamples) {
    auto outcome = fuzz::ReferenceShorten(s, max_samples).run();
    if (auto* error = std::get_if<DecodeError>(&outcome)) return error->message;
    return std::get<fuzz::ReferenceAudio>(outcome);
}

std::vector<std::int16_t> samples_of(const ShortenAudio& audio) {
    return {audio.samples.data(), audio.samples.data() + audio.samples.size()};
}

// The output of type-8 values given as their code bytes: each expanded as
// G.711 expands it (codecs' own table, apart from the decoder's kernels).
std::vector<std::int16_t> as_output(bool ulaw, std::vector<std::int16_t> samples) {
    if (ulaw)
        for (std::int16_t& s : samples) s = codecs::ulaw_to_linear(static_cast<std::uint8_t>(s));
    return samples;
}

std::string error_of(const Result<ShortenAudio>& r) { return r ? "<decoded>" : r.error().message; }

struct Expected {
    std::uint64_t channels;
    bool ulaw;
    std::vector<std::int16_t> samples;
};

void expect_decodes(const std::vector<std::uint8_t>& stream, const Expected& want, const Limits& limits = {}) {
    auto got = decode(stream, limits);
    ASSERT_TRUE(got) << got.error().message;
    EXPECT_EQ(got->channel_count, want.channels);
    EXPECT_EQ(got->is_ulaw, want.ulaw);
    EXPECT_EQ(samples_of(*got), as_output(want.ulaw, want.samples));
}

TEST(ShortenDecode, ExampleStreams) {
    struct Case {
        const char* stream;
        Expected want;
    };
    const Case cases[] = {
        {"61 6A 6B 67 02 FB 7F 93 33 61 17 20", {1, false, {1, 3, 2, 2}}},
        {"61 6A 6B 67 02 DF 6D B6 DA 64 98 67 9C A1 3D BB 59 0B D1 24", {2, false, {5, 4, 7, 4, 4, 8, 0, 10}}},
        {"61 6A 6B 67 02 4C 5F 79 99 B7 0D 2A D6 5E B6 92 00", {1, true, {255, 250, 122, 245, 117, 238}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stream);
        const auto stream = hex(c.stream);
        expect_decodes(stream, c.want);
        // Cut anywhere, each stream fails with the message for what is missing.
        for (std::size_t n = 0; n < stream.size(); ++n) {
            SCOPED_TRACE(n);
            const auto cut = std::vector<std::uint8_t>(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(n));
            const std::string want = n < 4    ? "not a shorten stream (missing 'ajkg' magic)"
                                     : n == 4 ? "truncated shorten stream: missing version byte"
                                              : kPastEnd;
            EXPECT_EQ(error_of(decode(cut)), want);
        }
    }
}

TEST(ShortenDecode, OpeningAndHeaderChecks) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> stream;
        std::string error;
        ErrorKind kind;
    };
    const auto header = [](std::uint64_t type, std::uint64_t channels, std::uint64_t blocksize, std::uint64_t maxnlpc,
                           std::uint64_t nmean, std::uint64_t nskip = 0) {
        return StreamBuilder(type, channels, blocksize, maxnlpc, nmean, nskip).quit().bytes();
    };
    const Case cases[] = {
        {"three bytes", {'a', 'j', 'k'}, "not a shorten stream (missing 'ajkg' magic)", ErrorKind::Invalid},
        {"wrong magic", {'a', 'j', 'k', 'h', 2, 0}, "not a shorten stream (missing 'ajkg' magic)", ErrorKind::Invalid},
        {"magic only", {'a', 'j', 'k', 'g'}, "truncated shorten stream: missing version byte", ErrorKind::Invalid},
        {"version 3",
         {'a', 'j', 'k', 'g', 3},
         "shorten version 3 not supported (only v2 is validated)",
         ErrorKind::Unsupported},
        {"version 255",
         {'a', 'j', 'k', 'g', 255, 0},
         "shorten version 255 not supported (only v2 is validated)",
         ErrorKind::Unsupported},
        {"no bit stream", {'a', 'j', 'k', 'g', 2}, kPastEnd, ErrorKind::Invalid},
        {"type 4", header(4, 1, 4, 0, 0), "shorten sample type 4 not supported (16-bit PCM and mu-law only)",
         ErrorKind::Unsupported},
        {"type before channels", header(0, 0, 0, 5000, 70000),
         "shorten sample type 0 not supported (16-bit PCM and mu-law only)", ErrorKind::Unsupported},
        {"nskip before type", header(0, 1, 4, 0, 0, 1048577), "implausible nskip 1048577", ErrorKind::Invalid},
        {"no channels", header(5, 0, 4, 0, 0), "invalid shorten channel count 0", ErrorKind::Invalid},
        {"257 channels", header(5, 257, 4, 0, 0), "invalid shorten channel count 257", ErrorKind::Invalid},
        {"blocksize 0", header(3, 1, 0, 5000, 0), "invalid shorten blocksize 0", ErrorKind::Invalid},
        {"blocksize 2^24 + 1", header(3, 1, 16777217, 0, 0), "invalid shorten blocksize 16777217", ErrorKind::Invalid},
        {"maxnlpc 1025", header(3, 1, 4, 1025, 70000), "implausible maxnlpc 1025", ErrorKind::Unsupported},
        {"nmean 65537", header(3, 1, 4, 1024, 65537), "implausible nmean 65537", ErrorKind::Unsupported},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto got = decode(c.stream);
        ASSERT_FALSE(got);
        EXPECT_EQ(got.error().message, c.error);
        EXPECT_EQ(got.error().kind, c.kind);
    }
    // The largest accepted values, and skipped codes, are fine.
    expect_decodes(header(8, 256, 16777216, 1024, 65536, 1048576), {256, true, {}});
}

// The stream so far, then 64 bytes of one bits.
std::vector<std::uint8_t> with_ones(StreamBuilder& b) {
    for (int i = 0; i < 64; ++i) b.writer().bits(0xFF, 8);
    return b.bytes();
}

TEST(ShortenDecode, CommandChecks) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> stream;
        std::string error;
        ErrorKind kind;
    };
    const Case cases[] = {
        {"code 10", StreamBuilder(5, 1, 2, 0, 0).code(10).bytes(), "unknown shorten function code 10",
         ErrorKind::Invalid},
        {"blocksize 0", StreamBuilder(5, 1, 2, 0, 0).blocksize(0).bytes(), "invalid shorten blocksize 0",
         ErrorKind::Invalid},
        {"blocksize 2^24 + 1", StreamBuilder(5, 1, 2, 0, 0).blocksize(16777217).bytes(),
         "invalid shorten blocksize 16777217", ErrorKind::Invalid},
        {"bitshift 33", StreamBuilder(5, 1, 2, 0, 0).bitshift(33).bytes(),
         "shorten bitshift 33 is implausibly large (corrupt or unsupported)", ErrorKind::Unsupported},
        {"no quit", StreamBuilder(5, 1, 2, 0, 0).diff(1, 0, {1, 1}).bytes(), kPastEnd, ErrorKind::Invalid},
        {"order above maxnlpc, before its coefficients",
         [] {
             StreamBuilder b(5, 1, 2, 1, 0);
             b.code(7);
             b.writer().uvar(0, 3);
             b.writer().uvar(2, 2);
             return b.bytes();  // ends before any coefficient
         }(),
         "shorten QLPC order 2 exceeds maxnlpc 1", ErrorKind::Invalid},
        {"maxnlpc 0 allows order 0 only", StreamBuilder(5, 1, 2, 0, 0).qlpc(0, {1}, {0, 0}).quit().bytes(),
         "shorten QLPC order 1 exceeds maxnlpc 0", ErrorKind::Invalid},
        {"residual width 32 + 1", StreamBuilder(5, 1, 2, 0, 0).diff(1, 32, {}).bytes(), "oversized uvar width 33",
         ErrorKind::Invalid},
        // With bits enough behind the width for the fast paths to run, the
        // width is still refused before any residual is read.
        {"residual width 32 + 1, DIFF1, bits after", with_ones(StreamBuilder(5, 1, 2, 0, 0).diff(1, 32, {})),
         "oversized uvar width 33", ErrorKind::Invalid},
        {"residual width 32 + 1, DIFF0, bits after", with_ones(StreamBuilder(5, 1, 2, 0, 0).diff(0, 32, {})),
         "oversized uvar width 33", ErrorKind::Invalid},
        {"residual width 32 + 1, QLPC, bits after", with_ones(StreamBuilder(5, 1, 2, 1, 0).qlpc(32, {1}, {})),
         "oversized uvar width 33", ErrorKind::Invalid},
        {"mu-law value 128", StreamBuilder(8, 1, 2, 0, 0).diff(1, 7, {127, 1}).quit().bytes(),
         "shorten type-8 reconstructed value 128 is outside the 8-bit mu-law domain", ErrorKind::Unsupported},
        {"mu-law value -129", StreamBuilder(8, 1, 1, 0, 0).diff(0, 8, {-129}).quit().bytes(),
         "shorten type-8 reconstructed value -129 is outside the 8-bit mu-law domain", ErrorKind::Unsupported},
        {"first bad mu-law value", StreamBuilder(8, 1, 3, 0, 0).diff(0, 9, {5, -300, 200}).quit().bytes(),
         "shorten type-8 reconstructed value -300 is outside the 8-bit mu-law domain", ErrorKind::Unsupported},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto got = decode(c.stream);
        ASSERT_FALSE(got);
        EXPECT_EQ(got.error().message, c.error);
        EXPECT_EQ(got.error().kind, c.kind);
    }
}

TEST(ShortenDecode, FurtherCases) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> stream;
        Expected want;
    };
    const std::int64_t big = std::int64_t{1} << 31;
    const Case cases[] = {
        {"quit first", StreamBuilder(8, 3, 4, 0, 0).quit().bytes(), {3, true, {}}},
        {"differences per channel",
         StreamBuilder(3, 2, 2, 0, 0)
             .diff(1, 2, {5, 1})
             .diff(2, 2, {1, 1})
             .diff(3, 2, {0, 0})
             .diff(1, 2, {0, 1})
             .quit()
             .bytes(),
         // ch0: 5 6 | DIFF3 from 0 5 6: 3*6-3*5+0 = 3, 3*3-3*6+5 = -4; ch1: 1 3 | 3 4
         {2, false, {5, 1, 6, 3, 3, 3, -4, 4}}},
        {"DIFF0 without means predicts 0",
         StreamBuilder(5, 1, 2, 0, 0).diff(1, 3, {9, 9}).diff(0, 3, {1, -1}).quit().bytes(),
         {1, false, {9, 18, 1, -1}}},
        {"QLPC order 0 adds nothing",
         StreamBuilder(5, 1, 2, 2, 0).diff(1, 3, {9, 9}).qlpc(2, {}, {1, -1}).quit().bytes(),
         {1, false, {9, 18, 1, -1}}},
        {"QLPC order 1 weighs the latest value",
         StreamBuilder(5, 1, 2, 1, 0).diff(1, 3, {9, 9}).qlpc(2, {32}, {1, -1}).quit().bytes(),
         // (32*18 + 32) >> 5 = 19, then (32*20 + 32) >> 5 = 21
         {1, false, {9, 18, 20, 20}}},
        {"only blocks move the channel",
         StreamBuilder(5, 2, 1, 0, 0)
             .diff(1, 3, {1})
             .blocksize(1)
             .bitshift(0)
             .verbatim({1, 2, 255})
             .diff(1, 3, {2})
             .zero()
             .diff(1, 3, {3})
             .quit()
             .bytes(),
         {2, false, {1, 2, 0, 5}}},
        {"a channel's extra block is dropped",
         StreamBuilder(5, 2, 2, 0, 0).diff(1, 2, {1, 1}).diff(1, 2, {2, 2}).diff(1, 2, {3, 3}).quit().bytes(),
         {2, false, {1, 2, 2, 4}}},
        {"block mean truncates toward zero",
         // -11 over 4 values: (-11 + 2) / 4 = -2, so DIFF0 predicts (-2 + 0) / 1.
         StreamBuilder(5, 1, 4, 0, 1).diff(0, 4, {-5, -5, -1, 0}).blocksize(1).diff(0, 2, {0}).quit().bytes(),
         {1, false, {-5, -5, -1, 0, -2}}},
        {"mu-law domain edges",
         StreamBuilder(8, 1, 2, 0, 0).diff(0, 8, {-128, 127}).quit().bytes(),
         {1, true, {0x00, 0x80}}},
        {"mu-law with a shift",
         StreamBuilder(8, 1, 3, 0, 0).bitshift(1).diff(0, 11, {5, -6, 1000}).quit().bytes(),
         {1, true, {0xF5, 0x75, 0x80}}},
        {"shift 32 saturates, then clamps",
         StreamBuilder(3, 1, 2, 0, 0).bitshift(32).diff(0, 31, {big, -big}).quit().bytes(),
         {1, false, {32767, -32768}}},
        {"shift scales the output, not the history",
         StreamBuilder(5, 1, 2, 0, 0).bitshift(2).diff(1, 3, {3, 1}).bitshift(0).diff(1, 3, {1, 1}).quit().bytes(),
         {1, false, {12, 16, 5, 6}}},
        {"zero block in mu-law",
         StreamBuilder(8, 1, 2, 0, 0).zero().bitshift(3).zero().quit().bytes(),
         {1, true, {0xFF, 0xFF, 0xFF, 0xFF}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        expect_decodes(c.stream, c.want);
        // The reference decoder agrees.
        auto ref = reference_decode(c.stream);
        ASSERT_TRUE(std::holds_alternative<fuzz::ReferenceAudio>(ref)) << std::get<std::string>(ref);
        EXPECT_EQ(std::get<fuzz::ReferenceAudio>(ref).samples, c.want.samples);
    }
}

// Drives one channel with blocks of one sample to exact large values,
// following every value in 128 bits. Residuals stay within 2^40 so that
// their unary parts stay short.
class Climber {
  public:
    explicit Climber(StreamBuilder& b) : b_(b) {}

    void block(unsigned order, std::int64_t r) {
        const std::uint64_t magnitude = static_cast<std::uint64_t>(r < 0 ? ~r : r);
        const std::uint64_t width = std::min<std::uint64_t>(31, std::bit_width(magnitude));
        b_.diff(order, width, {r});
        const __int128 s = order == 1 ? r + s1_ : order == 2 ? r + 2 * s1_ - s2_ : r + 3 * s1_ - 3 * s2_ + s3_;
        s3_ = s2_;
        s2_ = s1_;
        s1_ = s;
        ++blocks_;
    }
    std::uint64_t blocks() const { return blocks_; }

    // Leaves the last three values all equal to `target`, 0 to 2^62 + 2^40.
    Climber& reach(std::int64_t target) {
        const __int128 step = std::int64_t{1} << 40;
        if (target > (std::int64_t{1} << 50)) {
            block(3, std::int64_t{1} << 44);  // a quadratic climb
            while (3 * s1_ - 3 * s2_ + s3_ <= target && s1_ < (std::int64_t{1} << 61)) block(3, 0);
            while (2 * s1_ - s2_ <= target && s1_ < (std::int64_t{1} << 62)) block(2, 0);
        }
        while (target - s1_ > 2 * step) {
            block(1, static_cast<std::int64_t>(step));  // then a linear one
            while (target - s1_ >= step && s1_ < (std::int64_t{1} << 62)) block(2, 0);
        }
        while (s1_ != target) block(1, static_cast<std::int64_t>(std::clamp<__int128>(target - s1_, -step, step)));
        block(1, 0);
        block(1, 0);
        return *this;
    }

  private:
    StreamBuilder& b_;
    __int128 s1_ = 0, s2_ = 0, s3_ = 0;
    std::uint64_t blocks_ = 0;
};

TEST(ShortenDecode, OverflowsFollowTheOrderOfEvaluation) {
    const std::int64_t p62 = std::int64_t{1} << 62;
    const std::int64_t above = p62 + (std::int64_t{1} << 40);
    // A stream of one channel, blocks of one sample, climbed to `start`.
    const auto stream = [](std::uint64_t maxnlpc, std::uint64_t nmean, std::int64_t start, auto&& rest) {
        StreamBuilder b(5, 1, 1, maxnlpc, nmean);
        Climber(b).reach(start);
        rest(b);
        return b.bytes();
    };
    struct Case {
        const char* name;
        std::vector<std::uint8_t> stream;
        std::string error;  // empty: decodes
    };
    const Case cases[] = {
        {"DIFF2 forms 2*s1 first", stream(0, 0, above, [](auto& b) { b.diff(2, 0, {0}).quit(); }), kOverflow},
        {"DIFF2 adds r to 2*s1 next", stream(0, 0, p62 - 1, [](auto& b) { b.diff(2, 2, {2}).quit(); }), kOverflow},
        {"DIFF2 at the edge", stream(0, 0, p62 - 1, [](auto& b) { b.diff(2, 2, {1}).quit(); }), ""},
        {"DIFF3 forms 3*s1 first", stream(0, 0, p62, [](auto& b) { b.diff(3, 0, {0}).quit(); }), kOverflow},
        {"block mean sum",
         stream(0, 1, above,
                [](auto& b) {
                    b.blocksize(2).diff(1, 0, {0, 0}).quit();
                }),
         kOverflow},
        {"block mean rounding",
         stream(0, 1, p62 + 1,
                [](auto& b) {
                    b.blocksize(2).diff(1, 1, {-1, -1}).quit();
                }),
         kOverflow},
        {"no block mean without nmean",
         stream(0, 0, above,
                [](auto& b) {
                    b.blocksize(2).diff(1, 0, {0, 0}).quit();
                }),
         ""},
        {"an overflow before the end of the stream, in the same block",
         stream(0, 0, p62 - 1, [](auto& b) { b.blocksize(3).diff(2, 2, {2}); }), kOverflow},
        {"the end of the stream before an overflow, in the same block",
         stream(0, 0, p62 - 1, [](auto& b) { b.blocksize(3).diff(2, 2, {0}); }), kPastEnd},
        {"the end of the stream before the block mean",
         stream(0, 1, above,
                [](auto& b) {
                    b.blocksize(3).diff(1, 0, {0, 0});
                }),
         kPastEnd},
        {"running mean", stream(0, 2, above, [](auto& b) { b.diff(0, 0, {0}).quit(); }), kOverflow},
        {"running mean before the residual width", stream(0, 2, above, [](auto& b) { b.diff(0, 32, {}).quit(); }),
         kOverflow},
        {"QLPC product", stream(1, 0, p62, [](auto& b) { b.qlpc(0, {2}, {0}).quit(); }), kOverflow},
        {"QLPC sum",
         stream(2, 0, p62,
                [](auto& b) {
                    b.qlpc(0, {1, 1}, {0}).quit();
                }),
         kOverflow},
        {"QLPC rounding term", stream(1, 0, p62 - 1, [](auto& b) { b.qlpc(0, {2}, {0}).quit(); }), kOverflow},
        {"QLPC at the edge", stream(1, 0, p62 - 1, [](auto& b) { b.qlpc(0, {1}, {0}).quit(); }), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string want = c.error.empty() ? "<decoded>" : c.error;
        EXPECT_EQ(error_of(decode(c.stream)), want);
        auto ref = reference_decode(c.stream);
        EXPECT_EQ(std::holds_alternative<std::string>(ref) ? std::get<std::string>(ref) : "<decoded>", want);
    }
}

TEST(ShortenDecode, DecodedLengthLimit) {
    Limits limits;
    limits.max_decoded_samples = 12;
    const auto stream = [](int blocks, std::uint64_t type = 5) {
        StreamBuilder b(type, 2, 4, 0, 0);
        for (int i = 0; i < blocks; ++i) b.zero();
        return b.quit().bytes();
    };
    expect_decodes(stream(3), {2, false, std::vector<std::int16_t>(8, 0)}, limits);
    EXPECT_EQ(error_of(decode(stream(4), limits)), kTooLong);
    // The count is checked after the block mean, before the mu-law domain.
    {
        StreamBuilder b(5, 1, 1, 0, 1);
        Climber climber(b);
        climber.reach(std::int64_t{1} << 62);
        b.blocksize(2).diff(1, 0, {0, 0}).quit();
        Limits tight;
        tight.max_decoded_samples = climber.blocks() + 1;
        EXPECT_EQ(error_of(decode(b.bytes(), tight)), kOverflow);
    }
    const auto count_first =
        StreamBuilder(8, 1, 16, 0, 0).diff(0, 9, std::vector<std::int64_t>(16, 300)).quit().bytes();
    EXPECT_EQ(error_of(decode(count_first, limits)), kTooLong);
    limits.max_decoded_samples = 16;
    EXPECT_EQ(error_of(decode(count_first, limits)),
              "shorten type-8 reconstructed value 300 is outside the 8-bit mu-law domain");
}

// 2^30 samples at full size: 2 GiB of output. Run with
// --gtest_also_run_disabled_tests.
TEST(ShortenDecode, DISABLED_FullSizeDecodedLengthLimit) {
    StreamBuilder b(5, 1, kMaxBlocksize, 0, 0);
    for (int i = 0; i < 64; ++i) b.zero();
    auto at_limit = b;
    at_limit.quit();
    b.zero().quit();
    {
        auto got = decode(at_limit.bytes());
        ASSERT_TRUE(got) << got.error().message;
        EXPECT_EQ(got->samples.size(), kMaxDecodedSamples);
    }
    EXPECT_EQ(error_of(decode(b.bytes())), kTooLong);
}

TEST(ShortenDecode, RunningMeanTable) {
    struct Case {
        std::vector<std::int64_t> means;
        std::uint64_t nmean;
        std::int64_t want;  // INT64_MIN: overflow
        std::uint32_t shift = 0;
    };
    const std::int64_t max = INT64_MAX;
    const Case cases[] = {
        {{}, 0, 0},
        {{100, 200}, 0, 0},
        {{}, 4, 0},
        {{6}, 2, 3},                   // (6 + 1) / 2, the missing mean counts as zero
        {{-7}, 2, -3},                 // (-7 + 1) / 2 truncates toward zero
        {{1000, 1, 2, 3}, 3, 2},       // only the last three: (6 + 1) / 3
        {{max, -1}, 2, max / 2},       // (max - 1 + 1) / 2
        {{max - 1, 1}, 4, INT64_MIN},  // the sum fits, adding nmean / 2 does not
        {{max, 1, -1}, 3, INT64_MIN},  // oldest first: max + 1 overflows before the -1
        {{1, -1, max}, 3, INT64_MIN},  // max + 1 (nmean / 2)
        {{-1, max}, 2, max / 2},
        {{6}, 2, 1, 1},    // the stored means are scaled: (6 + 1) / 2 >> 1
        {{-7}, 2, -2, 1},  // -3 >> 1 rounds toward minus infinity
        {{-7}, 2, -1, 32},
        {{max, -1}, 2, 0, 62},
    };
    for (const Case& c : cases) {
        auto got = coffset(c.means, c.nmean, 2, c.shift);
        if (c.want == INT64_MIN) {
            ASSERT_FALSE(got);
            EXPECT_EQ(got.error().message, kOverflow);
        } else {
            ASSERT_TRUE(got);
            EXPECT_EQ(*got, c.want);
        }
    }
}

// The constant-time window against the literal sum over every mean so far,
// with means large enough that partial sums overflow inside the window while
// the whole window's sum may not.
TEST(ShortenDecode, MeanWindowMatchesTheLiteralRunningMean) {
    std::mt19937_64 rng(9);
    int overflows = 0, means = 0;
    for (int round = 0; round < 400; ++round) {
        const std::uint64_t nmean = round % 5 == 0 ? 0 : 1 + rng() % (round % 3 == 0 ? 40 : 6);
        const int scale = static_cast<int>(rng() % 4);  // small, 2^61, 2^62, near the limit
        MeanWindow window(nmean);
        std::vector<std::int64_t> all;
        for (int step = 0; step < 120; ++step) {
            const auto got = window.running_mean();
            const auto want = coffset(all, nmean);
            ASSERT_EQ(got.has_value(), want.has_value()) << "round " << round << " step " << step;
            if (got) {
                ASSERT_EQ(*got, *want);
                ++means;
            } else {
                ++overflows;
            }
            std::int64_t m = static_cast<std::int64_t>(rng() % 2001) - 1000;
            if (scale == 1) m = static_cast<std::int64_t>(rng() >> 2) * (rng() % 2 ? 1 : -1) / 2;
            if (scale == 2) m = static_cast<std::int64_t>(rng() >> 1) * (rng() % 2 ? 1 : -1) / 2;
            if (scale == 3)
                m = rng() % 3 == 0 ? INT64_MAX - static_cast<std::int64_t>(rng() % 40)
                                   : -static_cast<std::int64_t>(rng() >> 1);
            window.push(m);
            all.push_back(m);
        }
    }
    EXPECT_GT(overflows, 1000);
    EXPECT_GT(means, 1000);
}

// Brute force: every candidate formed in 128 bits.
std::uint8_t ulaw_byte_by_candidates(std::int64_t value, std::uint32_t shift) {
    const unsigned __int128 m =
        value >= 0 ? static_cast<unsigned __int128>(value) : static_cast<unsigned __int128>(~value);
    unsigned __int128 q = 127, b = 0;
    for (std::uint32_t i = 0; i <= shift; ++i) {
        if (i > 0) b = b / 2 + 8 * i;
        q = std::min(q, (m << (shift - i)) + b);
    }
    return static_cast<std::uint8_t>(value >= 0 ? 0xFF - q : 0x7F - q);
}

TEST(ShortenDecode, MuLawReEncoding) {
    struct Case {
        std::int64_t value;
        std::uint32_t shift;
        int want;  // -1: outside the domain
    };
    const Case cases[] = {
        {0, 0, 0xFF},       {127, 0, 0x80},        {-1, 0, 0x7F},         {-128, 0, 0x00},   {128, 0, -1},
        {-129, 0, -1},      {INT64_MIN, 0, -1},    {5, 1, 0xF5},          {-6, 1, 0x75},     {9, 1, 0xFF - 17},
        {119, 1, 0x80},     {1000, 3, 0x80},       {3, 2, 0xFF - 12},     {4, 2, 0xFF - 16}, {12, 2, 0xFF - 32},
        {13, 2, 0xFF - 33}, {INT64_MAX, 32, 0x80}, {INT64_MIN, 32, 0x00}, {0, 32, 0xFF},     {-1, 32, 0x7F},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.value) + " << " + std::to_string(c.shift));
        auto got = ulaw_value_to_byte(c.value, c.shift);
        if (c.want < 0) {
            ASSERT_FALSE(got);
            EXPECT_EQ(got.error().message, "shorten type-8 reconstructed value " + std::to_string(c.value) +
                                               " is outside the 8-bit mu-law domain");
            EXPECT_EQ(got.error().kind, ErrorKind::Unsupported);
        } else {
            ASSERT_TRUE(got);
            EXPECT_EQ(*got, c.want);
        }
    }
    for (std::uint32_t shift = 1; shift <= 32; ++shift)
        for (std::int64_t v = -600; v <= 600; ++v)
            ASSERT_EQ(*ulaw_value_to_byte(v, shift), ulaw_byte_by_candidates(v, shift));
}

// Random streams, valid and broken, against the literal decoder: same
// samples or the same first error.
TEST(ShortenDecode, MatchesTheLiteralDecoder) {
    std::mt19937_64 rng(77);
    const auto pick = [&](std::uint64_t n) { return rng() % n; };
    int decoded = 0, failed = 0;
    std::map<std::string, int> errors_seen;
    for (int round = 0; round < 3000; ++round) {
        const std::uint64_t type = pick(20) == 0 ? 4 : std::vector<std::uint64_t>{3, 5, 8}[pick(3)];
        // A quarter of the rounds take QLPC orders up to 32, the vector
        // loop's, mostly with stable filters.
        const bool high_orders = pick(4) == 0;
        const std::uint64_t channels = 1 + pick(3), maxnlpc = high_orders ? 7 + pick(26) : pick(5), nmean = pick(5);
        // Big rounds grow values with long third-order blocks and rare
        // large residuals until the arithmetic overflows.
        const bool big_values = pick(4) == 0;
        const auto new_blocksize = [&] { return big_values ? 200 + pick(1000) : 1 + pick(12); };
        std::uint64_t blocksize_now = new_blocksize();
        StreamBuilder b(type, channels, blocksize_now, maxnlpc, nmean, pick(3));
        const int commands = static_cast<int>(pick(14));
        for (int i = 0; i < commands; ++i) {
            const std::uint64_t what = big_values && pick(2) ? 3 : pick(12);
            const std::uint64_t width = big_values ? 10 + pick(10) : pick(type == 8 ? 4 : 7);
            const auto residuals = [&](std::size_t n) {
                std::vector<std::int64_t> r(n);
                for (auto& v : r) {
                    const std::int64_t span = std::int64_t{1} << width;
                    v = static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(2 * span)) - span;
                    if (big_values && pick(64) == 0)  // an impulse with a unary part of up to 2^12 zeros
                        v = static_cast<std::int64_t>(rng() % (span << 13)) * (pick(2) ? 1 : -1);
                }
                return r;
            };
            const std::size_t n = blocksize_now;
            if (what < 4) {
                b.diff(static_cast<unsigned>(what), width, residuals(n));
            } else if (what == 4) {
                std::vector<std::int64_t> a(high_orders ? maxnlpc - pick(3) : pick(maxnlpc + 2));
                for (auto& x : a) x = static_cast<std::int64_t>(pick(64)) - 32;
                if (high_orders && !a.empty() && pick(4) != 0) {
                    for (auto& x : a) x = static_cast<std::int64_t>(pick(5)) - 2;
                    a[0] = 24 + static_cast<std::int64_t>(pick(8));
                }
                b.qlpc(width, a, residuals(n));
            } else if (what == 5) {
                b.zero();
            } else if (what == 6) {
                blocksize_now = pick(30) == 0 ? 0 : new_blocksize();
                b.blocksize(blocksize_now);
            } else if (what == 7) {
                b.bitshift(pick(10) == 0 ? 32 + pick(3) : pick(4));
            } else if (what == 8) {
                b.verbatim(std::vector<std::uint8_t>(pick(4), 0xA5));
            } else if (what == 9 && pick(10) == 0) {
                b.code(10 + pick(3));
            }
        }
        if (pick(10) != 0) b.quit();
        auto stream = b.bytes();
        if (pick(5) == 0 && stream.size() > 5) stream.resize(5 + pick(stream.size() - 5));
        if (pick(5) == 0 && stream.size() > 5)
            stream[5 + pick(stream.size() - 5)] ^= static_cast<std::uint8_t>(1u << pick(8));
        const std::uint64_t limit = pick(4) == 0 ? 1 + pick(60) : 100000;

        Limits limits;
        limits.max_decoded_samples = limit;
        const auto got = decode(stream, limits);
        const auto want = reference_decode(stream, limit);
        if (const auto* message = std::get_if<std::string>(&want)) {
            ASSERT_EQ(error_of(got), *message) << "round " << round;
            ++failed;
            ++errors_seen[*message];
        } else {
            const auto& audio = std::get<fuzz::ReferenceAudio>(want);
            ASSERT_TRUE(got) << "round " << round << ": " << got.error().message;
            ASSERT_EQ(got->channel_count, audio.channel_count);
            ASSERT_EQ(got->is_ulaw, audio.is_ulaw);
            ASSERT_EQ(samples_of(*got), as_output(audio.is_ulaw, audio.samples)) << "round " << round;
            ++decoded;
        }
    }
    EXPECT_GT(decoded, 500);
    EXPECT_GT(failed, 500);
    // The corpus reaches the checks that matter most for the order of errors.
    for (const std::string& message : {kPastEnd, kOverflow, kTooLong}) EXPECT_GT(errors_seen[message], 10) << message;
}

}  // namespace
}  // namespace korrin::shorten

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "block_source.hpp"
#include "codecs/codecs.hpp"
#include "shorten/output.hpp"
#include "shorten_builder.hpp"
#include "testdata.hpp"

namespace korrin::codecs {
namespace {

// One channel of sample type `type`, one DIFF0 block (no block means, so
// the values are the residuals), then QUIT.
std::vector<std::uint8_t> stream_of(std::uint64_t type, const std::vector<std::int64_t>& values) {
    test_support::StreamBuilder stream(type, 1, values.empty() ? 1 : values.size(), 0, 0);
    if (!values.empty()) stream.diff(0, 20, values);
    return stream.quit().bytes();
}

TEST(ShortenKernel, SamplesBecomeLittleEndian16Bit) {
    struct Case {
        const char* name;
        std::uint64_t type;
        std::vector<std::int64_t> values;
        bool ulaw;
        std::vector<std::uint8_t> bytes;
    };
    const Case cases[] = {
        {"no samples", 5, {}, false, {}},
        {"no mu-law samples", 8, {}, true, {}},
        {"clamped",
         3,
         {40000, -40000, -32768, 32767, 0, -1},
         false,
         {0xFF, 0x7F, 0x00, 0x80, 0x00, 0x80, 0xFF, 0x7F, 0x00, 0x00, 0xFF, 0xFF}},
        // Values -128, 0 and 127 are the mu-law bytes 0x00, 0xFF and 0x80.
        {"mu-law expanded", 8, {-128, 0, 127}, true, {0x84, 0x82, 0x00, 0x00, 0x7C, 0x7D}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto got = shorten_to_pcm(stream_of(c.type, c.values));
        ASSERT_TRUE(got) << got.error().message;
        EXPECT_EQ(got->channel_count, 1u);
        EXPECT_EQ(got->is_ulaw, c.ulaw);
        EXPECT_EQ(std::vector<std::uint8_t>(got->pcm_bytes.begin(), got->pcm_bytes.end()), c.bytes);
    }
}

// Every mu-law code, and more values than a vector register holds, in an
// order that mixes signs: each value -128..127 is the code 0xFF - v or
// 0x80 + v, expanded as g711's own ulaw_to_linear does, and the checksum
// is the sum of the codes modulo 2^16.
TEST(ShortenKernel, EveryMuLawCodeExpandsAsG711AndIsSummed) {
    std::vector<std::int64_t> values;
    for (int round = 0; round < 3; ++round)
        for (int i = 0; i < 256; ++i) values.push_back(((i * 97 + round * 31) % 256) - 128);
    auto got = shorten_to_pcm(stream_of(8, values));
    ASSERT_TRUE(got) << got.error().message;
    ASSERT_EQ(got->pcm_bytes.size(), 2 * values.size());
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::int64_t v = values[i];
        const auto code = static_cast<std::uint8_t>(v >= 0 ? 0xFF - v : 0x80 + v);
        sum += code;
        const auto want = static_cast<std::uint16_t>(ulaw_to_linear(code));
        const auto have =
            static_cast<std::uint16_t>(got->pcm_bytes.data()[2 * i] | got->pcm_bytes.data()[2 * i + 1] << 8);
        ASSERT_EQ(have, want) << "value " << v << " code " << unsigned{code};
    }
    EXPECT_EQ(shorten::decode(stream_of(8, values))->code_checksum, static_cast<std::uint16_t>(sum));

    // Kept as codes, 0x7F and 0xFF (both silence once expanded) stay apart.
    shorten::OutputOptions codes_kept;
    codes_kept.ulaw_codes = true;
    auto codes = shorten_to_pcm(stream_of(8, values), codes_kept);
    ASSERT_TRUE(codes) << codes.error().message;
    ASSERT_EQ(codes->pcm_bytes.size(), 2 * values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::int64_t v = values[i];
        const auto code = static_cast<std::uint16_t>(v >= 0 ? 0xFF - v : 0x80 + v);
        const auto have =
            static_cast<std::uint16_t>(codes->pcm_bytes.data()[2 * i] | codes->pcm_bytes.data()[2 * i + 1] << 8);
        ASSERT_EQ(have, code) << "value " << v;
    }
    EXPECT_EQ(shorten::decode(stream_of(8, values), {}, codes_kept)->code_checksum, static_cast<std::uint16_t>(sum));
}

// The same with one to three channels, lengths that leave tails beside
// the vector steps, and the frames interleaved as they are expanded.
TEST(ShortenKernel, MuLawChannelsExpandAsTheyInterleave) {
    for (const std::uint64_t channels : {1u, 2u, 3u}) {
        for (const std::size_t frames :
             {std::size_t{1}, std::size_t{15}, std::size_t{16}, std::size_t{47}, std::size_t{300}}) {
            SCOPED_TRACE(::testing::Message() << channels << " channels, " << frames << " frames");
            test_support::StreamBuilder w(8, channels, frames, 0, 0);
            std::vector<std::uint8_t> codes(frames * channels);  // interleaved
            for (std::uint64_t c = 0; c < channels; ++c) {
                std::vector<std::int64_t> values;
                for (std::size_t i = 0; i < frames; ++i) {
                    const int v = static_cast<int>((i * 37 + c * 101) % 256) - 128;
                    values.push_back(v);
                    codes[i * channels + c] = static_cast<std::uint8_t>(v >= 0 ? 0xFF - v : 0x80 + v);
                }
                w.diff(0, 20, values);
            }
            w.quit();
            const auto stream = w.bytes();
            auto got = shorten_to_pcm(stream);
            ASSERT_TRUE(got) << got.error().message;
            ASSERT_EQ(got->pcm_bytes.size(), 2 * codes.size());
            std::uint32_t sum = 0;
            for (std::size_t i = 0; i < codes.size(); ++i) {
                sum += codes[i];
                const auto have =
                    static_cast<std::uint16_t>(got->pcm_bytes.data()[2 * i] | got->pcm_bytes.data()[2 * i + 1] << 8);
                ASSERT_EQ(have, static_cast<std::uint16_t>(ulaw_to_linear(codes[i]))) << "sample " << i;
            }
            EXPECT_EQ(shorten::decode(stream)->code_checksum, static_cast<std::uint16_t>(sum));
        }
    }
}

TEST(ShortenKernel, ErrorsPassThroughUnchanged) {
    const std::vector<std::uint8_t> wav = {'R', 'I', 'F', 'F', 0, 0, 0, 0};
    auto got = shorten_to_pcm(wav);
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().message, "not a shorten stream (missing 'ajkg' magic)");
    auto bad_ulaw = shorten_to_pcm(stream_of(8, {1, 200}));
    ASSERT_FALSE(bad_ulaw);
    EXPECT_EQ(bad_ulaw.error().kind, ErrorKind::Unsupported);
    EXPECT_EQ(bad_ulaw.error().message, "shorten type-8 reconstructed value 200 is outside the 8-bit mu-law domain");
}

TEST(ShortenKernel, LeavesTheRequestedRoomAroundThePcm) {
    auto got = shorten_to_pcm(stream_of(5, {1, -2}), shorten::OutputOptions{Framing{44, 1}});
    ASSERT_TRUE(got);
    ByteBuffer& pcm = got->pcm_bytes;
    EXPECT_EQ(pcm.size(), 4u);
    EXPECT_EQ(pcm.front_room(), 44u);
    EXPECT_EQ(pcm.back_room(), 1u);
    EXPECT_EQ(std::vector<std::uint8_t>(pcm.begin(), pcm.end()), (std::vector<std::uint8_t>{1, 0, 0xFE, 0xFF}));
}

TEST(ShortenKernel, KeepsAtMostMaxFramesInOneBlockFromTheSource) {
    struct Case {
        std::uint64_t max_frames;
        bool preallocate;
        std::vector<std::uint8_t> bytes;
        std::vector<std::size_t> requests;  // block sizes asked of the source
        bool whole;                         // the result fills its block
    };
    const std::vector<std::uint8_t> all = {1, 0, 0xFE, 0xFF, 3, 0};
    const Case cases[] = {
        {0, false, {}, {0}, true},
        {2, false, {1, 0, 0xFE, 0xFF}, {4}, true},
        {3, false, all, {6}, true},
        {4, false, all, {6}, true},
        {UINT64_MAX, false, all, {6}, true},
        // Reserved up front for the expected count.
        {2, true, {1, 0, 0xFE, 0xFF}, {4}, true},
        {3, true, all, {6}, true},
        // The stream falls short of the count: what came, in a larger block.
        {4, true, all, {8}, false},
        // A count no stream of this size could plausibly hold: no block up front.
        {std::uint64_t{1} << 40, true, all, {6}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.max_frames << (c.preallocate ? " preallocated" : ""));
        test_support::RecordingSource source;
        {
            shorten::OutputOptions output;
            output.source = source.get();
            output.max_frames = c.max_frames;
            output.preallocate = c.preallocate;
            auto got = shorten_to_pcm(stream_of(5, {1, -2, 3}), output);
            ASSERT_TRUE(got);
            EXPECT_EQ(std::vector<std::uint8_t>(got->pcm_bytes.begin(), got->pcm_bytes.end()), c.bytes);
            EXPECT_EQ(source.sizes, c.requests);
            EXPECT_EQ(got->pcm_bytes.whole_block_from(source.get()) != nullptr, c.whole);
        }
        EXPECT_EQ(source.outstanding(), 0u);
    }
}

// A stream of unknown length is gathered in chunks that the thread keeps
// for its next decode: longer than a few chunks, with three channels (whose
// frames do not fill a chunk exactly) as well as one, and after a decode
// that failed halfway with chunks in hand, each decode gives every sample
// in its place.
TEST(ShortenKernel, ChunksKeptBetweenDecodesGiveTheSameSamples) {
    constexpr std::size_t kBlock = 4096;
    for (const std::uint64_t channels : {1u, 3u}) {
        SCOPED_TRACE(::testing::Message() << channels << " channels");
        const std::size_t blocks = (5 * shorten::OutputChunks::kChunkSamples / 2) / (channels * kBlock) + 1;
        test_support::StreamBuilder w(5, channels, kBlock, 0, 0);
        std::vector<std::int16_t> want(blocks * kBlock * channels);
        for (std::size_t b = 0; b < blocks; ++b)
            for (std::uint64_t c = 0; c < channels; ++c) {
                std::vector<std::int64_t> values(kBlock);
                for (std::size_t i = 0; i < kBlock; ++i) {
                    const std::size_t frame = b * kBlock + i;
                    values[i] = static_cast<std::int64_t>((frame * 31 + c * 1009) % 4000) - 2000;
                    want[frame * channels + c] = static_cast<std::int16_t>(values[i]);
                }
                w.diff(0, 12, values);
            }
        const auto truncated = w.bytes();
        const auto stream = w.quit().bytes();
        for (int round = 0; round < 3; ++round) {
            SCOPED_TRACE(round);
            if (round == 1) {
                // Stops without QUIT after every block: the chunks it filled go back.
                ASSERT_FALSE(shorten_to_pcm(ByteView(truncated).first(truncated.size() - 1)));
            }
            auto got = shorten_to_pcm(stream);
            ASSERT_TRUE(got) << got.error().message;
            ASSERT_EQ(got->pcm_bytes.size(), 2 * want.size());
            EXPECT_EQ(std::memcmp(got->pcm_bytes.data(), want.data(), 2 * want.size()), 0);
            EXPECT_GE(shorten::OutputChunks::kept(), 3u);
            EXPECT_LE(shorten::OutputChunks::kept(), shorten::OutputChunks::kKeptChunks);
        }
    }
}

TEST(ShortenKernel, PcmTableToLe) {
    const std::vector<std::int16_t> samples = {0, 1, -1, 256, -32768, 32767, 0x1234};
    auto got = pcm_table_to_le(samples);
    ASSERT_TRUE(got);
    EXPECT_EQ(std::vector<std::uint8_t>(got->begin(), got->end()),
              (std::vector<std::uint8_t>{0, 0, 1, 0, 0xFF, 0xFF, 0, 1, 0, 0x80, 0xFF, 0x7F, 0x34, 0x12}));
    auto empty = pcm_table_to_le({});
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
}

std::vector<std::uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The Shorten payloads of real SPHERE files decode to whole frames of at
// least sample_count (37120); tests/python/test_shorten.py checks their bytes
// against the SHA-256 of the files' own tool.
TEST(ShortenKernel, RealWorldStreams) {
    KORRIN_SKIP_WITHOUT_REAL_FILES();
    struct Case {
        const char* file;
        std::uint64_t channels;
        bool ulaw;
        std::size_t min_bytes;
    };
    const Case cases[] = {
        {"123_1pcle_shn.sph", 1, false, 37120 * 2},
        {"123_2ulaw_shn.sph", 2, true, 37120 * 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const auto file = read_file(test_support::real_sphere(c.file));
        ASSERT_GT(file.size(), 1024u);
        auto got = shorten_to_pcm(ByteView(file).subspan(1024));
        ASSERT_TRUE(got) << got.error().message;
        EXPECT_EQ(got->channel_count, c.channels);
        EXPECT_EQ(got->is_ulaw, c.ulaw);
        EXPECT_GE(got->pcm_bytes.size(), c.min_bytes);
        EXPECT_EQ(got->pcm_bytes.size() % (2 * c.channels), 0u);
    }
}

}  // namespace
}  // namespace korrin::codecs

#include "extract/extract.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sphere_builder.hpp"
#include "transcode/transcode.hpp"

namespace korrin::extract {
namespace {

using test_support::Bytes;
using test_support::Field;
using test_support::required;
using test_support::sphere_file;
using test_support::with;

TEST(ResolveRange, TakesStartStopAndFramesAsSoundfileDoes) {
    struct Case {
        std::int64_t start;
        std::optional<std::int64_t> stop;
        std::int64_t frames;
        FrameRange want;
    };
    const Case cases[] = {
        {0, std::nullopt, -1, {0, 10}},
        {3, std::nullopt, -1, {3, 10}},
        {-3, std::nullopt, -1, {7, 10}},
        {0, -2, -1, {0, 8}},
        {20, std::nullopt, -1, {10, 10}},
        {5, 2, -1, {5, 5}},
        {8, std::nullopt, 4, {8, 10}},
        {0, std::nullopt, 0, {0, 0}},
        {-20, std::nullopt, -1, {0, 10}},
        {0, 100, -1, {0, 10}},
        {2, 6, -1, {2, 6}},
        {INT64_MIN, INT64_MAX, -1, {0, 10}},
        {INT64_MAX, std::nullopt, 5, {10, 10}},
        {4, std::nullopt, INT64_MAX, {4, 10}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(resolve_range(c.start, c.stop, c.frames, 10), c.want) << c.start << " " << c.frames;
}

TEST(ResolveChannels, CountsNegativeChannelsFromTheLast) {
    EXPECT_EQ(*resolve_channels({}, 3), (std::vector<std::uint32_t>{0, 1, 2}));
    const std::int64_t picks[] = {2, -1, 0, -3, 1};
    EXPECT_EQ(*resolve_channels(picks, 3), (std::vector<std::uint32_t>{2, 2, 0, 0, 1}));
    for (const std::int64_t bad : {std::int64_t{3}, std::int64_t{-4}, INT64_MIN, INT64_MAX}) {
        const auto refused = resolve_channels({&bad, 1}, 3);
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error().message,
                  "channel " + std::to_string(bad) + " is out of range for a file of 3 channels");
    }
    const std::int64_t one = 1;
    EXPECT_EQ(resolve_channels({&one, 1}, 1).error().message, "channel 1 is out of range for a file of 1 channel");
}

using Stored = payload::Form;

template <class T>
std::vector<T> converted(const Bytes& in, Stored stored, std::size_t channels, std::vector<std::uint32_t> picks,
                         Dtype dtype) {
    const std::size_t frames = in.size() / (channels * payload::width_of(stored));
    std::vector<T> out(frames * picks.size());
    convert(in.data(), stored, channels, picks, frames, dtype, reinterpret_cast<std::uint8_t*>(out.data()));
    return out;
}

TEST(Convert, GivesLibsndfilesValuesForEachElementType) {
    const Bytes le16 = {0x00, 0x80, 0xFF, 0x7F, 0xFF, 0xFF, 0x01, 0x00};  // -32768 32767 -1 1
    const Bytes be16 = {0x80, 0x00, 0x7F, 0xFF, 0xFF, 0xFF, 0x00, 0x01};
    for (const auto& [in, stored] : {std::pair{le16, Stored::Le16}, std::pair{be16, Stored::Be16}}) {
        EXPECT_EQ(converted<std::int16_t>(in, stored, 1, {0}, Dtype::Int16),
                  (std::vector<std::int16_t>{-32768, 32767, -1, 1}));
        EXPECT_EQ(converted<std::int32_t>(in, stored, 1, {0}, Dtype::Int32),
                  (std::vector<std::int32_t>{INT32_MIN, 32767 * 65536, -65536, 65536}));
        EXPECT_EQ(converted<float>(in, stored, 1, {0}, Dtype::Float32),
                  (std::vector<float>{-1.0f, 32767.0f / 32768, -1.0f / 32768, 1.0f / 32768}));
        EXPECT_EQ(converted<double>(in, stored, 1, {0}, Dtype::Float64),
                  (std::vector<double>{-1.0, 32767.0 / 32768, -1.0 / 32768, 1.0 / 32768}));
    }
    // 32-bit: the high half for int16 (rounded down), v / 2^31 as float
    // after v is rounded to float.
    const std::int32_t values[] = {INT32_MIN, INT32_MAX, -1, 65535, -65537, 16777217};
    Bytes le32(sizeof values), be32;
    std::memcpy(le32.data(), values, sizeof values);
    for (std::size_t i = 0; i < le32.size(); i += 4)
        be32.insert(be32.end(), {le32[i + 3], le32[i + 2], le32[i + 1], le32[i]});
    for (const auto& [in, stored] : {std::pair{le32, Stored::Le32}, std::pair{be32, Stored::Be32}}) {
        EXPECT_EQ(converted<std::int16_t>(in, stored, 1, {0}, Dtype::Int16),
                  (std::vector<std::int16_t>{-32768, 32767, -1, 0, -2, 256}));
        EXPECT_EQ(converted<std::int32_t>(in, stored, 1, {0}, Dtype::Int32),
                  std::vector<std::int32_t>(values, values + 6));
        EXPECT_EQ(converted<float>(in, stored, 1, {0}, Dtype::Float32),
                  (std::vector<float>{-1.0f, 1.0f, -0x1p-31f, 65535 * 0x1p-31f, -65537 * 0x1p-31f, 0x1p-7f}));
        EXPECT_EQ(converted<double>(in, stored, 1, {0}, Dtype::Float64),
                  (std::vector<double>{-1.0, INT32_MAX * 0x1p-31, -0x1p-31, 65535 * 0x1p-31, -65537 * 0x1p-31,
                                       16777217 * 0x1p-31}));
    }
    const Bytes codes = {0x00, 0x7F, 0x80, 0xFF, 0xD5, 0x55};
    EXPECT_EQ(converted<std::int16_t>(codes, Stored::Ulaw, 1, {0}, Dtype::Int16),
              (std::vector<std::int16_t>{-32124, 0, 32124, 0, 716, -716}));
    EXPECT_EQ(converted<std::int16_t>(codes, Stored::Alaw, 1, {0}, Dtype::Int16),
              (std::vector<std::int16_t>{-5504, -848, 5504, 848, 8, -8}));
    EXPECT_EQ(converted<float>(codes, Stored::Ulaw, 1, {0}, Dtype::Float32)[0], -32124.0f / 32768);
}

TEST(Convert, KeepsTheChannelsPickedInTheirOrder) {
    Bytes in;  // three frames of three channels: 10f + c
    for (std::uint8_t f = 0; f < 3; ++f)
        for (std::uint8_t c = 0; c < 3; ++c) in.insert(in.end(), {static_cast<std::uint8_t>(10 * f + c), 0});
    EXPECT_EQ(converted<std::int16_t>(in, Stored::Le16, 3, {0, 1, 2}, Dtype::Int16),
              (std::vector<std::int16_t>{0, 1, 2, 10, 11, 12, 20, 21, 22}));
    EXPECT_EQ(converted<std::int16_t>(in, Stored::Le16, 3, {2}, Dtype::Int16), (std::vector<std::int16_t>{2, 12, 22}));
    EXPECT_EQ(converted<std::int16_t>(in, Stored::Le16, 3, {2, 0, 0}, Dtype::Int16),
              (std::vector<std::int16_t>{2, 0, 0, 12, 10, 10, 22, 20, 20}));
}

// The file's refusals are those of a whole conversion, in its order.
TEST(Reader, RefusesWhatAConversionRefusesWithItsMessage) {
    const Bytes two(8, 0);
    const std::vector<Bytes> files = {
        sphere_file(with(required(2, 1, 3), {"sample_coding", "pcm", "-s"}), two),
        sphere_file(with(required(2, 1, 2), {"sample_byte_format", "0123", "-s"}), two),
        sphere_file(with(required(2, 1, 2), {"sample_coding", "gsm", "-s"}), two),
        sphere_file(with(required(2, 1, 2), {"sample_coding", "ulaw", "-s"}), two),
        sphere_file(with(required(2, 1, 2), {"sample_coding", "pcm,embedded-wavpack-5.60", "-s"}), two),
        sphere_file(with(required(8, 1, 1), {"sample_coding", "gsm", "-s"}), Bytes(7, 0)),  // truncated first
        sphere_file(with(required(2, 1, 2), {"sample_coding", "pcm,embedded-shorten-v2.00", "-s"}), Bytes{'a', 'j'}),
        sphere_file(with(with(required(2, 1, 2), {"sample_checksum", "5"}), {"sample_byte_format", "01", "-s"}),
                    Bytes(4, 1)),
    };
    transcode::Options sph2wav;
    sph2wav.reader = format::Reader::Files;
    sph2wav.verify_checksum = true;
    for (const Bytes& file : files) {
        const auto expected = transcode::decode_pcm(file, nullptr, sph2wav);
        ASSERT_FALSE(expected);
        Reader reader;
        ASSERT_TRUE(reader.open(file));
        std::vector<std::uint8_t> out(64);
        const std::vector<Piece> pieces = {{{0, 2}, {0}, out.data()}};
        const auto read = reader.read(pieces, {Dtype::Int16, true, {}, nullptr});
        ASSERT_FALSE(read);
        EXPECT_EQ(read.error(), expected.error());
    }
}

TEST(Reader, ReadsAStoredPayloadsFramesFromDiskOrMemory) {
    std::vector<std::int16_t> samples(3 * 1000);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::int16_t>(i * 7 - 9000);
    Bytes payload(samples.size() * 2);
    std::memcpy(payload.data(), samples.data(), payload.size());
    const Bytes file = sphere_file(with(required(1000, 3, 2), {"sample_byte_format", "01", "-s"}), payload);
    const std::string path = ::testing::TempDir() + "extract_stored.sph";
    {
        std::FILE* out = std::fopen(path.c_str(), "wb");
        ASSERT_NE(out, nullptr);
        ASSERT_EQ(std::fwrite(file.data(), 1, file.size(), out), file.size());
        std::fclose(out);
    }
    for (const bool from_disk : {false, true}) {
        Reader reader;
        ASSERT_TRUE(from_disk ? reader.open(path) : reader.open(file));
        ASSERT_TRUE(reader.format());
        EXPECT_EQ(codec_of(*reader.format()), "pcm");
        std::vector<std::int16_t> a(990 * 3), b(5);
        const std::vector<Piece> pieces = {{{10, 1000}, {0, 1, 2}, reinterpret_cast<std::uint8_t*>(a.data())},
                                           {{500, 505}, {1}, reinterpret_cast<std::uint8_t*>(b.data())}};
        ASSERT_TRUE(reader.read(pieces, {Dtype::Int16, true, {}, nullptr}));
        EXPECT_TRUE(std::equal(a.begin(), a.end(), samples.begin() + 30));
        for (std::size_t f = 0; f < 5; ++f) EXPECT_EQ(b[f], samples[(500 + f) * 3 + 1]);
    }
    std::remove(path.c_str());
}

}  // namespace
}  // namespace korrin::extract

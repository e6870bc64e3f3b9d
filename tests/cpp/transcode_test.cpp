#include "transcode/transcode.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "block_source.hpp"
#include "sha256.hpp"
#include "sphere_builder.hpp"
#include "testdata.hpp"

namespace korrin::transcode {
namespace {

using test_support::Bytes;
using test_support::Field;
using test_support::Fields;
using test_support::required;
using test_support::sphere_file;
using test_support::with;

Bytes bytes_of(const ByteBuffer& buffer) { return Bytes(buffer.begin(), buffer.end()); }

std::uint32_t u32_at(const Bytes& file, std::size_t at) {
    return std::uint32_t{file[at]} | std::uint32_t{file[at + 1]} << 8 | std::uint32_t{file[at + 2]} << 16 |
           std::uint32_t{file[at + 3]} << 24;
}

std::uint16_t u16_at(const Bytes& file, std::size_t at) {
    return static_cast<std::uint16_t>(file[at] | file[at + 1] << 8);
}

Bytes pattern(std::size_t size) {
    Bytes out(size);
    for (std::size_t i = 0; i < size; ++i) out[i] = static_cast<std::uint8_t>(i * 131 + 7);
    return out;
}

// What a whole conversion should give: the PCM, or an error for both paths.
struct Case {
    const char* name;
    Bytes file;
    std::optional<Bytes> pcm;                             // decode_pcm's result; nullopt: it fails with `error`
    std::optional<DecodeError> wav_error = std::nullopt;  // transcode fails though decode_pcm succeeds
    DecodeError error = {};
};

// With a block source, a conversion gives the same result or error and asks
// for at most one block; a result is the whole of that block, and nothing
// stays out once the result is gone.
template <class Convert>
void check_with_source(const Case& c, Convert convert, const Result<ByteBuffer>& plain) {
    test_support::RecordingSource source;
    {
        auto got = convert(c.file, source.get());
        ASSERT_EQ(got.has_value(), plain.has_value());
        if (!got) {
            // A block may have been taken and given back: the Shorten
            // decoder's result is checked against the header afterwards.
            EXPECT_EQ(got.error(), plain.error());
        } else {
            EXPECT_EQ(bytes_of(*got), bytes_of(*plain));
            ASSERT_EQ(source.sizes.size(), 1u);
            EXPECT_EQ(source.sizes[0], got->size());
            EXPECT_NE(got->whole_block_from(source.get()), nullptr);
        }
        EXPECT_LE(source.sizes.size(), 1u);
    }
    EXPECT_EQ(source.outstanding(), 0u);
}

void run(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto pcm = decode_pcm(c.file);
        auto wav = transcode(c.file);
        check_with_source(
            c, [](ByteView sph, const BlockSource* s) { return decode_pcm(sph, s); }, pcm);
        check_with_source(
            c, [](ByteView sph, const BlockSource* s) { return transcode(sph, s); }, wav);
        if (!c.pcm) {
            ASSERT_FALSE(pcm.has_value());
            EXPECT_EQ(pcm.error(), c.error);
            ASSERT_FALSE(wav.has_value());
            EXPECT_EQ(wav.error(), c.error);
            continue;
        }
        ASSERT_TRUE(pcm.has_value()) << pcm.error().message;
        EXPECT_EQ(bytes_of(*pcm), *c.pcm);
        if (c.wav_error) {
            ASSERT_FALSE(wav.has_value());
            EXPECT_EQ(wav.error(), *c.wav_error);
            continue;
        }
        ASSERT_TRUE(wav.has_value()) << wav.error().message;
        const Bytes file = bytes_of(*wav);
        ASSERT_EQ(file.size(), 44 + c.pcm->size() + c.pcm->size() % 2);
        EXPECT_EQ(u32_at(file, 40), c.pcm->size());
        EXPECT_EQ(Bytes(file.begin() + 44, file.begin() + 44 + static_cast<std::ptrdiff_t>(c.pcm->size())), *c.pcm);
    }
}

TEST(Transcode, PayloadSizeAndCoding) {
    const Bytes payload = pattern(32001);
    const Bytes declared(payload.begin(), payload.begin() + 32000);
    const Fields mono16 = required(16000, 1, 2);
    Bytes shorter = payload;
    shorter.resize(31999);

    // A Shorten stream with a header whose sample_n_bytes would declare far
    // more than the stream holds: the whole payload still goes to the decoder.
    std::vector<std::int16_t> samples(2 * 500);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::int16_t>(i * 3001);
    const Bytes stream = test_support::shorten_stream(2, 100, samples);
    Bytes stream_pcm;
    for (const std::int16_t s : samples) {
        stream_pcm.push_back(static_cast<std::uint8_t>(s));
        stream_pcm.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(s) >> 8));
    }
    const Field shorten = {"sample_coding", "pcm,embedded-shorten-v2.00", "-s"};

    run({
        {"surplus payload ignored", sphere_file(mono16, payload), declared},
        {"exact payload", sphere_file(mono16, declared), declared},
        {"truncated payload", sphere_file(mono16, shorter), std::nullopt, std::nullopt,
         invalid("audio payload truncated: header declares 32000 bytes but only 31999 present")},
        {"empty payload, nothing declared", sphere_file(required(0, 2, 4), {}), Bytes{}},
        {"shorten without comma is not compressed: truncated",
         sphere_file(with(mono16, {"sample_coding", "embedded-shorten-v2.00", "-s"}), stream), std::nullopt,
         std::nullopt,
         invalid("audio payload truncated: header declares 32000 bytes but only ", stream.size(), " present")},
        {"shorten without comma is not compressed: unsupported",
         sphere_file(with(mono16, {"sample_coding", "embedded-shorten-v2.00", "-s"}), payload), std::nullopt,
         std::nullopt, unsupported(R"(sample_coding "embedded-shorten-v2.00" not supported yet)")},
        {"shorten gets the whole payload", sphere_file(with(required(500, 2, 8), shorten), stream), stream_pcm},
        {"shorten frames beyond sample_count are dropped", sphere_file(with(required(321, 2, 2), shorten), stream),
         Bytes(stream_pcm.begin(), stream_pcm.begin() + 321 * 4)},
        {"shorten one frame short", sphere_file(with(required(501, 2, 2), shorten), stream), std::nullopt, std::nullopt,
         invalid("shorten stream decoded 500 samples/channel, but the SPHERE header declares 501 "
                 "(truncated or QUIT came early)")},
        {"shorten with an unrepresentable declared length",
         sphere_file(with(required(4611686018427387904, 2, 1), shorten), stream), std::nullopt, std::nullopt,
         invalid("shorten stream decoded 500 samples/channel, but the SPHERE header declares "
                 "4611686018427387904 (truncated or QUIT came early)")},
        {"declared size overflows", sphere_file(required(4611686018427387904, 2, 1), payload), std::nullopt,
         std::nullopt, invalid("declared payload size overflows")},
        {"header error passes through", test_support::bytes_of("NIST_1B\n"), std::nullopt, std::nullopt,
         invalid("not a NIST SPHERE file (missing 'NIST_1A' magic)")},
        {"validation error passes through", sphere_file(required(1, 0, 2), payload), std::nullopt, std::nullopt,
         invalid("channel_count must be >= 1, got 0")},
    });
}

Fields rate_and_channels(const std::string& rate, const std::string& channels, const std::string& coding = "pcm") {
    return {{"sample_count", "1"},
            {"sample_rate", rate},
            {"channel_count", channels},
            {"sample_n_bytes", "2"},
            {"sample_coding", coding, "-s"}};
}

TEST(Transcode, WavLimitsComeAfterDecoding) {
    const Bytes frame2 = pattern(2);
    const Bytes many = pattern(2 * 65536);
    const Bytes first_131070(many.begin(), many.begin() + 131070);
    const Bytes first_131072 = many;
    run({
        {"largest mono 16-bit rate", sphere_file(rate_and_channels("2147483647", "1"), frame2), frame2},
        {"rate whose byte_rate overflows", sphere_file(rate_and_channels("2147483648", "1"), frame2), frame2,
         invalid("WAV byte_rate exceeds 32-bit field")},
        {"largest 32-bit rate reaches the writer", sphere_file(rate_and_channels("4294967295", "1"), frame2), frame2,
         invalid("WAV byte_rate exceeds 32-bit field")},
        {"rate beyond 32 bits", sphere_file(rate_and_channels("4294967296", "1"), frame2), frame2,
         invalid("sample_rate too large for WAV")},
        {"65535 channels reach the writer", sphere_file(rate_and_channels("1", "65535"), many), first_131070,
         invalid("WAV block_align exceeds 16-bit field")},
        {"65536 channels", sphere_file(rate_and_channels("1", "65536"), many), first_131072,
         invalid("channel_count too large for WAV")},
        {"channels checked before the rate", sphere_file(rate_and_channels("4294967296", "65536"), many), first_131072,
         invalid("channel_count too large for WAV")},
        {"decoding error first", sphere_file(rate_and_channels("4294967296", "65536", "flac"), many), std::nullopt,
         std::nullopt, unsupported(R"(sample_coding "flac" not supported yet)")},
    });
}

TEST(Transcode, WritesTheWavHeaderForEachCoding) {
    struct Expect {
        const char* name;
        Bytes file;
        std::uint16_t channels;
        std::uint16_t bits;
        Bytes pcm;
    };
    const Expect cases[] = {
        {"mu-law doubles",
         sphere_file(with(required(2, 2, 1), {"sample_coding", "mu-law", "-s"}), {0x80, 0xFF, 0x00, 0x7F}),
         2,
         16,
         {0x7C, 0x7D, 0, 0, 0x84, 0x82, 0, 0}},
        {"big-endian 32-bit",
         sphere_file(with(required(2, 1, 4), {"sample_byte_format", "10", "-s"}), {1, 2, 3, 4, 5, 6, 7, 8}),
         1,
         32,
         {4, 3, 2, 1, 8, 7, 6, 5}},
        {"odd PCM length is padded",
         sphere_file(with(required(1, 1, 1), {"sample_coding", "alaw", "-s"}), {0xD5}),
         1,
         16,
         {0x08, 0x00}},
    };
    for (const Expect& c : cases) {
        SCOPED_TRACE(c.name);
        auto wav = transcode(c.file);
        ASSERT_TRUE(wav.has_value()) << wav.error().message;
        const Bytes file = bytes_of(*wav);
        ASSERT_EQ(file.size(), 44 + c.pcm.size());
        EXPECT_EQ(u16_at(file, 20), 1);
        EXPECT_EQ(u16_at(file, 22), c.channels);
        EXPECT_EQ(u32_at(file, 24), 16000u);
        EXPECT_EQ(u16_at(file, 32), c.channels * c.bits / 8);
        EXPECT_EQ(u32_at(file, 28), 16000u * c.channels * c.bits / 8);
        EXPECT_EQ(u16_at(file, 34), c.bits);
        EXPECT_EQ(Bytes(file.begin() + 44, file.end()), c.pcm);
    }
}

TEST(Transcode, ASourceThatRunsOutOfMemoryFailsTheCall) {
    const Bytes pcm16 = sphere_file(required(4, 1, 2), pattern(8));
    const Bytes ulaw = sphere_file(with(required(4, 1, 1), {"sample_coding", "ulaw", "-s"}), pattern(4));
    std::vector<std::int16_t> samples(64);
    const Bytes shorten = sphere_file(with(required(64, 1, 2), {"sample_coding", "pcm,embedded-shorten-v2.00", "-s"}),
                                      test_support::shorten_stream(1, 16, samples));
    // The Shorten decoder asks once up front for the header's count and,
    // refused, decodes into its own chunks and asks again at the end.
    const std::pair<const Bytes*, std::size_t> cases[] = {{&pcm16, 1}, {&ulaw, 1}, {&shorten, 2}};
    for (const auto& [file, requests] : cases) {
        test_support::RecordingSource source;
        source.exhausted = true;
        auto wav = transcode(*file, source.get());
        ASSERT_FALSE(wav.has_value());
        EXPECT_EQ(wav.error().kind, ErrorKind::OutOfMemory);
        EXPECT_EQ(source.sizes.size(), requests);
        EXPECT_EQ(source.outstanding(), 0u);
    }
}

// ---- Real files ----------------------------------------------------------

TEST(Transcode, RealFilesMatchPublishedDigests) {
    KORRIN_SKIP_WITHOUT_REAL_FILES();
    struct Real {
        const char* file;
        std::size_t pcm_size;
        const char* pcm_sha256;
        const char* wav_sha256;
    };
    const Real files[] = {
        {"123_1pcle_shn.sph", 74240, "11d7d57dcf7501a8db11b5c22b1c447334ce9bf1bebdc29666a10c4da7e066c4",
         "81574d2c42c6289fcb8b42a5ab524a0c5a297716594f1977e805b84fd08f34f9"},
        {"123_2ulaw_shn.sph", 148480, "ba3ae1192f6c0362600b4ca129bc56ad8aca4f7e7ca490346bcdfae900401358",
         "17c521a6a4b0b32c3387a321173ef032992e9ca7384b624aee1a922a15dbf897"},
        {"123_2alaw.sph", 148480, "d02f64f9922045e2e56aca5df55e8c191fc000932755cedb324433e16e869140",
         "bb76e77ab619b6b355b69eee4977964ae9e7b664008b86ffa5382b65e962c91e"},
    };
    for (const Real& real : files) {
        SCOPED_TRACE(real.file);
        const Bytes sph = test_support::read_file(test_support::real_sphere(real.file));
        ASSERT_FALSE(sph.empty());
        auto pcm = decode_pcm(sph);
        ASSERT_TRUE(pcm.has_value()) << pcm.error().message;
        EXPECT_EQ(pcm->size(), real.pcm_size);
        EXPECT_EQ(test_support::sha256_hex(pcm->view()), real.pcm_sha256);
        auto wav = transcode(sph);
        ASSERT_TRUE(wav.has_value()) << wav.error().message;
        EXPECT_EQ(wav->size(), real.pcm_size + 44);
        EXPECT_EQ(test_support::sha256_hex(wav->view()), real.wav_sha256);
    }
}

TEST(Transcode, PrefixesOfRealFilesFailOrDecodeTheSame) {
    KORRIN_SKIP_WITHOUT_REAL_FILES();
    // Bytes after a Shorten stream's QUIT are never read, so a prefix that
    // keeps the whole stream may decode; it must then give the same PCM.
    for (const char* name : {"123_1pcle_shn.sph", "123_2ulaw_shn.sph", "123_2alaw.sph"}) {
        SCOPED_TRACE(name);
        const Bytes sph = test_support::read_file(test_support::real_sphere(name));
        auto whole = decode_pcm(sph);
        ASSERT_TRUE(whole.has_value());
        for (std::size_t length = 0; length < sph.size();
             length += length < 1100 || length + 100 > sph.size() ? 1 : 997) {
            auto pcm = decode_pcm(ByteView(sph).first(length));
            if (pcm.has_value()) {
                ASSERT_EQ(bytes_of(*pcm), bytes_of(*whole)) << "prefix " << length;
                ASSERT_GT(length, 1024u + 100) << "prefix " << length;
            } else {
                ASSERT_FALSE(pcm.error().message.empty()) << "prefix " << length;
            }
        }
    }
}

// ---- Generated files ---------------------------------------------------

TEST(Transcode, RandomLinearPcmBecomesLittleEndian) {
    std::mt19937_64 random(20240611);
    for (int round = 0; round < 400; ++round) {
        const int n_bytes = random() % 2 ? 4 : 2;
        const char* formats[] = {"01", "10", "1", nullptr};
        const char* format = formats[random() % 4];
        const auto channels = static_cast<std::int64_t>(1 + random() % 8);
        const auto frames = static_cast<std::int64_t>(random() % 200);
        const auto extra = static_cast<std::size_t>(random() % 3);  // surplus bytes, ignored
        Bytes payload(static_cast<std::size_t>(frames * channels * n_bytes) + extra);
        for (auto& byte : payload) byte = static_cast<std::uint8_t>(random());

        Bytes expected(payload.begin(), payload.end() - static_cast<std::ptrdiff_t>(extra));
        const bool big = format != nullptr && std::string(format) == "10";
        if (big)
            for (std::size_t at = 0; at < expected.size(); at += n_bytes)
                std::reverse(expected.begin() + static_cast<std::ptrdiff_t>(at),
                             expected.begin() + static_cast<std::ptrdiff_t>(at + n_bytes));

        Fields fields = required(frames, channels, n_bytes);
        if (format != nullptr) fields.push_back({"sample_byte_format", format, "-s"});
        if (random() % 2) fields.push_back({"sample_coding", "PCM", "-s"});
        const Bytes sph = sphere_file(fields, payload);
        SCOPED_TRACE(testing::Message() << "round " << round << ": " << n_bytes << " bytes, format "
                                        << (format ? format : "(none)") << ", " << channels << " ch, " << frames
                                        << " frames");

        auto pcm = decode_pcm(sph);
        ASSERT_TRUE(pcm.has_value()) << pcm.error().message;
        ASSERT_EQ(bytes_of(*pcm), expected);
        auto wav = transcode(sph);
        ASSERT_TRUE(wav.has_value()) << wav.error().message;
        const Bytes file = bytes_of(*wav);
        EXPECT_EQ(u16_at(file, 22), channels);
        EXPECT_EQ(u16_at(file, 34), n_bytes * 8);
        EXPECT_EQ(Bytes(file.begin() + 44, file.end()), expected);

        // Every proper prefix is missing payload or header: it must fail.
        if (round % 50 == 0) {
            for (std::size_t length = 0; length < sph.size(); ++length) {
                auto cut = decode_pcm(ByteView(sph).first(length));
                if (length >= sph.size() - extra) {
                    ASSERT_TRUE(cut.has_value()) << "prefix " << length;
                    continue;
                }
                ASSERT_FALSE(cut.has_value()) << "prefix " << length;
                ASSERT_FALSE(cut.error().message.empty());
            }
        }
    }
}

TEST(Transcode, EveryPrefixOfAShortenFileFails) {
    std::vector<std::int16_t> samples(3 * 64);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::int16_t>(i * i * 7);
    const Bytes sph = sphere_file(with(required(64, 3, 2), {"sample_coding", "pcm,embedded-shorten-v2.00", "-s"}),
                                  test_support::shorten_stream(3, 16, samples));
    ASSERT_TRUE(decode_pcm(sph).has_value());
    for (std::size_t length = 0; length < sph.size(); ++length) {
        auto cut = transcode(ByteView(sph).first(length));
        ASSERT_FALSE(cut.has_value()) << "prefix " << length;
        ASSERT_FALSE(cut.error().message.empty());
    }
}

}  // namespace
}  // namespace korrin::transcode

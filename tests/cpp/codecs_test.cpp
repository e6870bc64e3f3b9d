#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "common/text.hpp"
#include "payload/pcm_sink.hpp"
#include "sphere_builder.hpp"
#include "transcode/transcode.hpp"

// The module's decoding of a payload, by coding: the header's checks and
// the samples the payload reader gives for each coding.
namespace korrin::transcode {
namespace {

using test_support::Bytes;
using test_support::Field;
using test_support::Fields;
using test_support::header_of;

// A header with the required fields of a one-channel file, plus the coding
// fields that are set (nullopt leaves a field out).
sphere::SphereHeader coded(std::optional<std::string> coding, std::string n_bytes = "2",
                           std::optional<std::string> byte_format = std::nullopt) {
    Fields fields = {
        {"sample_count", "2"}, {"sample_rate", "8000"}, {"channel_count", "1"}, {"sample_n_bytes", n_bytes}};
    if (coding) fields.push_back({"sample_coding", *coding, "-s"});
    if (byte_format) fields.push_back({"sample_byte_format", *byte_format, "-s"});
    return header_of(fields);
}

// Decodes `payload` as the module decodes a payload whose size it has
// checked: the header's coding checks, then the payload reader over its
// frames (as many as it holds, for a stored payload).
Result<Audio> decode(const sphere::SphereHeader& header, const Bytes& payload, Framing framing = {}) {
    KR_ASSIGN_OR_RETURN(format::Format format, format::format_of(header, payload.size(), format::Reader::Module));
    if (!format.compressed()) format.frames = payload.size() / (format.channels * format.stored_width());
    const std::uint64_t frames = format.compressed() ? format.declared_frames : format.frames;
    payload::PcmSink sink(format.channels, frames, static_cast<std::uint16_t>(8 * format.decoded_width()), framing);
    KR_ASSIGN_OR_RETURN(const payload::Outcome outcome, payload::read(format, payload::Source::of(payload), {}, sink));
    KR_ASSIGN_OR_RETURN(ByteBuffer pcm, std::move(sink).finish());
    return Audio{format.channels, format.rate, sink.bits_per_sample(), outcome.first_frame, std::move(pcm), {}};
}

struct Decoded {
    std::uint16_t bits;
    Bytes pcm;
};

struct Case {
    sphere::SphereHeader header;
    Bytes payload;
    std::optional<Decoded> expected;  // nullopt: fails with `error`
    DecodeError error = {};
};

void run(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        const std::string* coding = c.header.find("sample_coding");
        SCOPED_TRACE(testing::Message() << "sample_coding " << (coding ? quote(*coding) : "(none)") << " n_bytes "
                                        << *c.header.find("sample_n_bytes") << " format "
                                        << c.header.sample_byte_format());
        auto result = decode(c.header, c.payload);
        if (c.expected) {
            ASSERT_TRUE(result.has_value()) << result.error().message;
            EXPECT_EQ(result->bits_per_sample, c.expected->bits);
            EXPECT_EQ(Bytes(result->pcm.begin(), result->pcm.end()), c.expected->pcm);
        } else {
            ASSERT_FALSE(result.has_value());
            EXPECT_EQ(result.error(), c.error);
        }
    }
}

const Bytes k1234 = {0x01, 0x02, 0x03, 0x04};

TEST(Decode, CodingNamesAndLinearPcm) {
    run({
        {coded(std::nullopt), k1234, Decoded{16, k1234}},
        {coded("pcm"), k1234, Decoded{16, k1234}},
        {coded("PCM"), k1234, Decoded{16, k1234}},
        {coded("pcm,"), k1234, Decoded{16, k1234}},
        {coded("pcm,,embedded-shorten-v2.00"), k1234, Decoded{16, k1234}},
        {coded("pcm, \t"), k1234, Decoded{16, k1234}},
        {coded("\u00A0pcm\u3000"), k1234, Decoded{16, k1234}},
        {coded("pcm", "4", "01"), k1234, Decoded{32, k1234}},
        {coded("pcm", "2", "1"), k1234, Decoded{16, k1234}},
        {coded("pcm", "2", "10"), k1234, Decoded{16, {0x02, 0x01, 0x04, 0x03}}},
        {coded("pcm", "4", "10"), k1234, Decoded{32, {0x04, 0x03, 0x02, 0x01}}},
        {coded("pcm", "2", "10"), {1, 2, 3}, Decoded{16, {2, 1}}},  // whole samples only
        {coded("pcm", "4", "10"), {1, 2, 3, 4, 5, 6, 7}, Decoded{32, {4, 3, 2, 1}}},
        {coded("pcm", "2"), {}, Decoded{16, {}}},
        {coded("pcm", "4", "10"), {}, Decoded{32, {}}},
    });
}

TEST(Decode, G711Names) {
    const Bytes code = {0x80};
    const Bytes ulaw = {0x7C, 0x7D};
    const Bytes alaw = {0x80, 0x15};
    run({
        {coded("ulaw", "1"), code, Decoded{16, ulaw}},
        {coded("mulaw", "1"), code, Decoded{16, ulaw}},
        {coded("MU-LAW", "1"), code, Decoded{16, ulaw}},
        {coded("alaw", "1"), code, Decoded{16, alaw}},
        {coded("A-Law", "1"), code, Decoded{16, alaw}},
        // The byte order is a linear-PCM matter only.
        {coded("alaw", "1", "0123"), code, Decoded{16, alaw}},
        {coded("ulaw, ", "1", "10"), {0x00, 0xFF}, Decoded{16, {0x84, 0x82, 0x00, 0x00}}},
        {coded("ulaw", "1"), {}, Decoded{16, {}}},
    });
}

TEST(Decode, RefusedCodingsAndWidths) {
    run({
        {coded("pcm,shorten"), k1234, std::nullopt,
         unsupported(R"(compressed coding "pcm,shorten" not supported yet (compression: "shorten"))")},
        {coded("PCM , Shorten-V3\t,x"), k1234, std::nullopt,
         unsupported(R"(compressed coding "PCM , Shorten-V3\t,x" not supported yet (compression: "shorten-v3"))")},
        {coded("embedded-shorten-v2.00"), k1234, std::nullopt,
         unsupported(R"(sample_coding "embedded-shorten-v2.00" not supported yet)")},
        {coded(""), k1234, std::nullopt, unsupported(R"(sample_coding "" not supported yet)")},
        {coded(" Pc\"M "), k1234, std::nullopt, unsupported(R"(sample_coding "pc\"m" not supported yet)")},
        {coded("u-law"), k1234, std::nullopt, unsupported(R"(sample_coding "u-law" not supported yet)")},
        {coded("pcm", "3"), k1234, std::nullopt, unsupported("24-bit PCM not supported yet (supported: 16, 32 bit)")},
        {coded("pcm", "1"), k1234, std::nullopt, unsupported("8-bit PCM not supported yet (supported: 16, 32 bit)")},
        {coded("pcm", "3", "big"), k1234, std::nullopt,
         unsupported("24-bit PCM not supported yet (supported: 16, 32 bit)")},
        // Widths whose bit count does not fit 64 bits are still named exactly.
        {coded("pcm", "9223372036854775807"), k1234, std::nullopt,
         unsupported("73786976294838206456-bit PCM not supported yet (supported: 16, 32 bit)")},
        {coded("pcm", "-9223372036854775808"), k1234, std::nullopt,
         unsupported("-73786976294838206464-bit PCM not supported yet (supported: 16, 32 bit)")},
        {coded("pcm", "2", "0123"), k1234, std::nullopt,
         unsupported(R"(unrecognized sample_byte_format "0123" (supported: '1', '01', '10'))")},
        {coded("pcm", "4", "3210"), k1234, std::nullopt,
         unsupported(R"(unrecognized sample_byte_format "3210" (supported: '1', '01', '10'))")},
        {coded("pcm", "2", ""), k1234, std::nullopt,
         unsupported(R"(unrecognized sample_byte_format "" (supported: '1', '01', '10'))")},
        {coded("pcm", "2", "10 "), k1234, std::nullopt,
         unsupported(R"(unrecognized sample_byte_format "10 " (supported: '1', '01', '10'))")},
        {coded("alaw", "2"), k1234, std::nullopt, unsupported("alaw expects 1-byte samples, got sample_n_bytes=2")},
        {coded("a-law", "4"), k1234, std::nullopt, unsupported("alaw expects 1-byte samples, got sample_n_bytes=4")},
        {coded("mu-law", "2"), k1234, std::nullopt, unsupported("ulaw expects 1-byte samples, got sample_n_bytes=2")},
        {coded("MuLaw", "2"), k1234, std::nullopt, unsupported("ulaw expects 1-byte samples, got sample_n_bytes=2")},
        {coded("pcm", "2.0"), k1234, std::nullopt, invalid(R"(field "sample_n_bytes" is not an integer)")},
    });
}

TEST(Decode, LeavesRequestedRoomAroundThePcm) {
    for (const auto& [coding, n_bytes, format] :
         {std::tuple{"pcm", "2", "01"}, std::tuple{"pcm", "4", "10"}, std::tuple{"alaw", "1", "1"}}) {
        auto result = decode(coded(coding, n_bytes, format), k1234, Framing{44, 1});
        ASSERT_TRUE(result.has_value()) << coding;
        EXPECT_EQ(result->pcm.front_room(), 44u) << coding;
        EXPECT_GE(result->pcm.back_room(), 1u) << coding;
    }
}

// ---- The Shorten branch ------------------------------------------------

constexpr std::int64_t kFrames = 1000;

// 1000 frames of 2 channels with distinct values, as 16-bit samples.
std::vector<std::int16_t> two_channel_samples() {
    std::vector<std::int16_t> samples(2 * kFrames);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::int16_t>(i * 977 % 65536 - 32768);
    return samples;
}

Bytes le_bytes(const std::vector<std::int16_t>& samples, std::size_t count) {
    Bytes out;
    for (std::size_t i = 0; i < count; ++i) {
        out.push_back(static_cast<std::uint8_t>(samples[i]));
        out.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(samples[i]) >> 8));
    }
    return out;
}

sphere::SphereHeader shorten_header(const std::string& coding, const std::string& samples,
                                    const std::string& channels = "2") {
    return header_of({{"sample_count", samples},
                      {"sample_rate", "8000"},
                      {"channel_count", channels},
                      {"sample_n_bytes", "2"},
                      {"sample_coding", coding, "-s"}});
}

TEST(DecodeShorten, ChecksTheStreamAgainstTheHeader) {
    const auto samples = two_channel_samples();
    const Bytes stream = test_support::shorten_stream(2, 250, samples);
    const std::string shorten = "pcm,embedded-shorten-v2.00";
    const std::string short_decode = "shorten stream decoded 1000 samples/channel, but the SPHERE header declares ";
    run({
        {shorten_header(shorten, "1000"), stream, Decoded{16, le_bytes(samples, 2000)}},
        {shorten_header(shorten, "900"), stream, Decoded{16, le_bytes(samples, 1800)}},
        {shorten_header(shorten, "0"), stream, Decoded{16, {}}},
        {shorten_header("PCM , Embedded-Shorten-V2.00", "1000"), stream, Decoded{16, le_bytes(samples, 2000)}},
        {shorten_header("ulaw,embedded-shorten-v2.00", "1000"), stream, Decoded{16, le_bytes(samples, 2000)}},
        {shorten_header(",embedded-shorten-v2.00", "1000"), stream, Decoded{16, le_bytes(samples, 2000)}},
        {shorten_header(shorten, "1200"), stream, std::nullopt,
         invalid(short_decode, "1200 (truncated or QUIT came early)")},
        {shorten_header(shorten, "1001"), stream, std::nullopt,
         invalid(short_decode, "1001 (truncated or QUIT came early)")},
        // 2^62 x 2 channels x 2 bytes does not fit 64 bits: never a wrapped length.
        {shorten_header(shorten, "4611686018427387904"), stream, std::nullopt,
         invalid(short_decode, "4611686018427387904 (truncated or QUIT came early)")},
        {shorten_header(shorten, "9223372036854775807"), stream, std::nullopt,
         invalid(short_decode, "9223372036854775807 (truncated or QUIT came early)")},
        {shorten_header(shorten, "1000", "1"), stream, std::nullopt,
         unsupported("shorten channel count 2 disagrees with SPHERE header channel_count 1")},
        {shorten_header(shorten, "1000", "3"), stream, std::nullopt,
         unsupported("shorten channel count 2 disagrees with SPHERE header channel_count 3")},
        {shorten_header(shorten, "1000"), k1234, std::nullopt, invalid("not a shorten stream (missing 'ajkg' magic)")},
    });
}

TEST(DecodeShorten, DropsSurplusFramesWithinTheFraming) {
    const auto samples = two_channel_samples();
    const Bytes stream = test_support::shorten_stream(2, 250, samples);
    auto result = decode(shorten_header("pcm,embedded-shorten-v2.00", "10"), stream, Framing{44, 1});
    ASSERT_TRUE(result.has_value()) << result.error().message;
    EXPECT_EQ(Bytes(result->pcm.begin(), result->pcm.end()), le_bytes(samples, 20));
    EXPECT_EQ(result->pcm.front_room(), 44u);
    EXPECT_GE(result->pcm.back_room(), 1u);
}

}  // namespace
}  // namespace korrin::transcode

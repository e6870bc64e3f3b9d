#include "containers/containers.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "codecs/codecs.hpp"
#include "codecs/g711_encode.hpp"
#include "containers/samples.hpp"
#include "sphere_builder.hpp"

namespace korrin::containers {
namespace {

using test_support::Bytes;

Bytes bytes(const ByteBuffer& buffer) { return Bytes(buffer.begin(), buffer.end()); }

Bytes hex(std::string_view text) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2) {
        if (text[i] == ' ') {
            --i;
            continue;
        }
        out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    }
    return out;
}

ByteBuffer buffer_of(const Bytes& data, Framing framing = {}) {
    return std::move(ByteBuffer::copy_of(data, framing)).value();
}

TEST(G711Encode, InvertsTheExpansionOfEveryCode) {
    for (unsigned code = 0; code < 256; ++code) {
        const auto c = static_cast<std::uint8_t>(code);
        // Mu-law's negative zero (0x7F) expands to 0, which is coded 0xFF.
        EXPECT_EQ(codecs::linear_to_ulaw(codecs::ulaw_to_linear(c)), c == 0x7F ? 0xFF : c) << code;
        EXPECT_EQ(codecs::linear_to_alaw(codecs::alaw_to_linear(c)), c) << code;
    }
    struct Case {
        std::int16_t value;
        std::uint8_t ulaw, alaw;
    };
    for (const Case& c : {Case{0, 0xFF, 0xD5}, Case{-1, 0x7F, 0x55}, Case{32767, 0x80, 0xAA}, Case{-32768, 0x00, 0x2A},
                          Case{-32767, 0x00, 0x2A}, Case{100, 0xF2, 0xD3}})
        EXPECT_EQ((std::pair{codecs::linear_to_ulaw(c.value), codecs::linear_to_alaw(c.value)}),
                  (std::pair{c.ulaw, c.alaw}))
            << c.value;
}

TEST(Finish, WritesEachContainersHeader) {
    struct Case {
        Container container;
        Format format;
        Bytes samples;
        const char* want;  // hex
    };
    const Bytes three = {1, 2, 3};
    const Case cases[] = {
        {Container::Wav,
         {1, 8000, Coding::Ulaw},
         three,
         "52494646 36000000 57415645 666d7420 12000000 0700 0100 401f0000 401f0000 0100 0800 0000"
         "66616374 04000000 03000000 64617461 03000000 010203 00"},
        {Container::Wav,
         {1, 8000, Coding::Alaw},
         {9, 9},
         "52494646 34000000 57415645 666d7420 12000000 0600 0100"
         "401f0000 401f0000 0100 0800 0000 66616374 04000000 02000000 64617461 02000000 0909"},
        {Container::Au, {2, 8000, Coding::Alaw}, {1, 2}, "2e736e64 00000018 00000002 0000001b 00001f40 00000002 0102"},
        {Container::Au,
         {1, 16000, Coding::Linear16},
         {0, 1},
         "2e736e64 00000018 00000002 00000003 00003e80 00000001 0001"},
        {Container::Aiff,
         {1, 44100, Coding::Linear16},
         {0, 1, 0, 2},
         "464f524d 00000032 41494646 434f4d4d 00000012 0001 00000002 0010 400eac44000000000000"
         "53534e44 0000000c 00000000 00000000 00010002"},
        {Container::Raw, {1, 8000, Coding::Ulaw}, three, "010203"},
    };
    for (const Case& c : cases) {
        auto file = finish(c.container, c.format, buffer_of(c.samples));
        ASSERT_TRUE(file) << file.error().message;
        EXPECT_EQ(bytes(*file), hex(c.want)) << static_cast<int>(c.container);
    }
    // In place when the samples carry the room.
    auto framed = buffer_of(three, framing_for(Container::Wav, Coding::Ulaw));
    const std::uint8_t* body = framed.data();
    auto file = finish(Container::Wav, {1, 8000, Coding::Ulaw}, std::move(framed));
    ASSERT_TRUE(file);
    EXPECT_EQ(file->data() + 58, body);
}

TEST(Finish, RefusesWhatAFormatCannotHold) {
    struct Case {
        Container container;
        Format format;
        const char* message;
    };
    const Case cases[] = {
        {Container::Aiff, {1, 8000, Coding::Ulaw}, "AIFF holds linear PCM only"},
        {Container::Aiff, {70000, 8000, Coding::Linear16}, "channel_count too large for AIFF"},
        {Container::Wav, {70000, 8000, Coding::Ulaw}, "channel_count too large for WAV"},
        {Container::Wav, {65535, 70000, Coding::Alaw}, "WAV byte_rate exceeds 32-bit field"},
        {Container::Wav, {1, 5'000'000'000, Coding::Linear16}, "sample_rate too large for WAV"},
        {Container::Au, {1, 5'000'000'000, Coding::Linear16}, "sample_rate too large for AU"},
    };
    for (const Case& c : cases) {
        auto file = finish(c.container, c.format, buffer_of({}));
        ASSERT_FALSE(file);
        EXPECT_EQ(file.error().message, c.message);
    }
}

std::string header_text(const std::vector<std::string>& lines, std::size_t size = 1024) {
    std::string text = "NIST_1A\n   " + std::to_string(size) + "\n";
    for (const auto& line : lines) text += line + "\n";
    text += "end_head\n";
    text.resize(size, ' ');
    return text;
}

// The lines of a written header between the size line and end_head.
std::vector<std::string> lines_of(const ByteBuffer& header) {
    const std::string text(header.begin(), header.end());
    std::vector<std::string> lines;
    std::size_t at = text.find('\n', text.find('\n') + 1) + 1;
    for (;;) {
        const std::size_t lf = text.find('\n', at);
        std::string line = text.substr(at, lf - at);
        if (line == "end_head") break;
        lines.push_back(line);
        at = lf + 1;
    }
    return lines;
}

TEST(SphereHeader, RewritesTheLinesThatChange) {
    using Lines = std::vector<std::string>;
    struct Case {
        Lines in;
        Format out;
        std::uint64_t frames;
        Lines want;
    };
    const Lines pcm = {
        "database_id  -s5   hello", "channel_count -i 2",     "sample_count -i 010",       "sample_rate -i 8000",
        "sample_n_bytes -i 02",     "sample_sig_bits -i 016", "sample_byte_format -s2 10", "sample_coding -s3 pcm",
        "sample_checksum -i 9",     "tabbed\t-i\t7"};
    const Lines ulaw = {"channel_count -i 2",       "sample_count -i 10",
                        "sample_rate -i 8000",      "sample_n_bytes -i 01",
                        "sample_byte_format -s1 1", "sample_coding -s26 ulaw,embedded-shorten-v2.00"};
    const Lines bare_ulaw = {"channel_count -i 1", "sample_count -i 10", "sample_rate -i 8000", "sample_n_bytes -i 1",
                             "sample_coding -s4 ULAW"};
    const Case cases[] = {
        // Nothing but the byte order (10 -> 01) and the checksum, which goes.
        {pcm,
         {2, 8000, Coding::Linear16},
         10,
         {"database_id  -s5   hello", "channel_count -i 2", "sample_count -i 010", "sample_rate -i 8000",
          "sample_n_bytes -i 02", "sample_sig_bits -i 016", "sample_byte_format -s2 01", "sample_coding -s3 pcm",
          "tabbed\t-i\t7"}},
        {pcm,
         {1, 8000, Coding::Ulaw},
         3,
         {"database_id  -s5   hello", "channel_count -i 1", "sample_count -i 3", "sample_rate -i 8000",
          "sample_n_bytes -i 1", "sample_sig_bits -i 8", "sample_coding -s4 ulaw", "tabbed\t-i\t7"}},
        // G.711 kept: the compression goes, the byte format stays.
        {ulaw,
         {2, 8000, Coding::Ulaw},
         10,
         {"channel_count -i 2", "sample_count -i 10", "sample_rate -i 8000", "sample_n_bytes -i 01",
          "sample_byte_format -s1 1", "sample_coding -s4 ulaw"}},
        {ulaw,
         {2, 8000, Coding::Linear16},
         10,
         {"channel_count -i 2", "sample_count -i 10", "sample_rate -i 8000", "sample_n_bytes -i 2",
          "sample_byte_format -s2 01", "sample_coding -s3 pcm"}},
        {bare_ulaw,
         {1, 8000, Coding::Alaw},
         10,
         {"channel_count -i 1", "sample_count -i 10", "sample_rate -i 8000", "sample_n_bytes -i 1",
          "sample_coding -s4 alaw"}},
        {bare_ulaw, {1, 8000, Coding::Ulaw}, 10, bare_ulaw},
        // Missing lines are added before end_head.
        {{"channel_count -i 1", "sample_count -i 10", "sample_rate -i 8000", "sample_n_bytes -i 1"},
         {1, 8000, Coding::Linear16},
         10,
         {"channel_count -i 1", "sample_count -i 10", "sample_rate -i 8000", "sample_n_bytes -i 2",
          "sample_byte_format -s2 01"}},
        {{"channel_count -i 1", "sample_count -i 10", "sample_rate -i 8000", "sample_n_bytes -i 2"},
         {1, 8000, Coding::Ulaw},
         10,
         {"channel_count -i 1", "sample_count -i 10", "sample_rate -i 8000", "sample_n_bytes -i 1",
          "sample_coding -s4 ulaw"}},
    };
    for (const Case& c : cases) {
        const std::string text = header_text(c.in);
        const ByteView region(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
        auto parsed = sphere::read_header(region, region.size());
        ASSERT_TRUE(parsed) << parsed.error().message;
        auto written = sphere_header(region, *parsed, c.out, c.frames);
        ASSERT_TRUE(written) << written.error().message;
        EXPECT_EQ(lines_of(*written), c.want) << c.in[0];
        EXPECT_EQ(written->size(), 1024u);
    }
}

TEST(SphereHeader, PadsWithALineFeedEvery32BytesAndGrowsBy1024) {
    // A linear output of a mu-law input gains "sample_byte_format -s2 01",
    // and "sample_coding -s4 ulaw" becomes "sample_coding -s3 pcm".
    const std::size_t added = std::string_view("sample_byte_format -s2 01\n").size() - 1;
    for (const std::size_t filler : {std::size_t{10}, std::size_t{860}, std::size_t{880}}) {
        const std::vector<std::string> lines = {
            "channel_count -i 1",     "sample_count -i 1",
            "sample_rate -i 8000",    "sample_n_bytes -i 1",
            "sample_coding -s4 ulaw", "filler -s" + std::to_string(filler) + " " + std::string(filler, 'x')};
        const std::string text = header_text(lines);
        const std::size_t content = text.find("end_head\n") + 9;
        ASSERT_LT(content, 1024u);
        const ByteView region(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
        auto parsed = sphere::read_header(region, region.size());
        ASSERT_TRUE(parsed);
        auto written = sphere_header(region, *parsed, {1, 8000, Coding::Linear16}, 1);
        ASSERT_TRUE(written);
        const std::string out(written->begin(), written->end());
        const std::size_t end = out.find("end_head\n") + 9;
        EXPECT_EQ(end, content + added);
        const bool grows = content + added > 1024;
        EXPECT_EQ(out.size(), grows ? 2048u : 1024u) << filler;
        EXPECT_EQ(out.substr(0, 16), grows ? "NIST_1A\n   2048\n" : "NIST_1A\n   1024\n");
        for (std::size_t i = end; i < out.size(); ++i) ASSERT_EQ(out[i], i % 32 == 0 ? '\n' : ' ') << i;
    }
}

TEST(Render, PicksConvertsAndOrdersSamples) {
    struct Case {
        Layout layout;
        std::uint64_t channels;
        Bytes in;
        Cut cut;
        Coding to;
        bool big_endian;
        Bytes want;
    };
    const Layout le16{Coding::Linear16, 2, false}, be16{Coding::Linear16, 2, true}, le32{Coding::Linear32, 4, false};
    const Layout ulaw{Coding::Ulaw, 1, false}, ulaw_words{Coding::Ulaw, 2, false}, alaw{Coding::Alaw, 1, false};
    const Case cases[] = {
        {le16, 2, {1, 0, 2, 0, 3, 0, 4, 0}, {1, 0, 9}, Coding::Linear16, false, {2, 0, 4, 0}},
        {le16, 2, {1, 0, 2, 0, 3, 0, 4, 0}, {{}, 1, 2}, Coding::Linear16, true, {0, 3, 0, 4}},
        {be16, 1, {0, 1, 0xFF, 0xFF}, {}, Coding::Linear16, false, {1, 0, 0xFF, 0xFF}},
        {le32, 1, {9, 9, 0x34, 0x12, 0, 0, 0, 0x80}, {}, Coding::Linear16, false, {0x34, 0x12, 0, 0x80}},
        {le32, 1, {1, 2, 3, 4}, {}, Coding::Linear32, true, {4, 3, 2, 1}},
        {ulaw, 2, {0xFF, 0x00, 0x80, 0x7F}, {0, 0, 9}, Coding::Linear16, false, {0, 0, 0x7C, 0x7D}},
        {ulaw, 1, {0xFF, 0x00}, {}, Coding::Linear16, true, {0, 0, 0x82, 0x84}},
        {ulaw_words, 2, {0x11, 0, 0x22, 0, 0x33, 0}, {1, 0, 9}, Coding::Ulaw, false, {0x22}},
        {ulaw, 1, {0xFF, 0x00}, {}, Coding::Alaw, false, {0xD5, 0x2A}},
        {alaw, 1, {0xD5, 0x2A}, {}, Coding::Ulaw, false, {0xFE, 0x00}},
        {le16, 1, {0, 0, 0x00, 0x80}, {}, Coding::Ulaw, false, {0xFF, 0x00}},
        {le16, 1, {1, 0, 2, 0}, {{}, 5, 9}, Coding::Linear16, false, {}},
    };
    for (const Case& c : cases) {
        const Samples samples{c.in, c.layout, c.channels};
        auto out = render(samples, c.cut, c.to, c.big_endian);
        ASSERT_TRUE(out);
        EXPECT_EQ(bytes(*out), c.want);
        if (is_plain_cut(c.layout, c.to, c.big_endian)) {
            ByteBuffer buffer = buffer_of(c.in);
            cut_in_place(buffer, c.channels, c.layout.width, c.cut);
            EXPECT_EQ(bytes(buffer), c.want);
        }
    }
}

}  // namespace
}  // namespace korrin::containers

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "codecs/codecs.hpp"

namespace korrin::codecs {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Reference compressors written the other way round (a segment search over
// the linear value), so that expansion followed by compression must give
// back every code.
std::uint8_t reference_linear_to_ulaw(std::int16_t sample) {
    int pcm = sample >> 2;  // 14 significant bits
    const std::uint8_t mask = pcm < 0 ? 0x7F : 0xFF;
    if (pcm < 0) pcm = -pcm;
    pcm = std::min(pcm + 33, 8191);
    int segment = 0;
    while (segment < 8 && pcm >= (0x40 << segment)) ++segment;
    const int code = segment << 4 | ((pcm >> (segment + 1)) & 0x0F);
    return static_cast<std::uint8_t>(code ^ mask);
}

std::uint8_t reference_linear_to_alaw(std::int16_t sample) {
    int pcm = sample >> 3;  // 13 significant bits
    std::uint8_t mask = 0xD5;
    if (pcm < 0) {
        mask = 0x55;
        pcm = -pcm - 1;
    }
    int segment = 0;
    while (segment < 8 && pcm >= (0x20 << segment)) ++segment;
    const int code = segment << 4 | ((pcm >> (segment < 2 ? 1 : segment)) & 0x0F);
    return static_cast<std::uint8_t>(code ^ mask);
}

TEST(G711, EveryAlawCodeSurvivesCompression) {
    for (int c = 0; c < 256; ++c) {
        const auto code = static_cast<std::uint8_t>(c);
        const std::int16_t value = alaw_to_linear(code);
        EXPECT_EQ(reference_linear_to_alaw(value), code) << "code " << c << " value " << value;
        EXPECT_EQ(alaw_to_linear(code ^ 0x80), -value) << "code " << c;
        EXPECT_NE(value, 0);
        EXPECT_LE(std::abs(value), 32256);
    }
}

TEST(G711, EveryUlawCodeSurvivesCompression) {
    for (int c = 0; c < 256; ++c) {
        const auto code = static_cast<std::uint8_t>(c);
        const std::int16_t value = ulaw_to_linear(code);
        // Both zeros compress to the positive one.
        const std::uint8_t expected = code == 0x7F ? 0xFF : code;
        EXPECT_EQ(reference_linear_to_ulaw(value), expected) << "code " << c << " value " << value;
        EXPECT_EQ(ulaw_to_linear(code ^ 0x80), -value) << "code " << c;
        EXPECT_LE(std::abs(value), 32124);
    }
}

TEST(G711, ExpansionIsStrictlyMonotonic) {
    // Over the positive half, mu-law falls as the code rises; A-law rises
    // with the code once its even bits are inverted back.
    for (int i = 0; i + 1 < 128; ++i) {
        EXPECT_GT(ulaw_to_linear(static_cast<std::uint8_t>(0x80 + i)),
                  ulaw_to_linear(static_cast<std::uint8_t>(0x80 + i + 1)))
            << i;
        EXPECT_LT(alaw_to_linear(static_cast<std::uint8_t>(0x80 | (i ^ 0x55))),
                  alaw_to_linear(static_cast<std::uint8_t>(0x80 | ((i + 1) ^ 0x55))))
            << i;
    }
}

TEST(G711, PublishedRows) {
    struct Row {
        std::uint8_t code;
        std::int16_t alaw;
        std::int16_t ulaw;
    };
    const Row rows[] = {
        {0x00, -5504, -32124}, {0x0F, -6784, -16764}, {0x10, -2752, -15996}, {0x2A, -32256, -5372}, {0x55, -8, -716},
        {0x7F, -848, 0},       {0x80, 5504, 32124},   {0xAA, 32256, 5372},   {0xD5, 8, 716},        {0xFF, 848, 0},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(alaw_to_linear(row.code), row.alaw) << "code " << int{row.code};
        EXPECT_EQ(ulaw_to_linear(row.code), row.ulaw) << "code " << int{row.code};
    }
}

TEST(G711, ExpandWritesLittleEndianSamplesInOrder) {
    struct Case {
        Bytes input;
        bool alaw;
        Bytes expected;
    };
    const Case cases[] = {
        {{}, false, {}},
        {{}, true, {}},
        {{0x80}, false, {0x7C, 0x7D}},
        {{0x80}, true, {0x80, 0x15}},
        {{0x7F, 0xFF}, false, {0x00, 0x00, 0x00, 0x00}},
        {{0x55, 0xD5}, true, {0xF8, 0xFF, 0x08, 0x00}},
        {{0x00, 0x80, 0x7F, 0xFF, 0x00}, false, {0x84, 0x82, 0x7C, 0x7D, 0, 0, 0, 0, 0x84, 0x82}},
    };
    for (const Case& c : cases) {
        auto out = g711_expand(c.input, c.alaw, Framing{44, 1});
        ASSERT_TRUE(out.has_value());
        EXPECT_EQ(Bytes(out->begin(), out->end()), c.expected);
        EXPECT_EQ(out->front_room(), 44u);
        Bytes into(2 * c.input.size());
        g711_expand_into(c.input, c.alaw, into);
        EXPECT_EQ(into, c.expected);
    }
}

// Every length up to three wide turns and a tail, so that each way out of
// the loop (sixteen codes, eight, single ones) is taken at every offset.
TEST(G711, ExpandAgreesWithTheLawAtEveryLengthAndOffset) {
    for (const bool alaw : {false, true}) {
        for (std::size_t n = 0; n <= 3 * 16 + 15; ++n) {
            Bytes input(n);
            for (std::size_t i = 0; i < n; ++i) input[i] = static_cast<std::uint8_t>(i * 37 + n);
            Bytes into(2 * n);
            g711_expand_into(input, alaw, into);
            for (std::size_t i = 0; i < n; ++i) {
                const auto value =
                    static_cast<std::uint16_t>(alaw ? alaw_to_linear(input[i]) : ulaw_to_linear(input[i]));
                ASSERT_EQ(into[2 * i] | into[2 * i + 1] << 8, value) << "alaw " << alaw << ", n " << n << ", i " << i;
            }
        }
    }
}

}  // namespace
}  // namespace korrin::codecs

// The sample checksum of SPHERE headers, computed while decoding and checked
// against the header on request.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "payload/payload.hpp"
#include "sphere_builder.hpp"
#include "testdata.hpp"
#include "transcode/transcode.hpp"

namespace korrin {
namespace {

using test_support::Bytes;
using test_support::Fields;

transcode::Options verifying() {
    transcode::Options options;
    options.verify_checksum = true;
    options.checksum_hint = " (hint)";
    return options;
}
const transcode::Options kVerify = verifying();

// The checksum that decoding a whole file computes.
std::optional<std::uint16_t> computed_checksum(const Bytes& file) {
    const auto sph = sphere::read(file);
    if (!sph) return std::nullopt;
    transcode::DecodeOptions options;
    options.conversion.checksum = true;
    const auto audio = transcode::decode(*sph, options);
    return audio ? audio->checksum : std::nullopt;
}

TEST(SampleChecksum, Sums) {
    struct Case {
        Bytes bytes;
        std::uint16_t le16, codes;
    };
    const Case cases[] = {
        {{}, 0, 0},
        {{0x01, 0x00}, 1, 1},
        {{0xFF, 0xFF, 0x02, 0x00}, 1, 0x200},              // -1 + 2; 255 + 255 + 2
        {{0x00, 0x80, 0x00, 0x80}, 0, 0x80 * 2},           // -32768 twice wraps to 0
        {{0x34, 0x12, 0x99}, 0x1234, 0x34 + 0x12 + 0x99},  // an odd byte is no sample
    };
    for (const Case& c : cases) {
        EXPECT_EQ(payload::checksum_of(c.bytes.data(), payload::Form::Le16, c.bytes.size() / 2), c.le16);
        EXPECT_EQ(payload::checksum_of(c.bytes.data(), payload::Form::Ulaw, c.bytes.size()), c.codes);
        // The same samples big-endian, and codes in words' low bytes.
        Bytes swapped = c.bytes, words;
        for (std::size_t i = 0; i + 1 < swapped.size(); i += 2) std::swap(swapped[i], swapped[i + 1]);
        for (const std::uint8_t code : c.bytes) words.insert(words.end(), {code, 0x55});
        EXPECT_EQ(payload::checksum_of(swapped.data(), payload::Form::Be16, swapped.size() / 2), c.le16);
        EXPECT_EQ(payload::checksum_of(words.data(), payload::Form::UlawWords, c.bytes.size()), c.codes);
        EXPECT_EQ(payload::checksum_of(c.bytes.data(), payload::Form::Le32, c.bytes.size() / 4), 0);  // no rule
    }
    // Many samples wrap modulo 65536, not at some other width.
    const Bytes ones(2 * 70000, 0xFF);  // 70000 samples of -1: 70000 * 65535 mod 65536
    EXPECT_EQ(payload::checksum_of(ones.data(), payload::Form::Le16, 70000),
              static_cast<std::uint16_t>(65536 - 70000 % 65536));
    EXPECT_EQ(payload::checksum_of(ones.data(), payload::Form::Alaw, ones.size()),
              static_cast<std::uint16_t>(2 * 70000 * 255 % 65536));
}

// The rule, confirmed on every real file: 16-bit samples for Shorten PCM,
// mu-law codes before expansion for Shorten mu-law, A-law codes as stored.
TEST(SampleChecksum, RealFilesCarryTheirHeadersChecksums) {
    struct Case {
        const char* file;
        std::uint16_t want;
    };
    const Case cases[] = {
        {"123_1pcle_shn.sph", 55857},
        {"123_2ulaw_shn.sph", 52054},
        {"123_2alaw.sph", 64712},
    };
    KORRIN_SKIP_WITHOUT_REAL_FILES();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const Bytes file = test_support::read_file(test_support::real_sphere(c.file));
        const auto sph = sphere::read(file);
        ASSERT_TRUE(sph) << sph.error().message;
        EXPECT_EQ(sph->header.int_("sample_checksum").value(), c.want);
        EXPECT_EQ(computed_checksum(file), c.want);
        EXPECT_TRUE(transcode::transcode(file, nullptr, kVerify));
    }
}

// Files of each coding: with their true checksum they convert; with one
// sample changed after the checksum was taken they fail, naming both values.
TEST(SampleChecksum, EachCodingPassesAndFailsOnAChangedSample) {
    const std::vector<std::int16_t> values = {1000, -2000, 3, -4, 32767, -32768, 0, -1};
    const std::vector<std::int16_t> small = {100, -101, 5, -6, 127, -128, 0, -1};  // mu-law domain
    std::uint32_t linear_sum = 0;
    for (const std::int16_t v : values) linear_sum += static_cast<std::uint16_t>(v);
    const auto le = [](const std::vector<std::int16_t>& v, bool big_endian) {
        Bytes out;
        for (const std::int16_t s : v) {
            const auto u = static_cast<std::uint16_t>(s);
            const std::uint8_t lo = u & 0xFF, hi = static_cast<std::uint8_t>(u >> 8);
            out.insert(out.end(), big_endian ? std::initializer_list<std::uint8_t>{hi, lo}
                                             : std::initializer_list<std::uint8_t>{lo, hi});
        }
        return out;
    };
    // Type-8 stream values v become the codes 0xFF - v and 0x80 + v.
    std::uint32_t shorten_code_sum = 0;
    for (const std::int16_t v : small) shorten_code_sum += v >= 0 ? 0xFF - v : 0x80 + v;
    const Bytes codes = {0x00, 0x7F, 0x80, 0xFF, 0x12, 0xED, 0x55, 0xAA};
    std::uint32_t code_sum = 0;
    for (const std::uint8_t c : codes) code_sum += c;

    struct Case {
        const char* coding;
        const char* byte_format;
        std::int64_t n_bytes;
        Bytes payload;
        Bytes changed;  // the same with one sample changed
        std::uint32_t sum;
    };
    std::vector<std::int16_t> one_changed = values;
    one_changed[2] = 4;
    std::vector<std::int16_t> small_changed = small;
    small_changed[2] = 4;
    Bytes codes_changed = codes;
    codes_changed[4] ^= 0x01;
    const Case cases[] = {
        {"pcm", "01", 2, le(values, false), le(one_changed, false), linear_sum},
        {"pcm", "10", 2, le(values, true), le(one_changed, true), linear_sum},
        {"ulaw", "1", 1, codes, codes_changed, code_sum},
        {"alaw", "1", 1, codes, codes_changed, code_sum},
        {"pcm,embedded-shorten-v2.00", "01", 2, test_support::shorten_stream(1, 4, values),
         test_support::shorten_stream(1, 4, one_changed), linear_sum},
        {"ulaw,embedded-shorten-v2.00", "1", 1, test_support::shorten_stream(1, 4, small, 8),
         test_support::shorten_stream(1, 4, small_changed, 8), shorten_code_sum},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.coding << " " << c.byte_format);
        const auto sum = static_cast<std::uint16_t>(c.sum);
        const Fields fields = test_support::with(
            test_support::with(
                test_support::with(test_support::required(8, 1, c.n_bytes), {"sample_coding", c.coding, "-s"}),
                {"sample_byte_format", c.byte_format, "-s"}),
            {"sample_checksum", std::to_string(sum)});
        const auto good = transcode::transcode(test_support::sphere_file(fields, c.payload), nullptr, kVerify);
        EXPECT_TRUE(good) << good.error().message;

        const Bytes changed = test_support::sphere_file(fields, c.changed);
        const auto bad = transcode::decode_pcm(changed, nullptr, kVerify);
        ASSERT_FALSE(bad);
        const auto pcm = transcode::decode_pcm(changed, nullptr, {});
        ASSERT_TRUE(pcm);
        const auto computed = computed_checksum(changed);
        ASSERT_TRUE(computed);
        ASSERT_NE(*computed, sum);
        EXPECT_EQ(bad.error().message, "sample_checksum mismatch: the header declares " + std::to_string(sum) +
                                           ", the samples sum to " + std::to_string(*computed) + " (hint)");
        EXPECT_EQ(bad.error().kind, ErrorKind::Invalid);
        // Without the check the changed file converts as before.
        EXPECT_TRUE(transcode::transcode(changed, nullptr, {}));
    }
}

TEST(SampleChecksum, WhereNoCheckIsMade) {
    const Bytes pcm4 = {1, 2, 3, 4, 5, 6, 7, 8};
    const Bytes pcm2 = {1, 2, 3, 4};
    struct Case {
        const char* name;
        Fields fields;
        Bytes payload;
        const char* error;  // null: converts
    };
    const Fields pcm2_fields = test_support::required(2, 1, 2);
    const Case cases[] = {
        // No rule is known for 4-byte samples: any value passes.
        {"4-byte PCM", test_support::with(test_support::required(2, 1, 4), {"sample_checksum", "1"}), pcm4, nullptr},
        {"no field", pcm2_fields, pcm2, nullptr},
        {"true value", test_support::with(pcm2_fields, {"sample_checksum", "1540"}), pcm2, nullptr},  // 0x0201 + 0x0403
        {"out of range", test_support::with(pcm2_fields, {"sample_checksum", "67076"}), pcm2,
         "sample_checksum mismatch: the header declares 67076, the samples sum to 1540 (hint)"},
        {"not a number", test_support::with(pcm2_fields, {"sample_checksum", "abc", "-s"}), pcm2,
         "field \"sample_checksum\" is not an integer (hint)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto got = transcode::transcode(test_support::sphere_file(c.fields, c.payload), nullptr, kVerify);
        if (c.error == nullptr) {
            EXPECT_TRUE(got) << got.error().message;
        } else {
            ASSERT_FALSE(got);
            EXPECT_EQ(got.error().message, c.error);
        }
    }
}

}  // namespace
}  // namespace korrin

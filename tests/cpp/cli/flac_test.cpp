// The FLAC pieces of sph2wav. This file is built twice: with libFLAC, when
// the build has it (KORRIN_HAVE_FLAC), and without, to check what a program
// built without it says.
#include "cli/flac/flac.hpp"
#include "cli/front/sph2wav_options.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korrin::cli {
namespace {

using namespace std::string_literals;

Command parse(std::vector<const char*> args) { return parse_command_line(args); }

std::vector<std::uint8_t> silence(std::size_t bytes) { return std::vector<std::uint8_t>(bytes, 0); }

std::string error_of(const Result<ByteBuffer>& result) {
    return result.has_value() ? "<succeeded>" : result.error().message;
}

#ifdef KORRIN_HAVE_FLAC

struct CommentCase {
    std::string name;
    std::string value;
    std::optional<std::string> comment;
};

TEST(FlacComment, NamesAndValuesFollowTheEscapingRule) {
    const CommentCase cases[] = {
        {"database_id", "TIDIGITS", "SPHERE_database_id=TIDIGITS"},
        {"x", "", "SPHERE_x="},
        // Values are text as they stand, '=' and '%' included.
        {"prompt", "a=b 100% \"é\" \t end", "SPHERE_prompt=a=b 100% \"é\" \t end"},
        {"nul", "a\0b"s, "SPHERE_nul=a\0b"s},
        // Field names are case-sensitive in SPHERE: only the exact coding names go.
        {"Sample_Rate", "16000", "SPHERE_Sample_Rate=16000"},
        {"sample_rate_2", "8000", "SPHERE_sample_rate_2=8000"},
        // Names: ' ' to '}' but '=' kept; '=', '%', '~', DEL, controls and non-ASCII escaped.
        {"a=b", "1", "SPHERE_a%3Db=1"},
        {"50%", "1", "SPHERE_50%25=1"},
        {"~{|}!", "1", "SPHERE_%7E{|}!=1"},
        {"\x01\x7F\x00"s, "1", "SPHERE_%01%7F%00=1"},
        {"caf\xC3\xA9", "1", "SPHERE_caf%C3%A9=1"},
        // A value a comment cannot hold: escaped, and the name marked with a final '%'.
        {"v", "\xFF%x", "SPHERE_v%=%FF%25x"},
        {"v", "\xEF\xBF\xBF", "SPHERE_v%=%EF%BF%BF"},  // U+FFFF, which libFLAC refuses
        {"a=", "\xC3", "SPHERE_a%3D%=%C3"},
    };
    for (const CommentCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(flac::vorbis_comment(c.name, c.value), c.comment);
    }
    for (const char* coding : {"sample_count", "sample_rate", "channel_count", "sample_n_bytes", "sample_byte_format",
                               "sample_coding", "sample_sig_bits", "sample_checksum"})
        EXPECT_EQ(flac::vorbis_comment(coding, "1"), std::nullopt) << coding;
}

struct LimitCase {
    std::size_t pcm_bytes;
    unsigned bits;
    std::int64_t channels;
    std::int64_t rate;
    unsigned level;
    std::string message;
};

TEST(FlacEncode, RefusesWhatFlacCannotHoldBeforeEncoding) {
    const LimitCase cases[] = {
        {36, 16, 9, 16000, 5, "channel_count 9 is more than FLAC holds (at most 8 channels; pick channels with -c)"},
        {4, 16, 1, 1048576, 5, "sample_rate 1048576 is more than FLAC holds (at most 1048575 Hz)"},
        {6, 24, 1, 16000, 5, "FLAC output takes 16- or 32-bit samples, not 24"},
        {4, 16, 1, 16000, 9, "FLAC compression level 9 is not one of 0 to 8"},
        {3, 16, 1, 16000, 5, "PCM of 3 bytes is not a whole number of 2-byte frames"},
        {12, 32, 2, 16000, 5, "PCM of 12 bytes is not a whole number of 8-byte frames"},
        // At the limits, and beyond the subset every player must take.
        {16, 16, 8, 16000, 5, "<succeeded>"},
        {8, 16, 1, 1048575, 5, "<succeeded>"},
        {8, 32, 1, 16000, 0, "<succeeded>"},
        {0, 16, 2, 8000, 8, "<succeeded>"},
    };
    for (const LimitCase& c : cases) {
        SCOPED_TRACE(c.message);
        const auto pcm = silence(c.pcm_bytes);
        const auto flac = flac::encode(pcm, c.bits, c.channels, c.rate, {}, {c.level, true});
        EXPECT_EQ(error_of(flac), c.message);
        if (flac) {
            EXPECT_EQ(std::string(flac->begin(), flac->begin() + 4), "fLaC");
        }
    }
}

TEST(FlacEncode, RefusesHeaderFieldsBeyondOneCommentBlock) {
    const auto pcm = silence(4);
    const std::vector<sphere::HeaderField> small{{"a", std::string(1000, 'x')}, {"sample_coding", "pcm"}};
    EXPECT_EQ(error_of(flac::encode(pcm, 16, 1, 8000, small, {})), "<succeeded>");
    // Two fields that each fit, but not together: 2 x 9 MB.
    const std::vector<sphere::HeaderField> large{{"a", std::string(9'000'000, 'x')},
                                                 {"b", std::string(9'000'000, 'y')}};
    const std::string message = error_of(flac::encode(pcm, 16, 1, 8000, large, {}));
    EXPECT_TRUE(message.starts_with("the SPHERE header fields take 18")) << message;
    EXPECT_TRUE(message.ends_with("more than a FLAC metadata block holds (16777215)")) << message;
}

struct OptionCase {
    std::vector<const char*> args;
    unsigned level;
    bool verify;
};

TEST(FlacOptions, LevelsAndVerifyApplyToFlacOutput) {
    const OptionCase cases[] = {
        {{"--flac", "in"}, 5, true},
        {{"in", "--flac", "-8"}, 8, true},
        {{"-0", "--no-verify", "--flac", "in"}, 0, false},
        {{"--compression-level-3", "--flac", "in"}, 3, true},
        {{"-q7", "--flac", "-2", "in"}, 2, true},  // bundled; the last level wins
    };
    for (const OptionCase& c : cases) {
        const Command command = parse(c.args);
        ASSERT_EQ(command.action, Action::Convert) << command.error;
        EXPECT_EQ(command.options.format, OutputFormat::Flac);
        EXPECT_EQ(command.options.flac_settings.level, c.level);
        EXPECT_EQ(command.options.flac_settings.verify, c.verify);
    }
}

#else

TEST(FlacUnavailable, FlacIsRefusedAsUsageAndTheEncoderSaysWhy) {
    EXPECT_FALSE(flac::available());
    const Command command = parse({"--flac", "in.sph"});
    EXPECT_EQ(command.action, Action::BadUsage);
    EXPECT_EQ(command.error, "FLAC output is not available: this sph2wav was built without libFLAC");
    // Help still works, and the other outputs are untouched.
    EXPECT_EQ(parse({"--flac", "--help"}).action, Action::Help);
    EXPECT_EQ(parse({"--pcm", "in.sph"}).action, Action::Convert);
    const auto pcm = silence(4);
    EXPECT_EQ(error_of(flac::encode(pcm, 16, 1, 8000, {}, {})), command.error);
}

#endif

struct UsageCase {
    std::vector<const char*> args;
    std::string error;
};

TEST(FlacOptions, FlacOnlyOptionsNeedFlacAndExcludePcm) {
    const UsageCase cases[] = {
        {{"-5", "in"}, "option '-5' applies only to FLAC output (--flac)"},
        {{"in", "-q0"}, "option '-0' applies only to FLAC output (--flac)"},
        {{"--no-verify", "-3", "in"}, "option '--no-verify' applies only to FLAC output (--flac)"},
        {{"--compression-level-8", "in"}, "option '--compression-level-8' applies only to FLAC output (--flac)"},
        {{"--flac", "--pcm", "in"}, "--flac and --pcm exclude each other"},
        {{"--flac=yes", "in"}, "option '--flac' takes no value"},
        {{"-9", "in"}, "unknown option '-9'"},
    };
    for (const UsageCase& c : cases) {
        const Command command = parse(c.args);
        EXPECT_EQ(command.action, Action::BadUsage) << c.error;
        EXPECT_EQ(command.error, c.error);
    }
}

}  // namespace
}  // namespace korrin::cli

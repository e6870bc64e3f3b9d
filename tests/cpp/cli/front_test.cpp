// The front ends' parsers: sph2pipe's options and spans, shell words of a
// wav.scp command, ids as file names, and the picks they make.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/front/data_dir.hpp"
#include "cli/front/sph2pipe.hpp"

namespace korrin::cli {
namespace {

PipeCommand parse(std::vector<const char*> args) { return parse_sph2pipe(args); }

TEST(Sph2pipeCommandLine, ParsesAsGetoptWithReordering) {
    const PipeCommand bundled = parse({"-pc2", "in.sph", "-fwav", "-t", "1e-05:2.5", "out.wav"});
    ASSERT_EQ(bundled.action, PipeCommand::Action::Convert) << bundled.error;
    EXPECT_EQ(bundled.coding, CodingChoice::Linear16);
    EXPECT_EQ(bundled.channel, 2u);
    EXPECT_EQ(bundled.encoding, Encoding::Wav);
    EXPECT_EQ(bundled.files, (std::vector<std::string>{"in.sph", "out.wav"}));
    ASSERT_TRUE(bundled.span);
    EXPECT_EQ(bundled.span->begin_time, 1e-05);
    EXPECT_EQ(bundled.span->end_time, 2.5);
    EXPECT_EQ(parse({"-u", "-a", "x"}).coding, CodingChoice::Alaw);  // the last one counts
    EXPECT_EQ(parse({"--", "-x"}).files, (std::vector<std::string>{"-x"}));
    EXPECT_EQ(parse_sph2pipe(std::vector<const char*>{"a", "-p"}, true).files, (std::vector<std::string>{"a", "-p"}));

    struct Case {
        std::vector<const char*> args;
        const char* error;
    };
    const Case refused[] = {
        {{}, "no input file given"},
        {{"a", "b", "c"}, "too many file names (an input, and perhaps an output)"},
        {{"-x", "a"}, "invalid option -- 'x'"},
        {{"a", "-c"}, "option requires an argument -- 'c'"},
        {{"-c", "0", "a"}, "invalid channel '0' (expected 1 or more)"},
        {{"-f", "w", "a"}, "unknown output format 'w' (sph, raw, au, wav or rif, aif or mac)"},
        {{"-t", "1", "a"}, "invalid span '1' for -t (expected b:e)"},
        {{"-t", "2:1", "a"}, "invalid span '2:1' for -t: it starts at or after its end"},
        {{"-s", "5:5", "a"}, "invalid span '5:5' for -s: it starts at or after its end"},
        {{"-t", "0x1p1:inf", "-s", "1:2", "a"}, "-t and -s exclude each other"},
        {{"-t", " 1:2", "a"}, "invalid span ' 1:2' for -t: ' 1' is not a number of seconds (0 or more)"},
    };
    for (const Case& c : refused) {
        const PipeCommand command = parse(c.args);
        EXPECT_EQ(command.action, PipeCommand::Action::BadUsage);
        EXPECT_EQ(command.error, c.error);
    }
}

TEST(Sph2pipeSpans, TruncateToFramesAndCutToTheFile) {
    struct Case {
        const char* span;
        PipeSpan::Unit unit;
        std::uint64_t begin, end;  // at 20000 Hz, 37120 frames
        const char* error;
    };
    const Case cases[] = {
        {"0.57:1.13", PipeSpan::Unit::Seconds, 11399, 22599, ""},  // 0.57 x 20000 is 11399.99...
        {":0", PipeSpan::Unit::Seconds, 0, 37120, ""},
        {"1.3:9", PipeSpan::Unit::Seconds, 26000, 37120, ""},
        {"1.856:", PipeSpan::Unit::Seconds, 37120, 37120, ""},
        {"1.85601:", PipeSpan::Unit::Seconds, 0, 0,
         "span 1.85601: s starts beyond the end of the file (37120 frames at 20000 Hz)"},
        {"37120:", PipeSpan::Unit::Frames, 37120, 37120, ""},
        {"37121:", PipeSpan::Unit::Frames, 0, 0, "span 37121: starts beyond the end of the file (37120 frames)"},
        {"5:0", PipeSpan::Unit::Frames, 5, 37120, ""},
    };
    for (const Case& c : cases) {
        Pick pick;
        pick.rule = Pick::Rule::Sph2pipe;
        const Result<PipeSpan> span = parse_pipe_span(c.span, c.unit);
        ASSERT_TRUE(span) << span.error().message;
        pick.span = *span;
        const auto chosen = resolve(pick, {2, 37120, 20000});
        if (*c.error) {
            ASSERT_FALSE(chosen);
            EXPECT_EQ(chosen.error().message, c.error);
            continue;
        }
        ASSERT_TRUE(chosen) << chosen.error().message;
        EXPECT_EQ(std::pair(chosen->begin, chosen->end), std::pair(c.begin, c.end)) << c.span;
    }
}

TEST(Segments, CutAsExtractSegmentsCuts) {
    struct Case {
        double start, end;
        std::optional<std::uint64_t> channel;
        std::uint64_t begin, stop;
        const char* error;
    };
    // A recording of 8000 frames at 8000 Hz (1 s), two channels.
    const Case cases[] = {
        {0.1, 0.2, {}, 800, 1600, ""},
        {0.5, -1, 1, 4000, 8000, ""},
        {0.9, 1.49, {}, 7200, 8000, ""},
        {0.9,
         1.5,
         {},
         0,
         0,
         "segment ends 4000 frames beyond the end of its recording (8000 frames at 8000 Hz; less than 0.5 s is cut "
         "off)"},
        {1.0, 1.2, {}, 0, 0, "segment starts at or beyond the end of its recording (8000 frames)"},
        {0.1, 0.2, 2, 0, 0, "no channel 2 (counted from 0) in a recording of 2 channels"},
    };
    for (const Case& c : cases) {
        Pick pick;
        pick.segment = Segment{c.start, c.end, c.channel};
        const auto chosen = resolve(pick, {2, 8000, 8000});
        if (*c.error) {
            ASSERT_FALSE(chosen);
            EXPECT_EQ(chosen.error().message, c.error);
            continue;
        }
        ASSERT_TRUE(chosen) << chosen.error().message;
        EXPECT_EQ(std::pair(chosen->begin, chosen->end), std::pair(c.begin, c.stop));
        EXPECT_EQ(chosen->channel, c.channel);
    }
    // Within the span of its line: a -c 2 -t 0.5:1 recording.
    Pick pick;
    pick.request.channel = 2;
    pick.request.span = select::parse_span("0.5:1", select::Span::Unit::Seconds);
    pick.segment = Segment{0.25, -1, 0};
    const auto chosen = resolve(pick, {2, 8000, 8000});
    ASSERT_TRUE(chosen);
    EXPECT_EQ(std::tuple(chosen->channel, chosen->begin, chosen->end),
              std::tuple(std::optional<std::uint64_t>(1), 6000u, 8000u));
}

TEST(WavScp, SplitsWordsAsAShellWouldOrRefuses) {
    struct Case {
        const char* command;
        std::vector<std::string> words;
        const char* error;
    };
    const Case cases[] = {
        {"sph2pipe -f wav  -p\t'a b.sph'", {"sph2pipe", "-f", "wav", "-p", "a b.sph"}, ""},
        {R"(x "a \"q\" \$" b\ c)", {"x", R"(a "q" $)", "b c"}, ""},
        {"x | sox - y", {}, "a second pipe stage is not understood"},
        {"x $HOME/a", {}, "the shell construct '$' is not understood"},
        {"x \"$HOME\"", {}, "a shell expansion ('$') is not understood"},
        {"x 'open", {}, "an unterminated ' quote is not understood"},
        {"x ; rm y", {}, "the shell construct ';' is not understood"},
    };
    for (const Case& c : cases) {
        const auto words = split_words(c.command);
        if (*c.error) {
            ASSERT_FALSE(words) << c.command;
            EXPECT_EQ(words.error().message, c.error);
        } else {
            ASSERT_TRUE(words) << words.error().message;
            EXPECT_EQ(*words, c.words);
        }
    }
}

TEST(WavScp, ReadsTheCallsOfEachLine) {
    const auto lines = parse_wav_scp(
        "a /kaldi/tools/sph2pipe -f wav -p -c 2 -t 1:2 /c/a.sph |\n"
        "\n"
        "b sph2wav -c 1 --no-checksum -o - /c/b.sph |\n"
        "c /c/c d.sph\n"
        "d sph2pipe -f wav /c/d.sph out.wav |\n"
        "e sph2wav -c 1 /c/e.sph |\n");
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(
        std::tuple(lines[0].line, lines[0].path, lines[0].coding, lines[0].pick.channel),
        std::tuple(std::size_t{1}, std::string("/c/a.sph"), CodingChoice::Linear16, std::optional<std::uint64_t>(2)));
    EXPECT_TRUE(lines[0].payload_as_found);
    EXPECT_EQ(std::tuple(lines[1].line, lines[1].path, lines[1].checksum),
              std::tuple(std::size_t{3}, std::string("/c/b.sph"), ChecksumRule::Ignore));
    EXPECT_EQ(lines[2].path, "/c/c d.sph");
    EXPECT_EQ(lines[3].error, "the sph2pipe call must read one file and write to the pipe");
    EXPECT_EQ(lines[4].error, "the sph2wav call must convert one file to WAV on the pipe (-o -)");
}

TEST(WavScp, AnEntryAloneReadsAsItsLine) {
    // What korrin._native reads of lhotse's command sources: the entry
    // after the id, with what the call writes to the pipe.
    const std::string entries[] = {"sph2pipe -f wav -p -c 2 -t 1:2 /c/a.sph |",
                                   "sph2pipe -c 1 /c/a.sph|",
                                   "  /c/c d.sph ",
                                   "sph2pipe -f raw /c/a.sph |",
                                   "sox x |",
                                   "  "};
    const Encoding encodings[] = {Encoding::Wav, Encoding::Sphere, Encoding::Wav, Encoding::Raw};
    for (std::size_t i = 0; i < std::size(entries); ++i) {
        Recording alone;
        parse_wav_scp_entry(entries[i], alone);
        const auto lines = parse_wav_scp("id " + entries[i] + "\n");
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(std::tuple(alone.error, alone.path, alone.coding, alone.pick.channel, alone.encoding),
                  std::tuple(lines[0].error, lines[0].path, lines[0].coding, lines[0].pick.channel, lines[0].encoding))
            << entries[i];
        if (i < std::size(encodings)) {
            EXPECT_EQ(alone.encoding, encodings[i]) << entries[i];
        }
        EXPECT_EQ(alone.error.empty(), i < std::size(encodings)) << entries[i];
    }
}

TEST(WavScp, IdsMustBeSafeFileNames) {
    const std::pair<std::string, bool> cases[] = {
        {"sw02001-A_000098-001156", true},
        {"ünïcode", true},
        {"", false},
        {"..", false},
        {"a/b", false},
        {std::string("a\0b", 3), false},
        {"tab\there", false},
        {std::string(251, 'x'), true},
        {std::string(252, 'x'), false},
    };
    for (const auto& [id, safe] : cases) EXPECT_EQ(check_id(id, ".wav").has_value(), safe) << id;
}

}  // namespace
}  // namespace korrin::cli

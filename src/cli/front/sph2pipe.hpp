// The command line of LDC's sph2pipe 2.5, which speech recipes call by name:
//   sph2pipe [-h hdr] [-t|-s b:e] [-c N] [-p|-u|-a] [-f typ] infile [outfile]
// parsed as POSIX getopt with GNU's reordering parses it (bundles such as
// -pc1, options after the file names, "--" to end them), and made into a
// plan of one task.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cli/job.hpp"
#include "cli/run/runner.hpp"

namespace korrin::cli {

struct PipeCommand {
    enum class Action { Convert, Help, Version, BadUsage };
    Action action = Action::Convert;
    std::string error;  // Action::BadUsage: what is wrong

    std::optional<std::string> header_file;    // -h
    std::optional<std::uint64_t> channel;      // -c, 1-based
    std::optional<PipeSpan> span;              // -t or -s
    CodingChoice coding = CodingChoice::Keep;  // -p, -u, -a: the last one given
    Encoding encoding = Encoding::Sphere;      // -f
    std::vector<std::string> files;            // the input, then perhaps the output
};

// Reads the arguments after the program name. With `stop_at_operand` (as
// POSIXLY_CORRECT asks of getopt) the options end at the first file name.
// "--help" and "--version", anywhere, ask for those.
PipeCommand parse_sph2pipe(std::span<const char* const> args, bool stop_at_operand = false);

// A -t or -s value: "b:e", either end may be empty (b: 0, e: the end), e of
// 0 means the end. -t ends are numbers as C's strtod reads them, exponents
// and hexadecimal included, whole and neither negative nor NaN; -s ends are
// decimal digits. An error when the text is not one.
Result<PipeSpan> parse_pipe_span(std::string_view text, PipeSpan::Unit unit);

// The output format of -f: a prefix of its argument, in any letter case
// ("wav", "rif", "sph", "raw", "au", "aif", "mac").
std::optional<Encoding> pipe_encoding(std::string_view name);

// The output a parsed command makes of its input.
Output pipe_output(const PipeCommand& command);

// The plan of a parsed command (Action::Convert) and how it runs.
Plan sph2pipe_plan(const PipeCommand& command);
RunSettings sph2pipe_settings();

// The program run as "sph2pipe": returns the exit status (1 on every
// failure, usage errors included).
int sph2pipe_main(std::span<const char* const> args);

// The usage line and the --help text: made at build time from
// help/sph2pipe.txt, as the man page is (cmake/help_text.cmake).
extern const char sph2pipe_usage[];
extern const char sph2pipe_help[];

}  // namespace korrin::cli

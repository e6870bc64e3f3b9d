#include "cli/front/sph2pipe.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "common/text.hpp"

namespace korrin::cli {

const char sph2pipe_usage[] =
    "Usage: sph2pipe [-h hdr] [-t|-s b:e] [-c N] [-p|-u|-a] [-f typ] infile [outfile]\n";

const char sph2pipe_help[] =
    "Usage: sph2pipe [-h hdr] [-t|-s b:e] [-c N] [-p|-u|-a] [-f typ] infile [outfile]\n"
    "Convert a NIST SPHERE file (PCM, mu-law, A-law, Shorten) as LDC's sph2pipe 2.5\n"
    "does, with its command line; the output goes to outfile, or to standard output.\n"
    "\n"
    "  -f typ   output format, by prefix in any case: sph (the default), raw,\n"
    "           au, rif or wav, aif or mac\n"
    "  -p       16-bit linear PCM\n"
    "  -u       8-bit mu-law\n"
    "  -a       8-bit A-law (the last of -p, -u and -a counts; without any, the\n"
    "           input's coding is kept: mu-law and A-law stay 8-bit)\n"
    "  -c N     channel N only (1 is the first)\n"
    "  -t b:e   seconds b (inclusive) to e (exclusive), each truncated to a frame\n"
    "  -s b:e   frames b to e; in both, an empty b is 0, an e of 0 or empty the end\n"
    "  -h hdr   infile holds samples only; its SPHERE header is the file hdr\n"
    "\n"
    "Where sph2pipe 2.5 goes wrong, this program does otherwise:\n"
    "  - every channel of a file with more than two is kept in order, and -c picks\n"
    "    any of them; a channel the file does not have is an error\n"
    "  - a negative span, -t and -s together, and loose text (-c 12 on a file of\n"
    "    two channels, -s 10abc:20) are errors\n"
    "  - a truncated Shorten stream and a header without end_head are errors;\n"
    "    8-bit linear PCM is linear (-p gives s << 8), not mu-law; 2-byte PCM with\n"
    "    sample_byte_format 1 is little-endian; 4-byte PCM stays 32-bit (-p takes\n"
    "    its upper 16 bits); pculaw (bit-reversed mu-law) is read\n"
    "  - a stored payload of another size than the header says is taken as the\n"
    "    whole frames the file holds, header and samples agreeing (a warning)\n"
    "  - A-law AU is labelled A-law; odd 8-bit WAV data gets its pad byte;\n"
    "    -32768 becomes the loudest negative mu-law code\n"
    "  - a failed run leaves no output file, and an existing one as it was; an\n"
    "    output is never written over its own input\n"
    "  - a G.711 SPHERE output without sample_coding gets one; a header that grows\n"
    "    gets a whole new size line\n"
    "sample_checksum is not checked; a mismatch is a warning on standard error.\n"
    "Exit status: 0 on success, 1 on any failure (usage errors included).\n";

namespace {

PipeCommand bad(std::string message) {
    PipeCommand command;
    command.action = PipeCommand::Action::BadUsage;
    command.error = std::move(message);
    return command;
}

std::string quoted(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.append("'").append(text).append("'");
    return out;
}

// A whole number as strtod reads one, without the white space it skips.
std::optional<double> parse_seconds_end(std::string_view text) {
    if (text.empty() || is_white_space(static_cast<unsigned char>(text[0]))) return std::nullopt;
    const std::string copy(text);
    char* end = nullptr;
    const double value = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size() || std::isnan(value) || value < 0) return std::nullopt;
    return value;
}

bool takes_value(char option) { return option == 'h' || option == 't' || option == 's' || option == 'c' || option == 'f'; }

// Applies one option; an error message, or nothing.
std::optional<std::string> apply(PipeCommand& command, char option, std::string_view value, bool& seen_span) {
    switch (option) {
        case 'p': command.coding = CodingChoice::Linear16; return std::nullopt;
        case 'u': command.coding = CodingChoice::Ulaw; return std::nullopt;
        case 'a': command.coding = CodingChoice::Alaw; return std::nullopt;
        case 'h': command.header_file = std::string(value); return std::nullopt;
        case 'f':
            if (auto encoding = pipe_encoding(value)) {
                command.encoding = *encoding;
                return std::nullopt;
            }
            return "unknown output format " + quoted(value) + " (sph, raw, au, wav or rif, aif or mac)";
        case 'c':
            if (auto channel = parse_digits(value); channel && *channel > 0) {
                command.channel = *channel;
                return std::nullopt;
            }
            return "invalid channel " + quoted(value) + " (expected 1 or more)";
        case 't':
        case 's': {
            const PipeSpan::Unit unit = option == 't' ? PipeSpan::Unit::Seconds : PipeSpan::Unit::Frames;
            if (seen_span && command.span && command.span->unit != unit) return "-t and -s exclude each other";
            std::string error;
            auto span = parse_pipe_span(value, unit, error);
            if (!span) return error;
            command.span = std::move(*span);
            seen_span = true;
            return std::nullopt;
        }
        default: break;
    }
    return cat("invalid option -- '", option, "'");
}

}  // namespace

std::optional<PipeSpan> parse_pipe_span(std::string_view text, PipeSpan::Unit unit, std::string& error) {
    const bool seconds = unit == PipeSpan::Unit::Seconds;
    const char* flag = seconds ? "-t" : "-s";
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos) {
        error = cat("invalid span ", quoted(text), " for ", flag, " (expected b:e)");
        return std::nullopt;
    }
    const std::string_view b = text.substr(0, colon), e = text.substr(colon + 1);
    PipeSpan span;
    span.unit = unit;
    span.text = std::string(text);
    const auto bad_end = [&](std::string_view end) {
        error = cat("invalid span ", quoted(text), " for ", flag, ": ", quoted(end),
                    seconds ? " is not a number of seconds (0 or more)" : " is not a frame number (0 or more)");
        return std::nullopt;
    };
    if (seconds) {
        if (!b.empty()) {
            const auto value = parse_seconds_end(b);
            if (!value) return bad_end(b);
            span.begin_time = *value;
        }
        if (!e.empty()) {
            const auto value = parse_seconds_end(e);
            if (!value) return bad_end(e);
            span.end_time = *value;
        }
        if (span.end_time != 0 && span.begin_time >= span.end_time) {
            error = cat("invalid span ", quoted(text), " for -t: it starts at or after its end");
            return std::nullopt;
        }
        return span;
    }
    if (!b.empty()) {
        const auto value = parse_digits(b);
        if (!value) return bad_end(b);
        span.begin_frame = *value;
    }
    if (!e.empty()) {
        const auto value = parse_digits(e);
        if (!value) return bad_end(e);
        span.end_frame = *value;
    }
    if (span.end_frame != 0 && span.begin_frame >= span.end_frame) {
        error = cat("invalid span ", quoted(text), " for -s: it starts at or after its end");
        return std::nullopt;
    }
    return span;
}

std::optional<Encoding> pipe_encoding(std::string_view name) {
    const std::string lower = ascii_lower(name);
    const std::string_view text = lower;
    if (text.starts_with("rif") || text.starts_with("wav")) return Encoding::Wav;
    if (text.starts_with("sph")) return Encoding::Sphere;
    if (text.starts_with("raw")) return Encoding::Raw;
    if (text.starts_with("au")) return Encoding::Au;
    if (text.starts_with("aif") || text.starts_with("mac")) return Encoding::Aiff;
    return std::nullopt;
}

PipeCommand parse_sph2pipe(std::span<const char* const> args, bool stop_at_operand) {
    PipeCommand command;
    bool options_ended = false;
    bool seen_span = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (!options_ended && (arg == "--help" || arg == "--version")) {
            if (command.action == PipeCommand::Action::Convert)
                command.action = arg == "--help" ? PipeCommand::Action::Help : PipeCommand::Action::Version;
            continue;
        }
        if (options_ended || arg.size() < 2 || arg[0] != '-') {
            command.files.emplace_back(arg);
            if (stop_at_operand) options_ended = true;
            continue;
        }
        if (arg == "--") {
            options_ended = true;
            continue;
        }
        for (std::size_t k = 1; k < arg.size(); ++k) {
            const char option = arg[k];
            std::string_view value;
            if (takes_value(option)) {
                if (k + 1 < arg.size())
                    value = arg.substr(k + 1);
                else if (i + 1 < args.size())
                    value = args[++i];
                else
                    return bad(cat("option requires an argument -- '", option, "'"));
                k = arg.size();
            }
            if (auto error = apply(command, option, value, seen_span)) return bad(std::move(*error));
        }
    }
    if (command.action != PipeCommand::Action::Convert) return command;
    if (command.files.empty()) return bad("no input file given");
    if (command.files.size() > 2) return bad("too many file names (an input, and perhaps an output)");
    return command;
}

Output pipe_output(const PipeCommand& command) {
    Output output;
    output.name = command.files.at(0);
    output.pick.rule = Pick::Rule::Sph2pipe;
    output.pick.channel = command.channel;
    output.pick.span = command.span;
    output.encoding = command.encoding;
    output.coding = command.coding;
    output.checksum = ChecksumRule::Warn;
    output.payload_as_found = true;
    return output;
}

Plan sph2pipe_plan(const PipeCommand& command) {
    Plan plan;
    Task task;
    const std::string& input = command.files.at(0);
    task.from_stdin = input == "-";
    task.input = input;
    task.name = task.from_stdin ? "standard input" : input;
    if (command.header_file) task.header_file = *command.header_file;
    Output output = pipe_output(command);
    output.name = task.name;
    if (command.files.size() == 2) output.path = command.files[1];
    output.index = plan.outputs++;
    task.outputs.push_back(std::move(output));
    plan.tasks.push_back(std::move(task));
    return plan;
}

RunSettings sph2pipe_settings() {
    RunSettings settings;
    settings.program = "sph2pipe";
    settings.summary = false;
    settings.existing = Existing::Replace;  // as sph2pipe, which overwrites its output
    settings.naming = Naming::Named;
    return settings;
}

int sph2pipe_main(std::span<const char* const> args) {
    const PipeCommand command = parse_sph2pipe(args, std::getenv("POSIXLY_CORRECT") != nullptr);
    switch (command.action) {
        case PipeCommand::Action::Help:
            std::fputs(sph2pipe_help, stdout);
            return std::fflush(stdout) == 0 ? exit_converted : exit_failed;
        case PipeCommand::Action::Version:
            std::fputs("sph2pipe (korrin_native " KORRIN_VERSION ")\n", stdout);
            return std::fflush(stdout) == 0 ? exit_converted : exit_failed;
        case PipeCommand::Action::BadUsage:
            std::fprintf(stderr, "sph2pipe: %s\n%s", command.error.c_str(), sph2pipe_usage);
            return exit_failed;
        case PipeCommand::Action::Convert: break;
    }
    if (command.header_file && command.files[0] == "-") {
        std::fputs("sph2pipe: -h needs an input file, not standard input\n", stderr);
        return exit_failed;
    }
    return run_plan(sph2pipe_plan(command), sph2pipe_settings()).status;
}

}  // namespace korrin::cli

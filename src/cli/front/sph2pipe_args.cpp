// sph2pipe's command line read into a PipeCommand, and the output it asks
// for: apart from the program around it, so that whatever reads a wav.scp
// line that calls sph2pipe (sph2wav --wav-scp, korrin._native) reads it as
// the program does.
#include <cmath>
#include <cstdlib>
#include <string_view>

#include "cli/front/sph2pipe.hpp"
#include "common/text.hpp"

namespace korrin::cli {

namespace {

PipeCommand bad(std::string message) {
    PipeCommand command;
    command.action = PipeCommand::Action::BadUsage;
    command.error = std::move(message);
    return command;
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

bool takes_value(char option) {
    return option == 'h' || option == 't' || option == 's' || option == 'c' || option == 'f';
}

// Applies one option, or says why it cannot.
Result<void> apply(PipeCommand& command, char option, std::string_view value, bool& seen_span) {
    switch (option) {
        case 'p': command.coding = CodingChoice::Linear16; return ok();
        case 'u': command.coding = CodingChoice::Ulaw; return ok();
        case 'a': command.coding = CodingChoice::Alaw; return ok();
        case 'h': command.header_file = std::string(value); return ok();
        case 'f':
            if (auto encoding = pipe_encoding(value)) {
                command.encoding = *encoding;
                return ok();
            }
            return invalid("unknown output format " + in_quotes(value) + " (sph, raw, au, wav or rif, aif or mac)");
        case 'c':
            if (auto channel = parse_digits(value); channel && *channel > 0) {
                command.channel = *channel;
                return ok();
            }
            return invalid("invalid channel " + in_quotes(value) + " (expected 1 or more)");
        case 't':
        case 's': {
            const PipeSpan::Unit unit = option == 't' ? PipeSpan::Unit::Seconds : PipeSpan::Unit::Frames;
            if (seen_span && command.span && command.span->unit != unit) return invalid("-t and -s exclude each other");
            KR_ASSIGN_OR_RETURN(command.span, parse_pipe_span(value, unit));
            seen_span = true;
            return ok();
        }
        default: break;
    }
    return invalid("invalid option -- '", option, "'");
}

}  // namespace

Result<PipeSpan> parse_pipe_span(std::string_view text, PipeSpan::Unit unit) {
    const bool seconds = unit == PipeSpan::Unit::Seconds;
    const char* flag = seconds ? "-t" : "-s";
    const std::size_t colon = text.find(':');
    if (colon == std::string_view::npos)
        return invalid("invalid span ", in_quotes(text), " for ", flag, " (expected b:e)");
    const std::string_view b = text.substr(0, colon), e = text.substr(colon + 1);
    PipeSpan span;
    span.unit = unit;
    span.text = std::string(text);
    // One end as the unit reads it; an empty end keeps its default.
    const auto read_end = [&](std::string_view end, double& time, std::uint64_t& frame) -> Result<void> {
        if (end.empty()) return ok();
        if (seconds) {
            if (const auto value = parse_seconds_end(end)) {
                time = *value;
                return ok();
            }
        } else if (const auto value = parse_digits(end)) {
            frame = *value;
            return ok();
        }
        return invalid("invalid span ", in_quotes(text), " for ", flag, ": ", in_quotes(end),
                       seconds ? " is not a number of seconds (0 or more)" : " is not a frame number (0 or more)");
    };
    KR_TRY(read_end(b, span.begin_time, span.begin_frame));
    KR_TRY(read_end(e, span.end_time, span.end_frame));
    const bool backwards = seconds ? span.end_time != 0 && span.begin_time >= span.end_time
                                   : span.end_frame != 0 && span.begin_frame >= span.end_frame;
    if (backwards) return invalid("invalid span ", in_quotes(text), " for ", flag, ": it starts at or after its end");
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
            if (auto applied = apply(command, option, value, seen_span); !applied)
                return bad(std::move(applied).error().message);
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

}  // namespace korrin::cli

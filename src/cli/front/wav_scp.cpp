// Reading wav.scp and segments text: lines, words, and the sph2pipe and
// sph2wav calls a line may hold.
#include <cmath>
#include <cstdlib>

#include "cli/front/data_dir.hpp"
#include "cli/front/sph2pipe.hpp"
#include "common/text.hpp"

namespace korrin::cli {

namespace {

// A C string ends at a NUL: the line's path would name another file.
constexpr const char* nul_in_line = "a NUL byte in the line is not understood";

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

std::string_view trim_blanks(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    return text;
}

// The first word of `text` and the rest after it, blanks trimmed.
std::pair<std::string_view, std::string_view> first_word(std::string_view text) {
    text = trim_blanks(text);
    std::size_t end = 0;
    while (end < text.size() && !is_blank(text[end])) ++end;
    return {text.substr(0, end), trim_blanks(text.substr(end))};
}

template <class F>
void each_line(std::string_view text, F&& f) {
    std::size_t number = 0;
    while (!text.empty()) {
        const std::size_t lf = text.find('\n');
        const std::string_view line = text.substr(0, lf);
        text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
        ++number;
        if (!trim_blanks(line).empty()) f(number, trim_blanks(line));
    }
}

std::string_view base_name(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// A number as strtod reads it, the whole word, finite.
std::optional<double> seconds_of(std::string_view word) {
    if (word.empty()) return std::nullopt;
    const std::string copy(word);
    char* end = nullptr;
    const double value = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size() || !std::isfinite(value)) return std::nullopt;
    return value;
}

// A sph2pipe call's options, as the recording's pick.
void from_sph2pipe(std::vector<const char*>& args, Recording& recording) {
    const PipeCommand command = parse_sph2pipe(args);
    if (command.action != PipeCommand::Action::Convert) {
        recording.error = command.action == PipeCommand::Action::BadUsage ? "sph2pipe " + command.error
                                                                          : "sph2pipe prints no audio here";
        return;
    }
    if (command.files.size() != 1 || command.files[0] == "-") {
        recording.error = "the sph2pipe call must read one file and write to the pipe";
        return;
    }
    const Output output = pipe_output(command);
    recording.path = command.files[0];
    recording.header_file = command.header_file;
    recording.pick = output.pick;
    recording.coding = output.coding;
    recording.checksum = output.checksum;
    recording.payload_as_found = output.payload_as_found;
    recording.encoding = command.encoding;
}

// A sph2wav call's options.
void from_sph2wav(std::vector<const char*>& args, Recording& recording) {
    Command command = parse_command_line(args);
    Options& options = command.options;
    if (command.action == Action::BadUsage) {
        recording.error = "sph2wav " + command.error;
        return;
    }
    if (command.action != Action::Convert || options.info || !options.wav_scp.empty()) {
        recording.error = "this sph2wav call converts nothing to the pipe";
        return;
    }
    if (options.inputs.size() != 1 || options.inputs[0] == "-" || options.output != "-" ||
        options.format != OutputFormat::Wav) {
        recording.error = "the sph2wav call must convert one file to WAV on the pipe (-o -)";
        return;
    }
    if (options.samples && options.time) {
        recording.error = "sph2wav -s and -t cannot be used together";
        return;
    }
    recording.path = options.inputs[0].string();
    recording.pick.request.channel = options.channel;
    recording.pick.request.span = options.samples ? options.samples : options.time;
    recording.coding = CodingChoice::Linear;
    recording.checksum = options.checksum ? ChecksumRule::Verify : ChecksumRule::Ignore;
    recording.checksum_hint = " (the line's sph2wav call would need --no-checksum)";
}

}  // namespace

Result<std::vector<std::string>> split_words(std::string_view command) {
    std::vector<std::string> words;
    std::string word;
    bool in_word = false;
    for (std::size_t i = 0; i < command.size(); ++i) {
        const char c = command[i];
        if (is_blank(c)) {
            if (in_word) words.push_back(std::move(word));
            word.clear();
            in_word = false;
            continue;
        }
        in_word = true;
        if (c == '\\') {
            if (++i == command.size()) break;  // a trailing backslash stands for nothing
            word.push_back(command[i]);
        } else if (c == '\'') {
            const std::size_t close = command.find('\'', i + 1);
            if (close == std::string_view::npos) {
                return invalid("an unterminated ' quote is not understood");
            }
            word.append(command.substr(i + 1, close - i - 1));
            i = close;
        } else if (c == '"') {
            for (++i;; ++i) {
                if (i == command.size()) {
                    return invalid("an unterminated \" quote is not understood");
                }
                const char d = command[i];
                if (d == '"') break;
                if (d == '$' || d == '`') {
                    return invalid("a shell expansion ('", d, "') is not understood");
                }
                if (d == '\\' && i + 1 < command.size() &&
                    std::string_view("$`\"\\").find(command[i + 1]) != std::string_view::npos)
                    ++i;
                word.push_back(command[i]);
            }
        } else if (std::string_view("|;&<>()$`*?[]{}~#!").find(c) != std::string_view::npos) {
            if (c == '|') return invalid("a second pipe stage is not understood");
            return invalid("the shell construct '", c, "' is not understood");
        } else {
            word.push_back(c);
        }
    }
    if (in_word) words.push_back(std::move(word));
    return words;
}

void parse_wav_scp_entry(std::string_view entry, Recording& recording) {
    if (entry.find('\0') != std::string_view::npos) {
        recording.error = nul_in_line;
        return;
    }
    const std::string_view rest = trim_blanks(entry);
    if (rest.empty()) {
        recording.error = "no file or command after the recording id";
        return;
    }
    if (!rest.ends_with('|')) {  // a file, converted whole as sph2wav converts it
        recording.path = std::string(rest);
        recording.checksum_hint = " (use --no-checksum to convert it anyway)";
        return;
    }
    const auto words = split_words(rest.substr(0, rest.size() - 1));
    if (!words || words->empty()) {
        recording.error = words ? "an empty command is not understood" : words.error().message;
        return;
    }
    const std::string_view program = base_name((*words)[0]);
    std::vector<const char*> args;
    for (std::size_t i = 1; i < words->size(); ++i) args.push_back((*words)[i].c_str());
    if (program == "sph2pipe")
        from_sph2pipe(args, recording);
    else if (program == "sph2wav")
        from_sph2wav(args, recording);
    else
        recording.error =
            "the command " + in_quotes((*words)[0]) + " is not understood (only sph2pipe and sph2wav are)";
}

std::vector<Recording> parse_wav_scp(std::string_view text) {
    std::vector<Recording> recordings;
    each_line(text, [&](std::size_t number, std::string_view line) {
        Recording& recording = recordings.emplace_back();
        recording.line = number;
        const auto [id, rest] = first_word(line);
        recording.id = std::string(id);
        if (line.find('\0') != std::string_view::npos) {
            recording.error = nul_in_line;
            return;
        }
        parse_wav_scp_entry(rest, recording);
    });
    return recordings;
}

std::vector<SegmentLine> parse_segments(std::string_view text) {
    std::vector<SegmentLine> segments;
    each_line(text, [&](std::size_t number, std::string_view line) {
        SegmentLine& segment = segments.emplace_back();
        segment.line = number;
        std::vector<std::string_view> fields;
        for (std::string_view rest = line; !rest.empty();) {
            auto [word, after] = first_word(rest);
            fields.push_back(word);
            rest = after;
        }
        segment.id = std::string(fields[0]);
        if (line.find('\0') != std::string_view::npos) {
            segment.error = nul_in_line;
            return;
        }
        if (fields.size() != 4 && fields.size() != 5) {
            segment.error = "expected <segment-id> <recording-id> <start> <end> [<channel>]";
            return;
        }
        segment.recording = std::string(fields[1]);
        const auto start = seconds_of(fields[2]);
        const auto end = seconds_of(fields[3]);
        if (!start || *start < 0) {
            segment.error = "start " + in_quotes(fields[2]) + " is not a time in seconds (0 or more)";
            return;
        }
        if (!end || (*end != -1 && *end <= *start)) {
            segment.error = "end " + in_quotes(fields[3]) + " is not a time after the start (or -1, the end)";
            return;
        }
        segment.segment.start = *start;
        segment.segment.end = *end;
        if (fields.size() == 5) {
            const auto channel = parse_digits(fields[4]);
            if (!channel) {
                segment.error = "channel " + in_quotes(fields[4]) + " is not a channel number (0 is the first)";
                return;
            }
            segment.segment.channel = *channel;
        }
    });
    return segments;
}

Result<void> check_id(std::string_view id, std::string_view extension) {
    if (id.empty()) return invalid("an empty id names no file");
    if (id == "." || id == "..") return invalid("the id ", in_quotes(id), " names no file");
    for (const char c : id) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '/') return invalid("an id with '/' names no file of the output directory");
        if (byte < 0x20 || byte == 0x7F) return invalid("an id with a control character names no file");
    }
    if (id.size() + extension.size() > 255)
        return invalid("the id is too long for a file name (", id.size(), " bytes)");
    return ok();
}

}  // namespace korrin::cli

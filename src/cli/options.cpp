#include "cli/options.hpp"

#include <charconv>
#include <string_view>

namespace korrin::cli {

const char usage_line[] = "usage: sph2wav [-o OUTDIR] [-j N] [--pcm] [--force] [-q] INPUT...\n";

const char help_text[] =
    "usage: sph2wav [OPTION]... INPUT...\n"
    "Convert NIST SPHERE audio files (linear PCM, mu-law, A-law, Shorten) to WAV.\n"
    "\n"
    "Each INPUT is a SPHERE file or a directory, searched recursively for *.sph\n"
    "files and for *.wv1, *.wv2 and *.wav files that begin with \"NIST_1A\" (in\n"
    "any letter case; links to directories are not followed). Outputs mirror\n"
    "the input tree under OUTDIR, or sit beside their inputs, named after them\n"
    "with the extension .wav or .pcm. Each output is written to a temporary\n"
    "file and renamed into place; an existing file is never replaced without\n"
    "--force, nor an input even with it.\n"
    "\n"
    "  -o, --output=OUTDIR  write the outputs under OUTDIR\n"
    "  -j, --jobs=N         convert in N threads (default: one per core)\n"
    "      --max-memory=SIZE\n"
    "                       bound the memory of the conversions in flight to SIZE\n"
    "                       bytes (K, M, G, T: powers of 1024; default: half the\n"
    "                       available memory); a larger file is converted alone\n"
    "      --pcm            write raw little-endian PCM (.pcm) instead of WAV\n"
    "  -f, --force          replace outputs that already exist\n"
    "  -q, --quiet          print nothing but errors\n"
    "  -h, --help           show this help and exit\n"
    "  -V, --version        show the version and exit\n"
    "\n"
    "A file that cannot be converted is reported as \"PATH: MESSAGE\" on standard\n"
    "error and the others carry on. Exit status: 0 when every file converted,\n"
    "1 when any failed, 2 on bad usage.\n";

namespace {

enum class Opt { Output, Jobs, Pcm, Force, Quiet, Help, Version, MaxMemory };

struct OptionSpec {
    char short_name;  // '\0': long form only
    std::string_view long_name;
    Opt id;
    bool takes_value;
};

constexpr OptionSpec option_specs[] = {
    {'o', "output", Opt::Output, true},  {'j', "jobs", Opt::Jobs, true},
    {'\0', "pcm", Opt::Pcm, false},      {'f', "force", Opt::Force, false},
    {'q', "quiet", Opt::Quiet, false},   {'h', "help", Opt::Help, false},
    {'V', "version", Opt::Version, false},
    {'\0', "max-memory", Opt::MaxMemory, true},
};

const OptionSpec* find_short(char c) {
    for (const auto& option : option_specs)
        if (option.short_name != '\0' && option.short_name == c) return &option;
    return nullptr;
}

const OptionSpec* find_long(std::string_view name) {
    for (const auto& option : option_specs)
        if (option.long_name == name) return &option;
    return nullptr;
}

Command bad_usage(std::string message) {
    Command command;
    command.action = Action::BadUsage;
    command.error = std::move(message);
    return command;
}

std::string in_quotes(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.append("'").append(text).append("'");
    return out;
}

// A thread count: plain decimal digits, 1 to max_jobs.
std::optional<unsigned> parse_jobs(std::string_view text) {
    unsigned value = 0;
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value == 0 || value > max_jobs)
        return std::nullopt;
    return value;
}

// A memory size: decimal digits, then optionally K, M, G or T (powers of
// 1024, in either case, "B" or "iB" allowed after them); more than 0.
std::optional<std::uint64_t> parse_size(std::string_view text) {
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    if (error != std::errc() || stop == text.data() || value == 0) return std::nullopt;
    std::string_view suffix(stop, static_cast<std::size_t>(end - stop));
    int shift = 0;
    if (!suffix.empty()) {
        switch (suffix[0]) {
            case 'k': case 'K': shift = 10; break;
            case 'm': case 'M': shift = 20; break;
            case 'g': case 'G': shift = 30; break;
            case 't': case 'T': shift = 40; break;
            default: return std::nullopt;
        }
        suffix.remove_prefix(1);
        if (!suffix.empty() && suffix != "B" && suffix != "iB") return std::nullopt;
    }
    if (value > (UINT64_MAX >> shift)) return std::nullopt;
    return value << shift;
}

// Applies one option; returns an error message, or nothing when it applied.
std::optional<std::string> apply(Command& command, const OptionSpec& option,
                                 std::string_view value) {
    Options& options = command.options;
    switch (option.id) {
        case Opt::Output:
            if (value.empty()) return "empty output directory";
            options.output_dir = std::filesystem::path(value);
            break;
        case Opt::Jobs:
            if (auto jobs = parse_jobs(value)) {
                options.jobs = *jobs;
                break;
            }
            return "invalid thread count " + in_quotes(value) + " (expected 1 to " +
                   std::to_string(max_jobs) + ")";
        case Opt::MaxMemory:
            if (auto size = parse_size(value)) {
                options.max_memory = *size;
                break;
            }
            return "invalid memory size " + in_quotes(value) + " (expected a number of bytes, " +
                   "optionally with K, M, G or T)";
        case Opt::Pcm: options.pcm = true; break;
        case Opt::Force: options.force = true; break;
        case Opt::Quiet: options.quiet = true; break;
        // The first of --help and --version wins; the rest of the line is
        // still checked, so a typo is not silently ignored.
        case Opt::Help:
            if (command.action == Action::Convert) command.action = Action::Help;
            break;
        case Opt::Version:
            if (command.action == Action::Convert) command.action = Action::Version;
            break;
    }
    return std::nullopt;
}

}  // namespace

Command parse_command_line(std::span<const char* const> args) {
    Command command;
    bool options_ended = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string_view arg = args[i];
        if (options_ended || arg.size() < 2 || arg[0] != '-') {
            command.options.inputs.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            options_ended = true;
            continue;
        }

        if (arg.starts_with("--")) {
            const std::string_view body = arg.substr(2);
            const auto equals = body.find('=');
            const OptionSpec* option = find_long(body.substr(0, equals));
            if (option == nullptr) return bad_usage("unknown option " + in_quotes(arg));
            std::string_view value;
            if (equals != std::string_view::npos) {
                if (!option->takes_value)
                    return bad_usage("option " + in_quotes(arg.substr(0, equals + 2)) +
                                     " takes no value");
                value = body.substr(equals + 1);
            } else if (option->takes_value) {
                if (i + 1 == args.size())
                    return bad_usage("option " + in_quotes(arg) + " needs a value");
                value = args[++i];
            }
            if (auto error = apply(command, *option, value)) return bad_usage(std::move(*error));
            continue;
        }

        // A bundle of short options: flags, then at most one that takes a
        // value, which is the rest of the bundle or else the next argument.
        for (std::size_t k = 1; k < arg.size(); ++k) {
            const OptionSpec* option = find_short(arg[k]);
            if (option == nullptr)
                return bad_usage("unknown option " + in_quotes(std::string("-") + arg[k]));
            std::string_view value;
            if (option->takes_value) {
                if (k + 1 < arg.size()) {
                    value = arg.substr(k + 1);
                } else if (i + 1 < args.size()) {
                    value = args[++i];
                } else {
                    return bad_usage("option " + in_quotes(std::string("-") + arg[k]) +
                                     " needs a value");
                }
                k = arg.size();
            }
            if (auto error = apply(command, *option, value)) return bad_usage(std::move(*error));
        }
    }
    if (command.action == Action::Convert && command.options.inputs.empty())
        return bad_usage("no input given");
    return command;
}

}  // namespace korrin::cli

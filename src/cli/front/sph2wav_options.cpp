#include "cli/front/sph2wav_options.hpp"

#include <charconv>
#include <string_view>

#include "common/text.hpp"

namespace korrin::cli {

// usage_line and help_text: made from help/sph2wav.txt at build time.

namespace {

enum class Opt {
    Output,
    Jobs,
    MaxMemory,
    Pcm,
    Flac,
    Level,
    NoVerify,
    Channel,
    Samples,
    Time,
    Force,
    Quiet,
    Info,
    Json,
    Help,
    Version,
    SkipExisting,
    KeepExtension,
    NoChecksum,
    WavScp,
    Segments
};

struct OptionSpec {
    char short_name;  // '\0': long form only
    std::string_view long_name;
    Opt id;
    bool takes_value;
};

constexpr OptionSpec option_specs[] = {
    {'o', "output", Opt::Output, true},
    {'j', "jobs", Opt::Jobs, true},
    {'\0', "pcm", Opt::Pcm, false},
    {'c', "channel", Opt::Channel, true},
    {'s', "samples", Opt::Samples, true},
    {'t', "time", Opt::Time, true},
    {'f', "force", Opt::Force, false},
    {'\0', "info", Opt::Info, false},
    {'\0', "json", Opt::Json, false},
    {'q', "quiet", Opt::Quiet, false},
    {'h', "help", Opt::Help, false},
    {'V', "version", Opt::Version, false},
    {'\0', "skip-existing", Opt::SkipExisting, false},
    {'\0', "keep-extension", Opt::KeepExtension, false},
    {'\0', "no-checksum", Opt::NoChecksum, false},
    {'\0', "flac", Opt::Flac, false},
    {'\0', "no-verify", Opt::NoVerify, false},
    // FLAC's levels, spelled as its own tools spell them.
    {'0', "compression-level-0", Opt::Level, false},
    {'1', "compression-level-1", Opt::Level, false},
    {'2', "compression-level-2", Opt::Level, false},
    {'3', "compression-level-3", Opt::Level, false},
    {'4', "compression-level-4", Opt::Level, false},
    {'5', "compression-level-5", Opt::Level, false},
    {'6', "compression-level-6", Opt::Level, false},
    {'7', "compression-level-7", Opt::Level, false},
    {'8', "compression-level-8", Opt::Level, false},
    {'\0', "max-memory", Opt::MaxMemory, true},
    {'\0', "wav-scp", Opt::WavScp, true},
    {'\0', "segments", Opt::Segments, true},
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

// A thread count: plain decimal digits, 1 to max_jobs.
std::optional<unsigned> parse_jobs(std::string_view text) {
    unsigned value = 0;
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end || value == 0 || value > max_jobs) return std::nullopt;
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
            case 'k':
            case 'K': shift = 10; break;
            case 'm':
            case 'M': shift = 20; break;
            case 'g':
            case 'G': shift = 30; break;
            case 't':
            case 'T': shift = 40; break;
            default: return std::nullopt;
        }
        suffix.remove_prefix(1);
        if (!suffix.empty() && suffix != "B" && suffix != "iB") return std::nullopt;
    }
    if (value > (UINT64_MAX >> shift)) return std::nullopt;
    return value << shift;
}

// A channel number: plain decimal digits, 1 or more.
std::optional<std::uint64_t> parse_channel(std::string_view text) {
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || text[0] == '+' || error != std::errc() || stop != end || value == 0) return std::nullopt;
    return value;
}

// Applies one option, or says why it cannot.
Result<void> apply(Command& command, const OptionSpec& option, std::string_view value) {
    Options& options = command.options;
    switch (option.id) {
        case Opt::Output:
            if (value.empty()) return invalid("empty output path");
            options.output = std::filesystem::path(value);
            break;
        case Opt::Jobs:
            if (auto jobs = parse_jobs(value)) {
                options.jobs = *jobs;
                break;
            }
            return invalid("invalid thread count " + in_quotes(value) + " (expected 1 to " + std::to_string(max_jobs) +
                           ")");
        case Opt::MaxMemory:
            if (auto size = parse_size(value)) {
                options.max_memory = *size;
                break;
            }
            return invalid("invalid memory size " + in_quotes(value) + " (expected a number of bytes, " +
                           "optionally with K, M, G or T)");
        case Opt::Flac:
            if (options.format == OutputFormat::Pcm) return invalid("--flac and --pcm exclude each other");
            options.format = OutputFormat::Flac;
            break;
        case Opt::Level: options.flac_settings.level = static_cast<unsigned>(option.long_name.back() - '0'); break;
        case Opt::NoVerify: options.flac_settings.verify = false; break;
        case Opt::Pcm:
            if (options.format == OutputFormat::Flac) return invalid("--flac and --pcm exclude each other");
            options.format = OutputFormat::Pcm;
            break;
        case Opt::Channel:
            if (auto channel = parse_channel(value)) {
                options.channel = *channel;
                break;
            }
            return invalid("invalid channel " + in_quotes(value) + " (expected 1 or more)");
        case Opt::Samples:
        case Opt::Time: {
            const bool frames = option.id == Opt::Samples;
            auto span = select::parse_span(value, frames ? select::Span::Unit::Frames : select::Span::Unit::Seconds);
            if (!span)
                return invalid(
                    "invalid span " + in_quotes(value) +
                    (frames ? " (expected B:E, B: or :E in frames)" : " (expected B:E, B: or :E in seconds)"));
            (frames ? options.samples : options.time) = std::move(*span);
            break;
        }
        case Opt::WavScp:
        case Opt::Segments:
            if (value.empty())
                return invalid("empty path for " + in_quotes(option.id == Opt::WavScp ? "--wav-scp" : "--segments"));
            (option.id == Opt::WavScp ? options.wav_scp : options.segments) = std::filesystem::path(value);
            break;
        case Opt::Info: options.info = true; break;
        case Opt::Json: options.json = true; break;
        case Opt::Force: options.force = true; break;
        case Opt::Quiet: options.quiet = true; break;
        case Opt::SkipExisting: options.skip_existing = true; break;
        case Opt::KeepExtension: options.keep_extension = true; break;
        case Opt::NoChecksum: options.checksum = false; break;
        // The first of --help and --version wins; the rest of the line is
        // still checked, so a typo is not silently ignored.
        case Opt::Help:
            if (command.action == Action::Convert) command.action = Action::Help;
            break;
        case Opt::Version:
            if (command.action == Action::Convert) command.action = Action::Version;
            break;
    }
    return ok();
}

}  // namespace

Command parse_command_line(std::span<const char* const> args) {
    Command command;
    bool options_ended = false;
    std::string flac_only;  // the first option given that means something only for FLAC
    const auto note = [&flac_only](const OptionSpec& option, std::string_view spelled) {
        if ((option.id == Opt::Level || option.id == Opt::NoVerify) && flac_only.empty()) flac_only = spelled;
    };
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
                    return bad_usage("option " + in_quotes(arg.substr(0, equals + 2)) + " takes no value");
                value = body.substr(equals + 1);
            } else if (option->takes_value) {
                if (i + 1 == args.size()) return bad_usage("option " + in_quotes(arg) + " needs a value");
                value = args[++i];
            }
            if (auto applied = apply(command, *option, value); !applied)
                return bad_usage(std::move(applied).error().message);
            note(*option, arg.substr(0, equals));
            continue;
        }

        // A bundle of short options: flags, then at most one that takes a
        // value, which is the rest of the bundle or else the next argument.
        for (std::size_t k = 1; k < arg.size(); ++k) {
            const OptionSpec* option = find_short(arg[k]);
            if (option == nullptr) return bad_usage("unknown option " + in_quotes(std::string("-") + arg[k]));
            std::string_view value;
            if (option->takes_value) {
                if (k + 1 < arg.size()) {
                    value = arg.substr(k + 1);
                } else if (i + 1 < args.size()) {
                    value = args[++i];
                } else {
                    return bad_usage("option " + in_quotes(std::string("-") + arg[k]) + " needs a value");
                }
                k = arg.size();
            }
            if (auto applied = apply(command, *option, value); !applied)
                return bad_usage(std::move(applied).error().message);
            note(*option, std::string("-") + option->short_name);
        }
    }
    const Options& options = command.options;
    const bool flac = options.format == OutputFormat::Flac;
    if (!flac && !flac_only.empty())
        return bad_usage("option " + in_quotes(flac_only) + " applies only to FLAC output (--flac)");
    if (command.action == Action::Convert && flac && !flac::available()) return bad_usage(flac::unavailable_message);
    if (command.action == Action::Convert && options.inputs.empty() && options.wav_scp.empty())
        return bad_usage("no input given");
    if (command.action == Action::Convert && command.options.force && command.options.skip_existing)
        return bad_usage("--force and --skip-existing exclude each other");
    return command;
}

}  // namespace korrin::cli

#include "cli/front/sph2wav_options.hpp"

#include <charconv>
#include <string_view>

#include "common/text.hpp"

namespace korrin::cli {

const char usage_line[] =
    "usage: sph2wav [-o OUTPUT] [-j N] [--pcm | --flac] [-c N] [-s B:E | -t B:E] [--force] [-q] INPUT...\n"
    "       sph2wav --info [--json] INPUT...\n";

const char help_text[] =
    "usage: sph2wav [OPTION]... INPUT...\n"
    "       sph2wav [-c N] [-s B:E | -t B:E] [--pcm | --flac] -o - FILE\n"
    "       sph2wav --info [--json] INPUT...\n"
    "       sph2wav --wav-scp WAV_SCP [--segments SEGMENTS] [--pcm | --flac] -o OUTDIR\n"
    "Convert NIST SPHERE audio files (linear PCM, mu-law, A-law, Shorten) to WAV\n"
    "(or raw PCM, or FLAC).\n"
    "\n"
    "Each INPUT is a SPHERE file or a directory, searched recursively for *.sph\n"
    "files and for *.wv1, *.wv2 and *.wav files that begin with \"NIST_1A\" (in\n"
    "any letter case; links to directories are not followed). An INPUT of \"-\"\n"
    "is one SPHERE file read from standard input (at most 4 GiB), and must be\n"
    "the only one.\n"
    "\n"
    "Where outputs go:\n"
    "  without -o         beside each input, named after it with the extension\n"
    "                     .wav, .pcm or .flac; the output of \"-\" is standard\n"
    "                     output\n"
    "  -o DIR             mirroring the input tree under DIR; with several\n"
    "                     inputs, a directory input, or a DIR that exists as a\n"
    "                     directory or ends in \"/\"; the trees of several input\n"
    "                     directories merge under one DIR\n"
    "  -o FILE            with one input file (or \"-\"): the output file itself,\n"
    "                     in a directory that exists; as cp does, a link's\n"
    "                     target is written, and a device or FIFO written into\n"
    "  -o -               with one input file: standard output, written in one\n"
    "                     go once the whole output is known; never to a terminal\n"
    "                     without --force\n"
    "Each output file is written to a temporary file and renamed into place; an\n"
    "existing file is never replaced without --force, nor an input even with it.\n"
    "\n"
    "Options:\n"
    "  -o, --output=OUTPUT  where the outputs go (see above)\n"
    "  -j, --jobs=N         convert in N threads (default: one per core)\n"
    "      --max-memory=SIZE\n"
    "                       bound the memory of the conversions in flight to SIZE\n"
    "                       bytes (K, M, G, T: powers of 1024; default: half the\n"
    "                       available memory); a larger file is converted alone\n"
    "      --pcm            write raw little-endian PCM (.pcm) instead of WAV\n"
    "      --flac           write FLAC (.flac) instead of WAV, with the header's\n"
    "                       fields as Vorbis comments named SPHERE_<field>\n"
    "  -0 ... -8            FLAC compression level (default 5)\n"
    "      --no-verify      do not have the FLAC encoder check its own output\n"
    "  -c, --channel=N      keep channel N only (1 is the first)\n"
    "  -s, --samples=B:E    keep frames B (inclusive) to E (exclusive); either may\n"
    "                       be left out (B:, :E)\n"
    "  -t, --time=B:E       the same in seconds (\"1.5:3.25\"), each end rounded to\n"
    "                       the nearest frame\n"
    "  -f, --force          replace outputs that already exist; write to a terminal\n"
    "      --skip-existing  leave outputs that already exist as they are and\n"
    "                       count their inputs as skipped (to resume a run)\n"
    "      --keep-extension\n"
    "                       name outputs after the whole input name\n"
    "                       (X.wv1 -> X.wv1.wav), so that X.wv1 and X.wv2 differ\n"
    "      --no-checksum    convert files whose samples do not match their\n"
    "                       header's sample_checksum (checked by default where\n"
    "                       the coding has a known rule: all but 4-byte PCM)\n"
    "  -q, --quiet          print nothing but errors\n"
    "      --info           print each input's header fields and format instead of\n"
    "                       converting\n"
    "      --json           with --info: one JSON object per line and file\n"
    "  -h, --help           show this help and exit\n"
    "  -V, --version        show the version and exit\n"
    "\n"
    "      --wav-scp=WAV_SCP\n"
    "                       convert a Kaldi/ESPnet data directory: each line\n"
    "                       \"ID PATH\" or \"ID sph2pipe|sph2wav OPTIONS PATH |\"\n"
    "                       (parsed, never run) to OUTDIR/data/ID.wav, every file\n"
    "                       read and decoded once; then OUTDIR/wav.scp\n"
    "      --segments=SEGMENTS\n"
    "                       with --wav-scp: cut \"ID RECORDING START END [CHANNEL]\"\n"
    "                       as Kaldi's extract-segments does, one output per ID\n"
    "\n"
    "A span's end beyond the end of a file is cut to the file; a span that\n"
    "starts at or after the file's end, or after its own end, fails the file.\n"
    "\n"
    "Examples:\n"
    "  sph2wav /corpora/wsj0 -o wsj0-wav         convert a tree\n"
    "  sph2wav -c 1 -o - sw02001.sph | ...       channel 1 as WAV on a pipe\n"
    "  sph2wav -c 2 -t 12.5:17.25 -o - sw02001.sph > utt.wav\n"
    "  cat x.sph | sph2wav - > x.wav\n"
    "\n"
    "A file that cannot be converted is reported as \"PATH: MESSAGE\" on standard\n"
    "error and the others carry on. Exit status: 0 when every file converted\n"
    "(or was skipped), 1 when any failed (also when standard output is a pipe\n"
    "closed early, which ends the run silently) or a directory held no SPHERE\n"
    "file, 2 on bad usage.\n";

namespace {

enum class Opt {
    Output, Jobs, MaxMemory, Pcm, Flac, Level, NoVerify, Channel, Samples, Time, Force, Quiet, Info, Json, Help,
    Version, SkipExisting, KeepExtension, NoChecksum, WavScp, Segments
};

struct OptionSpec {
    char short_name;  // '\0': long form only
    std::string_view long_name;
    Opt id;
    bool takes_value;
};

constexpr OptionSpec option_specs[] = {
    {'o', "output", Opt::Output, true},  {'j', "jobs", Opt::Jobs, true},
    {'\0', "pcm", Opt::Pcm, false},      {'c', "channel", Opt::Channel, true},
    {'s', "samples", Opt::Samples, true}, {'t', "time", Opt::Time, true},
    {'f', "force", Opt::Force, false},    {'\0', "info", Opt::Info, false},
    {'\0', "json", Opt::Json, false},
    {'q', "quiet", Opt::Quiet, false},   {'h', "help", Opt::Help, false},
    {'V', "version", Opt::Version, false},
    {'\0', "skip-existing", Opt::SkipExisting, false},
    {'\0', "keep-extension", Opt::KeepExtension, false},
    {'\0', "no-checksum", Opt::NoChecksum, false},
    {'\0', "flac", Opt::Flac, false},    {'\0', "no-verify", Opt::NoVerify, false},
    // FLAC's levels, spelled as its own tools spell them.
    {'0', "compression-level-0", Opt::Level, false}, {'1', "compression-level-1", Opt::Level, false},
    {'2', "compression-level-2", Opt::Level, false}, {'3', "compression-level-3", Opt::Level, false},
    {'4', "compression-level-4", Opt::Level, false}, {'5', "compression-level-5", Opt::Level, false},
    {'6', "compression-level-6", Opt::Level, false}, {'7', "compression-level-7", Opt::Level, false},
    {'8', "compression-level-8", Opt::Level, false},
    {'\0', "max-memory", Opt::MaxMemory, true},
    {'\0', "wav-scp", Opt::WavScp, true},     {'\0', "segments", Opt::Segments, true},
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
            return invalid("invalid thread count " + in_quotes(value) + " (expected 1 to " +
                   std::to_string(max_jobs) + ")");
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
                return invalid("invalid span " + in_quotes(value) +
                       (frames ? " (expected B:E, B: or :E in frames)" : " (expected B:E, B: or :E in seconds)"));
            (frames ? options.samples : options.time) = std::move(*span);
            break;
        }
        case Opt::WavScp:
        case Opt::Segments:
            if (value.empty()) return invalid("empty path for " + in_quotes(option.id == Opt::WavScp ? "--wav-scp" : "--segments"));
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
        if ((option.id == Opt::Level || option.id == Opt::NoVerify) && flac_only.empty())
            flac_only = spelled;
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
                    return bad_usage("option " + in_quotes(arg.substr(0, equals + 2)) +
                                     " takes no value");
                value = body.substr(equals + 1);
            } else if (option->takes_value) {
                if (i + 1 == args.size())
                    return bad_usage("option " + in_quotes(arg) + " needs a value");
                value = args[++i];
            }
            if (auto applied = apply(command, *option, value); !applied) return bad_usage(std::move(applied).error().message);
            note(*option, arg.substr(0, equals));
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
            if (auto applied = apply(command, *option, value); !applied) return bad_usage(std::move(applied).error().message);
            note(*option, std::string("-") + option->short_name);
        }
    }
    const Options& options = command.options;
    const bool flac = options.format == OutputFormat::Flac;
    if (!flac && !flac_only.empty())
        return bad_usage("option " + in_quotes(flac_only) + " applies only to FLAC output (--flac)");
    if (command.action == Action::Convert && flac && !flac::available())
        return bad_usage(flac::unavailable_message);
    if (command.action == Action::Convert && options.inputs.empty() && options.wav_scp.empty())
        return bad_usage("no input given");
    if (command.action == Action::Convert && command.options.force && command.options.skip_existing)
        return bad_usage("--force and --skip-existing exclude each other");
    return command;
}

}  // namespace korrin::cli

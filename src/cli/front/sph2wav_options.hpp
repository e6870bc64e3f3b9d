// The command line of sph2wav: what the user asked for, or why it makes no
// sense.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cli/flac/flac.hpp"
#include "cli/select/select.hpp"

namespace korrin::cli {

inline constexpr unsigned max_jobs = 1024;

// What each input becomes (see encode.hpp for each format's encoder).
enum class OutputFormat { Wav, Pcm, Flac };

struct Options {
    std::vector<std::filesystem::path> inputs;
    std::optional<std::filesystem::path> output;  // -o as given
    unsigned jobs = 0;                            // 0: one per available core
    OutputFormat format = OutputFormat::Wav;
    flac::Settings flac_settings;          // level and verify, for FLAC output
    bool force = false;                    // replace existing outputs
    bool quiet = false;                    // nothing but errors on stderr
    bool checksum = true;                  // check sample_checksum where a rule applies
    bool keep_extension = false;           // X.wv1 -> X.wv1.wav rather than X.wav
    bool skip_existing = false;            // leave existing outputs be, as skipped
    std::uint64_t max_memory = 0;          // 0: half the available memory
    std::optional<std::uint64_t> channel;  // -c, 1-based
    std::optional<select::Span> samples;   // -s
    std::optional<select::Span> time;      // -t
    std::filesystem::path wav_scp;         // --wav-scp: a data directory's recordings
    std::filesystem::path segments;        // --segments: its utterances
    bool info = false;                     // print headers, convert nothing
    bool json = false;                     // --info as JSON lines

    // Decided by `validate` from the above: where outputs go and what to pick.
    std::optional<std::filesystem::path> output_dir;   // none: beside each input
    std::optional<std::filesystem::path> output_file;  // the one input's output
    bool from_stdin = false;                           // the one input is "-"
    bool to_stdout = false;                            // -o -, or "-" without -o
    select::Request selection;
};

enum class Action { Convert, Help, Version, BadUsage };

struct Command {
    Action action = Action::Convert;
    Options options;
    std::string error;  // what is wrong, for Action::BadUsage
};

// Reads the arguments after the program name. Options and inputs may come in
// any order; "--" ends the options. Short options bundle ("-qf") and take
// their value attached or separate ("-j4", "-j 4"); long ones take theirs
// after "=" or separate ("--jobs=4", "--jobs 4").
Command parse_command_line(std::span<const char* const> args);

// The checks that involve several options, or the inputs and the output as
// they are on disk; fills in the decided fields of `options`. Returns why the
// command line makes no sense, or nothing.
Result<void> validate(Options& options);

// The short usage printed after a usage error (every form of the command
// line) and the --help text: made at build time from help/sph2wav.txt, as
// the man page is (cmake/help_text.cmake).
extern const char usage_line[];
extern const char help_text[];

}  // namespace korrin::cli

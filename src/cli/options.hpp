// The command line of sph2wav: what the user asked for, or why it makes no
// sense.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cli/flac.hpp"

namespace korrin::cli {

inline constexpr unsigned max_jobs = 1024;

struct Options {
    std::vector<std::filesystem::path> inputs;
    std::optional<std::filesystem::path> output_dir;  // none: beside each input
    unsigned jobs = 0;                                // 0: one per available core
    bool pcm = false;                                 // raw PCM (.pcm) instead of WAV
    bool flac = false;                                // FLAC (.flac) instead of WAV
    flac::Settings flac_settings;                     // level and verify, for FLAC output
    bool force = false;                               // replace existing outputs
    bool quiet = false;                               // nothing but errors on stderr
    bool checksum = true;                             // check sample_checksum where a rule applies
    bool keep_extension = false;                      // X.wv1 -> X.wv1.wav rather than X.wav
    bool skip_existing = false;                       // leave existing outputs be, as skipped
    std::uint64_t max_memory = 0;                     // 0: half the available memory
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

extern const char usage_line[];
extern const char help_text[];

}  // namespace korrin::cli

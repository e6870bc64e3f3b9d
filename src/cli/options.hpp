// The command line of sph2wav: what the user asked for, or why it makes no
// sense.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace korrin::cli {

inline constexpr unsigned max_jobs = 1024;

struct Options {
    std::vector<std::filesystem::path> inputs;
    std::optional<std::filesystem::path> output_dir;  // none: beside each input
    unsigned jobs = 0;                                // 0: one per available core
    bool pcm = false;                                 // raw PCM (.pcm) instead of WAV
    bool force = false;                               // replace existing outputs
    bool quiet = false;                               // nothing but errors on stderr
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

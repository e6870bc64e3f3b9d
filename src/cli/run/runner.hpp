// A whole conversion run: plan, convert in parallel, report.
#pragma once

#include "cli/front/sph2wav_options.hpp"

namespace korrin::cli {

inline constexpr int exit_converted = 0;  // every file converted
inline constexpr int exit_failed = 1;     // at least one file failed
inline constexpr int exit_usage = 2;      // the command line made no sense

// Runs the conversions that `options` ask for and returns the exit status.
// On any signal that would end the process it removes its temporary files
// and ends the process by that signal, as the shell expects of an
// interrupted program.
int run(const Options& options);

// The threads a run uses when not told: the cores this process may run on.
unsigned default_jobs();

}  // namespace korrin::cli

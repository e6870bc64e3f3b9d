// sph2wav's own command line as a plan: the files of its inputs (a tree
// walk, standard input, or one file), each with one output.
#pragma once

#include "cli/front/sph2wav_options.hpp"
#include "cli/run/runner.hpp"

namespace korrin::cli {

// The output sph2wav's options make of one input, named `name` in reports
// and written to `path` (empty: standard output).
Output sph2wav_output(const Options& options, std::string name, std::filesystem::path path);

// The tasks that validated `options` ask for.
Plan sph2wav_plan(const Options& options);

// How they run.
RunSettings sph2wav_settings(const Options& options);

// Runs them and returns the exit status.
int run_sph2wav(const Options& options);

}  // namespace korrin::cli

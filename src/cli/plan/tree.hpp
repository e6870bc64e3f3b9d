// Which files to convert and where each output goes.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/job.hpp"

namespace korrin::cli {

// A file found, and where its output goes.
struct TreeJob {
    std::filesystem::path input;  // as the user will recognise it in messages
    std::filesystem::path output;
    bool sniff = false;  // convert only if the file begins with "NIST_1A"
};

struct TreePlan {
    std::vector<TreeJob> jobs;
    std::vector<Failure> failures;
};

// Expands the inputs into the files to convert. A file named on the command line is converted
// whatever its name; a directory is searched recursively (symbolic links to
// directories are not followed) for *.sph files, which are always converted,
// and *.wv1, *.wv2 and *.wav files, which are converted when they begin with
// "NIST_1A"; names match in any letter case. A link among them that points
// nowhere or into a loop is a failure. Outputs go to
// `output_dir`/<path below the input> or, without `output_dir`, beside their
// inputs, with `extension` (".wav", ".pcm" or ".flac") in place of the
// input's, or after the whole input name with `keep_extension`
// (X.wv1 -> X.wv1.wav).
//
// Two conversions never share an output and no conversion writes over a file
// it takes as input: of the SPHERE files that would share one, the first (in
// the order of the inputs, then of names) keeps it and the others fail. Trees
// of several input directories under one `output_dir` are merged.
TreePlan make_plan(const std::vector<std::filesystem::path>& inputs,
                   const std::optional<std::filesystem::path>& output_dir, std::string_view extension,
                   bool keep_extension = false);

// The files that make_plan would convert, without outputs (each job's
// output is its input) and without its checks between outputs.
TreePlan find_inputs(const std::vector<std::filesystem::path>& inputs);

}  // namespace korrin::cli

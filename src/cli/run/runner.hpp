// Running a plan: its tasks in parallel under a memory budget, with a
// progress bar and a summary, signals taken by a watch; or, for a
// plan of one task, that task alone in the thread that started it, with
// nothing set up that one conversion does not need.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "cli/convert/task.hpp"
#include "cli/job.hpp"
#include "cli/sink/place.hpp"

namespace korrin::cli {

inline constexpr int exit_converted = 0;  // every file converted
inline constexpr int exit_failed = 1;     // at least one file failed
inline constexpr int exit_usage = 2;      // the command line made no sense

struct Plan {
    std::vector<Task> tasks;
    std::vector<Failure> failures;  // found before any conversion
    std::size_t outputs = 0;        // in all tasks; Output::index counts them
};

struct RunSettings {
    std::string_view program = "sph2wav";
    unsigned jobs = 0;             // 0: one per available core
    std::uint64_t max_memory = 0;  // 0: half the available memory
    bool quiet = false;            // nothing but failures
    bool summary = true;           // a summary line at the end, unless quiet
    Existing existing = Existing::Refuse;
    // Made, and checked to take files, before any input is read; then
    // opened once, and every output below it made through it. Removed
    // again when the run made it and wrote nothing.
    std::optional<std::filesystem::path> output_dir;
    // How the outputs' names are taken: Named for the one output whose
    // name the user gave.
    Naming naming = Naming::Generated;
    // The directories searched, as printed: a run that finds nothing to
    // convert in them fails ("no SPHERE files found under ...").
    std::string searched;
};

struct RunResult {
    int status = exit_converted;
    std::vector<Outcome> outcomes;          // by Output::index
    std::shared_ptr<OutputDir> output_dir;  // as opened, when it was
};

// Runs the plan and says how each output went. On a signal that would end
// the process it removes its temporary files and ends the process by that
// signal, as the shell expects of an interrupted program.
RunResult run_plan(const Plan& plan, const RunSettings& settings);

// The threads a run uses when not told: the cores this process may run on.
unsigned default_jobs();

}  // namespace korrin::cli

// One task: read (a file, standard input, or samples with their header in
// a file of their own) -> decode once -> for each output: pick (a channel,
// a span) -> encode (coding, container) -> write (a file by rename, or
// standard output).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/job.hpp"
#include "cli/report/report.hpp"
#include "cli/run/budget.hpp"
#include "cli/sink/writer.hpp"
#include "transcode/transcode.hpp"

namespace korrin::cli {

enum class Outcome : std::uint8_t {
    Pending,  // not reached (the run was interrupted)
    Converted,
    Failed,      // reported
    NotSphere,   // a candidate found in a directory that is not SPHERE after all
    Skipped,     // its output exists and the run leaves it be
    Stopped,     // the run is being interrupted
    BrokenPipe,  // standard output's reader has gone: failed, nothing to report
};

// Where a task runs: the writer slot it owns, the budget it waits for,
// where it reports, and where each output's outcome
// goes (by Output::index).
struct TaskEnv {
    OutputWriter& writer;
    std::size_t slot;
    MemoryBudget& budget;
    Reporter& reporter;
    Existing existing;
    std::vector<Outcome>& outcomes;
};

// Runs `task` and returns the bytes it read. Every output's outcome is set
// in `env.outcomes`; failures and warnings go to the reporter, under the
// output's name.
std::uint64_t run_task(const Task& task, TaskEnv& env);

}  // namespace korrin::cli

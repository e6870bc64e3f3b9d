// One conversion: read (a file or standard input) -> decode -> select (a
// channel, a span) -> encode (the output format) -> write (a file by rename,
// or standard output).
#pragma once

#include <cstdint>
#include <string>

#include "cli/run/budget.hpp"
#include "cli/sink/writer.hpp"
#include "cli/front/sph2wav_options.hpp"
#include "cli/plan/tree.hpp"
#include "common/bytes.hpp"
#include "common/result.hpp"
#include "transcode/transcode.hpp"

namespace korrin::cli {

enum class Outcome {
    Converted,
    Failed,      // with a message to report
    NotSphere,   // a candidate found in a directory that is not SPHERE after all
    Skipped,     // its output exists and --skip-existing leaves it be
    Stopped,     // the run is being interrupted
    BrokenPipe,  // standard output's reader has gone: failed, nothing to report
};

struct JobResult {
    Outcome outcome = Outcome::Failed;
    std::string message;  // why it failed
    std::uint64_t bytes_read = 0;
};

// The jobs of a run: the tree walk of make_plan, with the output of a single
// input replaced when it is a named file or standard output, or the one job
// for standard input (whose input is shown as "standard input").
Plan plan_for(const Options& options);

// What the core does for this tool beyond the module's behaviour: the older
// Shorten labels and stream version, and the sample checksum unless refused.
transcode::Options core_options(const Options& options);

// The output for one whole SPHERE file: decoded (with `core_options`) as far
// as the selection needs, narrowed to it, and encoded in the format asked
// for. For WAV and PCM without a selection and with the module's own
// options, the bytes of korrin_native's transcode or decode_pcm.
Result<ByteBuffer> convert_bytes(ByteView sph, const Options& options);

// Reads, converts and writes the file of one job, in writer slot `slot`,
// once `budget` admits the memory its header says it needs.
JobResult convert(const Job& job, const Options& options, OutputWriter& writer, std::size_t slot,
                  MemoryBudget& budget);

}  // namespace korrin::cli

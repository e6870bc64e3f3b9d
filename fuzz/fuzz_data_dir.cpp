// wav.scp and segments text: the input is a wav.scp, then after the first
// NUL byte (if any) a segments file. Beyond "no sanitizer report": every
// output planned lies directly in OUTDIR/data, named by a safe id, once;
// every output belongs to one task and has its place in the new wav.scp;
// every pick resolves to frames inside its file and a channel it has.
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "cli/front/data_dir.hpp"
#include "fuzz_check.hpp"

using namespace korrin;
using namespace korrin::cli;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t nul = input.find('\0');
    const std::vector<Recording> recordings = parse_wav_scp(input.substr(0, nul));
    std::vector<SegmentLine> segments;
    if (nul != std::string_view::npos) segments = parse_segments(input.substr(nul + 1));

    DataDirRequest request;
    request.wav_scp_name = "wav.scp";
    request.segments_name = "segments";
    request.output_dir = "/out";
    const auto key = [](const std::string& path) { return path; };  // no file system here
    const DataDirPlan planned =
        plan_data_dir(recordings, nul != std::string_view::npos ? &segments : nullptr, request, key);

    std::set<std::string> names;
    std::size_t outputs = 0;
    for (const Task& task : planned.plan.tasks) {
        fuzz::check(!task.outputs.empty(), "a task without outputs");
        for (const Output& output : task.outputs) {
            ++outputs;
            fuzz::check(output.path.parent_path() == "/out/data", "an output outside OUTDIR/data",
                        output.path.string());
            const std::string name = output.path.filename().string();
            fuzz::check(name.size() <= 255 && name != "." && name != ".." && name.find('/') == std::string::npos,
                        "an unsafe file name", name);
            for (const char c : name)
                fuzz::check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F, "a control character");
            fuzz::check(names.insert(name).second, "two outputs of one name", name);
            fuzz::check(output.index < planned.plan.outputs, "an index beyond the outputs");
            for (const Shape shape : {Shape{1, 0, 1}, Shape{2, 1000, 8000}}) {
                const auto chosen = resolve(output.pick, shape);
                if (!chosen) {
                    fuzz::check_error(chosen.error(), "resolve");
                    continue;
                }
                fuzz::check(chosen->begin <= chosen->end && chosen->end <= shape.frames, "frames outside the file");
                fuzz::check(!chosen->channel || *chosen->channel < shape.channels, "a channel the file lacks");
            }
        }
    }
    fuzz::check(outputs == planned.plan.outputs && planned.index.size() == outputs, "outputs lost or counted twice");
    return 0;
}

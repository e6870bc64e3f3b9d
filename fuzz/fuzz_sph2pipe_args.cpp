// sph2pipe's argument vector: the input is split at NUL bytes into the
// arguments after the program name. Beyond "no sanitizer report": a parse
// either fails with a reason or gives one or two file names; a span it
// accepts is ordered; the pick resolves, against files of several shapes,
// to frames inside the file and a channel it has; the plan is one task of
// one output.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/front/sph2pipe.hpp"
#include "fuzz_check.hpp"

using namespace korrin;
using namespace korrin::cli;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> words(1);
    for (std::size_t i = 0; i < size && words.size() <= 64; ++i) {
        if (data[i] == 0)
            words.emplace_back();
        else
            words.back().push_back(static_cast<char>(data[i]));
    }
    std::vector<const char*> args;
    for (const auto& word : words) args.push_back(word.c_str());
    for (const bool posix : {false, true}) {
        const PipeCommand command = parse_sph2pipe(args, posix);
        if (command.action == PipeCommand::Action::BadUsage) {
            fuzz::check(!command.error.empty(), "a usage error without a reason");
            continue;
        }
        if (command.action != PipeCommand::Action::Convert) continue;
        fuzz::check(command.files.size() == 1 || command.files.size() == 2, "not one or two file names");
        if (command.span) {
            const PipeSpan& span = *command.span;
            if (span.unit == PipeSpan::Unit::Frames)
                fuzz::check(span.end_frame == 0 || span.begin_frame < span.end_frame, "frames out of order");
            else
                fuzz::check(span.begin_time >= 0 && (span.end_time == 0 || span.begin_time < span.end_time),
                            "seconds out of order");
        }
        const Plan plan = sph2pipe_plan(command);
        fuzz::check(plan.tasks.size() == 1 && plan.outputs == 1 && plan.tasks[0].outputs.size() == 1, "not one task");
        for (const Shape shape : {Shape{1, 0, 1}, Shape{2, 1000, 8000}, Shape{5, 37120, 20000}}) {
            const auto chosen = resolve(plan.tasks[0].outputs[0].pick, shape);
            if (!chosen) {
                fuzz::check_error(chosen.error(), "resolve");
                continue;
            }
            fuzz::check(chosen->begin <= chosen->end && chosen->end <= shape.frames, "frames outside the file");
            fuzz::check(!chosen->channel || *chosen->channel < shape.channels, "a channel the file lacks");
        }
    }
    return 0;
}

#include "cli/front/sph2pipe.hpp"

#include <cstdio>
#include <cstdlib>

namespace korrin::cli {

// sph2pipe_usage and sph2pipe_help: made from help/sph2pipe.txt at build time.

Plan sph2pipe_plan(const PipeCommand& command) {
    Plan plan;
    Task task;
    const std::string& input = command.files.at(0);
    task.from_stdin = input == "-";
    task.input = input;
    task.name = task.from_stdin ? "standard input" : input;
    if (command.header_file) task.header_file = *command.header_file;
    Output output = pipe_output(command);
    output.name = task.name;
    if (command.files.size() == 2) output.path = command.files[1];
    output.index = plan.outputs++;
    task.outputs.push_back(std::move(output));
    plan.tasks.push_back(std::move(task));
    return plan;
}

RunSettings sph2pipe_settings() {
    RunSettings settings;
    settings.program = "sph2pipe";
    settings.summary = false;
    settings.existing = Existing::Replace;  // as sph2pipe, which overwrites its output
    settings.naming = Naming::Named;
    return settings;
}

int sph2pipe_main(std::span<const char* const> args) {
    const PipeCommand command = parse_sph2pipe(args, std::getenv("POSIXLY_CORRECT") != nullptr);
    switch (command.action) {
        case PipeCommand::Action::Help:
            std::fputs(sph2pipe_help, stdout);
            return std::fflush(stdout) == 0 ? exit_converted : exit_failed;
        case PipeCommand::Action::Version:
            std::fputs("sph2pipe (korrin_native " KORRIN_VERSION ")\n", stdout);
            return std::fflush(stdout) == 0 ? exit_converted : exit_failed;
        case PipeCommand::Action::BadUsage:
            std::fprintf(stderr, "sph2pipe: %s\n%s", command.error.c_str(), sph2pipe_usage);
            return exit_failed;
        case PipeCommand::Action::Convert: break;
    }
    if (command.header_file && command.files[0] == "-") {
        std::fputs("sph2pipe: -h needs an input file, not standard input\n", stderr);
        return exit_failed;
    }
    return run_plan(sph2pipe_plan(command), sph2pipe_settings()).status;
}

}  // namespace korrin::cli

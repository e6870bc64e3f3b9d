#include "cli/front/sph2pipe.hpp"

#include <cstdio>
#include <cstdlib>

namespace korrin::cli {

const char sph2pipe_usage[] =
    "Usage: sph2pipe [-h hdr] [-t|-s b:e] [-c N] [-p|-u|-a] [-f typ] infile [outfile]\n";

const char sph2pipe_help[] =
    "Usage: sph2pipe [-h hdr] [-t|-s b:e] [-c N] [-p|-u|-a] [-f typ] infile [outfile]\n"
    "Convert a NIST SPHERE file (PCM, mu-law, A-law, Shorten) as LDC's sph2pipe 2.5\n"
    "does, with its command line; the output goes to outfile, or to standard output.\n"
    "\n"
    "  -f typ   output format, by prefix in any case: sph (the default), raw,\n"
    "           au, rif or wav, aif or mac\n"
    "  -p       16-bit linear PCM\n"
    "  -u       8-bit mu-law\n"
    "  -a       8-bit A-law (the last of -p, -u and -a counts; without any, the\n"
    "           input's coding is kept: mu-law and A-law stay 8-bit)\n"
    "  -c N     channel N only (1 is the first)\n"
    "  -t b:e   seconds b (inclusive) to e (exclusive), each truncated to a frame\n"
    "  -s b:e   frames b to e; in both, an empty b is 0, an e of 0 or empty the end\n"
    "  -h hdr   infile holds samples only; its SPHERE header is the file hdr\n"
    "\n"
    "Where sph2pipe 2.5 goes wrong, this program does otherwise:\n"
    "  - every channel of a file with more than two is kept in order, and -c picks\n"
    "    any of them; a channel the file does not have is an error\n"
    "  - a negative span, -t and -s together, and loose text (-c 12 on a file of\n"
    "    two channels, -s 10abc:20) are errors\n"
    "  - a truncated Shorten stream and a header without end_head are errors;\n"
    "    8-bit linear PCM is linear (-p gives s << 8), not mu-law; 2-byte PCM with\n"
    "    sample_byte_format 1 is little-endian; 4-byte PCM stays 32-bit (-p takes\n"
    "    its upper 16 bits); pculaw (bit-reversed mu-law) is read\n"
    "  - a stored payload of another size than the header says is taken as the\n"
    "    whole frames the file holds, header and samples agreeing (a warning)\n"
    "  - A-law AU is labelled A-law; odd 8-bit WAV data gets its pad byte;\n"
    "    -32768 becomes the loudest negative mu-law code\n"
    "  - a failed run leaves no output file, and an existing one as it was; an\n"
    "    output is never written over its own input\n"
    "  - a G.711 SPHERE output without sample_coding gets one; a header that grows\n"
    "    gets a whole new size line\n"
    "sample_checksum is not checked; a mismatch is a warning on standard error.\n"
    "Exit status: 0 on success, 1 on any failure (usage errors included).\n";

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

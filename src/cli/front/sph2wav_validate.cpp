// The rules of the command line that involve several options, or the inputs
// and the output as they are on disk.
#include <unistd.h>

#include <system_error>

#include "cli/front/sph2wav_options.hpp"

namespace korrin::cli {

namespace fs = std::filesystem;

namespace {

bool is_a_directory(const fs::path& path) {
    std::error_code ignored;
    return fs::is_directory(path, ignored);
}

// A -o naming a place to put outputs in rather than an output itself.
bool names_a_directory(const fs::path& output) {
    const std::string& text = output.native();
    return text.ends_with('/') || is_a_directory(output);
}

}  // namespace

Result<void> validate(Options& options) {
    if (!options.segments.empty() && options.wav_scp.empty()) return invalid("--segments needs --wav-scp");
    if (!options.wav_scp.empty()) {
        if (!options.inputs.empty())
            return invalid("--wav-scp takes its inputs from WAV_SCP, not from the command line");
        if (!options.output || *options.output == "-") return invalid("--wav-scp needs -o OUTDIR");
        if (options.info || options.channel || options.samples || options.time || options.keep_extension)
            return invalid("--wav-scp takes no --info, -c, -s, -t or --keep-extension (its lines say what to cut)");
        return ok();
    }
    if (options.json && !options.info) return invalid("--json needs --info");
    if (options.samples && options.time) return invalid("-s and -t cannot be used together");
    if (options.info &&
        (options.output || options.channel || options.samples || options.time || options.format != OutputFormat::Wav))
        return invalid("--info converts nothing: it takes no -o, -c, -s, -t, --pcm or --flac");

    options.selection.channel = options.channel;
    options.selection.span = options.samples ? options.samples : options.time;

    const auto& inputs = options.inputs;
    bool stdin_named = false;
    for (const auto& input : inputs) stdin_named |= input == "-";
    if (stdin_named && inputs.size() > 1) return invalid("standard input ('-') must be the only input");
    options.from_stdin = stdin_named;
    if (options.info) return ok();

    const bool single_file = inputs.size() == 1 && (stdin_named || !is_a_directory(inputs[0]));
    if (options.output == "-") {
        if (inputs.size() != 1) return invalid("standard output (-o -) takes exactly one input");
        if (!single_file) return invalid("standard output (-o -) takes one file, not a directory");
        options.to_stdout = true;
    } else if (stdin_named) {
        if (!options.output)
            options.to_stdout = true;
        else if (names_a_directory(*options.output))
            return invalid("an output directory needs input names: give -o FILE or -o - with standard input");
        else
            options.output_file = options.output;
    } else if (options.output) {
        // As cp does: one file goes into a directory, or is copied to a name.
        if (single_file && !names_a_directory(*options.output))
            options.output_file = options.output;
        else
            options.output_dir = options.output;
    }

    if (options.to_stdout && !options.force && ::isatty(STDOUT_FILENO) == 1)
        return invalid("refusing to write audio to a terminal (redirect it, or use --force)");
    return ok();
}

}  // namespace korrin::cli

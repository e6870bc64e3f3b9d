#include "cli/front/sph2wav.hpp"

#include <system_error>

#include "cli/plan/tree.hpp"
#include "cli/report/report.hpp"

namespace korrin::cli {

namespace {

std::string_view extension_of(OutputFormat format) {
    switch (format) {
        case OutputFormat::Pcm: return ".pcm";
        case OutputFormat::Flac: return ".flac";
        case OutputFormat::Wav: break;
    }
    return ".wav";
}

}  // namespace

Output sph2wav_output(const Options& options, std::string name, std::filesystem::path path) {
    Output output;
    output.name = std::move(name);
    output.pick.request = options.selection;
    output.encoding = options.format == OutputFormat::Pcm    ? Encoding::Raw
                      : options.format == OutputFormat::Flac ? Encoding::Flac
                                                             : Encoding::Wav;
    output.flac = options.flac_settings;
    output.path = std::move(path);
    output.checksum_hint = " (use --no-checksum to convert it anyway)";
    return output;
}

Plan sph2wav_plan(const Options& options) {
    Plan plan;
    const auto add = [&](Task task, Output output) {
        output.index = plan.outputs++;
        task.verify_checksum_at_all = options.checksum;
        task.outputs.push_back(std::move(output));
        plan.tasks.push_back(std::move(task));
    };
    if (options.from_stdin) {
        Task task;
        task.name = "standard input";
        task.from_stdin = true;
        Output output = sph2wav_output(options, task.name, options.output_file.value_or(""));
        add(std::move(task), std::move(output));
        return plan;
    }
    TreePlan tree = make_plan(options.inputs, options.output_dir, extension_of(options.format), options.keep_extension);
    if (tree.jobs.size() == 1) {
        if (options.to_stdout) tree.jobs[0].output.clear();
        if (options.output_file) tree.jobs[0].output = *options.output_file;
    }
    plan.failures = std::move(tree.failures);
    plan.tasks.reserve(tree.jobs.size());
    for (TreeJob& job : tree.jobs) {
        Task task;
        task.input = std::move(job.input);
        task.name = task.input.string();
        task.sniff = job.sniff;
        Output output = sph2wav_output(options, task.name, std::move(job.output));
        add(std::move(task), std::move(output));
    }
    return plan;
}

RunSettings sph2wav_settings(const Options& options) {
    RunSettings settings;
    settings.jobs = options.jobs;
    settings.max_memory = options.max_memory;
    // Standard output carries the one output: standard error carries its
    // failure or warnings, if any, but no summary.
    settings.quiet = options.quiet;
    settings.summary = !options.to_stdout;
    settings.existing = options.force ? Existing::Replace : options.skip_existing ? Existing::Skip : Existing::Refuse;
    settings.output_dir = options.output_dir;
    if (options.output_file) settings.naming = Naming::Named;
    for (const std::filesystem::path& input : options.inputs) {
        std::error_code ignored;
        if (!std::filesystem::is_directory(input, ignored)) continue;
        if (!settings.searched.empty()) settings.searched += ", ";
        settings.searched += escape_name(input.native());
    }
    return settings;
}

int run_sph2wav(const Options& options) { return run_plan(sph2wav_plan(options), sph2wav_settings(options)).status; }

}  // namespace korrin::cli

#include "cli/plan/tree.hpp"

#include <algorithm>
#include <map>
#include <system_error>
#include <unordered_map>

#include "cli/report/report.hpp"
#include "cli/sink/writer.hpp"

namespace korrin::cli {

namespace fs = std::filesystem;

namespace {

bool begins_with_sphere_magic(const fs::path& path) {
    input::InputFile file;
    return file.open(path) && file.has_sphere_magic();
}

enum class Candidate { No, Always, IfSphere };

// What a directory search makes of a file name.
Candidate classify(const fs::path& name) {
    std::string extension = name.extension().string();
    for (char& c : extension)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (extension == ".sph") return Candidate::Always;
    if (extension == ".wv1" || extension == ".wv2" || extension == ".wav") return Candidate::IfSphere;
    return Candidate::No;
}

fs::path with_extension(fs::path path, std::string_view extension, bool keep_extension) {
    if (keep_extension)
        path += extension;
    else
        path.replace_extension(extension);
    return path;
}

class Planner {
  public:
    Planner(const std::optional<fs::path>& output_dir, std::string_view extension, bool keep_extension)
        : output_dir_(output_dir), extension_(extension), keep_extension_(keep_extension) {}

    void add_input(const fs::path& input) {
        std::error_code error;
        const fs::file_status status = fs::status(input, error);
        if (error) {
            fail(input, input::describe(error));
        } else if (fs::is_directory(status)) {
            search(input, input);
        } else {
            const fs::path base = output_dir_ ? *output_dir_ : input.parent_path();
            add_job(input, base / with_extension(input.filename(), extension_, keep_extension_), false);
        }
    }

    TreePlan finish() &&;
    TreePlan found() && { return std::move(plan_); }

  private:
    void fail(const fs::path& path, std::string message) {
        plan_.failures.push_back({path.string(), std::move(message)});
    }

    void add_job(fs::path input, fs::path output, bool sniff) {
        plan_.jobs.push_back({std::move(input), std::move(output), sniff});
    }

    // Adds the candidates below `dir`, a directory inside the input `root`,
    // in the byte order of their names, each directory's files and
    // subdirectories interleaved as their names fall.
    void search(const fs::path& root, const fs::path& dir) {
        std::error_code error;
        fs::directory_iterator it(dir, error);
        if (error) return fail(dir, "cannot read directory: " + input::describe(error));

        // A failed step leaves `it` at the end, with `error` set.
        std::vector<fs::directory_entry> entries;
        for (; it != fs::directory_iterator(); it.increment(error)) entries.push_back(*it);
        if (error) return fail(dir, "cannot read directory: " + input::describe(error));
        std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
            return a.path().filename().native() < b.path().filename().native();
        });

        for (const auto& entry : entries) {
            std::error_code ignored;
            if (entry.is_directory(ignored) && !entry.is_symlink(ignored)) {
                search(root, entry.path());
                continue;
            }
            const Candidate candidate = classify(entry.path().filename());
            if (candidate == Candidate::No) continue;
            // A link to a file counts as the file. One that points nowhere
            // or into a loop fails, as it does when named as an input: the
            // file it stood for would otherwise be lost without a word. A
            // device or a pipe is not a SPHERE file.
            std::error_code broken;
            const fs::file_status target = fs::status(entry.path(), broken);
            if (broken) {
                fail(entry.path(), input::describe(broken));
                continue;
            }
            if (!fs::is_regular_file(target)) continue;
            const fs::path base = output_dir_ ? *output_dir_ : root;
            const fs::path relative = entry.path().lexically_relative(root);
            add_job(entry.path(), base / with_extension(relative, extension_, keep_extension_),
                    candidate == Candidate::IfSphere);
        }
    }

    const std::optional<fs::path>& output_dir_;
    std::string_view extension_;
    bool keep_extension_;
    TreePlan plan_;
};

TreePlan Planner::finish() && {
    // Who writes where, and which paths are read, by normalised path.
    std::map<std::string, std::vector<std::size_t>> writers;
    std::unordered_map<std::string, std::size_t> readers;
    readers.reserve(plan_.jobs.size());
    for (std::size_t i = 0; i < plan_.jobs.size(); ++i) {
        writers[plan_.jobs[i].output.lexically_normal().native()].push_back(i);
        readers.emplace(plan_.jobs[i].input.lexically_normal().native(), i);
    }

    // Only a clash needs a verdict on which files are SPHERE; everything
    // else is decided by the workers, in parallel, as they read each file.
    std::vector<bool> dropped(plan_.jobs.size(), false);
    std::vector<Failure> clashes;
    auto is_sphere = [&](std::size_t i) {
        return !plan_.jobs[i].sniff || begins_with_sphere_magic(plan_.jobs[i].input);
    };
    for (auto& [output, indices] : writers) {
        const auto reader = readers.find(output);
        const bool output_is_an_input = reader != readers.end();
        if (indices.size() < 2 && !output_is_an_input) continue;

        std::erase_if(indices, [&](std::size_t i) {
            if (is_sphere(i)) return false;
            dropped[i] = true;
            return true;
        });
        if (output_is_an_input && is_sphere(reader->second)) {
            // Writing there would destroy an input; the job whose output is
            // its own input is left to fail at run time like any such case.
            for (std::size_t i : indices) {
                if (i == reader->second) continue;
                clashes.push_back(
                    {plan_.jobs[i].input.string(), "output " + escape_name(output) + " would replace an input"});
                dropped[i] = true;
            }
            continue;
        }
        for (std::size_t k = 1; k < indices.size(); ++k) {
            const TreeJob& job = plan_.jobs[indices[k]];
            const TreeJob& first = plan_.jobs[indices[0]];
            // Names that differ only in their extensions (X.wv1, X.wv2) part
            // with --keep-extension.
            const bool extensions_differ = job.input.extension() != first.input.extension();
            clashes.push_back({job.input.string(), "output " + escape_name(job.output.native()) +
                                                       " is also the output of " + escape_name(first.input.native()) +
                                                       (!keep_extension_ && extensions_differ
                                                            ? " (use --keep-extension to name outputs after "
                                                              "the whole input name)"
                                                            : "")});
            dropped[indices[k]] = true;
        }
    }

    std::vector<TreeJob> kept;
    kept.reserve(plan_.jobs.size());
    for (std::size_t i = 0; i < plan_.jobs.size(); ++i)
        if (!dropped[i]) kept.push_back(std::move(plan_.jobs[i]));
    plan_.jobs = std::move(kept);
    plan_.failures.insert(plan_.failures.end(), clashes.begin(), clashes.end());
    return std::move(plan_);
}

}  // namespace

TreePlan make_plan(const std::vector<fs::path>& inputs, const std::optional<fs::path>& output_dir,
                   std::string_view extension, bool keep_extension) {
    Planner planner(output_dir, extension, keep_extension);
    for (const auto& input : inputs) planner.add_input(input);
    return std::move(planner).finish();
}

TreePlan find_inputs(const std::vector<fs::path>& inputs) {
    const std::optional<fs::path> no_output_dir;  // the planner keeps a reference
    Planner planner(no_output_dir, "", false);
    for (const auto& input : inputs) planner.add_input(input);
    TreePlan plan = std::move(planner).found();
    for (TreeJob& job : plan.jobs) job.output = job.input;
    return plan;
}

}  // namespace korrin::cli

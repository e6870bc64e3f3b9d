#include "cli/run/runner.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "cli/report/report.hpp"
#include "cli/run/budget.hpp"
#include "cli/run/process.hpp"
#include "cli/sink/writer.hpp"
#include "platform/platform.hpp"

namespace korrin::cli {

namespace fs = std::filesystem;

unsigned default_jobs() { return platform::usable_processors(); }

namespace {

// Runs one task, a fault in it failing its outputs that had no outcome.
std::uint64_t run_guarded(const Task& task, TaskEnv& env) {
    std::string fault;
    try {
        return run_task(task, env);
    } catch (const std::bad_alloc&) {
        fault = "out of memory";
    } catch (const std::exception& e) {
        fault = e.what();
    }
    for (const Output& output : task.outputs) {
        if (env.outcomes[output.index] != Outcome::Pending) continue;
        env.outcomes[output.index] = Outcome::Failed;
        env.reporter.failure(output.name, fault);
    }
    return 0;
}

void count(const Task& task, const std::vector<Outcome>& outcomes, Counters& counters) {
    for (const Output& output : task.outputs) {
        switch (outcomes[output.index]) {
            case Outcome::Converted: counters.converted.fetch_add(1); break;
            case Outcome::NotSphere: counters.not_sphere.fetch_add(1); break;
            case Outcome::Skipped: counters.skipped.fetch_add(1); break;
            case Outcome::Failed:
            case Outcome::BrokenPipe: counters.failed.fetch_add(1); break;
            case Outcome::Pending:
            case Outcome::Stopped: break;
        }
        counters.finished.fetch_add(1);
    }
}

// The state that the worker threads share.
struct Workers {
    const Plan& plan;
    OutputWriter& writer;
    MemoryBudget& budget;
    Reporter& reporter;
    Existing existing;
    std::vector<Outcome>& outcomes;
    Counters& counters;
    std::atomic<std::size_t> next_task{0};
    std::atomic<std::size_t> tasks_done{0};
    std::atomic<bool> stopping{false};
    platform::SignalWatch* watch = nullptr;  // told once every task is finished

    void work(std::size_t slot) {
        TaskEnv env{writer, slot, budget, reporter, existing, outcomes};
        for (;;) {
            if (stopping.load(std::memory_order_relaxed)) return;
            const std::size_t index = next_task.fetch_add(1);
            if (index >= plan.tasks.size()) return;
            const Task& task = plan.tasks[index];
            counters.bytes_read.fetch_add(run_guarded(task, env));
            for (const Output& output : task.outputs)
                if (outcomes[output.index] == Outcome::Stopped) return;
            count(task, outcomes, counters);
            if (tasks_done.fetch_add(1) + 1 == plan.tasks.size()) watch->post_done();
        }
    }
};

// Makes the output directory and checks that files can be made in it, so
// that a directory that cannot take the outputs is one error before any
// input is read, not one per input after each has been decoded; then opens
// it. The access check uses the effective IDs, as opening the files will.
// `made` receives the directories made, the deepest first.
std::shared_ptr<OutputDir> open_output_dir(const fs::path& dir, Reporter& reporter, std::vector<fs::path>& made) {
    std::error_code error;
    const fs::file_status status = fs::status(dir, error);
    if (fs::exists(status) && !fs::is_directory(status)) {
        reporter.failure(dir.string(), "not a directory");
        return nullptr;
    }
    for (fs::path missing = dir; !missing.empty() && !fs::exists(fs::symlink_status(missing, error));
         missing = missing.parent_path()) {
        made.push_back(missing);
        if (!missing.has_relative_path()) break;
    }
    fs::create_directories(dir, error);
    if (error) {
        reporter.failure(dir.string(), "cannot create directory: " + input::describe(error));
        return nullptr;
    }
    const auto failed = [&](std::string_view what) {
        reporter.failure(dir.string(),
                         std::string(what) + input::describe(std::error_code(errno, std::generic_category())));
        return nullptr;
    };
    if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) return failed("cannot write to directory: ");
    auto opened = OutputDir::open(dir);
    if (!opened) return failed("cannot open directory: ");
    return opened;
}

// Removes the directories a run made and left empty, the deepest first.
void remove_made(const std::vector<fs::path>& made) {
    for (const fs::path& dir : made)
        if (::rmdir(dir.c_str()) != 0) return;
}

// The writer whose named temporaries a signal handler removes.
std::atomic<OutputWriter*> handled_writer{nullptr};

void remove_handled_temporaries() noexcept {
    if (OutputWriter* writer = handled_writer.load()) writer->remove_named_temporaries();
}

// A plan of one task, in this thread: no budget to share, no threads to
// stop, so no signal is taken by a watch. An unnamed temporary file
// needs no handler at all; the handlers that remove a named one are
// installed when the first one is about to be made.
void run_alone(const Plan& plan, const RunSettings& settings, Reporter& reporter, RunResult& result,
               Counters& counters) {
    OutputWriter writer(settings.existing == Existing::Replace, 1, settings.naming, result.output_dir);
    handled_writer = &writer;
    writer.on_first_name([](OutputWriter&) { on_fatal_signal(remove_handled_temporaries); });
    MemoryBudget alone(UINT64_MAX);  // nothing to share it with
    TaskEnv env{writer, 0, alone, reporter, settings.existing, result.outcomes};
    const Task& task = plan.tasks.front();
    counters.bytes_read = run_guarded(task, env);
    count(task, result.outcomes, counters);
    handled_writer = nullptr;
}

void run_workers(const Plan& plan, const RunSettings& settings, Reporter& reporter, RunResult& result,
                 Counters& counters) {
    const std::size_t threads =
        std::min<std::size_t>(settings.jobs != 0 ? settings.jobs : default_jobs(), plan.tasks.size());
    return_large_blocks();
    MemoryBudget budget(settings.max_memory != 0 ? settings.max_memory : default_memory_budget());
    OutputWriter writer(settings.existing == Existing::Replace, threads, settings.naming, result.output_dir);
    Workers run{plan, writer, budget, reporter, settings.existing, result.outcomes, counters, {}, {}, {}, nullptr};

    // A crash removes the named temporaries in flight (unnamed ones vanish
    // with the process anyway).
    handled_writer = &writer;
    on_crash(remove_handled_temporaries);
    struct Forget {
        ~Forget() { handled_writer = nullptr; }
    } forget;

    // From here on the signals that would end the process are blocked and
    // taken by a watch, which this thread waits on between progress ticks,
    // never in a handler.
    const std::unique_ptr<platform::SignalWatch> watch = platform::watch_signals(terminating_signals());
    if (!watch) throw std::system_error(errno, std::generic_category(), "cannot set up the run");
    run.watch = watch.get();

    std::vector<std::jthread> workers;
    workers.reserve(threads);
    try {
        while (workers.size() < threads) workers.emplace_back([&run, slot = workers.size()] { run.work(slot); });
    } catch (const std::system_error&) {
        if (workers.empty()) throw;  // else carry on with the threads there are
    }

    const int tick_ms = reporter.shows_progress() ? 200 : -1;
    const auto show = [&] { reporter.progress(counters, plan.outputs); };
    show();
    for (;;) {
        const platform::SignalWatch::Event event = watch->wait(tick_ms);
        if (event.signal != 0) {
            run.stopping = true;
            writer.abandon();
            reporter.interrupted();
            die_by(event.signal);
        }
        if (event.done) break;
        show();
    }
    workers.clear();
    show();
    counters.waited_for_memory = budget.waits();
    counters.memory_budget = budget.limit();
}

}  // namespace

RunResult run_plan(const Plan& plan, const RunSettings& settings) {
    const auto start = Reporter::Clock::now();
    const bool quiet = settings.quiet;
    Reporter reporter(quiet, !quiet && plan.tasks.size() > 1 && ::isatty(STDERR_FILENO) == 1, start, settings.program);
    RunResult result;
    result.outcomes.assign(plan.outputs, Outcome::Pending);

    // A reader of standard error that goes away, or the file size limit,
    // must not end the run with temporary files left behind: the reports
    // are lost, or the file fails, but the rest of the work is done.
    ignore_write_signals();

    std::vector<fs::path> made;
    if (settings.output_dir && !plan.tasks.empty() &&
        !(result.output_dir = open_output_dir(*settings.output_dir, reporter, made))) {
        result.status = exit_failed;
        return result;
    }
    if (settings.output_dir && plan.tasks.empty()) {
        std::error_code error;
        const fs::file_status status = fs::status(*settings.output_dir, error);
        if (fs::exists(status) && !fs::is_directory(status)) {
            reporter.failure(settings.output_dir->string(), "not a directory");
            result.status = exit_failed;
            return result;
        }
    }
    for (const auto& failure : plan.failures) reporter.failure(failure.path, failure.message);

    Counters counters;
    counters.failed = plan.failures.size();
    if (plan.tasks.size() == 1)
        run_alone(plan, settings, reporter, result, counters);
    else if (!plan.tasks.empty())
        run_workers(plan, settings, reporter, result, counters);

    result.status = counters.failed.load() == 0 ? exit_converted : exit_failed;
    if (counters.converted.load() == 0) remove_made(made);
    // Directories without a SPHERE file in them: a corpus that is not there
    // (unmounted, misspelt) must not pass for one converted.
    const std::size_t outcomes = counters.converted.load() + counters.failed.load() + counters.skipped.load();
    if (!settings.searched.empty() && outcomes == 0) {
        reporter.failure(settings.program, "no SPHERE files found under " + settings.searched);
        result.status = exit_failed;
    } else if (settings.summary) {
        reporter.summary(counters);
    }
    return result;
}

}  // namespace korrin::cli

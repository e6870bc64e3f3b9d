#include "cli/run/runner.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "cli/run/budget.hpp"
#include "cli/convert/task.hpp"
#include "cli/sink/writer.hpp"
#include "cli/plan/tree.hpp"
#include "cli/run/process.hpp"
#include "cli/report/report.hpp"

namespace korrin::cli {

namespace fs = std::filesystem;

unsigned default_jobs() {
    cpu_set_t cpus;
    if (::sched_getaffinity(0, sizeof cpus, &cpus) == 0 && CPU_COUNT(&cpus) > 0)
        return static_cast<unsigned>(CPU_COUNT(&cpus));
    return std::max(1u, std::thread::hardware_concurrency());
}

namespace {

JobResult failed(std::string message) { return {Outcome::Failed, std::move(message), 0}; }

// The state that the worker threads share.
struct Run {
    const Options& options;
    const std::vector<Job>& jobs;
    OutputWriter writer;
    MemoryBudget& budget;
    Reporter& reporter;
    Counters counters;
    std::atomic<std::size_t> next_job{0};
    std::atomic<bool> stopping{false};
    int all_done_fd;  // an eventfd, written once every job is finished

    void work(std::size_t slot) {
        for (;;) {
            if (stopping.load(std::memory_order_relaxed)) return;
            const std::size_t index = next_job.fetch_add(1);
            if (index >= jobs.size()) return;
            const Job& job = jobs[index];

            JobResult result;
            try {
                result = convert(job, options, writer, slot, budget);
            } catch (const std::bad_alloc&) {
                result = failed("out of memory");
            } catch (const std::exception& e) {
                result = failed(e.what());
            }
            counters.bytes_read.fetch_add(result.bytes_read);
            switch (result.outcome) {
                case Outcome::Converted: counters.converted.fetch_add(1); break;
                case Outcome::NotSphere: counters.not_sphere.fetch_add(1); break;
                case Outcome::Skipped: counters.skipped.fetch_add(1); break;
                case Outcome::Stopped: return;
                case Outcome::BrokenPipe: counters.failed.fetch_add(1); break;
                case Outcome::Failed:
                    counters.failed.fetch_add(1);
                    reporter.failure(job.input.string(), result.message);
                    break;
            }
            if (counters.finished.fetch_add(1) + 1 == jobs.size()) {
                const std::uint64_t one = 1;
                [[maybe_unused]] auto ignored = ::write(all_done_fd, &one, sizeof one);
            }
        }
    }
};

// Makes the output directory and checks that files can be made in it, so
// that a directory that cannot take the outputs is one error before any
// input is read, not one per input after each has been decoded. The access
// check uses the effective IDs, as opening the files will.
bool output_dir_usable(const fs::path& dir, Reporter& reporter) {
    std::error_code error;
    fs::create_directories(dir, error);
    if (error) {
        reporter.failure(dir.string(), "cannot create directory: " + describe(error));
        return false;
    }
    if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        reporter.failure(dir.string(), "cannot write to directory: " +
                                           describe(std::error_code(errno, std::generic_category())));
        return false;
    }
    return true;
}

// Closes a descriptor on scope exit.
struct Fd {
    int fd;
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

}  // namespace

int run(const Options& options) {
    const auto start = Reporter::Clock::now();
    // Standard output carries the one output: standard error carries
    // nothing but its failure, if any.
    Reporter reporter(options.quiet || options.to_stdout, ::isatty(STDERR_FILENO) == 1, start);

    // A reader of standard error that goes away, or the file size limit,
    // must not end the run with temporary files left behind: the reports
    // are lost, or the file fails, but the rest of the work is done.
    ignore_write_signals();

    if (options.output_dir) {
        std::error_code error;
        const fs::file_status status = fs::status(*options.output_dir, error);
        if (fs::exists(status) && !fs::is_directory(status)) {
            reporter.failure(options.output_dir->string(), "not a directory");
            return exit_failed;
        }
    }

    const Plan plan = plan_for(options);
    if (options.output_dir && !plan.jobs.empty() && !output_dir_usable(*options.output_dir, reporter))
        return exit_failed;
    for (const auto& failure : plan.failures) reporter.failure(failure.path, failure.message);

    const std::size_t threads = std::min<std::size_t>(
        options.jobs != 0 ? options.jobs : default_jobs(), plan.jobs.size());
    return_large_blocks();
    MemoryBudget budget(options.max_memory != 0 ? options.max_memory : default_memory_budget());
    Run run{options, plan.jobs, OutputWriter(options.force, threads), budget, reporter, {}, {}, {}, -1};
    run.counters.failed = plan.failures.size();

    // A crash removes the named temporaries in flight (unnamed ones vanish
    // with the process anyway).
    static std::atomic<OutputWriter*> crashing_writer{nullptr};
    crashing_writer = &run.writer;
    on_crash([]() noexcept {
        if (OutputWriter* writer = crashing_writer.load()) writer->remove_named_temporaries();
    });
    struct Forget {
        ~Forget() { crashing_writer = nullptr; }
    } forget;

    if (!plan.jobs.empty()) {
        // From here on the signals that would end the process arrive through
        // a descriptor, read by this thread between progress ticks, never in
        // a handler.
        const sigset_t signals = terminating_signals();
        ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
        const Fd signal_fd{::signalfd(-1, &signals, SFD_CLOEXEC)};
        const Fd done_fd{::eventfd(0, EFD_CLOEXEC)};
        if (signal_fd.fd < 0 || done_fd.fd < 0)
            throw std::system_error(errno, std::generic_category(), "cannot set up the run");
        run.all_done_fd = done_fd.fd;

        std::vector<std::jthread> workers;
        workers.reserve(threads);
        try {
            while (workers.size() < threads)
                workers.emplace_back([&run, slot = workers.size()] { run.work(slot); });
        } catch (const std::system_error&) {
            if (workers.empty()) throw;  // else carry on with the threads there are
        }

        pollfd watched[] = {{signal_fd.fd, POLLIN, 0}, {done_fd.fd, POLLIN, 0}};
        const int tick_ms = reporter.shows_progress() ? 200 : -1;
        reporter.progress(run.counters, plan.jobs.size());
        for (;;) {
            const int ready = ::poll(watched, std::size(watched), tick_ms);
            if (ready < 0 && errno != EINTR)
                throw std::system_error(errno, std::generic_category(), "poll");
            if (ready > 0 && (watched[0].revents & POLLIN)) {
                signalfd_siginfo info;
                if (::read(signal_fd.fd, &info, sizeof info) == sizeof info) {
                    run.stopping = true;
                    run.writer.abandon();
                    reporter.interrupted();
                    die_by(static_cast<int>(info.ssi_signo));
                }
            }
            if (ready > 0 && (watched[1].revents & POLLIN)) break;
            reporter.progress(run.counters, plan.jobs.size());
        }
        reporter.progress(run.counters, plan.jobs.size());
    }

    run.counters.waited_for_memory = budget.waits();
    run.counters.memory_budget = budget.limit();
    reporter.summary(run.counters);
    return run.counters.failed.load() == 0 ? exit_converted : exit_failed;
}

}  // namespace korrin::cli

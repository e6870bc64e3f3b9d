// Everything sph2wav tells the user while it works, all on standard error:
// one line per failed file, a progress bar when standard error is a terminal,
// and a summary at the end.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace korrin::cli {

// How far a run has got. Workers add to it; the reporter reads it.
struct Counters {
    std::atomic<std::size_t> finished{0};  // jobs done with, whatever the outcome
    std::atomic<std::size_t> converted{0};
    std::atomic<std::size_t> failed{0};      // failed jobs and inputs that failed earlier
    std::atomic<std::size_t> not_sphere{0};  // candidates that proved not to be SPHERE
    std::atomic<std::size_t> skipped{0};     // inputs whose outputs existed (--skip-existing)
    std::atomic<std::uint64_t> bytes_read{0};
    std::size_t waited_for_memory = 0;  // conversions that waited for the budget, set at the end
    std::uint64_t memory_budget = 0;
};

class Reporter {
  public:
    using Clock = std::chrono::steady_clock;

    Reporter(bool quiet, bool show_progress, Clock::time_point start, std::string_view program = "sph2wav")
        : quiet_(quiet), show_progress_(show_progress && !quiet), start_(start), program_(program) {}

    bool shows_progress() const noexcept { return show_progress_; }

    // "PATH: MESSAGE" on a line of its own. Thread-safe; printed even when quiet.
    void failure(std::string_view path, std::string_view message);

    // "NAME: warning: MESSAGE", unless quiet. Thread-safe.
    void warning(std::string_view name, std::string_view message);

    // Redraws the progress bar, when there is one, for `jobs` jobs in all.
    void progress(const Counters& counters, std::size_t jobs);

    // Removes the progress bar and prints the summary line unless quiet.
    void summary(const Counters& counters);

    // Ends the progress bar's line and says the run was interrupted.
    void interrupted();

  private:
    void emit(std::string_view text);  // one write, under the lock
    double seconds() const;

    bool quiet_;
    bool show_progress_;
    Clock::time_point start_;
    std::string_view program_;  // names the summary
    std::mutex mutex_;
    bool bar_drawn_ = false;  // a bar occupies the current line
};

// A file name as printed in reports: ordinary names, UTF-8 included, are
// unchanged; a backslash is doubled; LF, TAB and CR become \n, \t and \r;
// every other byte of a control character (U+0000 to U+001F, U+007F and
// the C1 controls U+0080 to U+009F) and every byte that is not part of
// valid UTF-8 becomes \xHH (lower-case hexadecimal). A name can then
// neither forge a report line nor reach the terminal as an escape sequence.
std::string escape_name(std::string_view name);

// The same for a message that may hold names: backslashes are left alone,
// since the names in it are escaped already and the core quotes its values
// with backslash escapes of its own.
std::string escape_controls(std::string_view text);

// "12.3 MB", "4.0 GB" (decimal units).
std::string format_bytes(double bytes);

// "0:07", "12:34", "1:02:03".
std::string format_duration(double seconds);

}  // namespace korrin::cli

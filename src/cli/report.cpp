#include "cli/report.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>

namespace korrin::cli {

namespace {

constexpr std::string_view clear_line = "\r\033[K";

std::string format_fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

int terminal_width() {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

}  // namespace

std::string format_bytes(double bytes) {
    static constexpr const char* units[] = {"B", "kB", "MB", "GB", "TB"};
    std::size_t unit = 0;
    while (bytes >= 1000.0 && unit + 1 < std::size(units)) {
        bytes /= 1000.0;
        ++unit;
    }
    return format_fixed(bytes, unit == 0 ? 0 : 1) + " " + units[unit];
}

std::string format_duration(double seconds) {
    const auto total = static_cast<long long>(std::max(0.0, std::round(seconds)));
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60,
                      total % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
    return text;
}

void Reporter::emit(std::string_view text) {
    while (!text.empty()) {
        const ssize_t put = ::write(STDERR_FILENO, text.data(), text.size());
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return;  // nowhere to report to; the exit status still tells
        text.remove_prefix(static_cast<std::size_t>(put));
    }
}

double Reporter::seconds() const {
    return std::chrono::duration<double>(Clock::now() - start_).count();
}

void Reporter::failure(std::string_view path, std::string_view message) {
    std::string line;
    line.reserve(path.size() + message.size() + 8);
    std::lock_guard lock(mutex_);
    if (bar_drawn_) line += clear_line;  // the next tick draws the bar again
    bar_drawn_ = false;
    line.append(path).append(": ").append(message).append("\n");
    emit(line);
}

void Reporter::progress(const Counters& counters, std::size_t jobs) {
    if (!show_progress_) return;
    // The counters move while they are read: keep 0 <= done <= total.
    const std::size_t skipped = std::min(counters.not_sphere.load(), jobs);
    const std::size_t finished = std::min(counters.finished.load(), jobs);
    const std::size_t total = jobs - skipped;
    const std::size_t done = std::min(finished - std::min(finished, skipped), total);
    const double elapsed = seconds();
    const double rate = elapsed > 0 ? static_cast<double>(counters.bytes_read.load()) / elapsed : 0;

    std::string counts = std::to_string(done) + "/" + std::to_string(total) + " files";
    std::string tail = "  " + format_bytes(rate) + "/s";
    if (done > 0 && done < total)
        tail += "  " + format_duration(elapsed / static_cast<double>(done) *
                                       static_cast<double>(total - done)) + " left";

    // "counts [#####.....] tail", the bar taking what the terminal leaves.
    const int width = terminal_width() - 1;  // never write into the last column
    const int room = width - static_cast<int>(counts.size() + tail.size()) - 3;
    std::string line(clear_line);
    line += counts;
    if (room >= 10) {
        const auto bar = static_cast<std::size_t>(std::min(room, 50));
        const std::size_t filled = total == 0 ? bar : bar * done / total;
        line += " [" + std::string(filled, '#') + std::string(bar - filled, '.') + "]";
    }
    if (static_cast<int>(line.size() - clear_line.size() + tail.size()) <= width) line += tail;

    std::lock_guard lock(mutex_);
    emit(line);
    bar_drawn_ = true;
}

void Reporter::summary(const Counters& counters) {
    std::lock_guard lock(mutex_);
    if (bar_drawn_) emit(clear_line);
    bar_drawn_ = false;
    if (quiet_) return;

    const std::size_t converted = counters.converted.load();
    const std::size_t failed = counters.failed.load();
    const std::size_t skipped = counters.skipped.load();
    const std::size_t total = converted + failed;
    const double elapsed = seconds();
    const auto bytes = static_cast<double>(counters.bytes_read.load());
    std::string line = "sph2wav: ";
    if (total == 0 && skipped == 0) {
        line += "no SPHERE files found\n";
        return emit(line);
    }
    if (failed == 0)
        line += std::to_string(converted) + (converted == 1 ? " file" : " files") + " converted";
    else
        line += std::to_string(converted) + " of " + std::to_string(total) +
                " files converted, " + std::to_string(failed) + " failed";
    if (skipped > 0) line += ", " + std::to_string(skipped) + " skipped";
    if (bytes > 0) {
        line += " (" + format_bytes(bytes) + " read in " + format_fixed(elapsed, 2) + " s";
        if (elapsed > 0) line += ", " + format_bytes(bytes / elapsed) + "/s";
        line += ")";
    }
    line += "\n";
    emit(line);
}

void Reporter::interrupted() {
    std::lock_guard lock(mutex_);
    std::string line = bar_drawn_ ? std::string(clear_line) : std::string();
    bar_drawn_ = false;
    if (!quiet_) line += "sph2wav: interrupted\n";
    emit(line);
}

}  // namespace korrin::cli

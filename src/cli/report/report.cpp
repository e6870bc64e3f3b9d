#include "cli/report/report.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "platform/platform.hpp"

namespace korrin::cli {

namespace {

constexpr std::string_view clear_line = "\r\033[K";

std::string format_fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

int terminal_width() { return platform::error_terminal_columns().value_or(80); }

// The length of the valid UTF-8 sequence at the start of `text`, or 0.
std::size_t utf8_length(std::string_view text) {
    const auto at = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = at(0);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
    } else {
        return 0;
    }
    if (text.size() < length || at(1) < low || at(1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if (at(i) < 0x80 || at(i) > 0xBF) return 0;
    return length;
}

std::string escape(std::string_view text, bool backslash) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size());
    const auto escape_byte = [&](unsigned char c) {
        out.append("\\x").push_back(hex[c >> 4]);
        out.push_back(hex[c & 15]);
    };
    while (!text.empty()) {
        const auto c = static_cast<unsigned char>(text[0]);
        const std::size_t length = utf8_length(text);
        if (length == 0) {
            escape_byte(c);
        } else if (c == '\\' && backslash) {
            out.append("\\\\");
        } else if (c == '\n' || c == '\t' || c == '\r') {
            out.push_back('\\');
            out.push_back(c == '\n' ? 'n' : c == '\t' ? 't' : 'r');
        } else if (c < 0x20 || c == 0x7F || (c == 0xC2 && static_cast<unsigned char>(text[1]) < 0xA0)) {
            for (std::size_t i = 0; i < length; ++i) escape_byte(static_cast<unsigned char>(text[i]));
        } else {
            out.append(text.substr(0, length));
        }
        text.remove_prefix(length == 0 ? 1 : length);
    }
    return out;
}

}  // namespace

std::string escape_name(std::string_view name) { return escape(name, true); }

std::string escape_controls(std::string_view text) { return escape(text, false); }

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
    // To the nearest second, without libm's round(): sph2pipe links no libm.
    const auto total = static_cast<long long>(std::max(0.0, seconds) + 0.5);
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
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

double Reporter::seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

void Reporter::failure(std::string_view path, std::string_view message) {
    std::string line;
    line.reserve(path.size() + message.size() + 8);
    std::lock_guard lock(mutex_);
    if (bar_drawn_) line += clear_line;  // the next tick draws the bar again
    bar_drawn_ = false;
    line.append(escape_name(path)).append(": ").append(escape_controls(message)).append("\n");
    emit(line);
}

void Reporter::warning(std::string_view name, std::string_view message) {
    if (quiet_) return;
    std::string line;
    std::lock_guard lock(mutex_);
    if (bar_drawn_) line += clear_line;
    bar_drawn_ = false;
    line.append(escape_name(name)).append(": warning: ").append(escape_controls(message)).append("\n");
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

    std::string counts = std::to_string(done) + "/" + std::to_string(total) + " outputs";
    std::string tail = "  " + format_bytes(rate) + "/s";
    if (done > 0 && done < total)
        tail +=
            "  " + format_duration(elapsed / static_cast<double>(done) * static_cast<double>(total - done)) + " left";

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
    std::string line = std::string(program_) + ": ";
    if (total == 0 && skipped == 0) {
        line += "no SPHERE files found\n";
        return emit(line);
    }
    // Outputs, not files: a recording cut into segments makes several, and
    // a data directory's unreadable line is an output that failed.
    if (failed == 0)
        line += std::to_string(converted) + (converted == 1 ? " output" : " outputs") + " written";
    else
        line += std::to_string(converted) + " of " + std::to_string(total) + " outputs written, " +
                std::to_string(failed) + " failed";
    if (skipped > 0) line += ", " + std::to_string(skipped) + " skipped";
    if (bytes > 0) {
        line += " (" + format_bytes(bytes) + " read in " + format_fixed(elapsed, 2) + " s";
        if (elapsed > 0) line += ", " + format_bytes(bytes / elapsed) + "/s";
        line += ")";
    }
    if (counters.waited_for_memory > 0)
        line += "; " + std::to_string(counters.waited_for_memory) + " waited for memory (budget " +
                format_bytes(static_cast<double>(counters.memory_budget)) + ")";
    line += "\n";
    emit(line);
}

void Reporter::interrupted() {
    std::lock_guard lock(mutex_);
    std::string line = bar_drawn_ ? std::string(clear_line) : std::string();
    bar_drawn_ = false;
    if (!quiet_) line.append(program_).append(": interrupted\n");
    emit(line);
}

}  // namespace korrin::cli

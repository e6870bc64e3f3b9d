#include "cli/sink/writer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <string_view>
#include <system_error>

#include "cli/report/report.hpp"

namespace korrin::cli {

namespace fs = std::filesystem;

namespace {

std::string errno_text() { return describe(std::error_code(errno, std::generic_category())); }

// Linux caps a file name at 255 bytes; a temporary name keeps room for its
// decoration by shortening the final name it is built from.
constexpr std::size_t max_name_in_temp = 200;

}  // namespace

// The steps that change the set of files in flight run under the slot's
// lock, each after a look at `stopped_`: once `abandon` has set it and been
// through a slot, nothing of that slot's can appear or be renamed.

namespace {

// getrandom by its system call: the C library's wrapper came with glibc
// 2.25, and the release build links against 2.17. A kernel without it
// answers ENOSYS, which the caller handles.
ssize_t get_random(void* buffer, std::size_t size) { return ::syscall(SYS_getrandom, buffer, size, 0u); }

// 16 random hexadecimal digits: a name no earlier run can have left.
std::string random_part() {
    std::uint64_t value = 0;
    auto* raw = reinterpret_cast<unsigned char*>(&value);
    std::size_t got = 0;
    while (got < sizeof value) {
        const ssize_t n = get_random(raw + got, sizeof value - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    if (got < sizeof value) {  // no getrandom: still unlike any earlier name
        static std::atomic<std::uint64_t> serial{0};
        value ^= static_cast<std::uint64_t>(::getpid()) << 32 ^
                 static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                 serial.fetch_add(1) * 0x9E3779B97F4A7C15u;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

std::string temp_name(const fs::path& dir, const fs::path& path) {
    const std::string name = path.filename().string().substr(0, max_name_in_temp);
    return (dir / ("." + name + ".tmp-" + random_part())).string();
}

// rename(2) that fails with EEXIST rather than replace `to`. Through the
// system call itself: glibc wraps renameat2 only from 2.28 on, musl not at
// all. ENOSYS, EINVAL or EOPNOTSUPP where the kernel or file system lacks it.
int rename_no_replace(const char* from, const char* to) {
#if defined(SYS_renameat2)
    constexpr unsigned no_replace = 1;  // RENAME_NOREPLACE
    return static_cast<int>(::syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, no_replace));
#else
    errno = ENOSYS;
    return -1;
#endif
}

// How open() says that a file system (or kernel) has no O_TMPFILE.
bool no_unnamed_files(int error) { return error == EOPNOTSUPP || error == EISDIR || error == EINVAL; }

// Gives the unnamed file open on `fd` the name `path`; fails with EEXIST
// when that exists. Through /proc, as unprivileged processes must; with
// AT_EMPTY_PATH where /proc is missing and the process may.
int link_fd(int fd, const char* path) {
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    int linked = ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path, AT_SYMLINK_FOLLOW);
    if (linked != 0 && errno == ENOENT && ::access("/proc/self/fd", F_OK) != 0)
        linked = ::linkat(fd, "", AT_FDCWD, path, AT_EMPTY_PATH);
    return linked;
}

}  // namespace

void OutputWriter::set_temp(Slot& slot, std::string temp) noexcept {
    slot.named.store(false);
    slot.temp = std::move(temp);
    if (!slot.temp.empty() && slot.temp.size() < max_crash_name) {
        std::memcpy(slot.crash_name, slot.temp.c_str(), slot.temp.size() + 1);
        slot.named.store(true);
    }
}

// The crash handler and a thread that is about to create a named file
// each announce themselves, then look at the other: either the thread sees
// the crash and creates nothing, or the handler sees the thread and waits
// for its name to be known before it removes the names it knows.
bool OutputWriter::begin_naming(Slot& slot) noexcept {
    if (arm_ != nullptr && !armed_.exchange(true)) arm_(*this);
    slot.naming.store(true);
    if (!crashing_.load()) return true;
    slot.naming.store(false);
    errno = EINTR;
    return false;
}

int OutputWriter::create_unnamed(Slot& slot, const fs::path& dir) {
    std::lock_guard lock(slot.mutex);
    if (stopped_.load()) {
        errno = EINTR;
        return -1;
    }
    return ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
}

int OutputWriter::create_named(Slot& slot, const fs::path& dir, const fs::path& path) {
    std::lock_guard lock(slot.mutex);
    if (stopped_.load()) {
        errno = EINTR;
        return -1;
    }
    // Known to the crash handler before it exists; a name taken by anyone
    // else, a stale temporary included, is passed over for another.
    if (!begin_naming(slot)) return -1;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        set_temp(slot, temp_name(dir, path));
        fd = ::open(slot.temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
        if (fd >= 0) break;
        const int cause = errno;
        set_temp(slot, {});
        errno = cause;
        if (cause != EEXIST) break;
    }
    slot.naming.store(false);
    return fd;
}

int OutputWriter::link_unnamed(Slot& slot, int fd, const fs::path& dir, const fs::path& path) {
    std::lock_guard lock(slot.mutex);
    if (stopped_.load()) {
        errno = EINTR;
        return -1;
    }
    if (!replace_existing_) return link_fd(fd, path.c_str());
    // linkat never replaces: link under a fresh name, then rename over.
    if (!begin_naming(slot)) return -1;
    for (int attempt = 0; attempt < 100; ++attempt) {
        set_temp(slot, temp_name(dir, path));
        if (link_fd(fd, slot.temp.c_str()) == 0) break;
        const int cause = errno;
        set_temp(slot, {});
        errno = cause;
        if (cause != EEXIST) break;
    }
    slot.naming.store(false);
    if (slot.temp.empty()) return -1;
    const int renamed = ::rename(slot.temp.c_str(), path.c_str());
    const int cause = errno;
    if (renamed != 0) ::unlink(slot.temp.c_str());
    set_temp(slot, {});
    errno = cause;
    return renamed;
}

int OutputWriter::rename_temp(Slot& slot, const fs::path& path) {
    std::lock_guard lock(slot.mutex);
    if (stopped_.load()) {
        errno = EINTR;
        return -1;
    }
    const char* temp = slot.temp.c_str();
    int renamed;
    if (replace_existing_) {
        renamed = ::rename(temp, path.c_str());
    } else {
        renamed = rename_no_replace(temp, path.c_str());
        if (renamed != 0 && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
            // A file system without RENAME_NOREPLACE: a hard link is just as
            // exclusive, and the temporary name is dropped afterwards.
            renamed = ::link(temp, path.c_str());
            if (renamed == 0) ::unlink(temp);
        }
    }
    if (renamed == 0) set_temp(slot, {});
    return renamed;
}

void OutputWriter::drop_temp(Slot& slot) {
    const int cause = errno;
    std::lock_guard lock(slot.mutex);
    if (!slot.temp.empty()) ::unlink(slot.temp.c_str());
    set_temp(slot, {});
    errno = cause;
}

WriteStatus OutputWriter::write(std::size_t slot_index, const fs::path& path, ByteView bytes,
                                std::string& error) {
    Slot& slot = slots_[slot_index];
    const fs::path dir = path.parent_path().empty() ? fs::path(".") : path.parent_path();

    // The directory is made when the first try shows it missing: most
    // outputs go where an earlier one already made it.
    bool unnamed = true;
    const auto create = [&] {
        if (unnamed) {
            const int fd = create_unnamed(slot, dir);
            if (fd >= 0 || !no_unnamed_files(errno)) return fd;
            unnamed = false;  // and so for the rest of this write
        }
        return create_named(slot, dir, path);
    };
    int fd = create();
    if (fd < 0 && errno == ENOENT) {
        std::error_code made;
        fs::create_directories(dir, made);
        if (made) {
            error = "cannot create directory " + escape_name(dir.native()) + ": " + describe(made);
            return WriteStatus::Failed;
        }
        fd = create();
    }
    if (fd < 0) {
        if (stopped_.load()) return WriteStatus::Stopped;
        error = "cannot create a file in " + escape_name(dir.native()) + ": " + errno_text();
        return WriteStatus::Failed;
    }

    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) {
            error = "cannot write " + escape_name(path.native()) + ": " + errno_text();
            ::close(fd);
            if (!unnamed) drop_temp(slot);
            return WriteStatus::Failed;
        }
        done += static_cast<std::size_t>(put);
    }

    int placed;
    if (unnamed) {
        // The file must stay open until it has a name; a late write error
        // that close() reports takes the name away again.
        placed = link_unnamed(slot, fd, dir, path);
        const int cause = errno;
        if (::close(fd) != 0 && placed == 0) {
            error = "cannot write " + escape_name(path.native()) + ": " + errno_text();
            ::unlink(path.c_str());
            return WriteStatus::Failed;
        }
        errno = cause;
    } else {
        if (::close(fd) != 0) {
            error = "cannot write " + escape_name(path.native()) + ": " + errno_text();
            drop_temp(slot);
            return WriteStatus::Failed;
        }
        placed = rename_temp(slot, path);
        if (placed != 0 && !stopped_.load()) drop_temp(slot);
    }
    if (placed != 0) {
        if (stopped_.load()) return WriteStatus::Stopped;  // abandon() has removed any named file
        const int cause = errno;
        if (cause == EEXIST) {
            error = escape_name(path.native()) + " already exists (use --force to replace it)";
            return WriteStatus::Exists;
        }
        error = "cannot create " + escape_name(path.native()) + ": " +
                describe(std::error_code(cause, std::generic_category()));
        return WriteStatus::Failed;
    }
    return WriteStatus::Written;
}

void OutputWriter::abandon() noexcept {
    stopped_.store(true);
    for (Slot& slot : slots_) {
        std::lock_guard lock(slot.mutex);
        if (!slot.temp.empty()) ::unlink(slot.temp.c_str());
        set_temp(slot, {});
    }
}

void OutputWriter::remove_named_temporaries() noexcept {
    crashing_.store(true);
    for (Slot& slot : slots_) {
        // A bounded wait: the crashing thread may be the one in the middle.
        const timespec pause{0, 100'000};
        for (int waited = 0; waited < 1000 && slot.naming.load(); ++waited) ::nanosleep(&pause, nullptr);
        if (slot.named.load()) ::unlink(slot.crash_name);
    }
}

}  // namespace korrin::cli

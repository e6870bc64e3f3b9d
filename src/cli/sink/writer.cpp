#include "cli/sink/writer.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <system_error>

#include "cli/report/report.hpp"
#include "cli/sink/fs_at.hpp"
#include "platform/platform.hpp"

namespace korrin::cli {

namespace fs = std::filesystem;

namespace {

using input::describe;

std::string errno_text() { return describe(std::error_code(errno, std::generic_category())); }

Unwritten failed(std::string message) { return Unwritten{Unwritten::Why::Failed, std::move(message)}; }

// Linux caps a file name at 255 bytes; a temporary name keeps room for its
// decoration by shortening the final name it is built from.
constexpr std::size_t max_name_in_temp = 200;

}  // namespace

// The steps that change the set of files in flight run under the slot's
// lock, each after a look at `stopped_`: once `abandon` has set it and been
// through a slot, nothing of that slot's can appear or be renamed.

namespace {

// 16 random hexadecimal digits: a name no earlier run can have left.
std::string random_part() {
    std::uint64_t value = 0;
    if (!platform::random_bytes(&value, sizeof value)) {  // none: still unlike any earlier name
        static std::atomic<std::uint64_t> serial{0};
        value ^= static_cast<std::uint64_t>(::getpid()) << 32 ^
                 static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                 serial.fetch_add(1) * 0x9E3779B97F4A7C15u;
    }
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

// ".NAME.tmp-RANDOM": a name no earlier run can have left.
std::string temp_name(std::string_view name) {
    std::string temp = ".";
    temp.append(name.substr(0, max_name_in_temp)).append(".tmp-").append(random_part());
    return temp;
}

// Writes all of `bytes` to `fd`; false with errno set when that fails.
bool write_all(int fd, ByteView bytes) {
    while (!bytes.empty()) {
        const ssize_t put = ::write(fd, bytes.data(), bytes.size());
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) {
            if (put == 0) errno = EIO;
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(put));
    }
    return true;
}

}  // namespace

void OutputWriter::set_temp(Slot& slot, const FolderRef& folder, std::string temp) noexcept {
    slot.named.store(false);
    slot.folder = folder;
    slot.temp = std::move(temp);
    if (!slot.temp.empty() && slot.temp.size() < max_crash_name) {
        std::memcpy(slot.crash_name, slot.temp.c_str(), slot.temp.size() + 1);
        slot.crash_folder.store(folder->fd());
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

int OutputWriter::create_unnamed(Slot& slot, const Place& place) {
    std::lock_guard lock(slot.mutex);
    if (stopped_.load()) {
        errno = EINTR;
        return -1;
    }
    return fs_at::create_unnamed(place.folder->fd());
}

int OutputWriter::create_named(Slot& slot, const Place& place) {
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
        set_temp(slot, place.folder, temp_name(place.name));
        fd = fs_at::create_new(place.folder->fd(), slot.temp.c_str());
        if (fd >= 0) break;
        const int cause = errno;
        set_temp(slot, nullptr, {});
        errno = cause;
        if (cause != EEXIST) break;
    }
    slot.naming.store(false);
    return fd;
}

int OutputWriter::link_unnamed(Slot& slot, int fd, const Place& place) {
    std::lock_guard lock(slot.mutex);
    if (stopped_.load()) {
        errno = EINTR;
        return -1;
    }
    const int dir = place.folder->fd();
    if (!replace_existing_) return fs_at::link_unnamed(fd, dir, place.name.c_str());
    // A link never replaces: link under a fresh name, then rename over.
    if (!begin_naming(slot)) return -1;
    for (int attempt = 0; attempt < 100; ++attempt) {
        set_temp(slot, place.folder, temp_name(place.name));
        if (fs_at::link_unnamed(fd, dir, slot.temp.c_str()) == 0) break;
        const int cause = errno;
        set_temp(slot, nullptr, {});
        errno = cause;
        if (cause != EEXIST) break;
    }
    slot.naming.store(false);
    if (slot.temp.empty()) return -1;
    const int renamed = fs_at::rename(dir, slot.temp.c_str(), place.name.c_str(), true);
    const int cause = errno;
    if (renamed != 0) fs_at::remove(dir, slot.temp.c_str());
    set_temp(slot, nullptr, {});
    errno = cause;
    return renamed;
}

int OutputWriter::rename_temp(Slot& slot, const Place& place) {
    std::lock_guard lock(slot.mutex);
    if (stopped_.load()) {
        errno = EINTR;
        return -1;
    }
    const int renamed = fs_at::rename(place.folder->fd(), slot.temp.c_str(), place.name.c_str(), replace_existing_);
    if (renamed == 0) set_temp(slot, nullptr, {});
    return renamed;
}

void OutputWriter::drop_temp(Slot& slot) {
    const int cause = errno;
    std::lock_guard lock(slot.mutex);
    if (!slot.temp.empty()) fs_at::remove(slot.folder->fd(), slot.temp.c_str());
    set_temp(slot, nullptr, {});
    errno = cause;
}

// Only a regular file (or nothing) is replaced: a directory, a device, a
// FIFO or a link that took the name keeps it.
bool OutputWriter::replaceable(const Place& place) {
    struct stat info;
    return !replace_existing_ || fs_at::look(place.folder->fd(), place.name.c_str(), info) != 0 ||
           S_ISREG(info.st_mode);
}

WriteResult OutputWriter::write_through(const fs::path& path, const Place& place, ByteView bytes) {
    std::string error;
    const int fd = fs_at::open_existing(place.through.c_str());
    if (fd < 0) {
        error = "cannot open " + escape_name(path.native()) + ": " + errno_text();
        return failed(std::move(error));
    }
    const bool written = write_all(fd, bytes);
    const int cause = errno;
    if (::close(fd) != 0 && written) {
        error = "cannot write " + escape_name(path.native()) + ": " + errno_text();
        return failed(std::move(error));
    }
    if (!written) {
        error = "cannot write " + escape_name(path.native()) + ": " +
                describe(std::error_code(cause, std::generic_category()));
        return failed(std::move(error));
    }
    return {};
}

WriteResult OutputWriter::write(std::size_t slot_index, const fs::path& path, ByteView bytes) {
    Slot& slot = slots_[slot_index];
    const Result<Place> located = locate(path, naming_, root_.get(), true);
    if (!located) return failed(located.error().message);
    const Place& place = *located;
    if (!place.through.empty()) return write_through(path, place, bytes);
    std::string error;
    const int dir = place.folder->fd();
    const std::string shown = escape_name(path.native());

    bool unnamed = true;
    const auto create = [&] {
        if (unnamed) {
            const int fd = create_unnamed(slot, place);
            if (fd >= 0 || !fs_at::no_unnamed_files(errno)) return fd;
            unnamed = false;  // and so for the rest of this write
        }
        return create_named(slot, place);
    };
    const int fd = create();
    if (fd < 0) {
        if (stopped_.load()) return Unwritten{Unwritten::Why::Stopped, {}};
        const fs::path parent = path.has_parent_path() ? path.parent_path() : fs::path(".");
        error = "cannot create a file in " + escape_name(parent.native()) + ": " + errno_text();
        return failed(std::move(error));
    }

    if (!write_all(fd, bytes)) {
        error = "cannot write " + shown + ": " + errno_text();
        ::close(fd);
        if (!unnamed) drop_temp(slot);
        return failed(std::move(error));
    }
    if (!replaceable(place)) {
        error = shown + " is not a regular file, and is never replaced";
        ::close(fd);
        if (!unnamed) drop_temp(slot);
        return failed(std::move(error));
    }

    int placed;
    if (unnamed) {
        // The file must stay open until it has a name; a late write error
        // that close() reports takes the name away again.
        placed = link_unnamed(slot, fd, place);
        const int cause = errno;
        if (::close(fd) != 0 && placed == 0) {
            error = "cannot write " + shown + ": " + errno_text();
            fs_at::remove(dir, place.name.c_str());
            return failed(std::move(error));
        }
        errno = cause;
    } else {
        if (::close(fd) != 0) {
            error = "cannot write " + shown + ": " + errno_text();
            drop_temp(slot);
            return failed(std::move(error));
        }
        placed = rename_temp(slot, place);
        if (placed != 0 && !stopped_.load()) drop_temp(slot);
    }
    if (placed != 0) {
        if (stopped_.load()) return Unwritten{Unwritten::Why::Stopped, {}};  // abandon() has removed any named file
        const int cause = errno;
        if (cause == EEXIST) {
            return Unwritten{Unwritten::Why::Exists, exists_message(shown)};
        }
        error = "cannot create " + shown + ": " + describe(std::error_code(cause, std::generic_category()));
        return failed(std::move(error));
    }
    return {};
}

void OutputWriter::abandon() noexcept {
    stopped_.store(true);
    for (Slot& slot : slots_) {
        std::lock_guard lock(slot.mutex);
        if (!slot.temp.empty()) fs_at::remove(slot.folder->fd(), slot.temp.c_str());
        set_temp(slot, nullptr, {});
    }
}

void OutputWriter::remove_named_temporaries() noexcept {
    crashing_.store(true);
    for (Slot& slot : slots_) {
        // A bounded wait: the crashing thread may be the one in the middle.
        const timespec pause{0, 100'000};
        for (int waited = 0; waited < 1000 && slot.naming.load(); ++waited) ::nanosleep(&pause, nullptr);
        if (slot.named.load()) fs_at::remove(slot.crash_folder.load(), slot.crash_name);
    }
}

std::string exists_message(const std::string& shown) {
    return shown + " already exists (use --force to replace it, or --skip-existing to keep it)";
}

}  // namespace korrin::cli

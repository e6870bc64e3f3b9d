// Linux's own calls, each the fast or the sound way there: unnamed files
// (O_TMPFILE) that nothing can leave behind, renameat2, signals and a
// wake-up read from descriptors by poll, getrandom, /proc/meminfo, glibc's
// mallopt and transparent huge pages.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>

#include "common/checked.hpp"
#include "platform/platform.hpp"

namespace korrin::platform {

const char* name() noexcept { return "linux"; }

Handle create_unnamed(Handle dir) noexcept { return ::openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666); }

// How open() says that a file system (or kernel) has no O_TMPFILE.
bool no_unnamed_files(int error) noexcept { return error == EOPNOTSUPP || error == EISDIR || error == EINVAL; }

// Through /proc, as unprivileged processes must; with AT_EMPTY_PATH where
// /proc is missing and the process may.
int link_unnamed(Handle file, Handle dir, const char* name) noexcept {
    char self[32];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", file);
    int linked = ::linkat(AT_FDCWD, self, dir, name, AT_SYMLINK_FOLLOW);
    if (linked != 0 && errno == ENOENT && ::access("/proc/self/fd", F_OK) != 0)
        linked = ::linkat(file, "", dir, name, AT_EMPTY_PATH);
    return linked;
}

// renameat2's RENAME_NOREPLACE, through the system call itself (glibc
// wraps it only from 2.28 on, musl not at all); where the kernel or file
// system lacks it, a hard link and the old name dropped.
int rename_no_replace(Handle dir, const char* from, const char* to) noexcept {
#if defined(SYS_renameat2)
    constexpr unsigned no_replace = 1;  // RENAME_NOREPLACE
    const int renamed = static_cast<int>(::syscall(SYS_renameat2, dir, from, dir, to, no_replace));
    if (renamed == 0 || (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)) return renamed;
#endif
    if (::linkat(dir, from, dir, to, 0) != 0) return -1;
    ::unlinkat(dir, from, 0);
    return 0;
}

namespace {

// The signals from a signalfd, the done event from an eventfd, both
// waited for by one poll.
class LinuxSignalWatch final : public SignalWatch {
  public:
    LinuxSignalWatch(int signals, int done) noexcept : signals_(signals), done_(done) {}
    ~LinuxSignalWatch() override {
        ::close(signals_);
        ::close(done_);
    }

    Event wait(int timeout_ms) override {
        pollfd watched[] = {{signals_, POLLIN, 0}, {done_, POLLIN, 0}};
        const int ready = ::poll(watched, 2, timeout_ms);
        Event event;
        if (ready < 0 && errno != EINTR) throw std::system_error(errno, std::generic_category(), "poll");
        if (ready <= 0) return event;  // the time ran out, or EINTR: as good as a tick
        if (watched[0].revents & POLLIN) {
            signalfd_siginfo info;
            if (::read(signals_, &info, sizeof info) == sizeof info) event.signal = static_cast<int>(info.ssi_signo);
        }
        event.done = (watched[1].revents & POLLIN) != 0;
        return event;
    }

    void post_done() noexcept override {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto ignored = ::write(done_, &one, sizeof one);
    }

  private:
    int signals_;
    int done_;
};

}  // namespace

std::unique_ptr<SignalWatch> watch_signals(const sigset_t& signals) {
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    const int signal_fd = ::signalfd(-1, &signals, SFD_CLOEXEC);
    const int done_fd = signal_fd < 0 ? -1 : ::eventfd(0, EFD_CLOEXEC);
    if (done_fd < 0) {
        const int cause = errno;
        if (signal_fd >= 0) ::close(signal_fd);
        errno = cause;
        return nullptr;
    }
    return std::make_unique<LinuxSignalWatch>(signal_fd, done_fd);
}

// getrandom by its system call: the C library's wrapper came with glibc
// 2.25, and the release build links against 2.17. A kernel without it
// answers ENOSYS.
bool random_bytes(void* data, std::size_t length) noexcept {
    auto* bytes = static_cast<unsigned char*>(data);
    std::size_t got = 0;
    while (got < length) {
        const long n = ::syscall(SYS_getrandom, bytes + got, length - got, 0u);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

// What /proc/meminfo calls available; else the free pages.
std::optional<std::uint64_t> available_memory() {
    std::ifstream meminfo("/proc/meminfo");
    std::string name;
    std::uint64_t kilobytes = 0;
    std::string unit;
    std::uint64_t bytes = 0;
    while (meminfo >> name >> kilobytes >> unit) {
        if (name == "MemAvailable:") return checked_mul(kilobytes, std::uint64_t{1024}, bytes) ? bytes : UINT64_MAX;
    }
    const long pages = ::sysconf(_SC_AVPHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGESIZE);
    if (pages > 0 && page_size > 0 &&
        checked_mul(static_cast<std::uint64_t>(pages), static_cast<std::uint64_t>(page_size), bytes))
        return bytes;
    return std::nullopt;
}

void return_large_blocks() noexcept {
    // Setting the threshold also turns off glibc's raising it to the size
    // of each large block freed.
#if defined(M_MMAP_THRESHOLD)  // glibc's malloc; others (musl's) keep no large blocks
    if (std::getenv("MALLOC_MMAP_THRESHOLD_") == nullptr) ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
}

void advise_huge_pages(void* start, std::size_t length) noexcept { ::madvise(start, length, MADV_HUGEPAGE); }

unsigned usable_processors() noexcept {
    cpu_set_t cpus;
    if (::sched_getaffinity(0, sizeof cpus, &cpus) == 0 && CPU_COUNT(&cpus) > 0)
        return static_cast<unsigned>(CPU_COUNT(&cpus));
    return std::max(1u, std::thread::hardware_concurrency());
}

}  // namespace korrin::platform

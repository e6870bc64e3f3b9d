#include "cli/run/process.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <initializer_list>

namespace korrin::cli {

namespace {

std::atomic<bool> stdout_closed{false};

}  // namespace

bool standard_output_was_closed() noexcept { return stdout_closed.load(); }

bool open_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        if (fd == STDOUT_FILENO) stdout_closed = true;
        // The lowest free descriptor is `fd` itself: the lower ones are open.
        const int opened = ::open("/dev/null", O_RDWR | O_NOCTTY);
        if (opened < 0) return false;
        if (opened != fd) {
            const bool moved = ::dup2(opened, fd) == fd;
            ::close(opened);
            if (!moved) return false;
        }
    }
    return true;
}

sigset_t terminating_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGIO, SIGXCPU})
        sigaddset(&set, s);
        // Linux's own (macOS has neither these nor real-time signals).
#if defined(SIGPWR)
    sigaddset(&set, SIGPWR);
#endif
#if defined(SIGSTKFLT)
    sigaddset(&set, SIGSTKFLT);
#endif
#if defined(SIGRTMIN)
    for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) sigaddset(&set, s);
#endif
    return set;
}

void ignore_write_signals() {
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
}

namespace {

constexpr int crash_signals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP, SIGSYS};

std::atomic<void (*)() noexcept> crash_cleanup{nullptr};

// Only async-signal-safe calls: the cleanup, signal() and raise(). The
// signal is blocked while the handler runs; raised again with the default
// action, it ends the process as soon as the handler returns (a fault
// would also recur at the faulting instruction).
extern "C" void on_crash_signal(int signal) {
    const int saved = errno;
    if (auto cleanup = crash_cleanup.exchange(nullptr)) cleanup();
    ::signal(signal, SIG_DFL);
    ::raise(signal);
    errno = saved;
}

}  // namespace

void on_crash(void (*cleanup)() noexcept) {
    crash_cleanup = cleanup;
    struct sigaction action {};
    action.sa_handler = on_crash_signal;
    sigemptyset(&action.sa_mask);
    for (int s : crash_signals) ::sigaction(s, &action, nullptr);
}

void on_fatal_signal(void (*cleanup)() noexcept) {
    on_crash(cleanup);
    struct sigaction action {};
    action.sa_handler = on_crash_signal;
    sigemptyset(&action.sa_mask);
    const sigset_t set = terminating_signals();
    for (int s = 1; s < NSIG; ++s)
        if (sigismember(&set, s) == 1) ::sigaction(s, &action, nullptr);
}

[[noreturn]] void die_by(int signal) {
    ::signal(signal, SIG_DFL);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    ::raise(signal);
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    ::_exit(128 + signal);
}

}  // namespace korrin::cli

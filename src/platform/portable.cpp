// POSIX alone, plus what macOS has where POSIX has nothing: temporary
// files that have a name (the caller makes one and renames it into place),
// signals taken by a thread in sigwait, getentropy or arc4random, and
// the free pages the system reports. Built on Linux too (the CMake option
// KORRIN_PORTABLE_PLATFORM), where the tests run it.
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#if defined(__APPLE__)
#include <mach/mach.h>
#include <stdio.h>  // renameatx_np
#endif

#include "common/checked.hpp"
#include "platform/platform.hpp"

namespace korrin::platform {

const char* name() noexcept { return "portable"; }

Handle create_unnamed(Handle) noexcept {
    errno = EOPNOTSUPP;
    return kNoHandle;
}

bool no_unnamed_files(int error) noexcept { return error == EOPNOTSUPP; }

int link_unnamed(Handle, Handle, const char*) noexcept {
    errno = EOPNOTSUPP;
    return -1;
}

int rename_no_replace(Handle dir, const char* from, const char* to) noexcept {
#if defined(__APPLE__)
    // macOS 10.12 on; a file system without it answers ENOTSUP.
    const int renamed = ::renameatx_np(dir, from, dir, to, RENAME_EXCL);
    if (renamed == 0 || (errno != ENOTSUP && errno != EINVAL)) return renamed;
#endif
    if (::linkat(dir, from, dir, to, 0) != 0) return -1;
    ::unlinkat(dir, from, 0);
    return 0;
}

namespace {

// A thread that waits in sigwait, the set blocked in it as in every other
// thread, and hands each signal to the waiter through a condition
// variable. Closing it wakes the thread with a signal of the set sent to
// that thread alone; another signal it takes while closing is sent to
// the process again, where it stays pending as it would have.
class ThreadSignalWatch final : public SignalWatch {
  public:
    explicit ThreadSignalWatch(const sigset_t& signals) : signals_(signals) {
        for (int s = 1; s < NSIG && wake_ == 0; ++s)
            if (sigismember(&signals_, s) == 1) wake_ = s;
        thread_ = std::thread([this] { take(); });
    }
    ~ThreadSignalWatch() override {
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
        }
        if (wake_ != 0) ::pthread_kill(thread_.native_handle(), wake_);
        thread_.join();
    }

    Event wait(int timeout_ms) override {
        std::unique_lock lock(mutex_);
        const auto ready = [&] { return !taken_.empty() || done_; };
        if (timeout_ms < 0)
            arrived_.wait(lock, ready);
        else
            arrived_.wait_for(lock, std::chrono::milliseconds(timeout_ms), ready);
        Event event{0, done_};
        if (!taken_.empty()) {
            event.signal = taken_.front();
            taken_.pop_front();
        }
        return event;
    }

    void post_done() noexcept override {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        arrived_.notify_all();
    }

  private:
    void take() {
        for (;;) {
            int taken = 0;
            if (::sigwait(&signals_, &taken) != 0) continue;
            std::lock_guard lock(mutex_);
            if (closing_) {
                if (taken != wake_) ::kill(::getpid(), taken);
                if (wake_ == 0 || taken == wake_) return;
                continue;
            }
            taken_.push_back(taken);
            arrived_.notify_all();
        }
    }

    sigset_t signals_;
    int wake_ = 0;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::deque<int> taken_;  // each signal once, as it came
    bool done_ = false;
    bool closing_ = false;
    std::thread thread_;
};

}  // namespace

std::unique_ptr<SignalWatch> watch_signals(const sigset_t& signals) {
    ::pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    try {
        return std::make_unique<ThreadSignalWatch>(signals);
    } catch (const std::system_error& error) {
        errno = error.code().value();
        return nullptr;
    }
}

bool random_bytes(void* data, std::size_t length) noexcept {
#if defined(__APPLE__)
    ::arc4random_buf(data, length);
    return true;
#else
    auto* bytes = static_cast<unsigned char*>(data);
    for (std::size_t done = 0; done < length;) {
        const std::size_t part = std::min<std::size_t>(length - done, 256);  // getentropy's most
        if (::getentropy(bytes + done, part) != 0) return false;
        done += part;
    }
    return true;
#endif
}

std::optional<std::uint64_t> available_memory() {
    std::uint64_t bytes = 0;
#if defined(__APPLE__)
    // Free pages, and those the system drops without writing them anywhere.
    vm_statistics64_data_t stats{};
    mach_msg_type_number_t count = HOST_VM_INFO64_COUNT;
    if (::host_statistics64(::mach_host_self(), HOST_VM_INFO64, reinterpret_cast<host_info64_t>(&stats), &count) !=
        KERN_SUCCESS)
        return std::nullopt;
    const std::uint64_t pages = std::uint64_t{stats.free_count} + stats.inactive_count + stats.purgeable_count;
    if (checked_mul(pages, static_cast<std::uint64_t>(vm_page_size), bytes)) return bytes;
#elif defined(_SC_AVPHYS_PAGES)
    const long pages = ::sysconf(_SC_AVPHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGESIZE);
    if (pages > 0 && page_size > 0 &&
        checked_mul(static_cast<std::uint64_t>(pages), static_cast<std::uint64_t>(page_size), bytes))
        return bytes;
#endif
    return std::nullopt;
}

void return_large_blocks() noexcept {}

void advise_huge_pages(void*, std::size_t) noexcept {}

unsigned usable_processors() noexcept { return std::max(1u, std::thread::hardware_concurrency()); }

}  // namespace korrin::platform

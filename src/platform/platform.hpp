// The operating-system calls that differ between the systems the core and
// the command-line programs are built for. Two implementations: linux.cpp,
// with Linux's own calls (O_TMPFILE, renameat2, signalfd, eventfd,
// getrandom, /proc, mallopt, transparent huge pages), and portable.cpp,
// with POSIX alone plus what macOS adds (renameatx_np, arc4random,
// Mach's memory statistics). Linux builds take the first unless
// KORRIN_PORTABLE_PLATFORM forces the second, which the tests then run.
//
// Open files and directories are `Handle`s: descriptors here, and what a
// system without descriptors would put in their place; nothing here asks
// for a descriptor number as such.
#pragma once

#include <signal.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

namespace korrin::platform {

using Handle = int;
inline constexpr Handle kNoHandle = -1;

// Which implementation this build has: "linux" or "portable".
const char* name() noexcept;

// ---- Files

// When a file's contents were last modified and its inode last changed,
// each in seconds and nanoseconds within the second.
struct Times {
    std::int64_t modified_s = 0;
    std::int64_t modified_ns = 0;
    std::int64_t changed_s = 0;
    std::int64_t changed_ns = 0;
};
Times times_of(const struct stat& info) noexcept;

// Reads up to `length` bytes at `offset` without moving the file's
// position: what pread returns (-1 with errno set on failure).
ssize_t read_at(Handle file, void* data, std::size_t length, std::uint64_t offset) noexcept;

// ---- Making files in place

// A file with no name in the directory `dir`, open for writing, where the
// system and file system have such files; else -1 with errno telling why,
// and no_unnamed_files(errno) true when the caller should make a named
// temporary file instead.
Handle create_unnamed(Handle dir) noexcept;
bool no_unnamed_files(int error) noexcept;

// Gives the unnamed file `file` the name `name` in `dir`; EEXIST when the
// name is taken.
int link_unnamed(Handle file, Handle dir, const char* name) noexcept;

// Renames `from` to `to`, both in `dir`, failing with EEXIST when `to`
// exists: atomically where the system can (renameat2, renameatx_np), else
// by a hard link, just as exclusive, and the old name removed.
int rename_no_replace(Handle dir, const char* from, const char* to) noexcept;

// ---- Signals

// The signals of a set, delivered to one waiting thread rather than to
// handlers, together with a "done" event any thread may post. Making one
// blocks the set in the calling thread, so it must be made before the
// threads that must not receive them are started.
class SignalWatch {
  public:
    struct Event {
        int signal = 0;     // the signal that arrived, or 0
        bool done = false;  // post_done() was called
    };
    virtual ~SignalWatch() = default;
    // Waits up to `timeout_ms` (-1: without end) for a signal of the set or
    // the done event; an empty Event when the time ran out. Each signal is
    // given once, in the order they came; done, once posted, stays and
    // comes with each of them.
    virtual Event wait(int timeout_ms) = 0;
    // Wakes the waiter with `done`; may be called from any thread.
    virtual void post_done() noexcept = 0;
};
// nullptr with errno set when it cannot be made.
std::unique_ptr<SignalWatch> watch_signals(const sigset_t& signals);

// ---- Random bytes, the terminal, memory, processors

// Fills `data` with random bytes from the system; false when it has none
// to give (the caller then makes do with something weaker).
bool random_bytes(void* data, std::size_t length) noexcept;

// How many columns the terminal on standard error has, if it is one.
std::optional<int> error_terminal_columns() noexcept;

// The memory the system could give the process now without swapping.
std::optional<std::uint64_t> available_memory();

// Has the C library's allocator give large freed blocks back to the system
// at once (glibc keeps them otherwise, raising its threshold with each
// one); nothing where the allocator does not keep them.
void return_large_blocks() noexcept;

// Asks for huge pages for a large anonymous mapping: a hint, ignored where
// the system has no such thing.
void advise_huge_pages(void* start, std::size_t length) noexcept;

// How many processors this process may run on.
unsigned usable_processors() noexcept;

}  // namespace korrin::platform

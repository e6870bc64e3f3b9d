// What a careful Unix tool does to its process before and while it works:
// standard descriptors that cannot be mistaken for its own files, and
// signals that never end it with temporary files left behind.
#pragma once

#include <signal.h>

namespace korrin::cli {

// Opens /dev/null on whichever of descriptors 0, 1 and 2 is closed, so that
// no file the run opens can take their place and receive what is meant for
// standard output or error. Call before anything else is opened; false when
// /dev/null cannot be opened.
bool open_standard_descriptors();

// True when open_standard_descriptors found descriptor 1 closed.
bool standard_output_was_closed() noexcept;

// Every signal whose default action ends the process and that is not a
// fault of the process itself (SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1,
// SIGALRM, the real-time signals...): a run blocks them and takes them
// through a platform::SignalWatch, so that it can clean up before it ends. SIGPIPE is not in
// the set: it is ignored, and so is SIGXFSZ, which makes a write past the
// file size limit fail with EFBIG instead.
sigset_t terminating_signals();

// Ignores SIGPIPE and SIGXFSZ: a write that meets a closed pipe or the file
// size limit fails, and the run reports it and goes on.
void ignore_write_signals();

// On a crash signal (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP,
// SIGSYS) runs `cleanup`, which must be async-signal-safe, then ends the
// process by that signal as it would have without the handler.
void on_crash(void (*cleanup)() noexcept);

// The same for every signal in terminating_signals() as well: for a run of
// one conversion in the thread that started it, which watches for none.
void on_fatal_signal(void (*cleanup)() noexcept);

// Ends the process by `signal` (which may be blocked in every thread until
// now), so that whoever started it sees how it ended.
[[noreturn]] void die_by(int signal);

}  // namespace korrin::cli

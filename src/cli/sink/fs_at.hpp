// The file-system calls that outputs are made with, each relative to an open
// directory: the one place of the command line that knows openat and its
// kin; unnamed files and renaming without replacing are the platform's
// (src/platform: O_TMPFILE and renameat2 on Linux). Each returns what its
// system call returns (a descriptor, or 0), and -1 with errno set on failure.
#pragma once

#include <sys/stat.h>

namespace korrin::cli::fs_at {

// An existing file that is not replaced but written into (a device, a FIFO,
// a terminal), opened for writing and emptied; never made.
int open_existing(const char* path);

// A directory named by the user, links followed, opened to make files in.
int open_dir(const char* path);

// The directory `name` inside `dir`, made first when missing and `make` is
// set; never reached through a symbolic link (ELOOP or ENOTDIR then).
int open_subdir(int dir, const char* name, bool make);

// A file with no name in `dir`, open for writing; see no_unnamed_files.
int create_unnamed(int dir);

// True when create_unnamed failed because the file system (or kernel) has
// no unnamed files: the caller makes a named temporary instead.
bool no_unnamed_files(int error);

// A new file `name` in `dir`, open for writing: EEXIST when the name is
// taken, by anything (a symbolic link included).
int create_new(int dir, const char* name);

// Gives the unnamed file open on `fd` the name `name` in `dir`; EEXIST
// when the name is taken.
int link_unnamed(int fd, int dir, const char* name);

// Renames `from` to `to`, both in `dir`. Without `replace`, EEXIST when
// `to` exists.
int rename(int dir, const char* from, const char* to, bool replace);

// Removes the file `name` from `dir`. Async-signal-safe.
int remove(int dir, const char* name) noexcept;

// What `name` in `dir` is, not following a link.
int look(int dir, const char* name, struct stat& info);

}  // namespace korrin::cli::fs_at

#include "cli/sink/fs_at.hpp"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace korrin::cli::fs_at {

int open_existing(const char* path) { return ::open(path, O_WRONLY | O_TRUNC | O_NOCTTY | O_CLOEXEC); }

int open_dir(const char* path) { return ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC); }

int open_subdir(int dir, const char* name, bool make) {
    constexpr int flags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
    const int fd = ::openat(dir, name, flags);
    if (fd >= 0 || errno != ENOENT || !make) return fd;
    // Made by whoever comes first: another run's folder is as good.
    if (::mkdirat(dir, name, 0777) != 0 && errno != EEXIST) return -1;
    return ::openat(dir, name, flags);
}

int create_unnamed(int dir) { return ::openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666); }

// How open() says that a file system (or kernel) has no O_TMPFILE.
bool no_unnamed_files(int error) { return error == EOPNOTSUPP || error == EISDIR || error == EINVAL; }

int create_new(int dir, const char* name) {
    return ::openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
}

// Through /proc, as unprivileged processes must; with AT_EMPTY_PATH where
// /proc is missing and the process may.
int link_unnamed(int fd, int dir, const char* name) {
    char self[32];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    int linked = ::linkat(AT_FDCWD, self, dir, name, AT_SYMLINK_FOLLOW);
    if (linked != 0 && errno == ENOENT && ::access("/proc/self/fd", F_OK) != 0)
        linked = ::linkat(fd, "", dir, name, AT_EMPTY_PATH);
    return linked;
}

// Without `replace`: renameat2's RENAME_NOREPLACE, through the system call
// itself (glibc wraps it only from 2.28 on, musl not at all); where the
// kernel or file system lacks it, a hard link, just as exclusive, and the
// old name dropped.
int rename(int dir, const char* from, const char* to, bool replace) {
    if (replace) return ::renameat(dir, from, dir, to);
#if defined(SYS_renameat2)
    constexpr unsigned no_replace = 1;  // RENAME_NOREPLACE
    const int renamed = static_cast<int>(::syscall(SYS_renameat2, dir, from, dir, to, no_replace));
    if (renamed == 0 || (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)) return renamed;
#endif
    if (::linkat(dir, from, dir, to, 0) != 0) return -1;
    ::unlinkat(dir, from, 0);
    return 0;
}

int remove(int dir, const char* name) noexcept { return ::unlinkat(dir, name, 0); }

int look(int dir, const char* name, struct stat& info) { return ::fstatat(dir, name, &info, AT_SYMLINK_NOFOLLOW); }

}  // namespace korrin::cli::fs_at

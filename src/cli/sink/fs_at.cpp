#include "cli/sink/fs_at.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.hpp"

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

int create_unnamed(int dir) { return platform::create_unnamed(dir); }

bool no_unnamed_files(int error) { return platform::no_unnamed_files(error); }

int create_new(int dir, const char* name) {
    return ::openat(dir, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
}

int link_unnamed(int fd, int dir, const char* name) { return platform::link_unnamed(fd, dir, name); }

int rename(int dir, const char* from, const char* to, bool replace) {
    return replace ? ::renameat(dir, from, dir, to) : platform::rename_no_replace(dir, from, to);
}

int remove(int dir, const char* name) noexcept { return ::unlinkat(dir, name, 0); }

int look(int dir, const char* name, struct stat& info) { return ::fstatat(dir, name, &info, AT_SYMLINK_NOFOLLOW); }

}  // namespace korrin::cli::fs_at

// What both implementations share: calls every POSIX system has, spelt as
// each system spells them.
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/platform.hpp"

namespace korrin::platform {

Times times_of(const struct stat& info) noexcept {
#if defined(__APPLE__)
    return {info.st_mtimespec.tv_sec, info.st_mtimespec.tv_nsec, info.st_ctimespec.tv_sec, info.st_ctimespec.tv_nsec};
#else
    return {info.st_mtim.tv_sec, info.st_mtim.tv_nsec, info.st_ctim.tv_sec, info.st_ctim.tv_nsec};
#endif
}

ssize_t read_at(Handle file, void* data, std::size_t length, std::uint64_t offset) noexcept {
    return ::pread(file, data, length, static_cast<off_t>(offset));
}

std::optional<int> error_terminal_columns() noexcept {
    winsize size{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return std::nullopt;
}

}  // namespace korrin::platform

#include "cli/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string_view>
#include <system_error>

namespace korrin::cli {

namespace fs = std::filesystem;

std::string describe(const std::error_code& error) {
    std::string text = error.message();
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] = static_cast<char>(text[0] - 'A' + 'a');
    return text;
}

namespace {

std::string errno_text() { return describe(std::error_code(errno, std::generic_category())); }

// Linux caps a file name at 255 bytes; a temporary name keeps room for its
// decoration by shortening the final name it is built from.
constexpr std::size_t max_name_in_temp = 200;

}  // namespace

InputFile::~InputFile() {
    if (fd_ >= 0) ::close(fd_);
}

bool InputFile::open(const fs::path& path, std::string& error) {
    // O_NONBLOCK: a FIFO named as an input must not hang the run in open().
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0) {
        error = "cannot open: " + errno_text();
        return false;
    }
    struct stat info;
    if (::fstat(fd_, &info) != 0) {
        error = "cannot open: " + errno_text();
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        error = S_ISDIR(info.st_mode) ? "is a directory" : "not a regular file";
        return false;
    }
    size_ = static_cast<std::uint64_t>(info.st_size);
    identity_ = {info.st_dev, info.st_ino};
    return true;
}

bool InputFile::has_sphere_magic() const {
    char head[sphere_magic.size()];
    const ssize_t got = ::pread(fd_, head, sizeof head, 0);
    return got == static_cast<ssize_t>(sizeof head) &&
           std::string_view(head, sizeof head) == sphere_magic;
}

bool InputFile::read_all(ByteBuffer& bytes, std::string& error) {
    if (size_ > SIZE_MAX) {
        error = "out of memory";
        return false;
    }
    auto buffer = ByteBuffer::allocate(static_cast<std::size_t>(size_));
    if (!buffer) {
        error = buffer.error().message;
        return false;
    }
    std::size_t done = 0;
    while (done < buffer->size()) {
        const ssize_t got = ::pread(fd_, buffer->data() + done, buffer->size() - done,
                                    static_cast<off_t>(done));
        if (got < 0) {
            if (errno == EINTR) continue;
            error = "cannot read: " + errno_text();
            return false;
        }
        if (got == 0) {
            error = "file shrank while being read";
            return false;
        }
        done += static_cast<std::size_t>(got);
    }
    bytes = std::move(*buffer);
    return true;
}

WriteStatus OutputWriter::write(const fs::path& path, ByteView bytes, std::string& error) {
    const fs::path dir = path.parent_path();
    const std::string name = path.filename().string().substr(0, max_name_in_temp);
    const std::string temp =
        (dir / ("." + name + ".tmp-" + pid_ + "-" + std::to_string(serial_.fetch_add(1)))).string();
    auto fail = [&](std::string why) {
        error = std::move(why);
        std::lock_guard lock(mutex_);
        if (in_flight_.erase(temp) != 0) ::unlink(temp.c_str());
        return WriteStatus::Failed;
    };

    // The directory is created when the first try shows it missing: most
    // outputs go where an earlier one already made it.
    int fd = -1;
    for (bool first_try = true;; first_try = false) {
        {
            std::lock_guard lock(mutex_);
            if (stopped_) return WriteStatus::Stopped;
            fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
            if (fd >= 0) {
                in_flight_.insert(temp);
                break;
            }
        }
        if (errno != ENOENT || !first_try || dir.empty()) {
            error = "cannot create " + temp + ": " + errno_text();
            return WriteStatus::Failed;
        }
        std::error_code made;
        fs::create_directories(dir, made);
        if (made) {
            error = "cannot create directory " + dir.string() + ": " + describe(made);
            return WriteStatus::Failed;
        }
    }

    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (put < 0) {
            if (errno == EINTR) continue;
            std::string why = "cannot write " + path.string() + ": " + errno_text();
            ::close(fd);
            return fail(std::move(why));
        }
        done += static_cast<std::size_t>(put);
    }
    if (::close(fd) != 0) return fail("cannot write " + path.string() + ": " + errno_text());

    std::lock_guard lock(mutex_);
    if (stopped_) return WriteStatus::Stopped;  // abandon() has removed the file
    int renamed;
    if (replace_existing_) {
        renamed = ::rename(temp.c_str(), path.c_str());
    } else {
        renamed = ::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE);
        if (renamed != 0 && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
            // A file system without RENAME_NOREPLACE: a hard link is just as
            // exclusive, and the temporary name is dropped afterwards.
            renamed = ::link(temp.c_str(), path.c_str());
            if (renamed == 0) ::unlink(temp.c_str());
        }
    }
    if (renamed != 0) {
        const int cause = errno;
        ::unlink(temp.c_str());
        in_flight_.erase(temp);
        error = cause == EEXIST ? path.string() + " already exists (use --force to replace it)"
                                : "cannot rename " + temp + " to " + path.string() + ": " +
                                      describe(std::error_code(cause, std::generic_category()));
        return WriteStatus::Failed;
    }
    in_flight_.erase(temp);
    return WriteStatus::Written;
}

void OutputWriter::abandon() noexcept {
    std::lock_guard lock(mutex_);
    stopped_ = true;
    for (const std::string& temp : in_flight_) ::unlink(temp.c_str());
    in_flight_.clear();
}

}  // namespace korrin::cli

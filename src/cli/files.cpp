#include "cli/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>  // renameat2
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
    size_ = static_cast<std::size_t>(info.st_size);
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
    auto buffer = ByteBuffer::allocate(size_);
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

// The three steps that change the set of files in flight run under the
// slot's lock, each after a look at `stopped_`: once `abandon` has set it and
// been through a slot, nothing of that slot's can appear or be renamed.

int OutputWriter::create_temp(Slot& slot, const std::string& temp) {
    std::lock_guard lock(slot.mutex);
    if (stopped_.load()) {
        errno = EINTR;
        return -1;
    }
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666);
    if (fd >= 0) slot.temp = temp;
    return fd;
}

int OutputWriter::rename_temp(Slot& slot, const fs::path& path) {
    std::lock_guard lock(slot.mutex);
    if (stopped_.load()) {
        errno = EINTR;
        return -1;
    }
    const char* temp = slot.temp.c_str();
    int renamed;
    if (replace_existing_) {
        renamed = ::rename(temp, path.c_str());
    } else {
        renamed = ::renameat2(AT_FDCWD, temp, AT_FDCWD, path.c_str(), RENAME_NOREPLACE);
        if (renamed != 0 && (errno == EINVAL || errno == ENOSYS || errno == EOPNOTSUPP)) {
            // A file system without RENAME_NOREPLACE: a hard link is just as
            // exclusive, and the temporary name is dropped afterwards.
            renamed = ::link(temp, path.c_str());
            if (renamed == 0) ::unlink(temp);
        }
    }
    if (renamed == 0) slot.temp.clear();
    return renamed;
}

void OutputWriter::drop_temp(Slot& slot) {
    const int cause = errno;
    std::lock_guard lock(slot.mutex);
    if (!slot.temp.empty()) ::unlink(slot.temp.c_str());
    slot.temp.clear();
    errno = cause;
}

WriteStatus OutputWriter::write(std::size_t slot_index, const fs::path& path, ByteView bytes,
                                std::string& error) {
    Slot& slot = slots_[slot_index];
    const fs::path dir = path.parent_path();
    const std::string name = path.filename().string().substr(0, max_name_in_temp);
    const std::string temp =
        (dir / ("." + name + ".tmp-" + pid_ + "-" + std::to_string(serial_.fetch_add(1)))).string();

    // The directory is made when the first try shows it missing: most
    // outputs go where an earlier one already made it.
    int fd = create_temp(slot, temp);
    if (fd < 0 && errno == ENOENT && !dir.empty()) {
        std::error_code made;
        fs::create_directories(dir, made);
        if (made) {
            error = "cannot create directory " + dir.string() + ": " + describe(made);
            return WriteStatus::Failed;
        }
        fd = create_temp(slot, temp);
    }
    if (fd < 0) {
        if (stopped_.load()) return WriteStatus::Stopped;
        error = "cannot create " + temp + ": " + errno_text();
        return WriteStatus::Failed;
    }

    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno == EINTR) continue;
        if (put < 0) {
            error = "cannot write " + path.string() + ": " + errno_text();
            ::close(fd);
            drop_temp(slot);
            return WriteStatus::Failed;
        }
        done += static_cast<std::size_t>(put);
    }
    if (::close(fd) != 0) {
        error = "cannot write " + path.string() + ": " + errno_text();
        drop_temp(slot);
        return WriteStatus::Failed;
    }

    if (rename_temp(slot, path) != 0) {
        if (stopped_.load()) return WriteStatus::Stopped;  // abandon() has removed the file
        const int cause = errno;
        drop_temp(slot);
        error = cause == EEXIST ? path.string() + " already exists (use --force to replace it)"
                                : "cannot rename " + temp + " to " + path.string() + ": " +
                                      describe(std::error_code(cause, std::generic_category()));
        return WriteStatus::Failed;
    }
    return WriteStatus::Written;
}

void OutputWriter::abandon() noexcept {
    stopped_.store(true);
    for (Slot& slot : slots_) {
        std::lock_guard lock(slot.mutex);
        if (!slot.temp.empty()) ::unlink(slot.temp.c_str());
        slot.temp.clear();
    }
}

}  // namespace korrin::cli

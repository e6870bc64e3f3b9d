#include "cli/sink/sink.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

#include "cli/report/report.hpp"
#include "cli/run/process.hpp"

namespace korrin::cli {

namespace {

std::string errno_text(int error) { return describe(std::error_code(error, std::generic_category())); }

}  // namespace

std::optional<std::string> Sink::refusal(const std::optional<FileIdentity>& input, bool force) const {
    if (writer_ == nullptr) return std::nullopt;
    const Found found = writer_->look(path_);
    switch (found.kind) {
        case Found::Kind::Missing: return std::nullopt;
        case Found::Kind::Regular:
            if (input && found.identity == *input)
                return "output " + escape_name(path_.native()) + " would replace the input";
            if (!force) return exists_message(escape_name(path_.native()));
            return std::nullopt;
        case Found::Kind::Other: break;
    }
    // A device or FIFO the user named is written into; anything else that
    // took a name the run made up is left alone.
    if (writer_->naming() == Naming::Named) return std::nullopt;
    return escape_name(path_.native()) + " is not a regular file, and is never replaced";
}

bool Sink::exists_apart_from(const std::optional<FileIdentity>& input) const {
    if (writer_ == nullptr) return false;
    const Found found = writer_->look(path_);
    return found.kind != Found::Kind::Missing && !(input && found.identity == *input);
}

SinkStatus Sink::write(ByteView bytes, std::string& error) {
    if (writer_ != nullptr) {
        switch (writer_->write(slot_, path_, bytes, error)) {
            case WriteStatus::Written: return SinkStatus::Written;
            case WriteStatus::Stopped: return SinkStatus::Stopped;
            case WriteStatus::Exists: return SinkStatus::Exists;
            case WriteStatus::Failed: break;
        }
        return SinkStatus::Failed;
    }
    // Descriptor 1 holds /dev/null in place of a standard output that was
    // closed: the audio would be lost without a word.
    if (standard_output_was_closed()) {
        error = "cannot write standard output: " + errno_text(EBADF);
        return SinkStatus::Failed;
    }
    // SIGPIPE is ignored for the whole run, so a reader that has gone shows
    // as EPIPE here.
    while (!bytes.empty()) {
        const ssize_t put = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && errno == EPIPE) return SinkStatus::BrokenPipe;
        if (put <= 0) {
            error = "cannot write standard output: " + errno_text(put < 0 ? errno : EIO);
            return SinkStatus::Failed;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(put));
    }
    // What a file system reports only when a descriptor of the file is
    // closed (NFS's late write errors) comes out of closing a copy.
    const int copy = ::dup(STDOUT_FILENO);
    if (copy >= 0 && ::close(copy) != 0 && errno != EINTR) {
        error = "cannot write standard output: " + errno_text(errno);
        return SinkStatus::Failed;
    }
    return SinkStatus::Written;
}

bool read_standard_input(ByteBuffer& bytes, std::uint64_t limit, std::optional<FileIdentity>& identity,
                         std::string& error) {
    struct stat info;
    std::size_t capacity = std::size_t{1} << 20;
    if (::fstat(STDIN_FILENO, &info) == 0 && S_ISREG(info.st_mode)) {
        identity = FileIdentity{info.st_dev, info.st_ino};
        // A redirected file: its size, and one more byte to see the end.
        const auto size = static_cast<std::uint64_t>(info.st_size);
        if (size < limit) capacity = static_cast<std::size_t>(size) + 1;
    }
    auto buffer = ByteBuffer::allocate(capacity);
    if (!buffer) {
        error = buffer.error().message;
        return false;
    }
    std::size_t done = 0;
    for (;;) {
        if (done == buffer->size()) {
            if (done > limit) {
                error = "standard input holds more than " + std::to_string(limit) + " bytes";
                return false;
            }
            const std::uint64_t grown = std::min<std::uint64_t>(std::uint64_t{done} * 2, limit + 1);
            if (!buffer->resize(static_cast<std::size_t>(grown), 0)) {
                error = "out of memory";
                return false;
            }
        }
        const ssize_t got = ::read(STDIN_FILENO, buffer->data() + done, buffer->size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            error = "cannot read: " + errno_text(errno);
            return false;
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    if (done > limit) {
        error = "standard input holds more than " + std::to_string(limit) + " bytes";
        return false;
    }
    // Give back what the last doubling took beyond the input; if that
    // fails, the room simply stays.
    if (!buffer->resize(done, 0)) buffer->truncate(done);
    bytes = std::move(*buffer);
    return true;
}

}  // namespace korrin::cli

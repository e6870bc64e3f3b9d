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

std::string errno_text(int error) { return input::describe(std::error_code(error, std::generic_category())); }

Unwritten failed(std::string message) { return Unwritten{Unwritten::Why::Failed, std::move(message)}; }

}  // namespace

Result<void> Sink::check(const std::optional<input::FileIdentity>& input, bool force) const {
    if (writer_ == nullptr) return ok();
    const Found found = writer_->look(path_);
    switch (found.kind) {
        case Found::Kind::Missing: return ok();
        case Found::Kind::Regular:
            if (input && found.identity == *input)
                return invalid("output ", escape_name(path_.native()), " would replace the input");
            if (!force) return invalid(exists_message(escape_name(path_.native())));
            return ok();
        case Found::Kind::Other: break;
    }
    // A device or FIFO the user named is written into; anything else that
    // took a name the run made up is left alone.
    if (writer_->naming() == Naming::Named) return ok();
    return invalid(escape_name(path_.native()), " is not a regular file, and is never replaced");
}

bool Sink::exists_apart_from(const std::optional<input::FileIdentity>& input) const {
    if (writer_ == nullptr) return false;
    const Found found = writer_->look(path_);
    return found.kind != Found::Kind::Missing && !(input && found.identity == *input);
}

WriteResult Sink::write(ByteView bytes) {
    if (writer_ != nullptr) return writer_->write(slot_, path_, bytes);
    // Descriptor 1 holds /dev/null in place of a standard output that was
    // closed: the audio would be lost without a word.
    if (standard_output_was_closed()) return failed("cannot write standard output: " + errno_text(EBADF));
    // SIGPIPE is ignored for the whole run, so a reader that has gone shows
    // as EPIPE here.
    while (!bytes.empty()) {
        const ssize_t put = ::write(STDOUT_FILENO, bytes.data(), bytes.size());
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && errno == EPIPE) return Unwritten{Unwritten::Why::BrokenPipe, {}};
        if (put <= 0) return failed("cannot write standard output: " + errno_text(put < 0 ? errno : EIO));
        bytes = bytes.subspan(static_cast<std::size_t>(put));
    }
    // What a file system reports only when a descriptor of the file is
    // closed (NFS's late write errors) comes out of closing a copy.
    const int copy = ::dup(STDOUT_FILENO);
    if (copy >= 0 && ::close(copy) != 0 && errno != EINTR)
        return failed("cannot write standard output: " + errno_text(errno));
    return {};
}

}  // namespace korrin::cli

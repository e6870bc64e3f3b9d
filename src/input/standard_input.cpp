#include "input/standard_input.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <system_error>

namespace korrin::input {

namespace {

DecodeError too_much(std::uint64_t limit) { return invalid("standard input holds more than ", limit, " bytes"); }

}  // namespace

Result<StandardInput> read_standard_input(std::uint64_t limit) {
    StandardInput input;
    struct stat info;
    std::size_t capacity = std::size_t{1} << 20;
    if (::fstat(STDIN_FILENO, &info) == 0 && S_ISREG(info.st_mode)) {
        input.identity = FileIdentity{info.st_dev, info.st_ino};
        // A redirected file: its size, and one more byte to see the end.
        const auto size = static_cast<std::uint64_t>(info.st_size);
        if (size < limit) capacity = static_cast<std::size_t>(size) + 1;
    }
    KR_ASSIGN_OR_RETURN(ByteBuffer buffer, ByteBuffer::allocate(capacity));
    std::size_t done = 0;
    for (;;) {
        if (done == buffer.size()) {
            if (done > limit) return too_much(limit);
            const std::uint64_t grown = std::min<std::uint64_t>(std::uint64_t{done} * 2, limit + 1);
            if (!buffer.resize(static_cast<std::size_t>(grown), 0)) return out_of_memory();
        }
        const ssize_t got = ::read(STDIN_FILENO, buffer.data() + done, buffer.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            const int code = errno;
            return DecodeError{ErrorKind::Io,
                               "cannot read: " + describe(std::error_code(code, std::generic_category())), code};
        }
        if (got == 0) break;
        done += static_cast<std::size_t>(got);
    }
    if (done > limit) return too_much(limit);
    // Give back what the last doubling took beyond the input; if that
    // fails, the room simply stays.
    if (!buffer.resize(done, 0)) buffer.truncate(done);
    input.bytes = std::move(buffer);
    return input;
}

}  // namespace korrin::input

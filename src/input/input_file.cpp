#include "input/input_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>

#include "common/checked.hpp"
#include "platform/platform.hpp"

namespace korrin::input {

std::string describe(const std::error_code& error) {
    std::string text = error.message();
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] = static_cast<char>(text[0] - 'A' + 'a');
    return text;
}

DecodeError io_error(std::string_view what, int os_error) {
    return DecodeError{ErrorKind::Io, cat(what, ": ", describe(std::error_code(os_error, std::generic_category()))),
                       os_error};
}

InputFile::~InputFile() {
    if (fd_ >= 0) ::close(fd_);
}

Result<void> InputFile::open(const std::filesystem::path& path) {
    // O_NONBLOCK: a FIFO named as an input must not hang in open().
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0) return io_error("cannot open", errno);
    struct stat info;
    if (::fstat(fd_, &info) != 0) return io_error("cannot open", errno);
    if (S_ISDIR(info.st_mode)) return DecodeError{ErrorKind::Io, "is a directory", EISDIR};
    if (!S_ISREG(info.st_mode)) return DecodeError{ErrorKind::Io, "not a regular file", EINVAL};
    size_ = static_cast<std::uint64_t>(info.st_size);
    identity_ = {info.st_dev, info.st_ino};
    const platform::Times t = platform::times_of(info);
    times_ = {t.modified_s, t.modified_ns, t.changed_s, t.changed_ns};
    return ok();
}

bool InputFile::has_sphere_magic() const {
    char head[sphere::kMagic.size()];
    const ssize_t got = platform::read_at(fd_, head, sizeof head, 0);
    return got == static_cast<ssize_t>(sizeof head) && std::string_view(head, sizeof head) == sphere::kMagic;
}

Result<void> InputFile::read_at(std::uint8_t* data, std::uint64_t offset, std::size_t length) const {
    std::size_t done = 0;
    while (done < length) {
        const ssize_t got = platform::read_at(fd_, data + done, length - done, offset + done);
        if (got < 0) {
            if (errno == EINTR) continue;
            return io_error("cannot read", errno);
        }
        if (got == 0) return DecodeError{ErrorKind::Io, "file shrank while being read", EIO};
        done += static_cast<std::size_t>(got);
    }
    return ok();
}

Result<ByteBuffer> InputFile::read_all(std::uint64_t limit) { return read_parts(limit, limit, 0, 0); }

Result<ByteBuffer> InputFile::read_parts(std::uint64_t limit, std::uint64_t head_end, std::uint64_t begin,
                                         std::uint64_t end) {
    const std::uint64_t size = std::min(size_, limit);
    if (size > SIZE_MAX) return out_of_memory();
    KR_ASSIGN_OR_RETURN(ByteBuffer buffer, ByteBuffer::allocate(static_cast<std::size_t>(size)));
    head_end = std::min(head_end, size);
    end = std::min(end, size);
    begin = std::min(std::max(begin, head_end), end);  // what the head read has not
    KR_TRY(read_at(buffer.data(), 0, static_cast<std::size_t>(head_end)));
    KR_TRY(read_at(buffer.data() + begin, begin, static_cast<std::size_t>(end - begin)));
    bytes_read_ = head_end + (end - begin);
    return buffer;
}

Result<sphere::SphereHeader> InputFile::read_header(std::vector<sphere::FieldLine>* lines, ByteBuffer* head_bytes) {
    // A page: headers are 1024 bytes nearly always. A longer one is legal
    // but rare: the head then grows until it holds it, or the whole file.
    // (64 KiB cost a process started per segment 15 page faults more.)
    constexpr std::uint64_t first_read = 4 * 1024;
    ByteBuffer head;
    std::uint64_t want = std::min<std::uint64_t>(size_, first_read);
    for (;;) {
        KR_ASSIGN_OR_RETURN(head, read_all(want));
        KR_ASSIGN_OR_RETURN(const std::uint64_t region, sphere::header_size(head.view(), size_));
        if (region != 0 && region <= head.size()) break;
        // Known to fit in the file, which bounds the doubling too.
        want = region != 0 ? region : std::min<std::uint64_t>(size_, want * 2);
    }
    KR_ASSIGN_OR_RETURN(sphere::SphereHeader header, sphere::read_header(head.view(), size_, lines));
    if (head_bytes != nullptr) *head_bytes = std::move(head);
    return header;
}

}  // namespace korrin::input

// Reading a SPHERE file from disk header first: the header read and checked
// alone, then only what a conversion needs of the rest (all of a compressed
// payload; of a stored one, the frames asked for).
#pragma once

#include <sys/types.h>

#include <compare>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "common/bytes.hpp"
#include "common/result.hpp"
#include "sphere/sphere.hpp"

namespace korrin::input {

// An error code as lower-case text ("no such file or directory").
std::string describe(const std::error_code& error);

// An ErrorKind::Io error: `what` ("cannot open"), then the text of `os_error`.
DecodeError io_error(std::string_view what, int os_error);

// When a file's contents were last modified, and when its inode last
// changed (which no one can set: writing, utime, a rename all change it).
struct FileTimes {
    std::int64_t modified_s = 0;
    std::int64_t modified_ns = 0;  // within the second
    std::int64_t changed_s = 0;
    std::int64_t changed_ns = 0;
    friend auto operator<=>(const FileTimes&, const FileTimes&) = default;
};

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// An open input file: its header read and checked first, then what the
// conversion needs of it read with one read into one buffer. Failures of the
// system are ErrorKind::Io errors carrying errno ("cannot open: ...",
// "cannot read: ..."); a file that is not SPHERE, or whose header is not
// valid, fails with the message a conversion of it in memory gives.
class InputFile {
  public:
    InputFile() = default;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();

    // Opens a regular file (a FIFO never blocks the open).
    Result<void> open(const std::filesystem::path& path);

    // True when the file begins with "NIST_1A". Reads only those bytes.
    bool has_sphere_magic() const;

    FileIdentity identity() const noexcept { return identity_; }

    // Its times, as they were when it was opened.
    FileTimes times() const noexcept { return times_; }

    // Reads and checks the header as a conversion of the whole file would,
    // with the same messages, but reads no more of the file than its first
    // 64 KiB or, when larger, its header region. With `lines`, also lists
    // the field lines in the file's order; with `head_bytes`, hands over the
    // bytes read (the header region and perhaps more).
    Result<sphere::SphereHeader> read_header(std::vector<sphere::FieldLine>* lines = nullptr,
                                             ByteBuffer* head_bytes = nullptr);

    // Reads the file, or its first `limit` bytes.
    Result<ByteBuffer> read_all(std::uint64_t limit = UINT64_MAX);

    // Of the file's first `limit` bytes, reads only those before `head_end`
    // and those in [begin, end), into a buffer of `limit` bytes (or the
    // file's size, when less) at their places in the file. The bytes
    // between are left unread, and must not be used: in a fresh large
    // buffer they cost neither reading nor memory.
    Result<ByteBuffer> read_parts(std::uint64_t limit, std::uint64_t head_end, std::uint64_t begin, std::uint64_t end);

    // Reads exactly out.size() bytes from `offset` into `out`, or fails
    // (the file ending before them is an Io error: it shrank).
    Result<void> read_into(std::uint64_t offset, MutableByteView out) const {
        return read_at(out.data(), offset, out.size());
    }

    // The size the file had when opened.
    std::uint64_t size() const noexcept { return size_; }

    // How many bytes the last read_all, read_parts or read_for read.
    std::uint64_t bytes_read() const noexcept { return bytes_read_; }

  private:
    Result<void> read_at(std::uint8_t* data, std::uint64_t offset, std::size_t length) const;

    int fd_ = -1;
    std::uint64_t size_ = 0;
    std::uint64_t bytes_read_ = 0;
    FileIdentity identity_;
    FileTimes times_;
};

}  // namespace korrin::input

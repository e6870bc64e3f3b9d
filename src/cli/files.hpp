// Whole-file input, and output that appears under its final name complete or
// not at all.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_set>

#include "common/bytes.hpp"

namespace korrin::cli {

inline constexpr std::string_view sphere_magic = "NIST_1A";

// An error code as the lower-case text that follows "PATH: " in a report.
std::string describe(const std::error_code& error);

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

// An open input file, read with one read into one buffer.
class InputFile {
public:
    InputFile() = default;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();

    // Opens a regular file; false with `error` set when that fails.
    bool open(const std::filesystem::path& path, std::string& error);

    // True when the file begins with "NIST_1A". Reads only those bytes.
    bool has_sphere_magic() const;

    FileIdentity identity() const noexcept { return identity_; }
    std::uint64_t size() const noexcept { return size_; }

    // Reads the whole file; false with `error` set when that fails.
    bool read_all(ByteBuffer& bytes, std::string& error);

private:
    int fd_ = -1;
    std::uint64_t size_ = 0;
    FileIdentity identity_;
};

enum class WriteStatus { Written, Failed, Stopped };

// Writes outputs through temporary files in their own directories, named
// ".NAME.tmp-PID-N", renamed into place once complete. Every temporary file
// is registered from its creation to its rename, so that `abandon` can
// remove them all. Thread-safe.
class OutputWriter {
public:
    explicit OutputWriter(bool replace_existing)
        : replace_existing_(replace_existing), pid_(std::to_string(::getpid())) {}
    OutputWriter(const OutputWriter&) = delete;
    OutputWriter& operator=(const OutputWriter&) = delete;

    // Creates the parent directories, writes `bytes` and renames the result
    // into place; without `replace_existing`, an existing file at `path`
    // fails the write and stays as it was. On failure `error` tells why and
    // nothing is left behind.
    WriteStatus write(const std::filesystem::path& path, ByteView bytes, std::string& error);

    // Removes every temporary file in flight and stops all further creation
    // and renaming: for an interrupted run, just before the process ends.
    void abandon() noexcept;

private:
    bool replace_existing_;
    std::string pid_;  // in every temporary name
    std::atomic<std::uint64_t> serial_{0};
    std::mutex mutex_;  // guards the two below, and every creation and rename
    bool stopped_ = false;
    std::unordered_set<std::string> in_flight_;
};

}  // namespace korrin::cli

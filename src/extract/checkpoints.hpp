// The process-wide store of Shorten decoder states, so that a later read of
// a stream decodes only from the state before its frames. Keyed by the
// file's path, identity, size and modification time: a file changed since
// is a new key. Bounded by the bytes its states hold, dropping the files
// used least recently first; safe to use from any number of threads.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "shorten/shorten.hpp"

namespace korrin::extract {

struct FileKey {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t modified_ns = 0;

    friend auto operator<=>(const FileKey&, const FileKey&) = default;
};

class CheckpointCache {
public:
    // Decoded frames between two states of a stream kept by readers:
    // about two seconds of audio at `rate` frames per second, or as set.
    std::uint64_t interval(std::uint64_t rate) const noexcept;
    // Sets the interval in frames for every rate (0: the default). Tests
    // keep a state at every round of blocks with 1.
    void set_interval(std::uint64_t frames) noexcept { interval_.store(frames); }

    explicit CheckpointCache(std::size_t limit_bytes) : limit_(limit_bytes) {}
    CheckpointCache(const CheckpointCache&) = delete;
    CheckpointCache& operator=(const CheckpointCache&) = delete;

    // The one store of the process: 64 MiB of states (about 200,000 of a
    // two-channel stream with the usual histories and means).
    static CheckpointCache& shared();

    // A copy of the last state of `key` at or before `frame`, with the
    // first one after it, when there is one (for how much of the stream a
    // decode up to `end` needs).
    struct Found {
        std::optional<shorten::DecoderState> before;
        std::optional<std::uint64_t> bits_after_end;  // bit position of the first state at or after `end`
    };
    Found find(const FileKey& key, std::uint64_t frame, std::uint64_t end);

    // Adds states that a decode of `key` took (in the order of their
    // frames); those at frames already held are dropped.
    void add(const FileKey& key, std::vector<shorten::DecoderState> states);

    struct Stats {
        std::size_t files = 0;
        std::size_t checkpoints = 0;
        std::size_t bytes = 0;
        std::size_t limit = 0;
    };
    Stats stats() const;
    void clear();
    // The frames of the states held for files at `path`, in order.
    std::vector<std::uint64_t> frames(const std::string& path) const;

private:
    struct Entry {
        std::map<std::uint64_t, shorten::DecoderState> states;  // by frame
        std::size_t bytes = 0;
        std::list<FileKey>::iterator use;  // its place in uses_
    };

    static std::size_t bytes_of(const shorten::DecoderState& state) noexcept;
    void touch(Entry& entry);
    void shrink();

    mutable std::mutex mutex_;
    std::size_t limit_;
    std::atomic<std::uint64_t> interval_{0};
    std::size_t bytes_ = 0;
    std::map<FileKey, Entry> entries_;
    std::list<FileKey> uses_;  // most recent first
};

}  // namespace korrin::extract

// The process-wide store of Shorten decoder states, so that a later read of
// a stream decodes only from the state before its frames. Keyed by the
// file's path, identity, size and times (the inode's change time included,
// which no one can set): a file changed since is a new key. Each state
// keeps a hash of the stream bytes it depends on, checked before a decode
// goes on from it, so that a file rewritten too quickly for its times to
// differ is decoded from its start. Bounded by all the memory it holds,
// dropping the files used least recently first; safe to use from any
// number of threads, and across fork().
#pragma once

#include <sys/types.h>

#include <atomic>
#include <compare>
#include <cstdint>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/bytes.hpp"
#include "input/input_file.hpp"
#include "shorten/shorten.hpp"

namespace korrin::extract {

struct FileKey {
    std::string path;
    dev_t device = 0;
    ino_t inode = 0;
    std::uint64_t size = 0;
    input::FileTimes times;

    friend auto operator<=>(const FileKey&, const FileKey&) = default;
};

// A stream as a read of it holds it: its bytes from the stream's first,
// of which only those before `head` and those from `from` on were read.
struct StreamBytes {
    ByteView bytes;
    std::uint64_t head = 0;
    std::uint64_t from = 0;
    std::uint64_t size = 0;  // the whole stream's, in the file
};

class CheckpointCache {
  public:
    // A state is checked against its stream's header and the bytes this
    // far on either side of the byte its next bit is in.
    static constexpr std::uint64_t kCheckBytes = 64;
    static std::uint64_t check_begin(std::uint64_t bit_position) noexcept {
        return bit_position / 8 >= kCheckBytes ? bit_position / 8 - kCheckBytes : 0;
    }
    static std::uint64_t check_end(std::uint64_t bit_position) noexcept { return bit_position / 8 + kCheckBytes; }

    // The hash of what a state at `bit_position` of a stream whose header
    // ends at `header_end` depends on; nothing when `stream` has not read
    // all of it.
    static std::optional<std::uint64_t> check_of(std::uint64_t bit_position, std::uint64_t header_end,
                                                 const StreamBytes& stream) noexcept;

    // Decoded frames between two states of a stream kept by readers:
    // about two seconds of audio at `rate` frames per second, or as set.
    std::uint64_t interval(std::uint64_t rate) const noexcept;
    // Sets the interval in frames for every rate (0: the default). Tests
    // keep a state at every round of blocks with 1.
    void set_interval(std::uint64_t frames) noexcept { interval_.store(frames); }

    explicit CheckpointCache(std::size_t limit_bytes) : limit_(limit_bytes) {}
    CheckpointCache(const CheckpointCache&) = delete;
    CheckpointCache& operator=(const CheckpointCache&) = delete;

    // The one store of the process: 64 MiB (about 150,000 states of a
    // two-channel stream with the usual histories and means). Its lock is
    // held across fork(), so that a child never finds it taken by a thread
    // it does not have.
    static CheckpointCache& shared();

    // Where a state is, and the hash of what it depends on.
    struct Mark {
        std::uint64_t bit_position = 0;
        std::uint64_t header_end = 0;
        std::uint64_t check = 0;
    };

    // A copy of the last state of `key` at or before `frame`, with the
    // first one at or after `end`, when there is one (for how much of the
    // stream a decode up to `end` needs).
    struct Found {
        std::optional<shorten::DecoderState> before;
        std::uint64_t before_check = 0;
        std::optional<Mark> after;
    };
    Found find(const FileKey& key, std::uint64_t frame, std::uint64_t end);

    // True when `stream` holds the bytes that the states found were made
    // from. Otherwise the file's states are dropped, and the caller decodes
    // from the start.
    bool confirm(const FileKey& key, const Found& found, const StreamBytes& stream);

    // Adds states that a decode of `key` took from `stream` (in the order of
    // their frames); those at frames already held are dropped, unless what
    // is held differs, when every state of the file is replaced.
    void add(const FileKey& key, std::vector<shorten::DecoderState> states, const StreamBytes& stream);

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
    struct Kept {
        shorten::DecoderState state;
        std::uint64_t check = 0;
    };
    struct Entry {
        std::map<std::uint64_t, Kept> states;     // by frame
        std::size_t bytes = 0;                    // all the memory of the file's place in the store
        std::list<const FileKey*>::iterator use;  // its place in uses_
    };
    using Entries = std::map<FileKey, Entry>;

    static std::size_t bytes_of(const FileKey& key) noexcept;
    static std::size_t bytes_of(const shorten::DecoderState& state) noexcept;
    void touch(Entry& entry);
    void erase(Entries::iterator entry);
    void shrink();

    static void before_fork() noexcept;
    static void after_fork_in_parent() noexcept;
    static void after_fork_in_child() noexcept;

    mutable std::mutex mutex_;
    std::size_t limit_;
    std::atomic<std::uint64_t> interval_{0};
    std::size_t bytes_ = 0;
    Entries entries_;
    std::list<const FileKey*> uses_;  // the keys of entries_, most recent first
};

}  // namespace korrin::extract

#include "extract/checkpoints.hpp"

#include <pthread.h>

#include <algorithm>
#include <iterator>
#include <new>
#include <utility>

namespace korrin::extract {

namespace {

// What malloc takes for `n` bytes asked for: a size word beside them,
// rounded up to 16 bytes, at least 32 (glibc's chunks).
constexpr std::size_t heap(std::size_t n) noexcept {
    return n == 0 ? 0 : std::max<std::size_t>(32, (n + 8 + 15) / 16 * 16);
}
constexpr std::size_t kTreeNode = 32;  // a map node's colour and links, before its value
constexpr std::size_t kListNode = 16;

// FNV-1a.
std::uint64_t hash(std::uint64_t seed, ByteView bytes) noexcept {
    for (const std::uint8_t byte : bytes) seed = (seed ^ byte) * 0x100000001b3;
    return seed;
}

// The store whose lock the fork handlers take and release.
CheckpointCache* shared_cache = nullptr;

}  // namespace

std::optional<std::uint64_t> CheckpointCache::check_of(std::uint64_t bit_position, std::uint64_t header_end,
                                                       const StreamBytes& stream) noexcept {
    const std::uint64_t head_end = std::min(header_end, stream.size);
    const std::uint64_t end = std::min(check_end(bit_position), stream.size);
    const std::uint64_t begin = std::min(check_begin(bit_position), end);
    const auto was_read = [&](std::uint64_t from, std::uint64_t to) {
        return to <= stream.bytes.size() && (to <= stream.head || from >= stream.from);
    };
    if (!was_read(0, head_end) || !was_read(begin, end)) return std::nullopt;
    const std::uint64_t seed = hash(0xcbf29ce484222325, stream.bytes.first(static_cast<std::size_t>(head_end)));
    return hash(seed ^ begin,
                stream.bytes.subspan(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin)));
}

std::uint64_t CheckpointCache::interval(std::uint64_t rate) const noexcept {
    if (const std::uint64_t set = interval_.load(); set != 0) return set;
    constexpr std::uint64_t kSeconds = 2;
    return std::max<std::uint64_t>(4096, rate > UINT64_MAX / kSeconds ? UINT64_MAX : rate * kSeconds);
}

CheckpointCache& CheckpointCache::shared() {
    // Never destroyed: threads may still read while the process exits.
    static CheckpointCache* cache = [] {
        shared_cache = new CheckpointCache(std::size_t{64} << 20);
        ::pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
        return shared_cache;
    }();
    return *cache;
}

void CheckpointCache::before_fork() noexcept { shared_cache->mutex_.lock(); }

void CheckpointCache::after_fork_in_parent() noexcept { shared_cache->mutex_.unlock(); }

// The child has only the thread that forked, which took the lock: it
// starts with a fresh one.
void CheckpointCache::after_fork_in_child() noexcept { new (&shared_cache->mutex_) std::mutex; }

std::size_t CheckpointCache::bytes_of(const FileKey& key) noexcept {
    // The entry's node, its place in the list of uses, and the path's text
    // when it is longer than a string holds in itself.
    return heap(kTreeNode + sizeof(Entries::value_type)) + heap(kListNode + sizeof(const FileKey*)) +
           (key.path.capacity() >= 16 ? heap(key.path.capacity() + 1) : 0);
}

std::size_t CheckpointCache::bytes_of(const shorten::DecoderState& state) noexcept {
    return heap(kTreeNode + sizeof(std::pair<const std::uint64_t, Kept>)) +
           heap(state.history.capacity() * sizeof(std::int64_t)) + heap(state.means.capacity() * sizeof(std::int64_t));
}

void CheckpointCache::touch(Entry& entry) { uses_.splice(uses_.begin(), uses_, entry.use); }

void CheckpointCache::erase(Entries::iterator entry) {
    bytes_ -= entry->second.bytes;
    uses_.erase(entry->second.use);
    entries_.erase(entry);
}

CheckpointCache::Found CheckpointCache::find(const FileKey& key, std::uint64_t frame, std::uint64_t end) {
    std::lock_guard lock(mutex_);
    Found found;
    const auto entry = entries_.find(key);
    if (entry == entries_.end()) return found;
    touch(entry->second);
    const auto& states = entry->second.states;
    auto after = states.upper_bound(frame);
    if (after != states.begin()) {
        const Kept& kept = std::prev(after)->second;
        found.before = kept.state;
        found.before_check = kept.check;
    }
    const auto past = states.lower_bound(end);
    if (past != states.end())
        found.after = Mark{past->second.state.bit_position, past->second.state.header_end, past->second.check};
    return found;
}

bool CheckpointCache::confirm(const FileKey& key, const Found& found, const StreamBytes& stream) {
    bool sound = !found.before || check_of(found.before->bit_position, found.before->header_end, stream) ==
                                      std::optional<std::uint64_t>(found.before_check);
    if (sound && found.after)
        sound = check_of(found.after->bit_position, found.after->header_end, stream) ==
                std::optional<std::uint64_t>(found.after->check);
    if (!sound) {
        std::lock_guard lock(mutex_);
        if (const auto entry = entries_.find(key); entry != entries_.end()) erase(entry);
    }
    return sound;
}

void CheckpointCache::add(const FileKey& key, std::vector<shorten::DecoderState> states, const StreamBytes& stream) {
    // A state whose bytes the read did not hold is not kept.
    std::vector<Kept> kept;
    kept.reserve(states.size());
    for (shorten::DecoderState& state : states)
        if (const auto check = check_of(state.bit_position, state.header_end, stream))
            kept.push_back({std::move(state), *check});
    if (kept.empty()) return;

    std::lock_guard lock(mutex_);
    auto entry = entries_.find(key);
    if (entry == entries_.end()) {
        uses_.push_front(nullptr);
        try {
            entry = entries_.try_emplace(key).first;
        } catch (...) {
            uses_.pop_front();
            throw;
        }
        uses_.front() = &entry->first;
        entry->second.use = uses_.begin();
        entry->second.bytes = bytes_of(entry->first);
        bytes_ += entry->second.bytes;
    } else {
        touch(entry->second);
    }
    Entry& file = entry->second;
    for (Kept& one : kept) {
        auto held = file.states.find(one.state.frame);
        if (held != file.states.end() &&
            (held->second.check != one.check || held->second.state.bit_position != one.state.bit_position)) {
            // Made from other bytes than these: none of the file's is sound.
            const std::size_t own = bytes_of(entry->first);
            bytes_ -= file.bytes - own;
            file.bytes = own;
            file.states.clear();
            held = file.states.end();
        }
        if (held != file.states.end()) continue;
        const std::size_t bytes = bytes_of(one.state);
        file.states.emplace(one.state.frame, std::move(one));
        file.bytes += bytes;
        bytes_ += bytes;
    }
    shrink();
}

// Drops whole files, the least recently used first, until all fits; a file
// that alone exceeds the limit goes too.
void CheckpointCache::shrink() {
    while (bytes_ > limit_ && !uses_.empty()) erase(entries_.find(*uses_.back()));
}

CheckpointCache::Stats CheckpointCache::stats() const {
    std::lock_guard lock(mutex_);
    Stats stats{entries_.size(), 0, bytes_, limit_};
    for (const auto& [key, entry] : entries_) stats.checkpoints += entry.states.size();
    return stats;
}

std::vector<std::uint64_t> CheckpointCache::frames(const std::string& path) const {
    std::lock_guard lock(mutex_);
    std::vector<std::uint64_t> out;
    for (const auto& [key, entry] : entries_)
        if (key.path == path)
            for (const auto& [frame, kept] : entry.states) out.push_back(frame);
    std::sort(out.begin(), out.end());
    return out;
}

void CheckpointCache::clear() {
    std::lock_guard lock(mutex_);
    entries_.clear();
    uses_.clear();
    bytes_ = 0;
}

}  // namespace korrin::extract

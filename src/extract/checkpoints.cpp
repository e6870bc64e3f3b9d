#include "extract/checkpoints.hpp"

#include <algorithm>
#include <iterator>

namespace korrin::extract {

std::uint64_t CheckpointCache::interval(std::uint64_t rate) const noexcept {
    if (const std::uint64_t set = interval_.load(); set != 0) return set;
    constexpr std::uint64_t kSeconds = 2;
    return std::max<std::uint64_t>(4096, rate > UINT64_MAX / kSeconds ? UINT64_MAX : rate * kSeconds);
}

CheckpointCache& CheckpointCache::shared() {
    // Never destroyed: threads may still read while the process exits.
    static CheckpointCache* cache = new CheckpointCache(std::size_t{64} << 20);
    return *cache;
}

std::size_t CheckpointCache::bytes_of(const shorten::DecoderState& state) noexcept {
    // The node of the map and the vectors' blocks, roughly.
    return sizeof(shorten::DecoderState) + 64 + (state.history.size() + state.means.size()) * sizeof(std::int64_t);
}

void CheckpointCache::touch(Entry& entry) { uses_.splice(uses_.begin(), uses_, entry.use); }

CheckpointCache::Found CheckpointCache::find(const FileKey& key, std::uint64_t frame, std::uint64_t end) {
    std::lock_guard lock(mutex_);
    Found found;
    const auto entry = entries_.find(key);
    if (entry == entries_.end()) return found;
    touch(entry->second);
    const auto& states = entry->second.states;
    auto after = states.upper_bound(frame);
    if (after != states.begin()) found.before = std::prev(after)->second;
    const auto past = states.lower_bound(end);
    if (past != states.end()) found.bits_after_end = past->second.bit_position;
    return found;
}

void CheckpointCache::add(const FileKey& key, std::vector<shorten::DecoderState> states) {
    if (states.empty()) return;
    std::lock_guard lock(mutex_);
    auto [entry, fresh] = entries_.try_emplace(key);
    if (fresh) {
        uses_.push_front(key);
        entry->second.use = uses_.begin();
    } else {
        touch(entry->second);
    }
    for (shorten::DecoderState& state : states) {
        const std::size_t bytes = bytes_of(state);
        if (entry->second.states.try_emplace(state.frame, std::move(state)).second) {
            entry->second.bytes += bytes;
            bytes_ += bytes;
        }
    }
    shrink();
}

// Drops whole files, the least recently used first, until the states fit;
// a file whose states alone exceed the limit goes too.
void CheckpointCache::shrink() {
    while (bytes_ > limit_ && !uses_.empty()) {
        const auto entry = entries_.find(uses_.back());
        bytes_ -= entry->second.bytes;
        entries_.erase(entry);
        uses_.pop_back();
    }
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
            for (const auto& [frame, state] : entry.states) out.push_back(frame);
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

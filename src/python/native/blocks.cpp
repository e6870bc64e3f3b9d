#include "python/native/blocks.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "platform/platform.hpp"

namespace korrin::python::native {

namespace {

// A mapping of `capacity` bytes (a multiple of the granule) that starts on
// a granule, so that every huge page of it can be one.
void* map_aligned(std::size_t capacity) noexcept {
    const std::size_t span = capacity + BlockPool::kGranule;
    void* mapped = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t aligned = (start + BlockPool::kGranule - 1) & ~(std::uintptr_t{BlockPool::kGranule} - 1);
    if (aligned > start) ::munmap(mapped, aligned - start);
    const std::uintptr_t end = aligned + capacity;
    if (start + span > end) ::munmap(reinterpret_cast<void*>(end), start + span - end);
    // Only a hint: a fill front to back then faults once per 2 MB.
    platform::advise_huge_pages(reinterpret_cast<void*>(aligned), capacity);
    return reinterpret_cast<void*>(aligned);
}

}  // namespace

BlockPool& BlockPool::shared() noexcept {
    static BlockPool pool;  // never destroyed with its blocks: arrays may outlive it
    return pool;
}

void BlockPool::drop(std::size_t index) noexcept {
    kept_bytes_ -= kept_[index].capacity;
    for (std::size_t i = index + 1; i < count_; ++i) kept_[i - 1] = kept_[i];
    --count_;
}

Block BlockPool::take(std::size_t size) noexcept {
    if (size < kSmall) return {std::malloc(size == 0 ? 1 : size), 0};
    if (size > SIZE_MAX - 2 * kGranule) return {};
    const std::size_t capacity = (size + kGranule - 1) / kGranule * kGranule;
    // The smallest kept block that holds it, unless it is more than
    // kMostSpare times its size. A kept block is memory the process has
    // touched already: lending all of it to a smaller array costs nothing
    // that keeping it would not, and a reader that asks for int16, float32
    // and float64 arrays of the same files in turn (sizes 1, 2 and 4) then
    // finds blocks for all three among those its largest arrays gave back.
    std::size_t best = count_;
    for (std::size_t i = 0; i < count_; ++i) {
        const std::size_t c = kept_[i].capacity;
        if (c >= capacity && c / kMostSpare <= capacity && (best == count_ || c < kept_[best].capacity)) best = i;
    }
    if (best != count_) {
        const Block block = kept_[best];
        drop(best);
        return block;
    }
    void* data = map_aligned(capacity);
    return data == nullptr ? Block{} : Block{data, capacity};
}

std::size_t BlockPool::limit() const noexcept {
    const std::size_t blocks = peak_readers_ + 1;
    if (largest_given_ > kKeptCeiling / blocks) return kKeptCeiling;
    return std::max(kKeptLimit, blocks * largest_given_);
}

void BlockPool::give(Block block) noexcept {
    if (block.data == nullptr) return;
    if (block.capacity == 0) {
        std::free(block.data);
        return;
    }
    if (block.capacity > kLargestKept) {
        ::munmap(block.data, block.capacity);
        return;
    }
    // The oldest go first when the new one does not fit.
    largest_given_ = std::max(largest_given_, block.capacity);
    const std::size_t most = limit();
    while (count_ > 0 && (kept_bytes_ + block.capacity > most || count_ == kept_.size())) {
        ::munmap(kept_[0].data, kept_[0].capacity);
        drop(0);
    }
    kept_[count_++] = block;
    kept_bytes_ += block.capacity;
}

}  // namespace korrin::python::native

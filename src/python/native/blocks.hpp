// Memory for the arrays korrin returns, kept for reuse when they are freed.
//
// A data loader reads array after array of the same few sizes and drops
// each soon after. From malloc, every large one was fresh memory from the
// kernel: a page fault per page as it was filled, an unmapping when it was
// freed, and with threads reading side by side, each unmapping stopped the
// other threads' faults (0.55x one thread's throughput with two). A block
// given back here is kept, pages and all, for the next array that fits it.
//
// Not thread-safe by itself: korrin._native takes and gives blocks with the
// interpreter lock held, which also keeps a fork from finding the pool half
// changed.
#pragma once

#include <array>
#include <cstddef>

namespace korrin::python::native {

struct Block {
    void* data = nullptr;
    std::size_t capacity = 0;  // 0: from malloc, freed there
};

class BlockPool {
  public:
    // Arrays smaller than this come from malloc, as before; larger ones are
    // whole mappings rounded up to huge pages.
    static constexpr std::size_t kSmall = std::size_t{1} << 20;
    static constexpr std::size_t kGranule = std::size_t{2} << 20;
    // What the pool keeps of freed blocks, and the largest block it keeps.
    // Readers in flight side by side raise the first: each fills an array
    // while the loader holds the one it handed on, so the pool keeps one
    // block more than the most readers it has seen at once, of the largest
    // size given back so far (up to kKeptCeiling). Below that, a loader's threads that
    // dropped more arrays than it kept mapped fresh memory every round, and
    // each thread's faults waited on the others' unmappings.
    static constexpr std::size_t kKeptLimit = std::size_t{128} << 20;
    static constexpr std::size_t kKeptCeiling = std::size_t{512} << 20;
    static constexpr std::size_t kLargestKept = std::size_t{64} << 20;
    // A kept block serves arrays down to a quarter of its size.
    static constexpr std::size_t kMostSpare = 4;

    static BlockPool& shared() noexcept;

    // A block of at least `size` bytes (its contents unspecified), or one
    // with null data when the memory cannot be had.
    Block take(std::size_t size) noexcept;
    void give(Block block) noexcept;

    // A read begins and ends: the arrays it takes are in flight beside
    // those of the other reads between the two.
    void enter() noexcept {
        if (++readers_ > peak_readers_) peak_readers_ = readers_;
    }
    void leave() noexcept { --readers_; }

    // What the pool keeps.
    std::size_t limit() const noexcept;
    std::size_t kept_bytes() const noexcept { return kept_bytes_; }
    std::size_t kept_blocks() const noexcept { return count_; }

  private:
    void drop(std::size_t index) noexcept;

    // Oldest first; each kept block is at least a granule.
    std::array<Block, kKeptCeiling / kGranule> kept_{};
    std::size_t count_ = 0;
    std::size_t kept_bytes_ = 0;
    std::size_t readers_ = 0;
    std::size_t peak_readers_ = 0;
    std::size_t largest_given_ = 0;  // of the blocks it may keep
};

// Counts a read in flight for as long as it lives (with the interpreter
// lock held when made and destroyed).
class ReadInFlight {
  public:
    ReadInFlight() noexcept { BlockPool::shared().enter(); }
    ~ReadInFlight() { BlockPool::shared().leave(); }
    ReadInFlight(const ReadInFlight&) = delete;
    ReadInFlight& operator=(const ReadInFlight&) = delete;
};

}  // namespace korrin::python::native

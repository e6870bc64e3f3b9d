// Memory as a resource of a run, beside threads: each conversion is
// admitted only while the memory it will need fits a budget.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "sphere/sphere.hpp"

namespace korrin::cli {

// What converting a file needs, known from its header.
struct Needs {
    std::uint64_t input_bytes;  // of the file: all of it, or the header and declared payload
    std::uint64_t memory;       // at the peak, input and output together
};

// For a file of `file_size` bytes with a valid `header`. A stored payload
// needs its declared size, or what the file holds when less; a compressed
// stream keeps at most the header's sample count for the output, and its
// decoder's working blocks are bounded by a multiple of that.
Needs conversion_needs(const sphere::SphereHeader& header, std::uint64_t file_size, bool pcm);

// Half the memory /proc/meminfo calls available when the run starts:
// room for the conversions that leaves the rest of the machine its share.
// No limit where it cannot be read.
std::uint64_t default_memory_budget();

// Has malloc give every large block back to the kernel when it is freed,
// rather than keep it for reuse in one thread's arena, where the budget
// would not see it: otherwise each thread can keep the largest buffer it
// ever freed. Left alone when MALLOC_MMAP_THRESHOLD_ in the environment
// tunes this already.
void return_large_blocks();

// Admits conversions in their order of arrival while the memory they need
// fits `limit` beside those admitted and not yet finished. A conversion
// larger than the whole budget is admitted alone, once nothing else runs.
class MemoryBudget {
public:
    explicit MemoryBudget(std::uint64_t limit) : limit_(limit) {}
    MemoryBudget(const MemoryBudget&) = delete;
    MemoryBudget& operator=(const MemoryBudget&) = delete;

    // Holds its share of the budget from admission to destruction.
    class Admission {
    public:
        Admission(const Admission&) = delete;
        Admission& operator=(const Admission&) = delete;
        ~Admission();

    private:
        friend class MemoryBudget;
        Admission(MemoryBudget& budget, std::uint64_t bytes) : budget_(budget), bytes_(bytes) {}
        MemoryBudget& budget_;
        std::uint64_t bytes_;
    };

    // Waits until `bytes` may be used.
    [[nodiscard]] Admission admit(std::uint64_t bytes);

    std::uint64_t limit() const noexcept { return limit_; }

    // How many admissions had to wait for memory.
    std::size_t waits() const;

private:
    void release(std::uint64_t bytes);

    const std::uint64_t limit_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t in_use_ = 0;
    std::size_t running_ = 0;
    std::uint64_t next_ticket_ = 0;  // handed to each arrival
    std::uint64_t serving_ = 0;      // the ticket admitted next
    std::size_t waits_ = 0;
};

}  // namespace korrin::cli

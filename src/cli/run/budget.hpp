// Memory as a resource of a run, beside threads: each conversion is
// admitted only while the memory it will need fits a budget.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>

#include "cli/front/sph2wav_options.hpp"
#include "sphere/sphere.hpp"

namespace korrin::cli {

// What converting a file needs, known from its header.
struct Needs {
    std::uint64_t input_bytes;  // of the file: all of it, or the header and declared payload
    std::uint64_t memory;       // at the peak, input and output together
};

// For a file of `file_size` bytes with a valid `header`, converted to
// `format`. A stored payload needs its declared size, or what the file
// holds when less; a compressed stream keeps at most the header's sample
// count for the output, and its decoder's working blocks are bounded by a
// multiple of that. FLAC adds its encoded copy.
Needs conversion_needs(const sphere::SphereHeader& header, std::uint64_t file_size, OutputFormat format);

// Half the memory the run may use when it starts: what /proc/meminfo calls
// available, or the memory limit of the control group the process runs in
// (a batch job's or a container's) when that is less. Room for the
// conversions that leaves the rest their share. No limit where neither can
// be read.
std::uint64_t default_memory_budget();

// The least memory limit of this process's control group and its
// ancestors, under cgroup v2 (memory.max) or v1 (memory.limit_in_bytes);
// nothing when no limit is set or none can be read. The limit, not what
// is left of it: the group's usage counts the page cache, which would
// leave no room after reading a few files. The files are looked for under
// `proc` and `cgroups`, which tests point elsewhere.
std::optional<std::uint64_t> cgroup_memory_limit(const std::filesystem::path& proc = "/proc",
                                                 const std::filesystem::path& cgroups = "/sys/fs/cgroup");

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

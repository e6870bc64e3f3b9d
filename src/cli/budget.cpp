#include "cli/budget.hpp"

#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <string>

#include "codecs/codecs.hpp"
#include "common/checked.hpp"

namespace korrin::cli {

namespace {

constexpr std::uint64_t unlimited = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t wav_header_bytes = 44;

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) { return a > unlimited - b ? unlimited : a + b; }

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product = 0;
    return checked_mul(a, b, product) ? product : unlimited;
}

}  // namespace

Needs conversion_needs(const sphere::SphereHeader& header, std::uint64_t file_size, bool pcm) {
    const std::uint64_t framing = pcm ? 0 : wav_header_bytes;
    // Validated headers hold these four; -1 only guards the arithmetic.
    const auto field = [&](std::string_view name) {
        const Result<std::int64_t> value = header.int_(name);
        return value && *value >= 0 ? static_cast<std::uint64_t>(*value) : unlimited;
    };

    if (codecs::is_compressed(codecs::coding_text(header))) {
        // 16-bit output for the header's sample count, and twice as much
        // again for the decoder's 64-bit working blocks (a bound measured
        // with blocks of 2^22 samples: 75 MB at the peak for 32 MB of output).
        const std::uint64_t output =
            saturating_mul(saturating_mul(field("sample_count"), field("channel_count")), 2);
        const std::uint64_t peak = saturating_add(saturating_mul(output, 3), framing);
        return {file_size, saturating_add(file_size, peak)};
    }

    // A stored payload: the declared bytes, or the fewer the file holds
    // (that conversion fails as soon as it sees them). 1-byte samples
    // (G.711) expand to 2 bytes.
    const std::uint64_t present = file_size - std::min(file_size, header.header_size);
    const Result<std::uint64_t> declared = header.expected_data_bytes();
    const std::uint64_t payload = declared ? std::min(*declared, present) : present;
    const std::uint64_t width = field("sample_n_bytes");
    const std::uint64_t output = saturating_add(saturating_mul(payload, width == 1 ? 2 : 1), framing);
    const std::uint64_t input = header.header_size + payload;
    return {input, saturating_add(input, output)};
}

std::uint64_t default_memory_budget() {
    std::ifstream meminfo("/proc/meminfo");
    std::string name;
    std::uint64_t kilobytes = 0;
    std::string unit;
    while (meminfo >> name >> kilobytes >> unit) {
        if (name == "MemAvailable:") return saturating_mul(kilobytes, 1024) / 2;
    }
    const long pages = ::sysconf(_SC_AVPHYS_PAGES);
    const long page_size = ::sysconf(_SC_PAGESIZE);
    if (pages > 0 && page_size > 0)
        return saturating_mul(static_cast<std::uint64_t>(pages), static_cast<std::uint64_t>(page_size)) / 2;
    return unlimited;
}

void return_large_blocks() {
    // Setting the threshold also turns off glibc's raising it to the size
    // of each large block freed.
    if (std::getenv("MALLOC_MMAP_THRESHOLD_") == nullptr) ::mallopt(M_MMAP_THRESHOLD, 1 << 20);
}

MemoryBudget::Admission MemoryBudget::admit(std::uint64_t bytes) {
    std::unique_lock lock(mutex_);
    const std::uint64_t ticket = next_ticket_++;
    const auto admissible = [&] {
        return ticket == serving_ && (running_ == 0 || (in_use_ <= limit_ && bytes <= limit_ - in_use_));
    };
    if (!admissible()) {
        ++waits_;
        changed_.wait(lock, admissible);
    }
    ++serving_;
    ++running_;
    in_use_ = saturating_add(in_use_, bytes);
    changed_.notify_all();  // the next ticket may fit as well
    return Admission(*this, bytes);
}

void MemoryBudget::release(std::uint64_t bytes) {
    {
        std::lock_guard lock(mutex_);
        --running_;
        in_use_ = running_ == 0 ? 0 : in_use_ - std::min(in_use_, bytes);
    }
    changed_.notify_all();
}

MemoryBudget::Admission::~Admission() { budget_.release(bytes_); }

std::size_t MemoryBudget::waits() const {
    std::lock_guard lock(mutex_);
    return waits_;
}

}  // namespace korrin::cli

#include "cli/run/budget.hpp"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "common/checked.hpp"
#include "common/text.hpp"
#include "format/format.hpp"
#include "platform/platform.hpp"

namespace korrin::cli {

namespace {

constexpr std::uint64_t unlimited = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t wav_header_bytes = 44;

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) { return a > unlimited - b ? unlimited : a + b; }

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product = 0;
    return checked_mul(a, b, product) ? product : unlimited;
}

// The most a FLAC file of `pcm_bytes` of samples takes while it is
// written: samples that do not compress are stored as they are, with a few
// bytes of framing per frame; the buffer grows by half again, and the
// header's fields travel as comments; libFLAC's own working memory (and its
// verifying decoder's) is bounded by its frame size.
std::uint64_t flac_bytes(std::uint64_t pcm_bytes, std::uint64_t header_bytes) {
    constexpr std::uint64_t working = std::uint64_t{1} << 20;
    const std::uint64_t stored = saturating_add(pcm_bytes, pcm_bytes / 64);
    return saturating_add(saturating_add(stored, stored / 2), saturating_add(header_bytes, working));
}

}  // namespace

Needs conversion_needs(const sphere::SphereHeader& header, std::uint64_t file_size, OutputFormat format) {
    const std::uint64_t framing = format == OutputFormat::Wav ? wav_header_bytes : 0;
    // Validated headers hold these four; -1 only guards the arithmetic.
    const auto field = [&](std::string_view name) {
        const Result<std::int64_t> value = header.int_(name);
        return value && *value >= 0 ? static_cast<std::uint64_t>(*value) : unlimited;
    };

    if (format::is_compressed(header)) {
        // 16-bit output for the header's sample count, and twice as much
        // again for the decoder's 64-bit working blocks (a bound measured
        // with blocks of 2^22 samples: 75 MB at the peak for 32 MB of output).
        const std::uint64_t output = saturating_mul(saturating_mul(field("sample_count"), field("channel_count")), 2);
        // FLAC's copy is made after the working blocks are gone, and fits
        // in their room beside the output.
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
    std::uint64_t peak = saturating_add(input, output);
    if (format == OutputFormat::Flac) peak = saturating_add(peak, flac_bytes(output, header.header_size));
    return {input, peak};
}

namespace {

// A file of one number of bytes; "max" (no limit) and anything else that is
// not a number read as nothing. v1 writes its "no limit" as a number near
// 2^63, which leaves no less room than the machine's.
std::optional<std::uint64_t> read_bytes(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string text;
    if (!(in >> text)) return std::nullopt;
    return parse_digits(text);
}

// The lesser of two bounds, where nothing is no bound.
std::optional<std::uint64_t> least_of(std::optional<std::uint64_t> a, std::optional<std::uint64_t> b) {
    if (!a || !b) return a ? a : b;
    return std::min(*a, *b);
}

// The least of the limits in the files named `limit` from `group` up to
// `root`.
std::optional<std::uint64_t> least_limit(const std::filesystem::path& root, const std::string& group,
                                         const char* limit) {
    std::optional<std::uint64_t> least = read_bytes(root / limit);
    std::filesystem::path dir = root;
    for (const auto& part : std::filesystem::path(group).relative_path()) {
        if (part == "." || part == "..") return std::nullopt;  // outside our view of the groups
        dir /= part;
        least = least_of(least, read_bytes(dir / limit));
    }
    return least;
}

}  // namespace

std::optional<std::uint64_t> cgroup_memory_limit(const std::filesystem::path& proc,
                                                 const std::filesystem::path& cgroups) {
    // Each line: hierarchy-ID:controllers:path. cgroup v2's is "0::path";
    // v1 has a line whose controllers include "memory", mounted at
    // cgroups/memory.
    std::ifstream lines(proc / "self" / "cgroup");
    std::string line;
    std::optional<std::uint64_t> least;
    while (std::getline(lines, line)) {
        const std::size_t first = line.find(':');
        const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        const std::string id = line.substr(0, first);
        const std::string controllers = line.substr(first + 1, second - first - 1);
        const std::string group = line.substr(second + 1);
        if (id == "0" && controllers.empty())
            least = least_of(least, least_limit(cgroups, group, "memory.max"));
        else if (("," + controllers + ",").find(",memory,") != std::string::npos)
            least = least_of(least, least_limit(cgroups / "memory", group, "memory.limit_in_bytes"));
    }
    return least;
}

std::uint64_t default_memory_budget() {
    const std::optional<std::uint64_t> room = least_of(platform::available_memory(), cgroup_memory_limit());
    return room ? *room / 2 : unlimited;
}

void return_large_blocks() { platform::return_large_blocks(); }

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

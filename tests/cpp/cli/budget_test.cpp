// sph2wav's memory budget: what it reads of the control groups it runs in,
// and what it counts for a conversion.
#include "cli/run/budget.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sphere_builder.hpp"

namespace korrin::cli {
namespace {

namespace fs = std::filesystem;

struct GroupCase {
    std::string name;
    std::string self;                                        // /proc/self/cgroup
    std::vector<std::pair<std::string, std::string>> files;  // under the cgroup mount: path, content
    std::optional<std::uint64_t> limit;
};

class CgroupLimit : public ::testing::TestWithParam<GroupCase> {};

TEST_P(CgroupLimit, IsTheLeastOverTheGroupAndItsAncestors) {
    const GroupCase& c = GetParam();
    const fs::path root = fs::path(::testing::TempDir()) / ("cgroup_" + c.name);
    fs::remove_all(root);
    fs::create_directories(root / "proc" / "self");
    std::ofstream(root / "proc" / "self" / "cgroup") << c.self;
    for (const auto& [path, content] : c.files) {
        const fs::path file = root / "sys" / path;
        fs::create_directories(file.parent_path());
        std::ofstream(file) << content;
    }
    EXPECT_EQ(cgroup_memory_limit(root / "proc", root / "sys"), c.limit);
    fs::remove_all(root);
}

constexpr std::uint64_t GiB = std::uint64_t{1} << 30;

INSTANTIATE_TEST_SUITE_P(
    Groups, CgroupLimit,
    ::testing::Values(GroupCase{"v2_job",
                                "0::/system.slice/slurmstepd.scope/job_42/step_0\n",
                                {{"system.slice/slurmstepd.scope/job_42/memory.max", "4294967296\n"},
                                 {"system.slice/slurmstepd.scope/job_42/step_0/memory.max", "max\n"},
                                 {"system.slice/memory.max", "max\n"}},
                                4 * GiB},
                      GroupCase{"v2_ancestor_lower",
                                "0::/a/b\n",
                                {{"a/memory.max", "1073741824\n"}, {"a/b/memory.max", "8589934592\n"}},
                                GiB},
                      GroupCase{"v2_container_root", "0::/\n", {{"memory.max", "536870912\n"}}, GiB / 2},
                      GroupCase{
                          "v2_no_limit",
                          "0::/user.slice/session-1.scope\n",
                          {{"user.slice/memory.max", "max\n"}, {"user.slice/session-1.scope/memory.max", "max\n"}},
                          std::nullopt},
                      GroupCase{"v2_no_files", "0::/user.slice\n", {}, std::nullopt},
                      GroupCase{"v1_memory",
                                "12:cpu,cpuacct:/job\n9:memory:/slurm/uid_1/job_7\n1:name=systemd:/x\n",
                                {{"memory/slurm/uid_1/job_7/memory.limit_in_bytes", "2147483648\n"},
                                 {"memory/memory.limit_in_bytes", "9223372036854771712\n"}},
                                2 * GiB},
                      GroupCase{"v1_joined_controllers",
                                "4:memory,hugetlb:/j\n",
                                {{"memory/j/memory.limit_in_bytes", "3221225472\n"}},
                                3 * GiB},
                      GroupCase{"hybrid_least_of_both",
                                "0::/j\n5:memory:/j\n",
                                {{"j/memory.max", "3221225472\n"}, {"memory/j/memory.limit_in_bytes", "2147483648\n"}},
                                2 * GiB},
                      GroupCase{"outside_the_namespace", "0::/../../other\n", {{"memory.max", "max\n"}}, std::nullopt},
                      GroupCase{"garbage", "not a cgroup line\n0:memory\n", {{"memory.max", "12"}}, std::nullopt},
                      GroupCase{"no_proc_file", "", {}, std::nullopt}),
    [](const auto& info) { return info.param.name; });

TEST(ConversionNeeds, FlacCountsItsEncodedCopyOfAStoredPayload) {
    const std::uint64_t samples = 1 << 20;  // 2 MiB of 16-bit mono
    const sphere::SphereHeader header = test_support::header_of(test_support::required(samples, 1, 2));
    const std::uint64_t file_size = header.header_size + 2 * samples;
    const Needs wav = conversion_needs(header, file_size, OutputFormat::Wav);
    const Needs pcm = conversion_needs(header, file_size, OutputFormat::Pcm);
    const Needs flac = conversion_needs(header, file_size, OutputFormat::Flac);
    EXPECT_EQ(wav.input_bytes, file_size);
    EXPECT_EQ(wav.memory, file_size + 2 * samples + 44);
    EXPECT_EQ(pcm.memory, file_size + 2 * samples);
    // Samples that do not compress at all, in a buffer grown by half again,
    // and libFLAC's working memory.
    EXPECT_GE(flac.memory, pcm.memory + 3 * samples);
    EXPECT_LE(flac.memory, pcm.memory + 2 * samples * 8 / 5 + (1 << 20) + header.header_size);
}

}  // namespace
}  // namespace korrin::cli

#include "common/cpu.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace korrin {
namespace {

// The flags the kernel lists for the first processor, padded with spaces.
std::string cpu_flags() {
    std::ifstream info("/proc/cpuinfo");
    for (std::string line; std::getline(info, line);)
        if (line.rfind("flags", 0) == 0) return line.substr(line.find(':') + 1) + " ";
    return {};
}

bool listed(const std::string& flags, const char* flag) {
    std::string padded = " ";
    padded += flag;
    padded += ' ';
    return flags.find(padded) != std::string::npos;
}

// The run-time choice of kernels sees what the kernel reports the processor
// to have (and the system to save: Linux lists avx2 only then).
TEST(Cpu, FeaturesAgreeWithTheKernelsList) {
#if !defined(KORRIN_CHOOSES_KERNELS)
    GTEST_SKIP() << "no run-time choice of kernels in this build";
#else
    const std::string flags = cpu_flags();
    if (flags.empty()) GTEST_SKIP() << "no /proc/cpuinfo";
    EXPECT_EQ(has_avx2(), listed(flags, "avx2"));
    EXPECT_EQ(has_fast_bit_instructions(), listed(flags, "abm") && listed(flags, "bmi1") && listed(flags, "bmi2"));
#endif
}

}  // namespace
}  // namespace korrin

// Prints what the kernels' run-time checks see, as /proc/cpuinfo names it,
// for a build of any toolchain to be compared with the machine's flags
// (scripts/zig-wheel).
#include <cstdio>

#include "common/cpu.hpp"

int main() {
    std::printf("avx2=%d bmi2=%d\n", korrin::has_avx2() ? 1 : 0, korrin::has_fast_bit_instructions() ? 1 : 0);
}

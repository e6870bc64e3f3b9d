// The kernel choice asks the processor itself; where the compiler's own
// runtime answers too (GCC's libgcc, LLVM's compiler-rt, not zig's), both
// must agree, or a build would run kernels the processor lacks, or leave
// out ones it has.
#include <gtest/gtest.h>

#include "common/cpu.hpp"

namespace {

TEST(Cpu, KernelChoiceAgreesWithTheCompilersRuntime) {
#if defined(KORRIN_CHOOSES_KERNELS)
    __builtin_cpu_init();
    EXPECT_EQ(korrin::has_avx2(), __builtin_cpu_supports("avx2") != 0);
    const bool bits = __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
    // lzcnt has no name there on every compiler; a processor with BMI2
    // and without lzcnt is not known, so BMI1 and BMI2 stand for the set.
    EXPECT_EQ(korrin::has_fast_bit_instructions(), bits);
#else
    EXPECT_FALSE(korrin::has_avx2());
    EXPECT_FALSE(korrin::has_fast_bit_instructions());
#endif
}

}  // namespace

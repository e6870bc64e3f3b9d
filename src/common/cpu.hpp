// What the processor offers beyond the x86-64 baseline the build targets.
// Kernels compiled for more (gnu::target) are chosen at run time by these,
// each checked once.
//
// Built with KORRIN_BASELINE_ONLY, they answer false, so that the tests can
// run the baseline kernels on any machine.
#pragma once

#if defined(__x86_64__) && !defined(KORRIN_BASELINE_ONLY)
#include <cpuid.h>
#define KORRIN_CHOOSES_KERNELS 1
#endif

namespace korrin {

// True on x86-64 processors with AVX2 whose system saves the vector
// registers. Asked of cpuid itself, not of __builtin_cpu_supports: the
// runtime behind that builtin is the compiler's, and the one zig links
// (the release wheels' toolchain) answers false for every feature.
inline bool has_avx2() noexcept {
#if defined(KORRIN_CHOOSES_KERNELS)
    static const bool has = [] {
        unsigned a = 0, b = 0, c = 0, d = 0;
        if (__get_cpuid(1, &a, &b, &c, &d) == 0) return false;
        if ((c & (1u << 27)) == 0 || (c & (1u << 28)) == 0) return false;  // OSXSAVE, AVX
        unsigned low = 0, high = 0;
        __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0u));
        if ((low & 0x6u) != 0x6u) return false;  // the system saves the XMM and YMM state
        if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
        return (b & (1u << 5)) != 0;  // AVX2
    }();
    return has;
#else
    return false;
#endif
}

// True on x86-64 processors with lzcnt and BMI2, where the bit reader's
// fast road, compiled for them, runs nearly twice as fast: the count of
// leading zeros and the shifts form the chain that every code waits on,
// and without them the compiler must use bsr and shifts through cl.
inline bool has_fast_bit_instructions() noexcept {
#if defined(KORRIN_CHOOSES_KERNELS)
    static const bool has = [] {
        unsigned a = 0, b = 0, c = 0, d = 0;
        if (__get_cpuid(0x80000001, &a, &b, &c, &d) == 0 || (c & (1u << 5)) == 0) return false;  // LZCNT
        if (__get_cpuid_count(7, 0, &a, &b, &c, &d) == 0) return false;
        return (b & (1u << 3)) != 0 && (b & (1u << 8)) != 0;  // BMI1, BMI2
    }();
    return has;
#else
    return false;
#endif
}

}  // namespace korrin

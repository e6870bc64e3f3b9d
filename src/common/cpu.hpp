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

#if defined(KORRIN_CHOOSES_KERNELS)
// Asked of the processor itself (cpuid, xgetbv), on first use, rather than
// through __builtin_cpu_supports: the runtime zig links answers false
// everywhere, which left every AVX2 kernel unused in the wheels it builds,
// and libgcc's start-up constructor would question the processor in every
// process, converting or not. Under a hypervisor each cpuid traps (some
// microseconds), and sph2pipe is started once per segment: each leaf is
// asked once, and only those a check needs (three for AVX2, five for both).
namespace cpu_detail {

struct Basic {
    unsigned max_leaf = 0;
    unsigned leaf7_b = 0;  // structured extended features: AVX2, BMI1, BMI2
};

inline const Basic& basic() noexcept {
    static const Basic answer = [] {
        Basic out;
        unsigned a = 0, b = 0, c = 0, d = 0;
        __cpuid(0, a, b, c, d);
        out.max_leaf = a;
        if (out.max_leaf >= 7) {
            __cpuid_count(7, 0, a, b, c, d);
            out.leaf7_b = b;
        }
        return out;
    }();
    return answer;
}

}  // namespace cpu_detail
#endif

// True on x86-64 processors with AVX2 whose operating system saves the
// 256-bit registers.
inline bool has_avx2() noexcept {
#if defined(KORRIN_CHOOSES_KERNELS)
    static const bool has = [] {
        const cpu_detail::Basic& basic = cpu_detail::basic();
        if (basic.max_leaf < 7 || (basic.leaf7_b & (1u << 5)) == 0) return false;  // AVX2
        unsigned a = 0, b = 0, c = 0, d = 0;
        __cpuid(1, a, b, c, d);
        constexpr unsigned kOsxsave = 1u << 27, kAvx = 1u << 28;
        if ((c & (kOsxsave | kAvx)) != (kOsxsave | kAvx)) return false;
        unsigned xcr0_low = 0, xcr0_high = 0;
        __asm__("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
        return (xcr0_low & 0x6) == 0x6;  // the SSE and AVX state
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
        const unsigned leaf7_b = cpu_detail::basic().leaf7_b;
        if ((leaf7_b & (1u << 3)) == 0 || (leaf7_b & (1u << 8)) == 0) return false;  // BMI1, BMI2
        unsigned a = 0, b = 0, c = 0, d = 0;
        __cpuid(0x80000000, a, b, c, d);
        if (a < 0x80000001) return false;
        __cpuid(0x80000001, a, b, c, d);
        return (c & (1u << 5)) != 0;  // LZCNT
    }();
    return has;
#else
    return false;
#endif
}

}  // namespace korrin

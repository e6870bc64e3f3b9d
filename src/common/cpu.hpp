// What the processor offers beyond the x86-64 baseline the build targets.
// Kernels compiled for more (gnu::target) are chosen at run time by these.
#pragma once

namespace korrin {

// True on x86-64 processors with AVX2; checked once.
inline bool has_avx2() noexcept {
#if defined(__x86_64__)
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
#else
    return false;
#endif
}

}  // namespace korrin

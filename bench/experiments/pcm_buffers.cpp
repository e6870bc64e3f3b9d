// Where the time of a 40 MB PCM conversion goes: fresh memory, not the copy.
// Each variant converts a big-endian 16-bit payload to little-endian into
// memory it allocates (as the module does), and frees everything it made:
//
//   copy          malloc + memcpy: what bytes(memoryview(x)) costs
//   two_buffers   malloc + swap into it, malloc + memcpy (the result object), free
//                 the first: the module's current road (core buffer, then bytes)
//   direct        malloc + swap: the core writing straight into the result
//   direct_huge   the same, with madvise(MADV_HUGEPAGE) on the buffer first
//   swap_mapped   the swap alone, into memory that is already mapped
//
//   g++ -O3 -std=c++20 pcm_buffers.cpp -o pcm_buffers && ./pcm_buffers [MB]
#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <vector>

namespace {

void swap16(const std::uint8_t* in, std::uint8_t* out, std::size_t n) {
    for (std::size_t i = 0; i + 2 <= n; i += 2) {
        std::uint16_t w;
        std::memcpy(&w, in + i, 2);
        w = __builtin_bswap16(w);
        std::memcpy(out + i, &w, 2);
    }
}

void advise_huge(void* p, std::size_t n) {
    const auto a = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t lo = (a + (1u << 21) - 1) & ~std::uintptr_t{(1u << 21) - 1};
    const std::uintptr_t hi = (a + n) & ~std::uintptr_t{(1u << 21) - 1};
    if (hi > lo) madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_HUGEPAGE);
}

volatile std::uint8_t sink;

}  // namespace

int main(int argc, char** argv) {
    const std::size_t n = (argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 40) * 1000 * 1000;
    std::vector<std::uint8_t> in(n);
    for (std::size_t i = 0; i < n; ++i) in[i] = static_cast<std::uint8_t>(i * 7 + (i >> 9));
    std::vector<std::uint8_t> mapped(n, 1);

    auto copy = [&] {
        auto* p = static_cast<std::uint8_t*>(std::malloc(n));
        std::memcpy(p, in.data(), n);
        sink = p[n / 2];
        std::free(p);
    };
    auto two = [&] {
        auto* core = static_cast<std::uint8_t*>(std::malloc(n));
        swap16(in.data(), core, n);
        auto* result = static_cast<std::uint8_t*>(std::malloc(n));
        std::memcpy(result, core, n);
        std::free(core);
        sink = result[n / 2];
        std::free(result);
    };
    auto direct = [&] {
        auto* p = static_cast<std::uint8_t*>(std::malloc(n));
        swap16(in.data(), p, n);
        sink = p[n / 2];
        std::free(p);
    };
    auto huge = [&] {
        auto* p = static_cast<std::uint8_t*>(std::malloc(n));
        advise_huge(p, n);
        swap16(in.data(), p, n);
        sink = p[n / 2];
        std::free(p);
    };
    auto mapped_swap = [&] { swap16(in.data(), mapped.data(), n); };

    struct V {
        const char* name;
        std::function<void()> fn;
    };
    std::vector<std::pair<const char*, void (*)(void*)>> dummy;
    const char* names[] = {"copy", "two_buffers", "direct", "direct_huge", "swap_mapped"};
    std::vector<std::vector<double>> t(5);
    for (int r = 0; r < 15; ++r) {
        for (int k = 0; k < 5; ++k) {
            const auto t0 = std::chrono::steady_clock::now();
            switch (k) {
                case 0: copy(); break;
                case 1: two(); break;
                case 2: direct(); break;
                case 3: huge(); break;
                case 4: mapped_swap(); break;
            }
            t[k].push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
        }
    }
    std::printf("%zu bytes, medians of 15 rounds, ratio to copy\n", n);
    std::vector<double> med(5);
    for (int k = 0; k < 5; ++k) {
        std::sort(t[k].begin(), t[k].end());
        med[k] = t[k][7];
    }
    for (int k = 0; k < 5; ++k) std::printf("%-12s %8.2f ms  %5.2fx\n", names[k], med[k] * 1e3, med[k] / med[0]);
    return 0;
}

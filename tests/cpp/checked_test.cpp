#include "common/checked.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>

namespace korrin {
namespace {

// divide() rounds toward zero as / does, by a shift where d is a power of two.
TEST(Checked, DivideRoundsTowardZero) {
    constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    struct Case {
        std::int64_t a;
        std::uint64_t d;
        std::int64_t want;
    };
    const Case cases[] = {
        {-5, 4, -1},
        {-4, 4, -1},
        {-3, 4, 0},
        {5, 4, 1},
        {0, 256, 0},
        {-1, 1, -1},
        {kMin, 4, kMin / 4},
        {kMin, std::uint64_t{1} << 62, -2},
        {kMax, 256, kMax / 256},
        {-257, 256, -1},
        {-7, 3, -2},
        {7, 3, 2},
    };
    for (const Case& c : cases) EXPECT_EQ(divide(c.a, c.d), c.want) << c.a << " / " << c.d;
    std::mt19937_64 rng(42);
    for (int i = 0; i < 20000; ++i) {
        const auto a = static_cast<std::int64_t>(rng());
        const std::uint64_t d = i % 2 ? std::uint64_t{1} << (rng() % 63) : 1 + rng() % 100000;
        ASSERT_EQ(divide(a, d), a / static_cast<std::int64_t>(d)) << a << " / " << d;
    }
}

}  // namespace
}  // namespace korrin

// The restore routines against the rules written out in 128-bit arithmetic:
// the same values, and an overflow at the same sample, wherever the values
// lie, in particular around the bounds that let the unchecked loops run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <ostream>
#include <random>
#include <vector>

#include "shorten/predictors.hpp"

namespace korrin::shorten::predict {
namespace {

using Int128 = __int128;
constexpr Int128 kMin = std::numeric_limits<std::int64_t>::min();
constexpr Int128 kMax = std::numeric_limits<std::int64_t>::max();

// Each step of the rules in 128 bits, failing when it leaves 64 bits.
struct Step {
    bool ok = true;
    Int128 operator()(Int128 v) {
        if (v < kMin || v > kMax) ok = false;
        return v;
    }
};

// Predictor: 0 DIFF0 (offset mu), 1-3 DIFF1-3, 4 QLPC with `a`.
// Returns the values formed before the first overflow and whether all were.
struct Outcome {
    std::vector<std::int64_t> values;
    bool complete;
    bool operator==(const Outcome&) const = default;
    friend void PrintTo(const Outcome& o, std::ostream* os) {
        *os << (o.complete ? "complete:" : "overflow after:");
        for (const std::int64_t v : o.values) *os << ' ' << v;
    }
};

Outcome reference(int predictor, std::vector<std::int64_t> history, const std::vector<std::int64_t>& r,
                  const std::vector<std::int64_t>& a, std::int64_t mu, std::int64_t offset) {
    Outcome out{{}, true};
    for (const std::int64_t residual : r) {
        Step step;
        const auto x = [&](std::size_t k) { return Int128{history[history.size() - 1 - k]}; };
        Int128 s = 0;
        switch (predictor) {
            case 0: s = step(Int128{residual} + mu); break;
            case 1: s = step(residual + x(0)); break;
            case 2: s = step(step(residual + step(2 * x(0))) - x(1)); break;
            case 3: s = step(step(step(residual + step(3 * x(0))) - step(3 * x(1))) + x(2)); break;
            default: {
                if (a.empty()) {  // order 0: no prediction term, no rounding
                    s = step(Int128{residual} + mu);
                    break;
                }
                Int128 sum = 0;
                for (std::size_t k = 0; k < a.size(); ++k) sum = step(sum + step(step(x(k) - mu) * a[k]));
                sum = step(sum + offset);
                // >> of a negative 128-bit value is arithmetic, as the rule wants.
                s = step(step(residual + (sum >> 5)) + mu);
            }
        }
        if (!step.ok) {
            out.complete = false;
            return out;
        }
        out.values.push_back(static_cast<std::int64_t>(s));
        history.push_back(static_cast<std::int64_t>(s));
    }
    return out;
}

// The DIFF loops with the residuals' bound unknown, and with it given (the
// largest magnitude, or `magnitude` when that is given).
Outcome restored(int predictor, const std::vector<std::int64_t>& history, const std::vector<std::int64_t>& r,
                 const std::vector<std::int64_t>& a, std::int64_t mu, std::int64_t offset, bool bounded = false) {
    std::vector<std::int64_t> buffer(history);
    buffer.resize(history.size() + r.size(), 0x5A5A);
    std::int64_t* s = buffer.data() + history.size();
    std::uint64_t magnitude = bounded ? 0 : kUnknownMagnitude;
    if (bounded)
        for (const std::int64_t v : r) magnitude = std::max(magnitude, static_cast<std::uint64_t>(v < 0 ? -v : v));
    bool complete = false;
    switch (predictor) {
        case 0: complete = restore_offset(r.data(), r.size(), s, mu); break;
        case 1: complete = restore_difference<1>(r.data(), r.size(), s, magnitude); break;
        case 2: complete = restore_difference<2>(r.data(), r.size(), s, magnitude); break;
        case 3: complete = restore_difference<3>(r.data(), r.size(), s, magnitude); break;
        default: complete = restore_lpc(r.data(), r.size(), s, a, mu, offset, magnitude);
    }
    Outcome out{{}, complete};
    // The values before an overflow are formed; the one that overflowed is
    // not compared, as a failed block is dropped whole.
    const std::size_t formed = complete ? r.size() : reference(predictor, history, r, a, mu, offset).values.size();
    out.values.assign(s, s + formed);
    return out;
}

TEST(Predictors, MatchTheRulesInWideArithmetic) {
    struct Regime {
        const char* name;
        int magnitude_bits;    // history values and mu up to 2^bits
        int residual_bits;     // residuals up to 2^bits (at most 58)
        int coefficient_bits;  // QLPC coefficients up to 2^bits
    };
    const Regime regimes[] = {
        {"speech-like", 15, 10, 6},
        {"around the DIFF bound", 59, 57, 6},
        {"just beyond the DIFF bound", 61, 57, 6},
        {"near the 64-bit edge", 62, 58, 3},
        {"QLPC with wide coefficients", 40, 20, 53},
        {"QLPC near the mean bound", 61, 30, 2},
        {"QLPC values around 2^31", 30, 31, 8},
        {"QLPC coefficients around 2^31", 12, 8, 32},
    };
    std::mt19937_64 rng(1712);
    const auto draw = [&rng](int bits) {
        const std::int64_t span = bits >= 63 ? std::numeric_limits<std::int64_t>::max() : (std::int64_t{1} << bits);
        const auto v = static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(span));
        return rng() % 2 ? v : -v;
    };
    for (const Regime& regime : regimes) {
        SCOPED_TRACE(regime.name);
        int overflows = 0, completes = 0;
        for (int round = 0; round < 600; ++round) {
            const int predictor = round % 5;
            const std::size_t order = predictor == 4 ? 1 + rng() % 20 : 0;
            std::vector<std::int64_t> history(std::max<std::size_t>(3, order));
            for (auto& v : history) v = draw(regime.magnitude_bits);
            std::vector<std::int64_t> r(1 + rng() % 40);
            for (auto& v : r) v = draw(regime.residual_bits);
            std::vector<std::int64_t> a(order);
            for (auto& v : a) v = draw(regime.coefficient_bits);
            const std::int64_t mu = draw(regime.magnitude_bits);
            const std::int64_t offset = round % 2 ? 32 : 0;
            const Outcome want = reference(predictor, history, r, a, mu, offset);
            ASSERT_EQ(restored(predictor, history, r, a, mu, offset), want)
                << "round " << round << " predictor " << predictor;
            ASSERT_EQ(restored(predictor, history, r, a, mu, offset, true), want)
                << "round " << round << " predictor " << predictor << ", residuals' bound given";
            (want.complete ? completes : overflows)++;
        }
        // Each regime must reach the outcome it is there for.
        if (regime.magnitude_bits >= 61) {
            EXPECT_GT(overflows, 0);
        }
        EXPECT_GT(completes, 0);
    }
}

// Whole blocks whose values climb through the bound part-way, where the
// unchecked loops hand over to the checked one after the first value beyond
// it, at every place in the block, and some go on to overflow.
TEST(Predictors, LongBlocksThatClimbThroughTheBound) {
    std::mt19937_64 rng(2405);
    int crossed = 0, overflowed = 0;
    for (int round = 0; round < 300; ++round) {
        const int predictor = 1 + round % 3;
        const int residual_bits = 40 + static_cast<int>(rng() % 18);
        const std::int64_t sign = round % 2 ? 1 : -1;
        std::vector<std::int64_t> history = {0, 0, sign * static_cast<std::int64_t>(rng() >> 6)};
        std::vector<std::int64_t> r(256 + rng() % 512);
        for (auto& v : r) v = sign * static_cast<std::int64_t>(rng() >> (64 - residual_bits));
        const Outcome want = reference(predictor, history, r, {}, 0, 32);
        ASSERT_EQ(restored(predictor, history, r, {}, 0, 32), want) << "round " << round;
        ASSERT_EQ(restored(predictor, history, r, {}, 0, 32, true), want) << "round " << round << ", bound given";
        const bool beyond = std::any_of(want.values.begin(), want.values.end(),
                                        [](std::int64_t v) { return !within_difference_bound(v); });
        crossed += beyond;
        overflowed += !want.complete;
    }
    EXPECT_GT(crossed, 100);
    EXPECT_GT(overflowed, 30);
}

// Long QLPC blocks of every order the loops take, from speech-like values
// to ones that cross the bounds of the vector loop (2^30 for the values it
// forms, 32 bits for the history and the coefficients) part-way, at every
// place in a group of four, and some that go on to overflow.
TEST(Predictors, LongQlpcBlocksOfEveryOrder) {
    std::mt19937_64 rng(3006);
    int crossed = 0, overflowed = 0;
    for (int round = 0; round < 1200; ++round) {
        const std::size_t order = 1 + static_cast<std::size_t>(round) % 34;
        const int regime = (round / 34) % 4;  // 0 speech, 1 climbing past 2^30, 2 wide history, 3 wide coefficients
        std::vector<std::int64_t> a(order);
        for (auto& c : a) c = static_cast<std::int64_t>(rng() % 41) - 20;
        a[0] = 28 + static_cast<std::int64_t>(rng() % 8);  // a slowly decaying, mostly stable filter
        if (regime == 3)
            a[rng() % order] = (rng() % 2 ? 1 : -1) * ((std::int64_t{1} << 31) - static_cast<std::int64_t>(rng() % 3));
        std::vector<std::int64_t> history(std::max<std::size_t>(3, order));
        for (auto& v : history) v = static_cast<std::int64_t>(rng() % 20001) - 10000;
        if (regime == 2)
            history[rng() % history.size()] =
                (rng() % 2 ? 1 : -1) * ((std::int64_t{1} << 31) + 1 - static_cast<std::int64_t>(rng() % 3));
        std::vector<std::int64_t> r(4 + rng() % 300);
        const std::size_t climb = rng() % r.size();
        for (std::size_t i = 0; i < r.size(); ++i) {
            r[i] = static_cast<std::int64_t>(rng() % 2001) - 1000;
            if (regime == 1 && i >= climb) r[i] = static_cast<std::int64_t>(rng() >> (34 + rng() % 30));
        }
        const std::int64_t mu = static_cast<std::int64_t>(rng() % 2001) - 1000;
        const Outcome want = reference(4, history, r, a, mu, 32);
        ASSERT_EQ(restored(4, history, r, a, mu, 32), want) << "round " << round << " order " << order;
        ASSERT_EQ(restored(4, history, r, a, mu, 32, true), want)
            << "round " << round << " order " << order << ", bound";
        crossed += std::any_of(want.values.begin(), want.values.end(), [mu](std::int64_t v) {
            return v - mu >= (std::int64_t{1} << 30) || v - mu < -(std::int64_t{1} << 30);
        });
        overflowed += !want.complete;
    }
    EXPECT_GT(crossed, 100);
    EXPECT_GT(overflowed, 20);
}

TEST(Predictors, ValuesAtTheBoundsAndOneBeyond) {
    const std::int64_t b59 = std::int64_t{1} << 59;
    const std::int64_t max = std::numeric_limits<std::int64_t>::max();
    struct Case {
        const char* name;
        int predictor;
        std::vector<std::int64_t> history, residuals, a;
        std::int64_t mu;
        Outcome want;
    };
    const Case cases[] = {
        {"DIFF1 climbs past 2^59 and on to the top",
         1,
         {0, 0, b59 - 1},
         {1, 1, max - b59 - 1, 1},
         {},
         0,
         {{b59, b59 + 1, max}, false}},
        {"DIFF2 at 2^59 exactly", 2, {0, 0, b59}, {0}, {}, 0, {{2 * b59}, true}},
        {"DIFF3 beyond, checked from the start", 3, {0, 0, b59 + 1}, {0}, {}, 0, {{3 * (b59 + 1)}, true}},
        {"DIFF0 with mu at the top", 0, {0, 0, 0}, {0, 1}, {}, max, {{max}, false}},
        {"QLPC order 0 is r + mu", 4, {5, 6, 7}, {1, -1}, {}, 10, {{11, 9}, true}},
        {"QLPC example: (0 + 32) >> 5 = 1", 4, {0, 0, 0}, {3}, {40, -8}, 0, {{4}, true}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(reference(c.predictor, c.history, c.residuals, c.a, c.mu, 32), c.want);
        EXPECT_EQ(restored(c.predictor, c.history, c.residuals, c.a, c.mu, 32), c.want);
        EXPECT_EQ(restored(c.predictor, c.history, c.residuals, c.a, c.mu, 32, true), c.want);
    }
}

}  // namespace
}  // namespace korrin::shorten::predict

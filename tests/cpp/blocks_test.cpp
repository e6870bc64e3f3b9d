#include "python/native/blocks.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace korrin::python::native {
namespace {

constexpr std::size_t MiB = std::size_t{1} << 20;

TEST(BlockPool, SmallArraysComeFromMallocAndLargeOnesFromAlignedMappings) {
    BlockPool pool;
    struct Case {
        std::size_t size, capacity;
    };
    for (const Case c : {Case{0, 0}, Case{MiB - 1, 0}, Case{MiB, 2 * MiB}, Case{3 * MiB + 1, 4 * MiB}}) {
        Block block = pool.take(c.size);
        ASSERT_NE(block.data, nullptr) << c.size;
        EXPECT_EQ(block.capacity, c.capacity) << c.size;
        if (c.capacity != 0) {
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block.data) % (2 * MiB), 0u);
        }
        std::memset(block.data, 0xA5, c.size);
        pool.give(block);
    }
    EXPECT_EQ(pool.kept_blocks(), 2u);
    EXPECT_EQ(pool.kept_bytes(), 6 * MiB);
}

TEST(BlockPool, AFreedBlockServesTheNextArrayItHoldsDownToAQuarterOfItsSize) {
    BlockPool pool;
    const Block sixteen = pool.take(16 * MiB);
    pool.give(sixteen);
    struct Case {
        std::size_t size;
        bool reused;
    };
    // The 16 MiB block is too small for 17 MiB, serves 12, 4 and 3 MiB
    // (taken as 4: sizes go up to whole 2 MiB), not 1.5 MiB (taken as 2),
    // and an array below 1 MiB is malloc's.
    for (const Case c : {Case{17 * MiB, false}, Case{12 * MiB, true}, Case{4 * MiB, true}, Case{3 * MiB, true},
                         Case{3 * MiB / 2, false}, Case{MiB - 1, false}}) {
        const Block block = pool.take(c.size);
        EXPECT_EQ(block.data == sixteen.data, c.reused) << c.size;
        pool.give(block);
    }
}

TEST(BlockPool, KeepsNoMoreThanItsLimitDroppingTheOldestFirst) {
    BlockPool pool;
    std::vector<Block> blocks;
    for (int i = 0; i < 70; ++i) blocks.push_back(pool.take(2 * MiB));
    const Block huge = pool.take(BlockPool::kLargestKept + 1);
    for (const Block& block : blocks) pool.give(block);
    pool.give(huge);  // too large to keep
    EXPECT_EQ(pool.kept_bytes(), BlockPool::kKeptLimit);
    EXPECT_EQ(pool.kept_blocks(), BlockPool::kKeptLimit / (2 * MiB));
    // The newest stayed, the oldest went.
    std::vector<void*> kept;
    for (std::size_t n = pool.kept_blocks(); n > 0; --n) kept.push_back(pool.take(2 * MiB).data);
    EXPECT_NE(std::find(kept.begin(), kept.end(), blocks.back().data), kept.end());
    EXPECT_EQ(std::find(kept.begin(), kept.end(), blocks.front().data), kept.end());
}

// Readers side by side raise the limit to one block more than the most of
// them seen at once, of the largest size given back, up to the ceiling; it
// stays once they are gone (a loader's next round brings them back).
TEST(BlockPool, KeepsABlockMoreThanTheMostReadersSeenAtOnce) {
    BlockPool pool;
    pool.give(pool.take(39 * MiB));
    struct Case {
        std::size_t readers, limit;
    };
    const Case cases[] = {
        {0, BlockPool::kKeptLimit},
        {1, BlockPool::kKeptLimit},
        {2, BlockPool::kKeptLimit},  // three blocks of 40 MiB: 120 MiB
        {3, 160 * MiB},
        {4, 200 * MiB},
        {2, 200 * MiB},  // the most seen at once
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.readers << " readers");
        for (std::size_t i = 0; i < c.readers; ++i) pool.enter();
        for (std::size_t i = 0; i < c.readers; ++i) pool.leave();
        EXPECT_EQ(pool.limit(), c.limit);
    }
    // Four readers' float64 arrays of a five-minute call and the one handed
    // on, given back: each is kept for the next round.
    std::vector<Block> blocks;
    for (int i = 0; i < 5; ++i) blocks.push_back(pool.take(39 * MiB));
    for (const Block& block : blocks) pool.give(block);
    EXPECT_EQ(pool.kept_blocks(), 5u);
    EXPECT_EQ(pool.kept_bytes(), 200 * MiB);

    for (std::size_t i = 0; i < 20; ++i) pool.enter();
    EXPECT_EQ(pool.limit(), BlockPool::kKeptCeiling);
}

}  // namespace
}  // namespace korrin::python::native

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "extract/checkpoints.hpp"
#include "shorten/shorten.hpp"

namespace korrin {
namespace {

TEST(CheckpointCache, FindsTheStateBeforeAFrameAndDropsTheLeastRecentFile) {
    const auto state_at = [](std::uint64_t frame) {
        shorten::DecoderState state;
        state.frame = frame;
        state.bit_position = frame * 10;
        state.history.assign(6, 0);
        return state;
    };
    const extract::FileKey a{"a", 1, 1, 100, 5}, b{"b", 1, 2, 100, 5}, a_changed{"a", 1, 1, 100, 6};
    std::size_t per_state = 0;
    {
        extract::CheckpointCache measure(1 << 20);
        measure.add(a, {state_at(1)});
        per_state = measure.stats().bytes;
    }
    extract::CheckpointCache cache(8 * per_state);
    cache.add(a, {state_at(64), state_at(128), state_at(192)});
    const auto found = cache.find(a, 150, 160);
    ASSERT_TRUE(found.before);
    EXPECT_EQ(found.before->frame, 128u);
    EXPECT_EQ(found.bits_after_end, 1920u);
    EXPECT_FALSE(cache.find(a, 10, 20).before);
    EXPECT_FALSE(cache.find(a, 200, 300).bits_after_end);
    EXPECT_FALSE(cache.find(a_changed, 150, 160).before);
    cache.add(a, {state_at(128)});  // known already
    EXPECT_EQ(cache.stats().checkpoints, 3u);
    cache.add(b, {state_at(64), state_at(128), state_at(192)});
    cache.find(a, 70, 80);
    cache.add(b, {state_at(256), state_at(320), state_at(384), state_at(448)});  // 10 states: a goes
    EXPECT_EQ(cache.stats().files, 1u);
    EXPECT_EQ(cache.stats().checkpoints, 7u);
    EXPECT_FALSE(cache.find(a, 70, 80).before);
    EXPECT_TRUE(cache.find(b, 70, 80).before);
    std::vector<shorten::DecoderState> many;
    for (std::uint64_t f = 1; f <= 9; ++f) many.push_back(state_at(f));
    cache.add(a, std::move(many));  // more than the whole store holds: nothing stays
    EXPECT_EQ(cache.stats().files, 0u);
    cache.clear();
    EXPECT_EQ(cache.stats().bytes, 0u);
}

}  // namespace
}  // namespace korrin

#include <gtest/gtest.h>

#include <malloc.h>

#include <cstdint>
#include <string>
#include <vector>

#include "extract/checkpoints.hpp"
#include "shorten/shorten.hpp"

namespace korrin {
namespace {

shorten::DecoderState state_at(std::uint64_t frame) {
    shorten::DecoderState state;
    state.frame = frame;
    state.bit_position = frame * 10;
    state.header_end = 12;
    state.history.assign(6, 0);
    return state;
}

// A stream of `size` bytes read whole.
struct Stream {
    std::vector<std::uint8_t> bytes;
    explicit Stream(std::size_t size) : bytes(size) {
        for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    }
    extract::StreamBytes view() const { return {bytes, 0, 0, bytes.size()}; }
};

TEST(CheckpointCache, FindsTheStateBeforeAFrameAndDropsTheLeastRecentFile) {
    const Stream stream(4096);
    const extract::FileKey a{"a", 1, 1, 100, {5}}, b{"b", 1, 2, 100, {5}}, a_changed{"a", 1, 1, 100, {5, 0, 1}};
    std::size_t per_state = 0;
    {
        extract::CheckpointCache measure(1 << 20);
        measure.add(a, {state_at(1)}, stream.view());
        const std::size_t one = measure.stats().bytes;
        measure.add(a, {state_at(2)}, stream.view());
        per_state = measure.stats().bytes - one;
    }
    extract::CheckpointCache cache(9 * per_state);
    cache.add(a, {state_at(64), state_at(128), state_at(192)}, stream.view());
    const auto found = cache.find(a, 150, 160);
    ASSERT_TRUE(found.before && found.after);
    EXPECT_EQ(found.before->frame, 128u);
    EXPECT_EQ(found.after->bit_position, 1920u);
    EXPECT_FALSE(cache.find(a, 10, 20).before);
    EXPECT_FALSE(cache.find(a, 200, 300).after);
    EXPECT_FALSE(cache.find(a_changed, 150, 160).before);  // another inode change time
    cache.add(a, {state_at(128)}, stream.view());          // known already
    EXPECT_EQ(cache.stats().checkpoints, 3u);
    cache.add(b, {state_at(64), state_at(128), state_at(192)}, stream.view());
    cache.find(a, 70, 80);
    cache.add(b, {state_at(256), state_at(320), state_at(384), state_at(448)}, stream.view());  // 10 states: a goes
    EXPECT_EQ(cache.stats().files, 1u);
    EXPECT_EQ(cache.stats().checkpoints, 7u);
    EXPECT_FALSE(cache.find(a, 70, 80).before);
    EXPECT_TRUE(cache.find(b, 70, 80).before);
    std::vector<shorten::DecoderState> many;
    for (std::uint64_t f = 1; f <= 12; ++f) many.push_back(state_at(f));
    cache.add(a, std::move(many), stream.view());  // more than the whole store holds: nothing stays
    EXPECT_EQ(cache.stats().files, 0u);
    cache.clear();
    EXPECT_EQ(cache.stats().bytes, 0u);
}

TEST(CheckpointCache, GoesOnFromAStateOnlyOverTheBytesItWasMadeFrom) {
    const Stream made(4096);
    const extract::FileKey key{"a", 1, 1, 4096, {5}};
    extract::CheckpointCache cache(1 << 20);
    cache.add(key, {state_at(100), state_at(200), state_at(300)}, made.view());  // bytes 125, 250 and 375
    // (changed byte, whether the states found for frames 150-250 still hold)
    // The state before frame 250 is at byte 250, the one after at byte 375:
    // each is checked against the 64 bytes on either side and the stream's
    // first 12. (changed byte, whether the states still hold)
    const std::pair<std::size_t, bool> cases[] = {
        {0, false},   {11, false},  {12, true},   {185, true}, {186, false}, {250, false},
        {313, false}, {314, false}, {438, false}, {439, true}, {4000, true},
    };
    for (const auto& [at, holds] : cases) {
        Stream changed(4096);
        changed.bytes[at] ^= 1;
        const auto found = cache.find(key, 250, 300);
        ASSERT_TRUE(found.before && found.after) << at;
        EXPECT_EQ(cache.confirm(key, found, changed.view()), holds) << at;
        EXPECT_EQ(cache.stats().files, holds ? 1u : 0u) << at;  // a doubt drops the file's states
        if (!holds) cache.add(key, {state_at(100), state_at(200), state_at(300)}, made.view());
    }
    // Only what a read holds counts: bytes it did not read are doubt.
    auto found = cache.find(key, 250, 300);
    extract::StreamBytes partial{made.bytes, 24, 250 - 64, 4096};
    EXPECT_TRUE(cache.confirm(key, found, partial));
    partial.from += 1;
    EXPECT_FALSE(cache.confirm(key, found, partial));
    partial = {std::span(made.bytes).first(375 + 63), 0, 0, 4096};
    cache.add(key, {state_at(200), state_at(300)}, made.view());
    EXPECT_FALSE(cache.confirm(key, cache.find(key, 250, 300), partial));
    // States taken beyond what the read holds are not kept.
    cache.add(key, {state_at(100), state_at(200), state_at(300)}, partial);
    EXPECT_EQ(cache.frames("a"), (std::vector<std::uint64_t>{100, 200}));
    // A state at a known frame made from other bytes replaces every state of the file.
    Stream other(4096);
    other.bytes[250] ^= 1;
    cache.add(key, {state_at(100), state_at(300)}, made.view());
    cache.add(key, {state_at(200)}, other.view());
    EXPECT_EQ(cache.frames("a"), (std::vector<std::uint64_t>{200}));
}

#if defined(__SANITIZE_ADDRESS__)
#define KORRIN_OWN_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KORRIN_OWN_ALLOCATOR 1
#endif
#endif

TEST(CheckpointCache, ItsBoundHoldsAllItsMemory) {
#if defined(KORRIN_OWN_ALLOCATOR)
    GTEST_SKIP() << "the sanitizer's allocator keeps its own accounts";
#elif defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 33)
    // Many files of one small state each, under long paths: the keys and
    // nodes are most of what the store holds.
    constexpr std::size_t kLimit = std::size_t{4} << 20;
    const Stream stream(4096);
    const std::size_t before = mallinfo2().uordblks;
    {
        extract::CheckpointCache cache(kLimit);
        const std::string directory(90, 'd');
        for (std::uint64_t i = 0; i < 60'000; ++i)
            cache.add({directory + "/" + std::to_string(i) + ".sph", 1, i, 4096, {}}, {state_at(1)}, stream.view());
        const std::size_t held = mallinfo2().uordblks - before;
        EXPECT_LE(cache.stats().bytes, kLimit);
        EXPECT_LE(held, kLimit + kLimit / 10) << "counted " << cache.stats().bytes;
        EXPECT_GE(held, kLimit - kLimit / 10) << "counted " << cache.stats().bytes;
    }
#else
    GTEST_SKIP() << "no mallinfo2";
#endif
}

}  // namespace
}  // namespace korrin

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "shorten/shorten.hpp"
#include "sphere_builder.hpp"

namespace korrin {
namespace {

using test_support::Bytes;

// A two-channel stream of DIFF0 blocks of 16 frames, 40 rounds.
Bytes stream_of(std::vector<std::int16_t>& samples) {
    samples.resize(2 * 16 * 40);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::int16_t>((i * 7919) % 20000 - 10000);
    return test_support::shorten_stream(2, 16, samples);
}

std::vector<std::int16_t> decoded(const Bytes& stream, const shorten::OutputOptions& output) {
    auto audio = shorten::decode(stream, {}, output);
    EXPECT_TRUE(audio) << audio.error().message;
    const auto span = audio->samples.span();
    return {span.begin(), span.end()};
}

TEST(DecoderState, AStateTakenAtARoundGoesOnAsTheDecodeFromTheStart) {
    std::vector<std::int16_t> samples;
    const Bytes stream = stream_of(samples);
    std::vector<shorten::DecoderState> states;
    shorten::OutputOptions taking;
    taking.checkpoints = &states;
    taking.checkpoint_every = 50;
    EXPECT_EQ(decoded(stream, taking), samples);
    ASSERT_EQ(states.size(), 640 / 64);  // the first round at or past each 50 frames after the last
    for (std::size_t i = 0; i < states.size(); ++i) EXPECT_EQ(states[i].frame, 64 * (i + 1));
    for (const auto& state : states) {
        EXPECT_EQ(state.history.size(), 2 * 3u);
        for (const std::uint64_t skip : {std::uint64_t{0}, std::uint64_t{5}}) {
            shorten::OutputOptions going_on;
            going_on.resume = &state;
            going_on.skip_frames = skip;
            going_on.max_frames = 20;
            const std::vector<std::int16_t> got = decoded(stream, going_on);
            const std::size_t from = std::min<std::size_t>(samples.size(), 2 * (state.frame + skip));
            const std::size_t to = std::min(samples.size(), from + 40);
            EXPECT_EQ(got, std::vector<std::int16_t>(samples.begin() + from, samples.begin() + to)) << state.frame;
        }
    }
    // A state that does not fit the stream's header is refused.
    shorten::DecoderState wrong = states[0];
    wrong.history.pop_back();
    shorten::OutputOptions going_on;
    going_on.resume = &wrong;
    EXPECT_EQ(shorten::decode(stream, {}, going_on).error().message, "shorten decoder state does not fit the stream");
}

// Frames handed to a sink arrive in order, in runs, as the array would hold
// them, with the window applied and their checksum taken.
TEST(FrameSink, TakesTheKeptFramesInOrderAsTheArrayHoldsThem) {
    struct Gather final : shorten::FrameSink {
        std::vector<std::int16_t> samples;
        std::uint64_t next = 0;
        bool ordered = true;
        void take(const std::int16_t* run, std::uint64_t first, std::size_t frames) noexcept override {
            ordered = ordered && first == next;
            next = first + frames;
            samples.insert(samples.end(), run, run + 2 * frames);
        }
    };
    std::vector<std::int16_t> samples(2 * 16 * 700);  // more frames than one run
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::int16_t>((i * 7919) % 65536 - 32768);
    const Bytes stream = test_support::shorten_stream(2, 16, samples);
    struct Window {
        std::uint64_t skip, keep;
    };
    for (const Window w : {Window{0, UINT64_MAX}, Window{5, 9000}, Window{4099, 3}}) {
        Gather gather;
        shorten::OutputOptions output;
        output.sink = &gather;
        output.skip_frames = w.skip;
        output.max_frames = w.keep;
        auto audio = shorten::decode(stream, {}, output);
        ASSERT_TRUE(audio) << audio.error().message;
        EXPECT_EQ(audio->samples.size(), 0u);
        EXPECT_TRUE(gather.ordered) << w.skip;
        const std::size_t from = 2 * w.skip;
        const std::size_t to =
            std::min<std::uint64_t>(samples.size(), from + 2 * std::min<std::uint64_t>(w.keep, samples.size()));
        EXPECT_EQ(gather.samples, std::vector<std::int16_t>(samples.begin() + from, samples.begin() + to)) << w.skip;
        std::uint16_t sum = 0;
        for (const std::int16_t v : gather.samples)
            sum = static_cast<std::uint16_t>(sum + static_cast<std::uint16_t>(v));
        EXPECT_EQ(audio->sample_checksum, sum) << w.skip;
    }
}

}  // namespace
}  // namespace korrin

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

}  // namespace
}  // namespace korrin

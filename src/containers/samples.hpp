// Turning decoded samples into an output's samples in one pass: a channel
// and a span of frames picked out, the coding converted (linear PCM,
// mu-law, A-law) and the byte order the container wants.
#pragma once

#include <cstdint>
#include <optional>

#include "common/bytes.hpp"
#include "common/result.hpp"
#include "containers/containers.hpp"

namespace korrin::containers {

// How decoded samples lie in memory: `width` bytes each, interleaved. A
// G.711 code takes one byte, or the low byte of a 16-bit word (as the
// Shorten decoder leaves codes); linear samples are little-endian unless
// `big_endian`.
struct Layout {
    Coding coding = Coding::Linear16;
    unsigned width = 2;
    bool big_endian = false;
};

struct Samples {
    ByteView bytes;  // whole frames
    Layout layout;
    std::uint64_t channels = 1;

    std::uint64_t frame_bytes() const noexcept { return channels * layout.width; }
    std::uint64_t frames() const noexcept { return bytes.size() / frame_bytes(); }
};

// Frames [begin, end) of one channel (0-based) or of all.
struct Cut {
    std::optional<std::uint64_t> channel;
    std::uint64_t begin = 0;
    std::uint64_t end = UINT64_MAX;
};

// The coding of an output converted from `from` when `to` is asked for:
// 16-bit linear from 32-bit takes each sample's upper 16 bits; G.711 from
// 32-bit, the code of those; 32-bit is given only from 32-bit.
Coding converted_coding(Coding from, Coding to) noexcept;

// The cut of `samples` (cut to the frames there are) in coding `to`, in
// the byte order `big_endian` asks of linear samples, with `framing` room
// around it. G.711 to linear expands as the decoder does; linear to G.711
// compresses (codecs/g711_encode.hpp); one law to the other goes through
// the linear value.
Result<ByteBuffer> render(const Samples& samples, const Cut& cut, Coding to, bool big_endian, Framing framing = {});

// True when `render` would only pick samples out, byte for byte: then
// `cut_in_place` does it without a copy.
bool is_plain_cut(const Layout& from, Coding to, bool big_endian) noexcept;

// Narrows `buffer`, which holds `samples` in whole frames of `channels`
// samples of `width` bytes, to the cut, moving one channel's samples down
// in place. The room around the buffer grows by what is dropped.
void cut_in_place(ByteBuffer& buffer, std::uint64_t channels, unsigned width, const Cut& cut) noexcept;

}  // namespace korrin::containers

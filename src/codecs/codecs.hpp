// The codec kernels: G.711 expansion, and a Shorten stream to 16-bit PCM.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/bytes.hpp"
#include "common/result.hpp"
#include "shorten/shorten.hpp"

namespace korrin::codecs {

// The mu-law code of a pculaw byte: its bits in reverse order.
std::uint8_t pculaw_to_ulaw(std::uint8_t byte) noexcept;

// The expansion of one G.711 code byte.
std::int16_t ulaw_to_linear(std::uint8_t code) noexcept;
std::int16_t alaw_to_linear(std::uint8_t code) noexcept;

// Expands G.711 bytes into `out`, which must hold 2 * data.size() bytes.
void g711_expand_into(ByteView data, bool alaw, MutableByteView out) noexcept;

// Expands G.711 bytes into a new buffer of twice their length.
Result<ByteBuffer> g711_expand(ByteView data, bool alaw, Framing framing = {}, const BlockSource* source = nullptr);

struct ShortenPcm {
    std::uint64_t channel_count = 0;
    bool is_ulaw = false;
    ByteBuffer pcm_bytes;  // LE 16-bit, interleaved
};

Result<ShortenPcm> shorten_to_pcm(ByteView stream, const shorten::OutputOptions& output = {},
                                  const shorten::StreamOptions& versions = {});

// Serialises 16-bit samples least significant byte first.
Result<ByteBuffer> pcm_table_to_le(std::span<const std::int16_t> samples, Framing framing = {});

}  // namespace korrin::codecs

// The RIFF/WAV writer: a 44-byte header with one PCM "fmt " chunk and one
// "data" chunk, padded to an even length.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/bytes.hpp"
#include "common/result.hpp"

namespace korrin::wav {

inline constexpr std::size_t kHeaderSize = 44;

// The room a PCM producer should leave so that `wrap_wav` can finish the file
// in place: the header in front, a possible pad byte behind.
inline constexpr Framing kWavFraming{kHeaderSize, 1, true};

// Builds a WAV file in a new buffer from a copy of `pcm`. Refuses (Invalid),
// in this order: a bits_per_sample that is not a whole number of bytes, a
// byte rate beyond 32 bits, a block_align beyond 16 bits, and a RIFF size
// beyond 32 bits.
Result<ByteBuffer> write_wav(std::uint16_t channels, std::uint32_t sample_rate, std::uint16_t bits_per_sample,
                             ByteView pcm);

// The same file, built around `pcm` in place when it carries kWavFraming
// room, and by copying otherwise.
Result<ByteBuffer> wrap_wav(std::uint16_t channels, std::uint32_t sample_rate, std::uint16_t bits_per_sample,
                            ByteBuffer pcm);

}  // namespace korrin::wav

#include "codecs/g711_encode.hpp"

#include <bit>

namespace korrin::codecs {

std::uint8_t linear_to_ulaw(std::int16_t sample) noexcept {
    constexpr int bias = 132;
    constexpr int clip = 32635;
    const int value = sample;
    const unsigned sign = value < 0 ? 0x80u : 0u;
    int magnitude = value < 0 ? -value : value;  // 32768 for -32768, clipped next
    if (magnitude > clip) magnitude = clip;
    const auto biased = static_cast<unsigned>(magnitude + bias);  // 132 to 32767: bits 7 to 14
    const unsigned exponent = static_cast<unsigned>(std::bit_width(biased)) - 8;
    const unsigned mantissa = (biased >> (exponent + 3)) & 0x0Fu;
    return static_cast<std::uint8_t>(~(sign | exponent << 4 | mantissa));
}

std::uint8_t linear_to_alaw(std::int16_t sample) noexcept {
    int value = sample >> 3;  // 13 bits
    unsigned mask = 0xD5;
    if (value < 0) {
        mask = 0x55;
        value = -value - 1;
    }
    const auto magnitude = static_cast<unsigned>(value);  // 0 to 4095
    // Segment 0 holds 0 to 31; each further segment doubles the range.
    const unsigned width = static_cast<unsigned>(std::bit_width(magnitude | 31u));
    const unsigned segment = width - 5;  // 0 to 7
    const unsigned mantissa = segment < 2 ? (magnitude >> 1) & 0x0Fu : (magnitude >> segment) & 0x0Fu;
    return static_cast<std::uint8_t>((segment << 4 | mantissa) ^ mask);
}

}  // namespace korrin::codecs

// G.711 compression: 16-bit linear samples to mu-law and A-law code bytes,
// the inverse of the expansion in codecs.hpp for every value that expansion
// gives, and the usual quantisation for every other.
#pragma once

#include <cstdint>

namespace korrin::codecs {

// Mu-law: the magnitude is clipped to 32635, biased by 132 and split into a
// 3-bit exponent and 4-bit mantissa; the code is the complement. -32768 is
// coded as -32767 (0x00, the loudest negative code).
std::uint8_t linear_to_ulaw(std::int16_t sample) noexcept;

// A-law: on the 13 most significant bits, the magnitude of a negative value
// taken as -x - 1; segment and mantissa, then the even bits inverted.
std::uint8_t linear_to_alaw(std::int16_t sample) noexcept;

}  // namespace korrin::codecs

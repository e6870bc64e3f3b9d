#include "codecs/codecs.hpp"

namespace korrin::codecs {

std::int16_t ulaw_to_linear(std::uint8_t) noexcept { return 0; }
std::int16_t alaw_to_linear(std::uint8_t) noexcept { return 0; }
void g711_expand_into(ByteView, bool, MutableByteView) noexcept {}
Result<ByteBuffer> g711_expand(ByteView, bool, Framing) { return invalid("not implemented"); }

}  // namespace korrin::codecs

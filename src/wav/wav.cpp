#include "wav/wav.hpp"

namespace korrin::wav {

Result<ByteBuffer> write_wav(std::uint16_t, std::uint32_t, std::uint16_t, ByteView) { return invalid("not implemented"); }
Result<ByteBuffer> wrap_wav(std::uint16_t, std::uint32_t, std::uint16_t, ByteBuffer) { return invalid("not implemented"); }

}  // namespace korrin::wav

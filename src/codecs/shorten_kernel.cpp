#include "codecs/codecs.hpp"

namespace korrin::codecs {

Result<ShortenPcm> shorten_to_pcm(ByteView, Framing) { return invalid("not implemented"); }
Result<ByteBuffer> pcm_table_to_le(std::span<const std::int16_t>, Framing) { return invalid("not implemented"); }

}  // namespace korrin::codecs

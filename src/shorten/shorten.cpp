#include "shorten/shorten.hpp"

namespace korrin::shorten {

Result<ShortenAudio> decode(ByteView, const Limits&) { return invalid("not implemented"); }
Result<std::int64_t> coffset(std::span<const std::int64_t>, std::uint64_t) { return invalid("not implemented"); }
Result<std::uint8_t> ulaw_value_to_byte(std::int64_t, std::uint32_t) { return invalid("not implemented"); }

}  // namespace korrin::shorten

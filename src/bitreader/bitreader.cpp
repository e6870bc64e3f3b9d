#include "bitreader/bitreader.hpp"

namespace korrin::bitreader {

BitReader::BitReader(ByteView data, std::size_t start) noexcept : data_(data), pos_(start) {}
Result<std::uint64_t> BitReader::uvar(std::uint32_t) { return invalid("not implemented"); }
Result<std::int64_t> BitReader::var(std::uint32_t) { return invalid("not implemented"); }
Result<std::uint64_t> BitReader::ulong() { return invalid("not implemented"); }
std::size_t BitReader::pos() const noexcept { return pos_; }
std::uint8_t BitReader::bit() const noexcept { return bit_; }

}  // namespace korrin::bitreader

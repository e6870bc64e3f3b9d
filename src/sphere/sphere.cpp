#include "sphere/sphere.hpp"

namespace korrin::sphere {

const std::string* SphereHeader::find(std::string_view name) const noexcept {
    const auto it = fields.find(name);
    return it == fields.end() ? nullptr : &it->second;
}
Result<std::int64_t> SphereHeader::int_(std::string_view) const { return invalid("not implemented"); }
Result<void> SphereHeader::validate() const { return invalid("not implemented"); }
std::string_view SphereHeader::sample_byte_format() const noexcept { return "1"; }
Result<std::uint64_t> SphereHeader::expected_data_bytes() const { return invalid("not implemented"); }
Result<FieldTable> parse(ByteView) { return invalid("not implemented"); }
Result<SphereFile> read(ByteView) { return invalid("not implemented"); }

}  // namespace korrin::sphere

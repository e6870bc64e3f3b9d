// G.711 expansion: every byte value is a valid code, so the kernel can never
// fail. The target checks the output length and every sample against the
// expansion laws written out here bit by bit, for both laws, through both
// entry points (the allocating one and the one writing into a caller's span).
#include <cstdint>
#include <cstring>
#include <vector>

#include "codecs/codecs.hpp"
#include "fuzz_check.hpp"

namespace {

using korrin::fuzz::check;

// The laws as the format states them, deliberately not table-driven.
int ulaw_rule(std::uint8_t c) {
    const unsigned u = static_cast<std::uint8_t>(~c);
    const int mantissa = static_cast<int>(u & 0x0F);
    const int exponent = static_cast<int>((u >> 4) & 0x07);
    const int t = (mantissa * 8 + 132) * (1 << exponent);
    return (c & 0x80) ? t - 132 : 132 - t;
}

int alaw_rule(std::uint8_t c) {
    const unsigned a = c ^ 0x55u;
    const int mantissa = static_cast<int>(a & 0x0F);
    const int segment = static_cast<int>((a >> 4) & 0x07);
    const int t = segment == 0 ? mantissa * 16 + 8 : (mantissa * 16 + 264) * (1 << (segment - 1));
    return (c & 0x80) ? t : -t;
}

int sample_at(const std::uint8_t* pcm, std::size_t i) {
    const auto raw = static_cast<std::uint16_t>(pcm[2 * i] | (pcm[2 * i + 1] << 8));
    return static_cast<std::int16_t>(raw);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    // The first byte picks the law and the framing; the rest is the payload.
    const bool alaw = data[0] & 1;
    const korrin::Framing framing{static_cast<std::size_t>((data[0] >> 1) & 0x3F),
                                  static_cast<std::size_t>(data[0] >> 7)};
    const korrin::ByteView codes(data + 1, size - 1);

    auto expanded = korrin::codecs::g711_expand(codes, alaw, framing);
    check(expanded.has_value(), "g711_expand failed", expanded ? "" : expanded.error().message);
    check(expanded->size() == 2 * codes.size(), "output is not two bytes per code");
    check(expanded->front_room() >= framing.front && expanded->back_room() >= framing.back,
          "requested framing room missing");

    std::vector<std::uint8_t> into(2 * codes.size() + 1, 0xA5);  // one guard byte
    korrin::codecs::g711_expand_into(codes, alaw, korrin::MutableByteView(into.data(), 2 * codes.size()));
    check(into.back() == 0xA5, "g711_expand_into wrote past its span");

    for (std::size_t i = 0; i < codes.size(); ++i) {
        const std::uint8_t c = codes[i];
        const int want = alaw ? alaw_rule(c) : ulaw_rule(c);
        check(sample_at(expanded->data(), i) == want, "g711_expand sample differs from the law");
        check(sample_at(into.data(), i) == want, "g711_expand_into sample differs from the law");
        const int single = alaw ? korrin::codecs::alaw_to_linear(c) : korrin::codecs::ulaw_to_linear(c);
        check(single == want, "single-code expansion differs from the law");
    }
    return 0;
}

#include "containers/samples.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "codecs/codecs.hpp"
#include "codecs/g711_encode.hpp"

namespace korrin::containers {
namespace {

// One pass over the picked samples: `read(p)` takes the sample at `p` of
// the source, `write(q, value)` stores it at `q` of the output.
template <class Read, class Write>
void each_sample(const Samples& in, const Cut& cut, std::uint8_t* out, unsigned out_width, Read read,
                 Write write) noexcept {
    const std::size_t width = in.layout.width;
    const std::size_t frame = static_cast<std::size_t>(in.frame_bytes());
    const std::uint8_t* from = in.bytes.data() + cut.begin * frame;
    const std::size_t frames = static_cast<std::size_t>(cut.end - cut.begin);
    if (cut.channel) {
        from += *cut.channel * width;
        for (std::size_t i = 0; i < frames; ++i, from += frame, out += out_width) write(out, read(from));
        return;
    }
    const std::size_t count = frames * static_cast<std::size_t>(in.channels);
    for (std::size_t i = 0; i < count; ++i, from += width, out += out_width) write(out, read(from));
}

std::int32_t load_linear(const std::uint8_t* p, unsigned width, bool big_endian) noexcept {
    if (width == 2) {
        std::uint16_t v;
        std::memcpy(&v, p, 2);
        if (big_endian) v = __builtin_bswap16(v);
        return static_cast<std::int16_t>(v);
    }
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    if (big_endian) v = __builtin_bswap32(v);
    return static_cast<std::int32_t>(v);
}

void store_linear(std::uint8_t* q, std::int32_t value, unsigned width, bool big_endian) noexcept {
    if (width == 2) {
        auto v = static_cast<std::uint16_t>(value);
        if (big_endian) v = __builtin_bswap16(v);
        std::memcpy(q, &v, 2);
        return;
    }
    auto v = static_cast<std::uint32_t>(value);
    if (big_endian) v = __builtin_bswap32(v);
    std::memcpy(q, &v, 4);
}

std::int16_t expand(std::uint8_t code, Coding law) noexcept {
    return law == Coding::Alaw ? codecs::alaw_to_linear(code) : codecs::ulaw_to_linear(code);
}

std::uint8_t compress(std::int16_t value, Coding law) noexcept {
    return law == Coding::Alaw ? codecs::linear_to_alaw(value) : codecs::linear_to_ulaw(value);
}

// G.711 codes in: every output is a look-up of the code's 256 values.
void render_codes(const Samples& in, const Cut& cut, Coding to, bool big_endian, std::uint8_t* out) noexcept {
    const Coding law = in.layout.coding;
    const unsigned out_width = bytes_per_sample(to);
    std::array<std::array<std::uint8_t, 2>, 256> table;
    for (unsigned code = 0; code < 256; ++code) {
        const auto c = static_cast<std::uint8_t>(code);
        if (is_g711(to))
            table[code][0] = to == law ? c : compress(expand(c, law), to);
        else
            store_linear(table[code].data(), expand(c, law), 2, big_endian);
    }
    each_sample(in, cut, out, out_width, [](const std::uint8_t* p) { return *p; },
                [&](std::uint8_t* q, std::uint8_t code) { std::memcpy(q, table[code].data(), out_width); });
}

void render_linear(const Samples& in, const Cut& cut, Coding to, bool big_endian, std::uint8_t* out) noexcept {
    const unsigned width = in.layout.width;
    const bool in_big = in.layout.big_endian;
    // 16-bit values, from the upper half of 32-bit ones.
    const unsigned shift = width == 4 && to != Coding::Linear32 ? 16 : 0;
    const auto read = [=](const std::uint8_t* p) { return load_linear(p, width, in_big) >> shift; };
    if (is_g711(to)) {
        each_sample(in, cut, out, 1, read,
                    [to](std::uint8_t* q, std::int32_t v) { *q = compress(static_cast<std::int16_t>(v), to); });
        return;
    }
    const unsigned out_width = bytes_per_sample(to);
    each_sample(in, cut, out, out_width, read,
                [=](std::uint8_t* q, std::int32_t v) { store_linear(q, v, out_width, big_endian); });
}

Cut clamped(const Cut& cut, std::uint64_t frames) noexcept {
    Cut out = cut;
    out.end = std::min(cut.end, frames);
    out.begin = std::min(cut.begin, out.end);
    return out;
}

}  // namespace

Coding converted_coding(Coding from, Coding to) noexcept {
    if (to == Coding::Linear32 && from != Coding::Linear32) return Coding::Linear16;
    return to;
}

bool is_plain_cut(const Layout& from, Coding to, bool big_endian) noexcept {
    if (from.coding != to || from.width != bytes_per_sample(to)) return false;
    return is_g711(to) || from.big_endian == big_endian;
}

Result<ByteBuffer> render(const Samples& samples, const Cut& requested, Coding to, bool big_endian,
                          Framing framing) {
    to = converted_coding(samples.layout.coding, to);
    const Cut cut = clamped(requested, samples.frames());
    const std::uint64_t channels = cut.channel ? 1 : samples.channels;
    const std::uint64_t count = (cut.end - cut.begin) * channels;
    KR_ASSIGN_OR_RETURN(ByteBuffer out, ByteBuffer::allocate(static_cast<std::size_t>(count * bytes_per_sample(to)),
                                                             framing));
    if (is_plain_cut(samples.layout, to, big_endian) && !cut.channel) {
        const std::uint64_t frame = samples.frame_bytes();
        if (!out.empty()) std::memcpy(out.data(), samples.bytes.data() + cut.begin * frame, out.size());
    } else if (is_g711(samples.layout.coding)) {
        render_codes(samples, cut, to, big_endian, out.data());
    } else {
        render_linear(samples, cut, to, big_endian, out.data());
    }
    return out;
}

void cut_in_place(ByteBuffer& buffer, std::uint64_t channels, unsigned width, const Cut& requested) noexcept {
    const std::uint64_t frame = channels * width;
    const Cut cut = clamped(requested, buffer.size() / frame);
    buffer.narrow(static_cast<std::size_t>(cut.begin * frame), static_cast<std::size_t>((cut.end - cut.begin) * frame));
    if (!cut.channel || channels == 1) return;
    std::uint8_t* data = buffer.data();
    const std::size_t frames = static_cast<std::size_t>(cut.end - cut.begin);
    const std::uint8_t* from = data + *cut.channel * width;
    // Forward in place: a sample never lands beyond where it is read.
    for (std::size_t i = 0; i < frames; ++i, from += frame) std::memmove(data + i * width, from, width);
    buffer.narrow(0, frames * width);
}

}  // namespace korrin::containers

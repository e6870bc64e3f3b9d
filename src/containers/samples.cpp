#include "containers/samples.hpp"

#include <algorithm>
#include <array>
#include <cstring>

#include "codecs/codecs.hpp"
#include "codecs/g711_encode.hpp"

namespace korrin::containers {
namespace {

// The picked samples, in order: every `step` bytes from `from`, `count`
// of them.
struct Walk {
    const std::uint8_t* from;
    std::size_t step;
    std::size_t count;
};

Walk walk(const Samples& in, const Cut& cut) noexcept {
    const std::size_t width = in.layout.width;
    const std::size_t frame = static_cast<std::size_t>(in.frame_bytes());
    const std::uint8_t* from = in.bytes.data() + cut.begin * frame;
    const std::size_t frames = static_cast<std::size_t>(cut.end - cut.begin);
    if (cut.channel) return {from + *cut.channel * width, frame, frames};
    return {from, width, frames * static_cast<std::size_t>(in.channels)};
}

template <unsigned Width, bool BigEndian>
std::int32_t load(const std::uint8_t* p) noexcept {
    if constexpr (Width == 2) {
        std::uint16_t v;
        std::memcpy(&v, p, 2);
        if constexpr (BigEndian) v = __builtin_bswap16(v);
        return static_cast<std::int16_t>(v);
    } else {
        std::uint32_t v;
        std::memcpy(&v, p, 4);
        if constexpr (BigEndian) v = __builtin_bswap32(v);
        return static_cast<std::int32_t>(v);
    }
}

template <unsigned Width, bool BigEndian>
void store(std::uint8_t* q, std::int32_t value) noexcept {
    if constexpr (Width == 2) {
        auto v = static_cast<std::uint16_t>(value);
        if constexpr (BigEndian) v = __builtin_bswap16(v);
        std::memcpy(q, &v, 2);
    } else {
        auto v = static_cast<std::uint32_t>(value);
        if constexpr (BigEndian) v = __builtin_bswap32(v);
        std::memcpy(q, &v, 4);
    }
}

std::int16_t expand(std::uint8_t code, Coding law) noexcept {
    return law == Coding::Alaw ? codecs::alaw_to_linear(code) : codecs::ulaw_to_linear(code);
}

std::uint8_t compress(std::int16_t value, Coding law) noexcept {
    return law == Coding::Alaw ? codecs::linear_to_alaw(value) : codecs::linear_to_ulaw(value);
}

// Each code through a table of its 256 outputs, `Entry` bytes each.
template <class Entry>
void look_up(Walk w, const std::array<Entry, 256>& table, std::uint8_t* out) noexcept {
    for (std::size_t i = 0; i < w.count; ++i, w.from += w.step, out += sizeof(Entry))
        std::memcpy(out, &table[*w.from], sizeof(Entry));
}

// G.711 codes in: every output is a look-up of the code's 256 values.
void render_codes(const Samples& in, const Cut& cut, Coding to, bool big_endian, std::uint8_t* out) noexcept {
    const Coding law = in.layout.coding;
    if (is_g711(to)) {
        std::array<std::uint8_t, 256> table;
        for (unsigned code = 0; code < 256; ++code) {
            const auto c = static_cast<std::uint8_t>(code);
            table[code] = to == law ? c : compress(expand(c, law), to);
        }
        return look_up(walk(in, cut), table, out);
    }
    std::array<std::uint16_t, 256> table;
    for (unsigned code = 0; code < 256; ++code) {
        const auto c = static_cast<std::uint8_t>(code);
        if (big_endian)
            store<2, true>(reinterpret_cast<std::uint8_t*>(&table[code]), expand(c, law));
        else
            store<2, false>(reinterpret_cast<std::uint8_t*>(&table[code]), expand(c, law));
    }
    look_up(walk(in, cut), table, out);
}

// Linear samples in, `InWidth` bytes each; 16-bit values out of 32-bit
// ones are their upper halves.
template <unsigned InWidth, bool InBig>
void render_linear_from(Walk w, Coding to, bool big_endian, std::uint8_t* out) noexcept {
    const auto value16 = [](const std::uint8_t* p) {
        return static_cast<std::int16_t>(load<InWidth, InBig>(p) >> (InWidth == 4 ? 16 : 0));
    };
    switch (to) {
        case Coding::Ulaw:
        case Coding::Alaw:
            for (std::size_t i = 0; i < w.count; ++i, w.from += w.step) *out++ = compress(value16(w.from), to);
            return;
        case Coding::Linear32:
            for (std::size_t i = 0; i < w.count; ++i, w.from += w.step, out += 4) {
                if (big_endian)
                    store<4, true>(out, load<InWidth, InBig>(w.from));
                else
                    store<4, false>(out, load<InWidth, InBig>(w.from));
            }
            return;
        case Coding::Linear16: break;
    }
    if (big_endian)
        for (std::size_t i = 0; i < w.count; ++i, w.from += w.step, out += 2) store<2, true>(out, value16(w.from));
    else
        for (std::size_t i = 0; i < w.count; ++i, w.from += w.step, out += 2) store<2, false>(out, value16(w.from));
}

void render_linear(const Samples& in, const Cut& cut, Coding to, bool big_endian, std::uint8_t* out) noexcept {
    const Walk w = walk(in, cut);
    const bool in_big = in.layout.big_endian;
    if (in.layout.width == 2)
        in_big ? render_linear_from<2, true>(w, to, big_endian, out)
               : render_linear_from<2, false>(w, to, big_endian, out);
    else
        in_big ? render_linear_from<4, true>(w, to, big_endian, out)
               : render_linear_from<4, false>(w, to, big_endian, out);
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

Result<ByteBuffer> render(const Samples& samples, const Cut& requested, Coding to, bool big_endian, Framing framing) {
    to = converted_coding(samples.layout.coding, to);
    const Cut cut = clamped(requested, samples.frames());
    const std::uint64_t channels = cut.channel ? 1 : samples.channels;
    const std::uint64_t count = (cut.end - cut.begin) * channels;
    KR_ASSIGN_OR_RETURN(ByteBuffer out,
                        ByteBuffer::allocate(static_cast<std::size_t>(count * bytes_per_sample(to)), framing));
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

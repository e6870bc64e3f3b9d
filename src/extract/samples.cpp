#include "extract/samples.hpp"

#include <array>
#include <cstring>

#include "codecs/codecs.hpp"

namespace korrin::extract {
namespace {

using Stored = payload::Form;

using Table = std::array<std::int16_t, 256>;

// The 16-bit value of each byte of a one-byte coding.
const Table& byte_table(Stored stored) noexcept {
    static const Table tables[4] = {
        [] {
            Table t{};
            for (unsigned c = 0; c < 256; ++c) t[c] = codecs::ulaw_to_linear(static_cast<std::uint8_t>(c));
            return t;
        }(),
        [] {
            Table t{};
            for (unsigned c = 0; c < 256; ++c) t[c] = codecs::alaw_to_linear(static_cast<std::uint8_t>(c));
            return t;
        }(),
        [] {
            Table t{};
            for (unsigned c = 0; c < 256; ++c)
                t[c] = static_cast<std::int16_t>(static_cast<std::int8_t>(static_cast<std::uint8_t>(c)) * 256);
            return t;
        }(),
        [] {
            Table t{};
            for (unsigned c = 0; c < 256; ++c)
                t[c] = codecs::ulaw_to_linear(codecs::pculaw_to_ulaw(static_cast<std::uint8_t>(c)));
            return t;
        }(),
    };
    switch (stored) {
        case Stored::Alaw: return tables[1];
        case Stored::S8: return tables[2];
        case Stored::Pculaw: return tables[3];
        default: return tables[0];  // mu-law, as bytes or words
    }
}

// One stored sample as its value: 16-bit for every coding but 4-byte PCM.
template <Stored S>
struct Load;

template <>
struct Load<Stored::Le16> {
    static std::int16_t at(const std::uint8_t* p, const Table*) noexcept {
        std::int16_t v;
        std::memcpy(&v, p, 2);  // the host is little-endian (common/bytes.hpp)
        return v;
    }
};
template <>
struct Load<Stored::Be16> {
    static std::int16_t at(const std::uint8_t* p, const Table*) noexcept {
        std::uint16_t v;
        std::memcpy(&v, p, 2);
        return static_cast<std::int16_t>(__builtin_bswap16(v));
    }
};
template <>
struct Load<Stored::Le32> {
    static std::int32_t at(const std::uint8_t* p, const Table*) noexcept {
        std::int32_t v;
        std::memcpy(&v, p, 4);
        return v;
    }
};
template <>
struct Load<Stored::Be32> {
    static std::int32_t at(const std::uint8_t* p, const Table*) noexcept {
        std::uint32_t v;
        std::memcpy(&v, p, 4);
        return static_cast<std::int32_t>(__builtin_bswap32(v));
    }
};
template <>
struct Load<Stored::Ulaw> {
    static std::int16_t at(const std::uint8_t* p, const Table* table) noexcept { return (*table)[*p]; }
};
template <>
struct Load<Stored::Alaw> : Load<Stored::Ulaw> {};
template <>
struct Load<Stored::S8> : Load<Stored::Ulaw> {};
template <>
struct Load<Stored::Pculaw> : Load<Stored::Ulaw> {};
template <>
struct Load<Stored::UlawWords> : Load<Stored::Ulaw> {};  // the code is the word's low byte

// A value as an element of `D`.
template <Dtype D>
struct Store;

template <>
struct Store<Dtype::Int16> {
    using T = std::int16_t;
    static T of(std::int16_t v) noexcept { return v; }
    static T of(std::int32_t v) noexcept { return static_cast<T>(v >> 16); }
};
template <>
struct Store<Dtype::Int32> {
    using T = std::int32_t;
    static T of(std::int16_t v) noexcept { return static_cast<T>(static_cast<std::uint32_t>(v) << 16); }
    static T of(std::int32_t v) noexcept { return v; }
};
template <>
struct Store<Dtype::Float32> {
    using T = float;
    static T of(std::int16_t v) noexcept { return static_cast<float>(v) * (1.0f / 32768.0f); }
    static T of(std::int32_t v) noexcept { return static_cast<float>(v) * (1.0f / 2147483648.0f); }
};
template <>
struct Store<Dtype::Float64> {
    using T = double;
    static T of(std::int16_t v) noexcept { return static_cast<double>(v) * (1.0 / 32768.0); }
    static T of(std::int32_t v) noexcept { return static_cast<double>(v) * (1.0 / 2147483648.0); }
};

template <Stored S, Dtype D>
void run(const std::uint8_t* in, std::size_t channels, std::span<const std::uint32_t> picks, std::size_t frames,
         std::uint8_t* out_bytes) noexcept {
    using T = typename Store<D>::T;
    constexpr std::size_t width = S == Stored::Le32 || S == Stored::Be32                             ? 4
                                  : S == Stored::Le16 || S == Stored::Be16 || S == Stored::UlawWords ? 2
                                                                                                     : 1;
    constexpr bool one_byte =
        S == Stored::Ulaw || S == Stored::Alaw || S == Stored::S8 || S == Stored::Pculaw || S == Stored::UlawWords;
    const Table* table = one_byte ? &byte_table(S) : nullptr;
    T* out = reinterpret_cast<T*>(out_bytes);
    bool every_channel = picks.size() == channels;
    for (std::size_t k = 0; every_channel && k < picks.size(); ++k) every_channel = picks[k] == k;
    if (every_channel) {
        // One run over the samples, which the compiler vectorises.
        const std::size_t count = frames * channels;
        for (std::size_t i = 0; i < count; ++i) out[i] = Store<D>::of(Load<S>::at(in + i * width, table));
        return;
    }
    const std::size_t stride = channels * width;
    if (picks.size() == 1) {
        const std::uint8_t* from = in + std::size_t{picks[0]} * width;
        for (std::size_t f = 0; f < frames; ++f) out[f] = Store<D>::of(Load<S>::at(from + f * stride, table));
        return;
    }
    for (std::size_t f = 0; f < frames; ++f, in += stride)
        for (const std::uint32_t c : picks) *out++ = Store<D>::of(Load<S>::at(in + std::size_t{c} * width, table));
}

template <Stored S>
void run_stored(const std::uint8_t* in, std::size_t channels, std::span<const std::uint32_t> picks, std::size_t frames,
                Dtype dtype, std::uint8_t* out) noexcept {
    switch (dtype) {
        case Dtype::Int16: return run<S, Dtype::Int16>(in, channels, picks, frames, out);
        case Dtype::Int32: return run<S, Dtype::Int32>(in, channels, picks, frames, out);
        case Dtype::Float32: return run<S, Dtype::Float32>(in, channels, picks, frames, out);
        case Dtype::Float64: return run<S, Dtype::Float64>(in, channels, picks, frames, out);
    }
}

}  // namespace

std::size_t element_size(Dtype dtype) noexcept {
    switch (dtype) {
        case Dtype::Int16: return 2;
        case Dtype::Int32:
        case Dtype::Float32: return 4;
        case Dtype::Float64: break;
    }
    return 8;
}

std::optional<Dtype> dtype_named(std::string_view name) noexcept {
    if (name == "int16") return Dtype::Int16;
    if (name == "int32") return Dtype::Int32;
    if (name == "float32") return Dtype::Float32;
    if (name == "float64") return Dtype::Float64;
    return std::nullopt;
}

void convert(const std::uint8_t* in, Stored stored, std::size_t channels, std::span<const std::uint32_t> picks,
             std::size_t frames, Dtype dtype, std::uint8_t* out) noexcept {
    switch (stored) {
        case Stored::Le16: return run_stored<Stored::Le16>(in, channels, picks, frames, dtype, out);
        case Stored::Be16: return run_stored<Stored::Be16>(in, channels, picks, frames, dtype, out);
        case Stored::Le32: return run_stored<Stored::Le32>(in, channels, picks, frames, dtype, out);
        case Stored::Be32: return run_stored<Stored::Be32>(in, channels, picks, frames, dtype, out);
        case Stored::Ulaw: return run_stored<Stored::Ulaw>(in, channels, picks, frames, dtype, out);
        case Stored::Alaw: return run_stored<Stored::Alaw>(in, channels, picks, frames, dtype, out);
        case Stored::S8: return run_stored<Stored::S8>(in, channels, picks, frames, dtype, out);
        case Stored::Pculaw: return run_stored<Stored::Pculaw>(in, channels, picks, frames, dtype, out);
        case Stored::UlawWords: return run_stored<Stored::UlawWords>(in, channels, picks, frames, dtype, out);
    }
}

}  // namespace korrin::extract

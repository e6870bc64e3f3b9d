#include "containers/containers.hpp"

#include <array>
#include <bit>
#include <cstring>
#include <limits>

#include "wav/wav.hpp"

namespace korrin::containers {
namespace {

constexpr std::uint64_t kMax16 = std::numeric_limits<std::uint16_t>::max();
constexpr std::uint64_t kMax32 = std::numeric_limits<std::uint32_t>::max();

constexpr std::size_t kG711WavHeader = 58;  // RIFF, "fmt " of 18 bytes, "fact", "data"
constexpr std::size_t kAuHeader = 24;
constexpr std::size_t kAiffHeader = 54;  // FORM, COMM of 18 bytes, SSND with offset and block size

void put_tag(std::uint8_t*& at, const char (&tag)[5]) noexcept {
    std::memcpy(at, tag, 4);
    at += 4;
}

void put_le(std::uint8_t*& at, std::uint64_t value, unsigned bytes) noexcept {
    for (unsigned i = 0; i < bytes; ++i) *at++ = static_cast<std::uint8_t>(value >> (8 * i));
}

void put_be(std::uint8_t*& at, std::uint64_t value, unsigned bytes) noexcept {
    for (unsigned i = bytes; i-- > 0;) *at++ = static_cast<std::uint8_t>(value >> (8 * i));
}

// An 80-bit IEEE 754 extended value of a positive integer, as AIFF states
// its rate: sign and 15-bit exponent, then a 64-bit mantissa with its
// leading one explicit.
void put_extended(std::uint8_t*& at, std::uint64_t value) noexcept {
    const unsigned top = static_cast<unsigned>(std::bit_width(value)) - 1;
    put_be(at, 16383 + top, 2);
    put_be(at, value << (63 - top), 8);
}

// Places `header` in front of `samples`, and a zero byte behind them with
// `pad`: in the room the samples carry when they do, else in a new buffer.
Result<ByteBuffer> wrap(ByteBuffer samples, const std::uint8_t* header, std::size_t header_size, bool pad) {
    const std::size_t size = samples.size();
    if (samples.expand(header_size, pad ? 1 : 0)) {
        if (header_size != 0) std::memcpy(samples.data(), header, header_size);
        if (pad) samples.data()[header_size + size] = 0;
        return samples;
    }
    KR_ASSIGN_OR_RETURN(ByteBuffer out, ByteBuffer::allocate(header_size + size + (pad ? 1 : 0)));
    if (header_size != 0) std::memcpy(out.data(), header, header_size);
    if (size != 0) std::memcpy(out.data() + header_size, samples.data(), size);
    if (pad) out.data()[header_size + size] = 0;
    return out;
}

Result<ByteBuffer> finish_wav(const Format& format, ByteBuffer samples) {
    if (!is_g711(format.coding)) {
        if (format.channels > kMax16) return invalid("channel_count too large for WAV");
        if (format.rate > kMax32) return invalid("sample_rate too large for WAV");
        return wav::wrap_wav(static_cast<std::uint16_t>(format.channels), static_cast<std::uint32_t>(format.rate),
                             static_cast<std::uint16_t>(8 * bytes_per_sample(format.coding)), std::move(samples));
    }
    // One byte per sample: the byte rate is rate x channels, a frame is
    // `channels` bytes; check() has bounded both factors.
    const std::uint64_t size = samples.size();
    const bool pad = size % 2 != 0;
    if (size > kMax32 - 50 - pad)
        return invalid("output exceeds the 4 GB RIFF/WAV size limit (", size, " bytes of samples)");
    std::array<std::uint8_t, kG711WavHeader> header;
    std::uint8_t* at = header.data();
    put_tag(at, "RIFF");
    put_le(at, 50 + size + pad, 4);
    put_tag(at, "WAVE");
    put_tag(at, "fmt ");
    put_le(at, 18, 4);
    put_le(at, format.coding == Coding::Ulaw ? 7 : 6, 2);
    put_le(at, format.channels, 2);
    put_le(at, format.rate, 4);
    put_le(at, format.rate * format.channels, 4);
    put_le(at, format.channels, 2);  // block align
    put_le(at, 8, 2);
    put_le(at, 0, 2);  // no extra format bytes
    put_tag(at, "fact");
    put_le(at, 4, 4);
    put_le(at, size / format.channels, 4);  // frames
    put_tag(at, "data");
    put_le(at, size, 4);
    return wrap(std::move(samples), header.data(), header.size(), pad);
}

Result<ByteBuffer> finish_au(const Format& format, ByteBuffer samples) {
    const std::uint64_t size = samples.size();
    // All ones in the size field means "unknown": a size must stay below it.
    if (size >= kMax32) return invalid("output exceeds the 4 GB AU size limit (", size, " bytes of samples)");
    unsigned encoding = 3;
    switch (format.coding) {
        case Coding::Ulaw: encoding = 1; break;
        case Coding::Alaw: encoding = 27; break;
        case Coding::Linear16: encoding = 3; break;
        case Coding::Linear32: encoding = 5; break;
    }
    std::array<std::uint8_t, kAuHeader> header;
    std::uint8_t* at = header.data();
    put_tag(at, ".snd");
    put_be(at, kAuHeader, 4);
    put_be(at, size, 4);
    put_be(at, encoding, 4);
    put_be(at, format.rate, 4);
    put_be(at, format.channels, 4);
    return wrap(std::move(samples), header.data(), header.size(), false);
}

Result<ByteBuffer> finish_aiff(const Format& format, ByteBuffer samples) {
    const std::uint64_t size = samples.size();
    if (size > kMax32 - 46) return invalid("output exceeds the 4 GB AIFF size limit (", size, " bytes of samples)");
    const std::uint64_t frame_bytes = format.channels * bytes_per_sample(format.coding);
    std::array<std::uint8_t, kAiffHeader> header;
    std::uint8_t* at = header.data();
    put_tag(at, "FORM");
    put_be(at, 46 + size, 4);
    put_tag(at, "AIFF");
    put_tag(at, "COMM");
    put_be(at, 18, 4);
    put_be(at, format.channels, 2);
    put_be(at, size / frame_bytes, 4);
    put_be(at, 8 * bytes_per_sample(format.coding), 2);
    put_extended(at, format.rate);
    put_tag(at, "SSND");
    put_be(at, 8 + size, 4);
    put_be(at, 0, 4);  // offset
    put_be(at, 0, 4);  // block size
    return wrap(std::move(samples), header.data(), header.size(), false);
}

}  // namespace

std::string_view sphere_coding_name(Coding coding) noexcept {
    switch (coding) {
        case Coding::Ulaw: return "ulaw";
        case Coding::Alaw: return "alaw";
        case Coding::Linear16:
        case Coding::Linear32: break;
    }
    return "pcm";
}

Framing framing_for(Container container, Coding coding, std::size_t sphere_header_size) noexcept {
    switch (container) {
        case Container::Wav: return is_g711(coding) ? Framing{kG711WavHeader, 1, true} : wav::kWavFraming;
        case Container::Sphere: return {sphere_header_size, 0, false};
        case Container::Au: return {kAuHeader, 0, false};
        case Container::Aiff: return {kAiffHeader, 0, false};
        case Container::Raw: break;
    }
    return {};
}

Result<void> check(Container container, const Format& format) {
    switch (container) {
        case Container::Wav:
            // G.711's byte rate is rate x channels: the fields bound both.
            if (!is_g711(format.coding)) return ok();
            if (format.channels > kMax16) return invalid("channel_count too large for WAV");
            if (format.rate > kMax32) return invalid("sample_rate too large for WAV");
            if (format.rate * format.channels > kMax32) return invalid("WAV byte_rate exceeds 32-bit field");
            return ok();
        case Container::Au:
            if (format.channels > kMax32) return invalid("channel_count too large for AU");
            if (format.rate > kMax32) return invalid("sample_rate too large for AU");
            return ok();
        case Container::Aiff:
            if (is_g711(format.coding)) return invalid("AIFF holds linear PCM only");
            if (format.channels > kMax16) return invalid("channel_count too large for AIFF");
            return ok();
        case Container::Sphere:
        case Container::Raw: break;
    }
    return ok();
}

Result<ByteBuffer> finish(Container container, const Format& format, ByteBuffer samples, ByteView sphere_header) {
    KR_TRY(check(container, format));
    switch (container) {
        case Container::Wav: return finish_wav(format, std::move(samples));
        case Container::Au: return finish_au(format, std::move(samples));
        case Container::Aiff: return finish_aiff(format, std::move(samples));
        case Container::Sphere: return wrap(std::move(samples), sphere_header.data(), sphere_header.size(), false);
        case Container::Raw: break;
    }
    return samples;
}

}  // namespace korrin::containers

#include "wav/wav.hpp"

#include <array>
#include <cstring>
#include <limits>

namespace korrin::wav {
namespace {

using Header = std::array<std::uint8_t, kHeaderSize>;

void put_tag(std::uint8_t* at, const char (&tag)[5]) noexcept { std::memcpy(at, tag, 4); }

void put_u16(std::uint8_t* at, std::uint16_t value) noexcept {
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
}

void put_u32(std::uint8_t* at, std::uint32_t value) noexcept {
    put_u16(at, static_cast<std::uint16_t>(value));
    put_u16(at + 2, static_cast<std::uint16_t>(value >> 16));
}

struct Layout {
    Header header;
    bool pad;  // one zero byte follows the PCM
};

// Runs the writer's checks, in order, and lays out the 44-byte header for
// `pcm_size` bytes of PCM.
Result<Layout> layout(std::uint16_t channels, std::uint32_t sample_rate, std::uint16_t bits_per_sample,
                      std::size_t pcm_size) {
    constexpr std::uint64_t kMax32 = std::numeric_limits<std::uint32_t>::max();
    if (bits_per_sample % 8 != 0) return invalid("bits_per_sample must be a multiple of 8, got ", bits_per_sample);
    // At most 65535 x 8191: no overflow in 32 bits.
    const std::uint32_t block_align = std::uint32_t{channels} * (bits_per_sample / 8u);
    const std::uint64_t byte_rate = std::uint64_t{sample_rate} * block_align;
    if (byte_rate > kMax32) return invalid("WAV byte_rate exceeds 32-bit field");
    // Wrapping block_align into its 16-bit field would describe other audio.
    if (block_align > std::numeric_limits<std::uint16_t>::max()) return invalid("WAV block_align exceeds 16-bit field");
    const bool pad = pcm_size % 2 != 0;
    if (pcm_size > kMax32 - 36 - pad)
        return invalid("output exceeds the 4 GB RIFF/WAV size limit (", pcm_size, " bytes of PCM)");

    Layout out{{}, pad};
    std::uint8_t* h = out.header.data();
    put_tag(h + 0, "RIFF");
    put_u32(h + 4, static_cast<std::uint32_t>(36 + pcm_size + pad));
    put_tag(h + 8, "WAVE");
    put_tag(h + 12, "fmt ");
    put_u32(h + 16, 16);
    put_u16(h + 20, 1);  // plain PCM, whatever the width
    put_u16(h + 22, channels);
    put_u32(h + 24, sample_rate);
    put_u32(h + 28, static_cast<std::uint32_t>(byte_rate));
    put_u16(h + 32, static_cast<std::uint16_t>(block_align));
    put_u16(h + 34, bits_per_sample);
    put_tag(h + 36, "data");
    put_u32(h + 40, static_cast<std::uint32_t>(pcm_size));
    return out;
}

}  // namespace

Result<ByteBuffer> write_wav(std::uint16_t channels, std::uint32_t sample_rate, std::uint16_t bits_per_sample,
                             ByteView pcm) {
    KR_ASSIGN_OR_RETURN(const Layout file, layout(channels, sample_rate, bits_per_sample, pcm.size()));
    KR_ASSIGN_OR_RETURN(ByteBuffer out, ByteBuffer::allocate(kHeaderSize + pcm.size() + file.pad));
    std::uint8_t* at = out.data();
    std::memcpy(at, file.header.data(), kHeaderSize);
    if (!pcm.empty()) std::memcpy(at + kHeaderSize, pcm.data(), pcm.size());
    if (file.pad) at[kHeaderSize + pcm.size()] = 0;
    return out;
}

Result<ByteBuffer> wrap_wav(std::uint16_t channels, std::uint32_t sample_rate, std::uint16_t bits_per_sample,
                            ByteBuffer pcm) {
    KR_ASSIGN_OR_RETURN(const Layout file, layout(channels, sample_rate, bits_per_sample, pcm.size()));
    const std::size_t pcm_size = pcm.size();
    if (!pcm.expand(kHeaderSize, file.pad ? 1 : 0))
        return write_wav(channels, sample_rate, bits_per_sample, pcm.view());
    std::memcpy(pcm.data(), file.header.data(), kHeaderSize);
    if (file.pad) pcm.data()[kHeaderSize + pcm_size] = 0;
    return pcm;
}

}  // namespace korrin::wav

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "wav/wav.hpp"

namespace korrin::wav {
namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint32_t u32_at(const ByteBuffer& file, std::size_t at) {
    const std::uint8_t* p = file.data() + at;
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

std::uint16_t u16_at(const ByteBuffer& file, std::size_t at) {
    const std::uint8_t* p = file.data() + at;
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

std::string tag_at(const ByteBuffer& file, std::size_t at) {
    return std::string(reinterpret_cast<const char*>(file.data() + at), 4);
}

// PCM in a buffer with the room wrap_wav looks for.
ByteBuffer framed(const Bytes& pcm) {
    auto buffer = ByteBuffer::copy_of(pcm, kWavFraming);
    EXPECT_TRUE(buffer.has_value());
    return std::move(buffer).value();
}

struct Good {
    std::uint16_t channels;
    std::uint32_t rate;
    std::uint16_t bits;
    std::size_t pcm_size;
    std::uint32_t byte_rate;
    std::uint16_t block_align;
};

void check_file(const ByteBuffer& file, const Good& g, const Bytes& pcm) {
    const std::size_t pad = pcm.size() % 2;
    ASSERT_EQ(file.size(), 44 + pcm.size() + pad);
    EXPECT_EQ(tag_at(file, 0), "RIFF");
    EXPECT_EQ(u32_at(file, 4), 36 + pcm.size() + pad);
    EXPECT_EQ(tag_at(file, 8), "WAVE");
    EXPECT_EQ(tag_at(file, 12), "fmt ");
    EXPECT_EQ(u32_at(file, 16), 16u);
    EXPECT_EQ(u16_at(file, 20), 1u);
    EXPECT_EQ(u16_at(file, 22), g.channels);
    EXPECT_EQ(u32_at(file, 24), g.rate);
    EXPECT_EQ(u32_at(file, 28), g.byte_rate);
    EXPECT_EQ(u16_at(file, 32), g.block_align);
    EXPECT_EQ(u16_at(file, 34), g.bits);
    EXPECT_EQ(tag_at(file, 36), "data");
    EXPECT_EQ(u32_at(file, 40), pcm.size());
    EXPECT_EQ(Bytes(file.data() + 44, file.data() + 44 + pcm.size()), pcm);
    if (pad) {
        EXPECT_EQ(file.data()[file.size() - 1], 0);
    }
}

TEST(Wav, WritesHeaderPcmAndPad) {
    const Good cases[] = {
        {1, 16000, 16, 0, 32000, 2},  // empty: RIFF size 36, data size 0
        {1, 16000, 16, 3, 32000, 2},  // odd: a pad byte, RIFF size 40
        {2, 16000, 16, 8, 64000, 4},
        {1, 48000, 32, 8, 192000, 4},               // 32-bit keeps format tag 1
        {16383, 65537, 32, 4, 4294770684u, 65532},  // widest block_align that fits 16 bits
        {32767, 1, 16, 6, 65534, 65534},
        {1, 2147483647, 16, 2, 4294967294u, 2},  // fastest mono 16-bit rate
    };
    for (const Good& g : cases) {
        Bytes pcm(g.pcm_size);
        for (std::size_t i = 0; i < pcm.size(); ++i) pcm[i] = static_cast<std::uint8_t>(0xA0 + i);
        SCOPED_TRACE(testing::Message() << g.channels << " ch " << g.rate << " Hz " << g.bits << " bit, " << g.pcm_size
                                        << " bytes");
        auto copied = write_wav(g.channels, g.rate, g.bits, pcm);
        ASSERT_TRUE(copied.has_value()) << copied.error().message;
        check_file(*copied, g, pcm);
        // In place when the PCM carries room, by copying when it does not.
        ByteBuffer room = framed(pcm);
        const std::uint8_t* body = room.data();
        auto wrapped = wrap_wav(g.channels, g.rate, g.bits, std::move(room));
        ASSERT_TRUE(wrapped.has_value());
        check_file(*wrapped, g, pcm);
        EXPECT_EQ(wrapped->data() + 44, body);
        auto bare = ByteBuffer::copy_of(pcm);
        ASSERT_TRUE(bare.has_value());
        auto copied_again = wrap_wav(g.channels, g.rate, g.bits, std::move(bare).value());
        ASSERT_TRUE(copied_again.has_value());
        check_file(*copied_again, g, pcm);
    }
}

TEST(Wav, OddPcmWithoutBackRoomIsCopied) {
    const Bytes pcm = {1, 2, 3};
    auto buffer = ByteBuffer::copy_of(pcm, Framing{kHeaderSize, 0});
    ASSERT_TRUE(buffer.has_value());
    auto file = wrap_wav(1, 8000, 16, std::move(buffer).value());
    ASSERT_TRUE(file.has_value());
    check_file(*file, {1, 8000, 16, 3, 16000, 2}, pcm);
}

TEST(Wav, RefusesWhatItsFieldsCannotHold) {
    struct Bad {
        std::uint16_t channels;
        std::uint32_t rate;
        std::uint16_t bits;
        const char* message;
    };
    const Bad cases[] = {
        {1, 16000, 12, "bits_per_sample must be a multiple of 8, got 12"},
        {65535, 4294967295u, 12, "bits_per_sample must be a multiple of 8, got 12"},  // checked first
        {1, 16000, 0xFFFF, "bits_per_sample must be a multiple of 8, got 65535"},
        {65535, 16385, 32, "WAV byte_rate exceeds 32-bit field"},
        {1, 4294967295u, 16, "WAV byte_rate exceeds 32-bit field"},
        {1, 2147483648u, 16, "WAV byte_rate exceeds 32-bit field"},
        {32768, 65536, 16, "WAV byte_rate exceeds 32-bit field"},  // both; byte_rate first
        {32768, 1, 16, "WAV block_align exceeds 16-bit field"},
        {16384, 1, 32, "WAV block_align exceeds 16-bit field"},
        {65535, 16384, 32, "WAV block_align exceeds 16-bit field"},
    };
    for (const Bad& b : cases) {
        const Bytes pcm(4);
        auto copied = write_wav(b.channels, b.rate, b.bits, pcm);
        ASSERT_FALSE(copied.has_value()) << b.message;
        EXPECT_EQ(copied.error(), invalid(b.message));
        auto wrapped = wrap_wav(b.channels, b.rate, b.bits, framed(pcm));
        ASSERT_FALSE(wrapped.has_value()) << b.message;
        EXPECT_EQ(wrapped.error(), invalid(b.message));
    }
}

TEST(Wav, RiffSizeLimit) {
    // The buffers are reserved but never touched beyond the header, so the
    // 4 GB sizes cost address space only.
    struct Case {
        std::size_t pcm_size;
        bool fits;
    };
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "AddressSanitizer writes the shadow of every byte of a 4 GB buffer";
#endif
    const Case cases[] = {{4294967258u, true}, {4294967259u, false}, {4294967260u, false}};
    for (const Case& c : cases) {
        auto pcm = ByteBuffer::allocate(c.pcm_size, kWavFraming);
        if (!pcm.has_value()) GTEST_SKIP() << "no address space for a 4 GB buffer";
        auto file = wrap_wav(1, 8000, 16, std::move(pcm).value());
        if (c.fits) {
            ASSERT_TRUE(file.has_value()) << file.error().message;
            EXPECT_EQ(file->size(), std::size_t{44} + 4294967258u);
            EXPECT_EQ(u32_at(*file, 4), 4294967294u);
            EXPECT_EQ(u32_at(*file, 40), 4294967258u);
        } else {
            ASSERT_FALSE(file.has_value());
            EXPECT_EQ(file.error(),
                      invalid("output exceeds the 4 GB RIFF/WAV size limit (", c.pcm_size, " bytes of PCM)"));
        }
    }
}

}  // namespace
}  // namespace korrin::wav

// The typed format a header makes, and what the payload reader reads of it.
#include "payload/payload.hpp"

#include <gtest/gtest.h>

#include <cstring>

#include "format/format.hpp"
#include "payload/pcm_sink.hpp"
#include "sphere_builder.hpp"
#include "transcode/transcode.hpp"
#include "wav/wav.hpp"

namespace korrin::payload {
namespace {

using format::StoredSize;
using test_support::Bytes;
using test_support::Field;
using test_support::header_of;
using test_support::required;
using test_support::sphere_file;
using test_support::with;

TEST(Admit, TakesAStoredPayloadAsDeclaredOrAsFound) {
    const auto header = header_of({{"sample_count", "3"},
                                   {"sample_rate", "8000"},
                                   {"channel_count", "2"},
                                   {"sample_n_bytes", "1"},
                                   {"sample_coding", "ulaw"}});
    struct Case {
        std::uint64_t payload;
        StoredSize size;
        std::uint64_t frames;  // 0 with a message: refused
        const char* message;
    };
    const Case cases[] = {
        {7, StoredSize::Declared, 3, ""},
        {5, StoredSize::Declared, 0, "audio payload truncated: header declares 6 bytes but only 5 present"},
        {5, StoredSize::AsFound, 2, ""},
        {8, StoredSize::AsFound, 4, ""},
        {1, StoredSize::AsFound, 0, "no sample data: header declares 6 bytes but only 1 present"},
    };
    for (const Case& c : cases) {
        const auto format = format::admit(header, c.payload, format::Reader::Files, c.size);
        if (c.frames == 0) {
            ASSERT_FALSE(format);
            EXPECT_EQ(format.error().message, c.message);
            continue;
        }
        ASSERT_TRUE(format) << format.error().message;
        EXPECT_EQ(format->frames, c.frames);
        EXPECT_EQ(format->declared_frames, 3u);
    }
    // The coding's refusal comes first where the size cannot be wrong.
    const auto pcm24 = header_of(required(1, 1, 3));
    const auto refused = format::admit(pcm24, 1, format::Reader::Files, StoredSize::AsFound);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message, "24-bit PCM not supported yet (supported: 16, 32 bit)");
}

TEST(StoredRange, IsTheWindowsBytesOfAStoredPayloadOnly) {
    // 100 frames of 2 channels x 2 bytes.
    const auto pcm = *format::format_of(header_of(required(100, 2, 2)), 400, format::Reader::Files);
    const auto shorten = *format::format_of(
        header_of(with(required(100, 2, 2), Field{"sample_coding", "pcm,embedded-shorten-v2.00", "-s"})), 400,
        format::Reader::Files);
    struct Case {
        const char* name;
        const format::Format& format;
        Window window;
        std::optional<ByteRange> range;
    };
    const Case cases[] = {
        {"a span", pcm, {10, 20}, ByteRange{40, 80}},
        {"an end past the file is cut to it", pcm, {90, UINT64_MAX}, ByteRange{360, 400}},
        {"a start past the end is empty", pcm, {150, 200}, ByteRange{400, 400}},
        {"the whole payload is read whole", pcm, {}, std::nullopt},
        {"a compressed payload is read whole", shorten, {10, 20}, std::nullopt},
    };
    for (const Case& c : cases) {
        const auto range = stored_range(c.format, c.window);
        ASSERT_EQ(range.has_value(), c.range.has_value()) << c.name;
        if (range) {
            EXPECT_EQ(range->begin, c.range->begin) << c.name;
            EXPECT_EQ(range->end, c.range->end) << c.name;
        }
    }
}

// Every form of samples becomes little-endian PCM: copied, its bytes
// reversed, G.711 expanded (pculaw after its bits are reversed), 8-bit
// PCM as s << 8; whether it comes as a run, as lent memory or as a buffer.
TEST(PcmSink, GivesLittleEndianPcmOfEveryForm) {
    struct Case {
        Form form;
        Bytes in;
        Bytes want;
    };
    const Bytes pcm32 = {1, 2, 3, 4, 5, 6, 7, 8};
    const Case cases[] = {
        {Form::Le16, {1, 2, 3, 4}, {1, 2, 3, 4}},
        {Form::Be16, {1, 2, 3, 4}, {2, 1, 4, 3}},
        {Form::Le32, pcm32, pcm32},
        {Form::Be32, pcm32, {4, 3, 2, 1, 8, 7, 6, 5}},
        {Form::Ulaw, {0x80, 0xFF}, {0x7C, 0x7D, 0, 0}},
        {Form::UlawWords, {0x80, 0, 0xFF, 0}, {0x7C, 0x7D, 0, 0}},
        {Form::Pculaw, {0x01, 0xFF}, {0x7C, 0x7D, 0, 0}},
        {Form::Alaw, {0x80}, {0x80, 0x15}},
        {Form::S8, {0x80, 0x7F, 0xFF}, {0, 0x80, 0, 0x7F, 0, 0xFF}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.form));
        const std::size_t frames = c.in.size() / width_of(c.form);
        const auto bits = static_cast<std::uint16_t>(c.form == Form::Le32 || c.form == Form::Be32 ? 32 : 16);
        const auto finished = [](PcmSink& sink) {
            auto pcm = std::move(sink).finish();
            return pcm ? Bytes(pcm->begin(), pcm->end()) : Bytes{};
        };
        PcmSink runs(1, frames, bits);
        ASSERT_TRUE(runs.take({c.in.data(), c.form, 0, frames}));
        EXPECT_EQ(finished(runs), c.want);
        PcmSink lent(1, frames, bits);
        const MutableByteView memory = lent.lend(c.form, c.in.size());
        if (!memory.empty())
            std::memcpy(memory.data(), c.in.data(), c.in.size());
        else
            ASSERT_TRUE(lent.take({c.in.data(), c.form, 0, frames}));
        EXPECT_EQ(finished(lent), c.want);
        PcmSink adopted(1, frames, bits);
        ASSERT_TRUE(adopted.adopt(*ByteBuffer::copy_of(c.in), c.form, 0));
        EXPECT_EQ(finished(adopted), c.want);
    }
}

// A decode with a window must equal that window of the whole decode, for
// every coding.
TEST(DecodeWindow, AgreesWithTheWholeFileNarrowed) {
    std::vector<std::int16_t> samples(2 * 400);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<std::int16_t>(i * 37 - 9000);
    Bytes raw(samples.size() * 2);
    std::memcpy(raw.data(), samples.data(), raw.size());
    Bytes codes(800);
    for (std::size_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<std::uint8_t>(i * 13);
    const Field shorten = {"sample_coding", "pcm,embedded-shorten-v2.00", "-s"};
    const Bytes files[] = {
        sphere_file(with(required(400, 2, 2), {"sample_byte_format", "01", "-s"}), raw),
        sphere_file(with(required(400, 2, 2), {"sample_byte_format", "10", "-s"}), raw),
        sphere_file(with(required(200, 2, 4), {"sample_byte_format", "10", "-s"}), raw),
        sphere_file(with(required(400, 2, 1), {"sample_coding", "ulaw", "-s"}), codes),
        sphere_file(with(required(800, 1, 1), {"sample_coding", "alaw", "-s"}), codes),
        sphere_file(with(required(400, 2, 2), shorten), test_support::shorten_stream(2, 50, samples)),
        sphere_file(with(required(333, 2, 2), shorten), test_support::shorten_stream(2, 50, samples)),
    };
    const std::pair<std::uint64_t, std::uint64_t> windows[] = {{0, 1},     {0, 50},    {49, 51},       {120, 333},
                                                               {199, 200}, {100, 100}, {0, UINT64_MAX}};
    for (std::size_t f = 0; f < std::size(files); ++f) {
        const auto file = *sphere::read(files[f]);
        const auto frames = static_cast<std::uint64_t>(*file.header.int_("sample_count"));
        for (const auto& [begin, end] : windows) {
            if (begin >= frames) continue;
            const std::uint64_t last = std::min(end, frames);
            const transcode::Audio whole = *transcode::decode(file, {wav::kWavFraming, nullptr, {}, {}});
            const auto part = transcode::decode(file, {wav::kWavFraming, nullptr, {begin, last, true}, {}});
            ASSERT_TRUE(part) << f << ": " << part.error().message;
            const std::size_t frame = static_cast<std::size_t>(whole.frame_bytes());
            EXPECT_EQ(Bytes(part->pcm.begin(), part->pcm.end()),
                      Bytes(whole.pcm.begin() + begin * frame, whole.pcm.begin() + last * frame))
                << "file " << f << " window " << begin << ":" << end;
            EXPECT_EQ(part->first_frame, begin);
        }
    }
}

TEST(DecodeWindow, AShortenStreamIsReadNoFurtherThanTheWindow) {
    std::vector<std::int16_t> samples(2 * 400, 5);
    Bytes stream = test_support::shorten_stream(2, 50, samples);
    // Cut the stream in its second half: the whole file fails, a window in
    // its first half does not, and one past the cut fails as the whole does.
    stream.resize(stream.size() * 3 / 4);
    const Bytes file_bytes =
        sphere_file(with(required(400, 2, 2), {"sample_coding", "pcm,embedded-shorten-v2.00", "-s"}), stream);
    const auto file = *sphere::read(file_bytes);

    const auto whole = transcode::decode(file);
    ASSERT_FALSE(whole);
    const auto early = transcode::decode(file, {{}, nullptr, {10, 100, true}, {}});
    ASSERT_TRUE(early) << early.error().message;
    EXPECT_EQ(early->first_frame, 10u);
    EXPECT_EQ(early->pcm.size(), 90u * 2 * 2);
    EXPECT_EQ(transcode::decode(file, {{}, nullptr, {10, 100, false}, {}}).error(), whole.error());
    EXPECT_EQ(transcode::decode(file, {{}, nullptr, {350, 400, true}, {}}).error(), whole.error());
}

}  // namespace
}  // namespace korrin::payload

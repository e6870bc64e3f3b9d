#include "payload/pcm_sink.hpp"

#include <cstring>

#include "codecs/codecs.hpp"

namespace korrin::payload {
namespace {

template <class Word>
Word byte_reversed(Word word) noexcept {
    if constexpr (sizeof(Word) == 2)
        return __builtin_bswap16(word);
    else
        return __builtin_bswap32(word);
}

// Copies `size` bytes, reversing every group of sizeof(Word) bytes on the
// way (one pass, which the compiler turns into vector shuffles).
template <class Word>
void copy_reversed(const std::uint8_t* in, std::uint8_t* out, std::size_t size) noexcept {
    constexpr std::size_t width = sizeof(Word);
    for (std::size_t i = 0; i + width <= size; i += width) {
        Word word;
        std::memcpy(&word, in + i, width);
        word = byte_reversed(word);
        std::memcpy(out + i, &word, width);
    }
}

}  // namespace

Result<void> PcmSink::make() {
    if (made_) return ok();
    if (failed_) return out_of_memory();  // asked once only
    // The window's frames are whole in the payload (or declared so in a size
    // that fits), and each becomes at most twice its size.
    const std::size_t bytes = static_cast<std::size_t>(frames_ * channels_) * (bits_ / 8);
    auto pcm = ByteBuffer::allocate(bytes, placement_.framing, placement_.source);
    if (!pcm) {
        failed_ = true;
        return std::move(pcm).error();
    }
    pcm_ = std::move(*pcm);
    made_ = true;
    return ok();
}

MutableByteView PcmSink::lend(Form form, std::size_t bytes) {
    if ((form != Form::Le16 && form != Form::Le32) || !make()) return {};
    const MutableByteView lent{pcm_.data() + filled_, bytes};
    filled_ += bytes;
    return lent;
}

Result<void> PcmSink::take(const Run& run) {
    KR_TRY(make());
    const std::size_t count = static_cast<std::size_t>(run.frames * channels_);
    std::uint8_t* out = pcm_.data() + filled_;
    switch (run.form) {
        case Form::Le16: std::memcpy(out, run.data, 2 * count); break;
        case Form::Le32: std::memcpy(out, run.data, 4 * count); break;
        case Form::Be16: copy_reversed<std::uint16_t>(run.data, out, 2 * count); break;
        case Form::Be32: copy_reversed<std::uint32_t>(run.data, out, 4 * count); break;
        case Form::Ulaw:
        case Form::Alaw: codecs::g711_expand_into({run.data, count}, run.form == Form::Alaw, {out, 2 * count}); break;
        case Form::UlawWords:
            for (std::size_t i = 0; i < count; ++i) {
                const std::int16_t v = codecs::ulaw_to_linear(run.data[2 * i]);
                std::memcpy(out + 2 * i, &v, 2);
            }
            break;
        case Form::Pculaw:
            for (std::size_t i = 0; i < count; ++i) {
                const std::int16_t v = codecs::ulaw_to_linear(codecs::pculaw_to_ulaw(run.data[i]));
                std::memcpy(out + 2 * i, &v, 2);
            }
            break;
        case Form::S8:
            for (std::size_t i = 0; i < count; ++i) {
                out[2 * i] = 0;
                out[2 * i + 1] = run.data[i];  // the signed byte is the high byte of s << 8
            }
            break;
    }
    filled_ += count * (bits_ / 8);
    return ok();
}

Result<void> PcmSink::adopt(ByteBuffer buffer, Form form, std::uint64_t first) {
    if (form != Form::Le16 || made_)
        return take({buffer.data(), form, first, buffer.size() / width_of(form) / channels_});
    pcm_ = std::move(buffer);
    filled_ = pcm_.size();
    made_ = true;
    return ok();
}

Result<ByteBuffer> PcmSink::finish() && {
    KR_TRY(make());
    pcm_.truncate(filled_);
    return std::move(pcm_);
}

}  // namespace korrin::payload

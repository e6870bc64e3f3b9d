#include "cli/convert/audio.hpp"

#include "codecs/codecs.hpp"

namespace korrin::cli {

using containers::Coding;
using containers::Layout;
using payload::Form;

namespace {

// How the containers take samples that lie as `form`; nothing for a form
// they do not take as it is.
std::optional<Layout> layout_of(Form form) noexcept {
    switch (form) {
        case Form::Le16: return Layout{Coding::Linear16, 2, false};
        case Form::Be16: return Layout{Coding::Linear16, 2, true};
        case Form::Le32: return Layout{Coding::Linear32, 4, false};
        case Form::Be32: return Layout{Coding::Linear32, 4, true};
        case Form::Ulaw: return Layout{Coding::Ulaw, 1, false};
        case Form::Alaw: return Layout{Coding::Alaw, 1, false};
        case Form::UlawWords: return Layout{Coding::Ulaw, 2, false};
        case Form::S8:
        case Form::Pculaw: break;
    }
    return std::nullopt;
}

}  // namespace

Coding source_coding(const format::Format& format) noexcept {
    switch (format.coding) {
        case format::Coding::Ulaw:
        case format::Coding::Pculaw: return Coding::Ulaw;
        case format::Coding::Alaw: return Coding::Alaw;
        case format::Coding::Linear32: return Coding::Linear32;
        case format::Coding::Shorten: return format.ulaw_stream ? Coding::Ulaw : Coding::Linear16;
        case format::Coding::Linear8:
        case format::Coding::Linear16: break;
    }
    return Coding::Linear16;
}

AudioSink::AudioSink(const format::Format& format, Framing framing) : placement_{framing, nullptr} {
    audio_.channels = format.channels;
    audio_.rate = format.rate;
    // How the samples lie when the window holds none.
    const Coding coding = source_coding(format);
    audio_.samples.layout = {coding, format.compressed() ? 2 : containers::bytes_per_sample(coding), format.big_endian};
    audio_.samples.channels = format.channels;
}

Result<void> AudioSink::take(const payload::Run& run) {
    // The command line reads a payload into memory: a stored window comes
    // as one run.
    if (taken_) return invalid("a window came in more than one run");
    taken_ = true;
    audio_.first_frame = run.first;
    const std::size_t count = static_cast<std::size_t>(run.frames * audio_.channels);
    if (const std::optional<Layout> layout = layout_of(run.form)) {
        audio_.samples = {{run.data, count * layout->width}, *layout, audio_.channels};
        return ok();
    }
    if (run.form == Form::Pculaw) {
        KR_ASSIGN_OR_RETURN(audio_.storage, ByteBuffer::allocate(count));
        std::uint8_t* out = audio_.storage.data();
        for (std::size_t i = 0; i < count; ++i) out[i] = codecs::pculaw_to_ulaw(run.data[i]);
        audio_.samples = {audio_.storage.view(), Layout{Coding::Ulaw, 1, false}, audio_.channels};
        return ok();
    }
    KR_ASSIGN_OR_RETURN(audio_.storage, ByteBuffer::allocate(2 * count));
    std::uint8_t* out = audio_.storage.data();
    for (std::size_t i = 0; i < count; ++i) {
        out[2 * i] = 0;
        out[2 * i + 1] = run.data[i];  // the signed byte is the high byte of s << 8
    }
    audio_.samples = {audio_.storage.view(), Layout{Coding::Linear16, 2, false}, audio_.channels};
    return ok();
}

Result<void> AudioSink::adopt(ByteBuffer buffer, Form form, std::uint64_t first) {
    taken_ = true;
    audio_.first_frame = first;
    audio_.storage = std::move(buffer);
    audio_.samples = {audio_.storage.view(), *layout_of(form), audio_.channels};
    return ok();
}

Audio AudioSink::finish(const payload::Outcome& outcome) && {
    if (!taken_) audio_.first_frame = outcome.first_frame;
    audio_.checksum = outcome.checksum;
    return std::move(audio_);
}

}  // namespace korrin::cli

#include "cli/convert/encode.hpp"

#include <algorithm>

#include "cli/flac/flac.hpp"
#include "common/text.hpp"
#include "containers/samples.hpp"

namespace korrin::cli {

using containers::Coding;
using containers::Container;

namespace {

Container container_of(Encoding encoding) noexcept {
    switch (encoding) {
        case Encoding::Raw: return Container::Raw;
        case Encoding::Sphere: return Container::Sphere;
        case Encoding::Au: return Container::Au;
        case Encoding::Aiff: return Container::Aiff;
        case Encoding::Wav:
        case Encoding::Flac: break;
    }
    return Container::Wav;
}

Coding linear_of(Coding source) noexcept { return source == Coding::Linear32 ? Coding::Linear32 : Coding::Linear16; }

}  // namespace

Coding output_coding(const Output& output, Coding source) noexcept {
    Coding wanted = source;
    switch (output.coding) {
        case CodingChoice::Keep: break;
        case CodingChoice::Linear: wanted = linear_of(source); break;
        case CodingChoice::Linear16: wanted = Coding::Linear16; break;
        case CodingChoice::Ulaw: wanted = Coding::Ulaw; break;
        case CodingChoice::Alaw: wanted = Coding::Alaw; break;
    }
    if ((output.encoding == Encoding::Flac || output.encoding == Encoding::Aiff) && containers::is_g711(wanted))
        wanted = linear_of(source);
    return containers::converted_coding(source, wanted);
}

Result<void> check_output(const Output& output, Coding coding, std::uint64_t channels, std::uint64_t rate) {
    if (output.encoding == Encoding::Flac) return flac::check_limits(channels, rate);
    return containers::check(container_of(output.encoding), {channels, rate, coding});
}

Result<ByteBuffer> encode_output(const Output& output, const Audio& audio, const select::Selection& chosen,
                                 const SourceHeader& source, ByteBuffer* reusable) {
    const containers::Samples& samples = audio.samples;
    const Coding coding = output_coding(output, samples.layout.coding);
    const std::uint64_t first = audio.first_frame;
    const containers::Cut cut{chosen.channel, std::max(chosen.begin, first) - first,
                              std::max(chosen.end, first) - first};
    const containers::Format format{chosen.channel ? 1 : audio.channels, audio.rate, coding};
    const Container container = container_of(output.encoding);
    const bool big_endian = output.encoding != Encoding::Flac && containers::is_big_endian(container);

    ByteBuffer header;
    if (output.encoding == Encoding::Sphere) {
        const std::uint64_t frames = std::min(cut.end, samples.frames()) - std::min(cut.begin, samples.frames());
        KR_ASSIGN_OR_RETURN(header, containers::sphere_header(source.region, *source.header, format, frames));
    }
    const Framing framing =
        output.encoding == Encoding::Flac ? Framing{} : containers::framing_for(container, coding, header.size());

    ByteBuffer body;
    if (reusable != nullptr && containers::is_plain_cut(samples.layout, coding, big_endian)) {
        // The samples lie inside the buffer: narrow it to them, then cut.
        const auto offset = static_cast<std::size_t>(samples.bytes.data() - reusable->data());
        reusable->narrow(offset, samples.bytes.size());
        containers::cut_in_place(*reusable, samples.channels, samples.layout.width, cut);
        body = std::move(*reusable);
    } else {
        KR_ASSIGN_OR_RETURN(body, containers::render(samples, cut, coding, big_endian, framing));
    }

    if (output.encoding == Encoding::Flac) {
        KR_ASSIGN_OR_RETURN(const std::vector<sphere::HeaderField> fields, sphere::fields_in_order(source.region));
        return flac::encode(body, 8 * containers::bytes_per_sample(coding), static_cast<std::int64_t>(format.channels),
                            static_cast<std::int64_t>(format.rate), fields, output.flac);
    }
    return containers::finish(container, format, std::move(body), header);
}

}  // namespace korrin::cli

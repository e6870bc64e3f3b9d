// The header of a SPHERE output: the input's lines, with those that
// describe the coding, the channels and the length rewritten for the output.
#include <cstdio>
#include <cstring>
#include <string>

#include "common/text.hpp"
#include "containers/containers.hpp"
#include "format/format.hpp"

namespace korrin::containers {
namespace {

constexpr std::string_view kEndHead = "end_head";

std::string int_line(std::string_view name, std::uint64_t value) { return cat(name, " -i ", value); }

std::string text_line(std::string_view name, std::string_view value) {
    return cat(name, " -s", value.size(), " ", value);
}

// The coding family of a coding text: its first piece, trimmed, in lower
// case, as the decoder reads it.
Coding family_of(std::string_view coding, unsigned width) {
    const std::string base = ascii_lower(trim(coding.substr(0, coding.find(','))));
    if (base == "ulaw" || base == "mulaw" || base == "mu-law") return Coding::Ulaw;
    if (base == "alaw" || base == "a-law") return Coding::Alaw;
    return width == 4 ? Coding::Linear32 : Coding::Linear16;
}

// The first word of a header line: the field it sets.
std::string_view field_name(std::string_view line) {
    const std::string_view trimmed = trim(line);
    const auto split = split_at_white_space(trimmed);
    return split ? split->before : trimmed;
}

std::uint64_t value_or(const sphere::SphereHeader& header, std::string_view name, std::uint64_t fallback) {
    const auto value = header.int_(name);
    return value && *value >= 0 ? static_cast<std::uint64_t>(*value) : fallback;
}

}  // namespace

Result<ByteBuffer> sphere_header(ByteView region, const sphere::SphereHeader& header, const Format& format,
                                 std::uint64_t frames) {
    const std::string_view text(reinterpret_cast<const char*>(region.data()), region.size());
    if (!is_well_formed_utf8(text)) return invalid("SPHERE header is not valid ASCII");
    const std::size_t first_lf = text.find('\n');
    const std::size_t second_lf = first_lf == std::string_view::npos ? first_lf : text.find('\n', first_lf + 1);
    if (second_lf == std::string_view::npos) return invalid("truncated SPHERE header (no size line)");
    const std::string_view magic_line = text.substr(0, first_lf + 1);
    const std::string_view size_line = text.substr(first_lf + 1, second_lf - first_lf);

    const unsigned in_width = static_cast<unsigned>(value_or(header, "sample_n_bytes", 0));
    const unsigned out_width = bytes_per_sample(format.coding);
    const std::string* coding_field = header.find("sample_coding");
    const std::string_view coding_text = coding_field == nullptr ? std::string_view("pcm") : *coding_field;
    const bool coding_changes = format::is_compressed(header) || family_of(coding_text, in_width) != format.coding;
    const bool width_changes = in_width != out_width;

    std::string body;
    bool has_byte_format = false, has_coding = false;
    std::size_t start = second_lf + 1;
    while (start < text.size()) {
        const std::size_t lf = text.find('\n', start);
        const std::size_t end = lf == std::string_view::npos ? text.size() : lf;
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (trim(line) == kEndHead) break;
        const std::string_view name = field_name(line);
        std::string replaced;
        bool keep = true;
        if (name == "sample_checksum") {
            keep = false;
        } else if (name == "channel_count" && value_or(header, name, 0) != format.channels) {
            replaced = int_line(name, format.channels);
        } else if (name == "sample_count" && value_or(header, name, UINT64_MAX) != frames) {
            replaced = int_line(name, frames);
        } else if ((name == "sample_n_bytes") && width_changes) {
            replaced = int_line(name, out_width);
        } else if (name == "sample_sig_bits" && width_changes) {
            replaced = int_line(name, 8 * out_width);
        } else if (name == "sample_coding") {
            has_coding = true;
            if (coding_changes) replaced = text_line(name, sphere_coding_name(format.coding));
        } else if (name == "sample_byte_format") {
            has_byte_format = true;
            if (is_g711(format.coding))
                keep = in_width == 1;
            else if (header.sample_byte_format() != "01")
                replaced = text_line(name, "01");
        }
        if (!keep) continue;
        if (replaced.empty())
            body.append(line);
        else
            body.append(replaced);
        body.push_back('\n');
    }
    if (!is_g711(format.coding) && !has_byte_format) body.append(text_line("sample_byte_format", "01")).push_back('\n');
    if (is_g711(format.coding) && !has_coding)
        body.append(text_line("sample_coding", sphere_coding_name(format.coding))).push_back('\n');
    body.append(kEndHead).push_back('\n');

    // The region keeps its size line while the lines fit; otherwise it grows
    // by 1024 bytes at a time, and the new size takes the usual 7 columns.
    std::uint64_t size = header.header_size;
    std::string size_text(size_line);
    while (magic_line.size() + size_text.size() + body.size() > size) {
        size += 1024;
        char digits[32];
        std::snprintf(digits, sizeof digits, "%7llu\n", static_cast<unsigned long long>(size));
        size_text = digits;
    }
    KR_ASSIGN_OR_RETURN(ByteBuffer out, ByteBuffer::allocate(static_cast<std::size_t>(size)));
    std::uint8_t* at = out.data();
    for (const std::string_view piece : {magic_line, std::string_view(size_text), std::string_view(body)}) {
        std::memcpy(at, piece.data(), piece.size());
        at += piece.size();
    }
    for (std::size_t i = static_cast<std::size_t>(at - out.data()); i < size; ++i)
        out.data()[i] = i % 32 == 0 ? '\n' : ' ';
    return out;
}

}  // namespace korrin::containers

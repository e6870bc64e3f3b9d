#include "common/text.hpp"

#include <cstdint>

#include "common/checked.hpp"

namespace korrin {

std::optional<std::uint64_t> parse_digits(std::string_view text) noexcept {
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (!is_digit(c)) return std::nullopt;
        if (!checked_mul(value, std::uint64_t{10}, value) ||
            !checked_add(value, static_cast<std::uint64_t>(c - '0'), value))
            return std::nullopt;
    }
    return value;
}
namespace {

struct Decoded {
    char32_t code_point;
    std::size_t length;  // 0 when the bytes do not form a well-formed character
};

// Decodes the character that starts at `p` (with `n` bytes available),
// following the table of well-formed byte sequences of Unicode, chapter 3.
Decoded decode_one(const std::uint8_t* p, std::size_t n) noexcept {
    const std::uint8_t b0 = p[0];
    if (b0 < 0x80) return {b0, 1};
    std::size_t length;
    char32_t c;
    std::uint8_t low = 0x80, high = 0xBF;  // bounds of the second byte
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        length = 2;
        c = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        length = 3;
        c = b0 & 0x0F;
        if (b0 == 0xE0) low = 0xA0;   // overlong
        if (b0 == 0xED) high = 0x9F;  // surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        length = 4;
        c = b0 & 0x07;
        if (b0 == 0xF0) low = 0x90;   // overlong
        if (b0 == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        return {0, 0};
    }
    if (n < length) return {0, 0};
    if (p[1] < low || p[1] > high) return {0, 0};
    c = (c << 6) | (p[1] & 0x3F);
    for (std::size_t i = 2; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80) return {0, 0};
        c = (c << 6) | (p[i] & 0x3F);
    }
    return {c, length};
}

// The ASCII members of White_Space: TAB, LF, VT, FF, CR and the space.
constexpr bool is_ascii_white_space(std::uint8_t byte) noexcept {
    return byte == 0x20 || (byte >= 0x09 && byte <= 0x0D);
}

const std::uint8_t* bytes_of(std::string_view text) noexcept {
    return reinterpret_cast<const std::uint8_t*>(text.data());
}

void append_hex_escape(std::string& out, char32_t c) {
    static constexpr char digits[] = "0123456789abcdef";
    char hex[8];
    int count = 0;
    do {
        hex[count++] = digits[c & 0xF];
        c >>= 4;
    } while (c != 0);
    out.append("\\u{");
    while (count > 0) out.push_back(hex[--count]);
    out.push_back('}');
}

// Characters that would be invisible or misleading inside a quoted message:
// controls, white space other than the plain space, format characters
// (Unicode category Cf), private-use characters and noncharacters.
bool needs_hex_escape(char32_t c) noexcept {
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return true;
    if (c < 0xA0) return false;  // printable ASCII, the common case
    if (is_white_space(c)) return true;
    struct Range {
        char32_t first, last;
    };
    static constexpr Range kFormat[] = {
        {0xAD, 0xAD},       {0x600, 0x605},     {0x61C, 0x61C},     {0x6DD, 0x6DD},     {0x70F, 0x70F},
        {0x890, 0x891},     {0x8E2, 0x8E2},     {0x180E, 0x180E},   {0x200B, 0x200F},   {0x202A, 0x202E},
        {0x2060, 0x206F},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD},
        {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001}, {0xE0020, 0xE007F},
    };
    for (const Range& r : kFormat)
        if (c >= r.first && c <= r.last) return true;
    const bool private_use = (c >= 0xE000 && c <= 0xF8FF) || c >= 0xF0000;
    const bool noncharacter = (c >= 0xFDD0 && c <= 0xFDEF) || (c & 0xFFFE) == 0xFFFE;
    return private_use || noncharacter;
}

}  // namespace

bool is_well_formed_utf8(ByteView bytes) noexcept {
    const std::uint8_t* p = bytes.data();
    std::size_t n = bytes.size();
    while (n > 0) {
        // Runs of ASCII are the common case; take eight bytes at a time.
        while (n >= 8) {
            std::uint64_t word;
            __builtin_memcpy(&word, p, 8);
            if ((word & 0x8080808080808080ULL) != 0) break;
            p += 8;
            n -= 8;
        }
        if (n == 0) break;
        const Decoded d = decode_one(p, n);
        if (d.length == 0) return false;
        p += d.length;
        n -= d.length;
    }
    return true;
}

std::size_t leading_white_space_length(std::string_view text) noexcept {
    if (text.empty()) return 0;
    const std::uint8_t first = bytes_of(text)[0];
    if (first < 0x80) return is_ascii_white_space(first) ? 1 : 0;
    const Decoded d = decode_one(bytes_of(text), text.size());
    return d.length != 0 && is_white_space(d.code_point) ? d.length : 0;
}

std::size_t trailing_white_space_length(std::string_view text) noexcept {
    if (text.empty()) return 0;
    const std::uint8_t last = bytes_of(text)[text.size() - 1];
    if (last < 0x80) return is_ascii_white_space(last) ? 1 : 0;
    // Step back over continuation bytes to the start of the last character.
    std::size_t start = text.size() - 1;
    while (start > 0 && text.size() - start < 4 && (bytes_of(text)[start] & 0xC0) == 0x80) --start;
    const Decoded d = decode_one(bytes_of(text) + start, text.size() - start);
    if (d.length != text.size() - start) return 0;
    return is_white_space(d.code_point) ? d.length : 0;
}

std::string_view trim_start(std::string_view text) noexcept {
    while (const std::size_t n = leading_white_space_length(text)) text.remove_prefix(n);
    return text;
}

std::string_view trim(std::string_view text) noexcept {
    text = trim_start(text);
    while (const std::size_t n = trailing_white_space_length(text)) text.remove_suffix(n);
    return text;
}

std::optional<WhiteSpaceSplit> split_at_white_space(std::string_view text) noexcept {
    std::size_t i = 0;
    while (i < text.size()) {
        const std::uint8_t byte = bytes_of(text)[i];
        if (byte < 0x80) {  // ASCII, the common case, needs no decoding
            if (is_ascii_white_space(byte)) return WhiteSpaceSplit{text.substr(0, i), text.substr(i + 1)};
            ++i;
            continue;
        }
        const Decoded d = decode_one(bytes_of(text) + i, text.size() - i);
        const std::size_t length = d.length == 0 ? 1 : d.length;
        if (d.length != 0 && is_white_space(d.code_point))
            return WhiteSpaceSplit{text.substr(0, i), text.substr(i + length)};
        i += length;
    }
    return std::nullopt;
}

std::string in_quotes(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.append("'").append(text).append("'");
    return out;
}

std::string quote(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 2);
    out.push_back('"');
    std::size_t i = 0;
    while (i < text.size()) {
        const Decoded d = decode_one(bytes_of(text) + i, text.size() - i);
        if (d.length == 0) {
            // Not reachable for header text, which is checked UTF-8; show
            // a stray byte by its value rather than pass it through.
            append_hex_escape(out, bytes_of(text)[i]);
            ++i;
            continue;
        }
        const char32_t c = d.code_point;
        switch (c) {
            case '\\': out.append("\\\\"); break;
            case '"': out.append("\\\""); break;
            case '\t': out.append("\\t"); break;
            case '\r': out.append("\\r"); break;
            case '\n': out.append("\\n"); break;
            case 0: out.append("\\0"); break;
            default:
                if (needs_hex_escape(c))
                    append_hex_escape(out, c);
                else
                    out.append(text.substr(i, d.length));
        }
        i += d.length;
    }
    out.push_back('"');
    return out;
}

std::string ascii_lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

}  // namespace korrin

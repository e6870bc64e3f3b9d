// Text helpers shared by the header reader and the payload decoder: UTF-8
// well-formedness, Unicode white space, trimming, decimal digits and the
// quoting of text values in error messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/bytes.hpp"

namespace korrin {

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// One or more ASCII digits and nothing else, as an unsigned 64-bit value;
// nothing on any other text or on overflow.
std::optional<std::uint64_t> parse_digits(std::string_view text) noexcept;

// True when `bytes` is well-formed UTF-8: no overlong forms, no surrogates,
// nothing above U+10FFFF, no truncated or stray continuation bytes.
bool is_well_formed_utf8(ByteView bytes) noexcept;

inline bool is_well_formed_utf8(std::string_view text) noexcept {
    return is_well_formed_utf8(ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

// Membership in the Unicode White_Space property (NUL is not white space).
constexpr bool is_white_space(char32_t c) noexcept {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Length in bytes of the white-space character that starts `text`, or 0 when
// `text` is empty or starts with anything else. `text` must be well-formed UTF-8.
std::size_t leading_white_space_length(std::string_view text) noexcept;

// The same for the white-space character that ends `text`.
std::size_t trailing_white_space_length(std::string_view text) noexcept;

// `text` without white space at either end. `text` must be well-formed UTF-8.
std::string_view trim(std::string_view text) noexcept;

// `text` without white space at its start.
std::string_view trim_start(std::string_view text) noexcept;

struct WhiteSpaceSplit {
    std::string_view before;  // everything before the first white-space character
    std::string_view after;   // everything after that one character
};

// Splits at the first white-space character, or nothing when there is none.
std::optional<WhiteSpaceSplit> split_at_white_space(std::string_view text) noexcept;

// `text` in double quotes, for an error message: a backslash or double quote
// gets a backslash in front, TAB, CR, LF and NUL become \t \r \n \0, other
// control characters, white space other than the space, format characters,
// private-use characters and noncharacters \u{hex} (lower-case hex);
// everything else is unchanged.
std::string quote(std::string_view text);

// `text` between single quotes as it is, for a command-line message.
std::string in_quotes(std::string_view text);

// `text` with the ASCII letters A to Z in lower case; nothing else changes.
std::string ascii_lower(std::string_view text);

}  // namespace korrin

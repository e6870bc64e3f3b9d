#include "common/text.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace korrin {
namespace {

using namespace std::string_literals;

struct Utf8Case {
    std::string bytes;
    bool well_formed;
};

TEST(Utf8, AcceptsExactlyTheWellFormedSequences) {
    const Utf8Case cases[] = {
        {"", true},
        {"plain ASCII, longer than one word", true},
        {"\0"s, true},
        {"\x7F", true},
        {"\xC2\x80", true},                   // U+0080, smallest two-byte form
        {"caf\xC3\xA9", true},                // é
        {"\xDF\xBF", true},                   // U+07FF
        {"\xE0\xA0\x80", true},               // U+0800, smallest three-byte form
        {"\xE2\x82\xAC", true},               // €
        {"\xED\x9F\xBF", true},               // U+D7FF, just below the surrogates
        {"\xEE\x80\x80", true},               // U+E000, just above them
        {"\xF0\x90\x80\x80", true},           // U+10000, smallest four-byte form
        {"\xF0\x9D\x84\x9E", true},           // U+1D11E
        {"\xF4\x8F\xBF\xBF", true},           // U+10FFFF, the last code point
        {"abcdefgh\xC3\xA9", true},           // after a whole ASCII word
        {"\xC0\x80", false},                  // overlong NUL
        {"\xC1\xBF", false},                  // overlong U+007F
        {"\xE0\x80\xAF", false},              // overlong "/"
        {"\xE0\x9F\xBF", false},              // overlong U+07FF
        {"\xF0\x80\x80\x80", false},          // overlong NUL
        {"\xF0\x8F\xBF\xBF", false},          // overlong U+FFFF
        {"\xED\xA0\x80", false},              // U+D800, a surrogate
        {"\xED\xBF\xBF", false},              // U+DFFF, a surrogate
        {"\xED\xA0\xBD\xED\xB2\xA9", false},  // a surrogate pair (CESU-8)
        {"\xF4\x90\x80\x80", false},          // U+110000
        {"\xF5\x80\x80\x80", false},
        {"\xF8\x88\x80\x80\x80", false},  // five-byte form
        {"\xFE", false},
        {"\xFF", false},
        {"\x80", false},  // stray continuation byte
        {"a\xBF"
         "b",
         false},
        {"\xC3\xA9\xA9", false},  // one continuation too many
        {"\xC3", false},          // truncated sequences
        {"\xE2\x82", false},
        {"\xF0\x9D\x84", false},
        {"abcdefgh\xF0\x9D", false},
        {"\xC3(", false},  // continuation byte missing
        {"\xE2(\xA1", false},
        {"\xF0\x9D(\x9E", false},
        {"\xF0\x9D\x84(", false},
    };
    for (const Utf8Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        EXPECT_EQ(is_well_formed_utf8(std::string_view(c.bytes)), c.well_formed);
    }
}

TEST(WhiteSpace, IsTheUnicodeWhiteSpaceSet) {
    const char32_t members[] = {0x09,   0x0A,   0x0B,   0x0C,   0x0D,   0x20,   0x85,   0xA0,  0x1680,
                                0x2000, 0x2005, 0x200A, 0x2028, 0x2029, 0x202F, 0x205F, 0x3000};
    const char32_t others[] = {0x00,   0x08,   0x0E,   0x1F,   0x21,   0x7F,   0x84,    0x86,   0x9F,
                               0xA1,   0x167F, 0x1681, 0x180E, 0x1FFF, 0x200B, 0x2027,  0x202A, 0x202E,
                               0x2030, 0x205E, 0x2060, 0x2FFF, 0x3001, 0xFEFF, 0x10FFFF};
    for (const char32_t c : members) EXPECT_TRUE(is_white_space(c)) << std::hex << static_cast<int>(c);
    for (const char32_t c : others) EXPECT_FALSE(is_white_space(c)) << std::hex << static_cast<int>(c);
}

struct TrimCase {
    std::string text;
    std::string trimmed;
    std::string trimmed_start;
};

TEST(WhiteSpace, TrimRemovesEveryMemberAtBothEnds) {
    const TrimCase cases[] = {
        {"", "", ""},
        {"a", "a", "a"},
        {" \t\r\n\v\f", "", ""},
        {"  a b  ", "a b", "a b  "},
        {"\xC2\x85"
         "a\xC2\x85",
         "a", "a\xC2\x85"},  // U+0085
        {"\xC2\xA0"
         "a\xC2\xA0",
         "a", "a\xC2\xA0"},  // U+00A0
        {"\xE1\x9A\x80"
         "a\xE1\x9A\x80",
         "a", "a\xE1\x9A\x80"},  // U+1680
        {"\xE2\x80\x80"
         "a\xE2\x80\x8A",
         "a", "a\xE2\x80\x8A"},  // U+2000, U+200A
        {"\xE2\x80\xA8"
         "a\xE2\x80\xA9",
         "a", "a\xE2\x80\xA9"},  // U+2028, U+2029
        {"\xE2\x80\xAF"
         "a\xE2\x81\x9F",
         "a", "a\xE2\x81\x9F"},  // U+202F, U+205F
        {"\xE3\x80\x80"
         "a\xE3\x80\x80",
         "a", "a\xE3\x80\x80"},  // U+3000
        {"\t\xE3\x80\x80 \xC2\xA0"
         "a b\r\xE2\x80\xA8\n",
         "a b", "a b\r\xE2\x80\xA8\n"},
        {"\0a\0"s, "\0a\0"s, "\0a\0"s},  // NUL is kept
        {"\xE2\x80\x8B"
         "a\xE2\x80\x8B",
         "\xE2\x80\x8B"
         "a\xE2\x80\x8B",
         "\xE2\x80\x8B"
         "a\xE2\x80\x8B"},  // U+200B
        {"\xEF\xBB\xBF"
         "a",
         "\xEF\xBB\xBF"
         "a",
         "\xEF\xBB\xBF"
         "a"},  // U+FEFF
        // Letters whose last byte equals a white-space byte of another form.
        {" \xC3\x85", "\xC3\x85", "\xC3\x85"},   // U+00C5 ends in 0x85
        {"\xC3\xA0 ", "\xC3\xA0", "\xC3\xA0 "},  // U+00E0 ends in 0xA0
        {"\xE2\x80\xA6\xE3\x81\x80", "\xE2\x80\xA6\xE3\x81\x80", "\xE2\x80\xA6\xE3\x81\x80"},
        {"\xF0\x9D\x84\x9E\xE3\x80\x80", "\xF0\x9D\x84\x9E", "\xF0\x9D\x84\x9E\xE3\x80\x80"},
    };
    for (const TrimCase& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        EXPECT_EQ(trim(c.text), c.trimmed);
        EXPECT_EQ(trim_start(c.text), c.trimmed_start);
    }
}

struct SplitCase {
    std::string text;
    std::optional<std::pair<std::string, std::string>> parts;
};

TEST(WhiteSpace, SplitTakesOneCharacterAtTheFirstMember) {
    const SplitCase cases[] = {
        {"name -i 5", std::pair{"name", "-i 5"}},
        {"a\t\tb", std::pair{"a", "\tb"}},
        {" a", std::pair{"", "a"}},
        {"a ", std::pair{"a", ""}},
        {"a\xE3\x80\x80"
         "b",
         std::pair{"a", "b"}},
        {"\xC3\xA9\xC2\xA0\xC2\xA0"
         "b",
         std::pair{"\xC3\xA9",
                   "\xC2\xA0"
                   "b"}},
        {"x\xE2\x80\xA8y z", std::pair{"x", "y z"}},
        {"", std::nullopt},
        {"abc", std::nullopt},
        {"a\0b"s, std::nullopt},
        {"\xC3\x85\xC3\xA0\xE2\x80\x8B", std::nullopt},
    };
    for (const SplitCase& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        const std::optional<WhiteSpaceSplit> split = split_at_white_space(c.text);
        ASSERT_EQ(split.has_value(), c.parts.has_value());
        if (split) {
            EXPECT_EQ(split->before, c.parts->first);
            EXPECT_EQ(split->after, c.parts->second);
        }
    }
}

struct QuoteCase {
    std::string text;
    std::string quoted;
};

TEST(Quote, EscapesEachClassAsTheMessagesShowIt) {
    const QuoteCase cases[] = {
        {"", R"("")"},
        {"sample_rate 16000", R"("sample_rate 16000")"},
        {"it's", R"("it's")"},
        {R"(a\b)", R"("a\\b")"},
        {R"(say "hi")", R"("say \"hi\"")"},
        {"\t\r\n", R"("\t\r\n")"},
        {"a\0"
         "1"s,
         R"("a\01")"},
        {"\x01\x1B\x1F", R"("\u{1}\u{1b}\u{1f}")"},
        {"\v\f", R"("\u{b}\u{c}")"},
        {"\x7F", R"("\u{7f}")"},
        {"\xC2\x85\xC2\x9F", R"("\u{85}\u{9f}")"},  // C1 controls
        {"a\xC2\xA0"
         "b\xE3\x80\x80",
         R"("a\u{a0}b\u{3000}")"},  // white space but the space
        {"\xE2\x80\xA8\xE2\x80\xA9", R"("\u{2028}\u{2029}")"},
        {"\xC2\xAD\xE2\x80\x8B\xE2\x80\xAE\xEF\xBB\xBF", R"("\u{ad}\u{200b}\u{202e}\u{feff}")"},  // format
        {"\xF3\xA0\x81\x81", R"("\u{e0041}")"},                                                   // a tag character
        {"\xEE\x80\x80\xF4\x8F\xBF\xBD", R"("\u{e000}\u{10fffd}")"},                              // private use
        {"\xEF\xBF\xBF\xEF\xB7\x90", R"("\u{ffff}\u{fdd0}")"},                                    // noncharacters
        {"caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9D\x84\x9E", "\"caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9D\x84\x9E\""},
        {"\xC2\xA1\xEF\xBF\xBD", "\"\xC2\xA1\xEF\xBF\xBD\""},  // printable neighbours
    };
    for (const QuoteCase& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.text));
        EXPECT_EQ(quote(c.text), c.quoted);
    }
}

TEST(AsciiLower, ChangesOnlyAsciiCapitals) {
    EXPECT_EQ(ascii_lower("PCM,Embedded-SHORTEN-v2.00"), "pcm,embedded-shorten-v2.00");
    EXPECT_EQ(ascii_lower("@[`{Z\xC3\x89"), "@[`{z\xC3\x89");
}

}  // namespace
}  // namespace korrin

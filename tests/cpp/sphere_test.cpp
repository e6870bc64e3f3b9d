#include "sphere/sphere.hpp"

#include "common/text.hpp"
#include "testdata.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace korrin::sphere {
namespace {

using namespace std::string_literals;

// The input in a buffer of exactly its size, so that a sanitizer build sees
// any read past its end (a std::string would hide one behind its NUL).
std::vector<std::uint8_t> exact(std::string_view text) { return {text.begin(), text.end()}; }

const std::string kRequired = "sample_count -i 1000\nsample_rate -i 16000\nchannel_count -i 1\nsample_n_bytes -i 2\n";

// A whole file: magic, a size line declaring the header region, `body`
// (field lines and "end_head"), `padding` spaces, then `payload`.
std::string sphere_file(std::string_view body, std::size_t padding = 0, std::string_view payload = "") {
    std::string size = std::to_string(17 + body.size() + padding);  // magic + 8-byte size line
    std::string file = "NIST_1A\n" + std::string(8 - size.size(), ' ') + size + "\n";
    file.append(body).append(padding, ' ').append(payload);
    return file;
}

// `file` with its size line changed to declare `size` bytes.
std::string with_size(std::string file, std::size_t size) {
    const std::string digits = std::to_string(size);
    return file.replace(8, 8, std::string(8 - digits.size(), ' ') + digits);
}

std::string framed(std::string_view size_line, std::string_view rest = "") {
    return "NIST_1A\n"s.append(size_line).append("\n").append(rest);
}

// The message of a failed result; a success reads as a marker no message has.
template <class T>
std::string error_of(const Result<T>& result) {
    return result.has_value() ? "<succeeded>" : result.error().message;
}

struct ReadCase {
    std::string input;
    std::string message;
};

TEST(SphereRead, RejectsEachMalformedInputWithItsMessage) {
    const std::string pcm_1000 = sphere_file(kRequired + "end_head\n");
    const ReadCase cases[] = {
        // Magic and framing.
        {"", "not a NIST SPHERE file (missing 'NIST_1A' magic)"},
        {"NIST_1", "not a NIST SPHERE file (missing 'NIST_1A' magic)"},
        {"NIST_1B\n1024\n", "not a NIST SPHERE file (missing 'NIST_1A' magic)"},
        {"nist_1a\n1024\n", "not a NIST SPHERE file (missing 'NIST_1A' magic)"},
        {"NIST_1A", "truncated SPHERE header"},
        {"NIST_1A 1024 end_head", "truncated SPHERE header"},
        {"NIST_1A\n", "truncated SPHERE header (no size line)"},
        {"NIST_1A\n1024", "truncated SPHERE header (no size line)"},
        {"NIST_1Axyz\n1024", "truncated SPHERE header (no size line)"},
        // The size line.
        {framed("\xFF"
                "1024"),
         "invalid header size line"},
        {framed("10\xC0\x80"), "invalid header size line"},
        {framed("-1024"), R"(invalid header size line: "-1024")"},
        {framed(""), R"(invalid header size line: "")"},
        {framed(" \t \r"), R"(invalid header size line: "")"},
        {framed("+"), R"(invalid header size line: "+")"},
        {framed("++1"), R"(invalid header size line: "++1")"},
        {framed("1024 bytes"), R"(invalid header size line: "1024 bytes")"},
        {framed("1 024"), R"(invalid header size line: "1 024")"},
        {framed("0x400"), R"(invalid header size line: "0x400")"},
        {framed("18446744073709551616"), R"(invalid header size line: "18446744073709551616")"},
        {framed("1024\0"s), R"(invalid header size line: "1024\0")"},
        {framed("0"), "non-positive header size"},
        {framed("+0"), "non-positive header size"},
        {framed("000"), "non-positive header size"},
        {framed("1024", std::string(987, ' ')), "header claims 1024 bytes but only 1000 available"},
        {framed("18446744073709551615"), "header claims 18446744073709551615 bytes but only 29 available"},
        // The header region as UTF-8, wherever the bad byte lies in it.
        {sphere_file(kRequired + "end_head\n\xFF"), "SPHERE header is not valid ASCII"},
        {"NIST_1A\xFF\n   24\nend_head\n", "SPHERE header is not valid ASCII"},
        {sphere_file("x -s \xED\xA0\x80\n" + kRequired + "end_head\n"), "SPHERE header is not valid ASCII"},
        {sphere_file("sample_rate\n" + kRequired + "end_head\n\xC3"), "SPHERE header is not valid ASCII"},
        // Field lines.
        {sphere_file("sample_rate\nend_head\n"), R"(malformed SPHERE header line: "sample_rate")"},
        {sphere_file(";;\nend_head\n"), R"(malformed SPHERE header line: ";;")"},
        {sphere_file("say\"hi\\\nend_head\n"), R"(malformed SPHERE header line: "say\"hi\\")"},
        {sphere_file("sample_rate 16000\nend_head\n"), R"(unknown field type in line: "sample_rate 16000")"},
        {sphere_file("sample_rate - 16000\nend_head\n"), R"(unknown field type in line: "sample_rate - 16000")"},
        {sphere_file(";; recorded in 1993\nend_head\n"), R"(unknown field type in line: ";; recorded in 1993")"},
        {sphere_file("end_head extra\nend_head\n"), R"(unknown field type in line: "end_head extra")"},
        {sphere_file("sample_rate -x 16000\nend_head\n"), R"(unknown field type "-x" in line: "sample_rate -x 16000")"},
        {sphere_file("a\t-\xC3\xA9\t1\nend_head\n"), R"(unknown field type "-é" in line: "a\t-é\t1")"},
        {sphere_file("sample_rate -i 16k\nend_head\n"), R"(field "sample_rate" declared integer but value is "16k")"},
        {sphere_file("sample_rate -i\nend_head\n"), R"(field "sample_rate" declared integer but value is "")"},
        {sphere_file("x -i 9223372036854775808\nend_head\n"),
         R"(field "x" declared integer but value is "9223372036854775808")"},
        {sphere_file("x\xC2\xA0-i\xE3\x80\x80"
                     "1\t2\nend_head\n"),
         R"(field "x" declared integer but value is "1\t2")"},
        {sphere_file("x -r 1,5\nend_head\n"), R"(field "x" declared real but value is "1,5")"},
        {sphere_file("x -r\nend_head\n"), R"(field "x" declared real but value is "")"},
        // The terminator must lie inside the region.
        {sphere_file(kRequired), "SPHERE header missing 'end_head' terminator"},
        {sphere_file(kRequired, 0, "end_head\n"), "SPHERE header missing 'end_head' terminator"},
        {with_size(sphere_file(kRequired + "end_head\n"), 17 + kRequired.size() + 7),
         R"(malformed SPHERE header line: "end_hea")"},
        // Validation runs last and its message is passed on.
        {sphere_file("Sample_Rate -i 8000\nsample_count -i 0\nchannel_count -i 1\nsample_n_bytes -i 2\nend_head\n"),
         "SPHERE header missing required field: sample_rate"},
        {sphere_file("channel_count -s 0\n" + kRequired.substr(0, kRequired.find("channel")) + "end_head\n"),
         "SPHERE header missing required field: sample_n_bytes"},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.input));
        const std::vector<std::uint8_t> input = exact(c.input);
        const Result<SphereFile> file = read(input);
        ASSERT_FALSE(file.has_value());
        EXPECT_EQ(file.error().message, c.message);
        EXPECT_EQ(file.error().kind, ErrorKind::Invalid);
    }
}

TEST(SphereRead, SizeLineAcceptsSurroundingWhiteSpaceAndPlus) {
    const std::string body = kRequired + "end_head\n";
    for (const std::string size_line : {"   1024", "1024\r", "+1024",
                                        "\xE3\x80\x80"
                                        "01024\xC2\x85",
                                        "\t1024 "}) {
        SCOPED_TRACE(size_line);
        std::string file = framed(size_line, body);
        file.resize(1024 + 3, ' ');
        const std::vector<std::uint8_t> input = exact(file);
        const Result<SphereFile> read_file = read(input);
        ASSERT_TRUE(read_file.has_value()) << read_file.error().message;
        EXPECT_EQ(read_file->header.header_size, 1024u);
        EXPECT_EQ(read_file->payload.size(), 3u);
    }
}

TEST(SphereRead, PayloadIsTheRestOfTheInputInPlace) {
    const std::string file = sphere_file(kRequired + "end_head\n", 50, "\xFF\x00payload"s);
    const std::vector<std::uint8_t> input = exact(file);
    const Result<SphereFile> read_file = read(input);
    ASSERT_TRUE(read_file.has_value()) << read_file.error().message;
    EXPECT_EQ(read_file->header.header_size, file.size() - 9);
    EXPECT_EQ(read_file->payload.data(), input.data() + file.size() - 9);
    EXPECT_EQ(read_file->payload.size(), 9u);

    // A header region that takes the whole input leaves an empty payload.
    const std::string whole = framed("1000", kRequired + "end_head\n") + std::string(1000, ' ');
    const std::vector<std::uint8_t> whole_input = exact(whole.substr(0, 1000));
    const Result<SphereFile> whole_file = read(whole_input);
    ASSERT_TRUE(whole_file.has_value()) << whole_file.error().message;
    EXPECT_TRUE(whole_file->payload.empty());
}

// Every prefix of a valid file either fails cleanly or, once it holds the
// whole header region, reads; none is read past its end.
TEST(SphereRead, EveryPrefixOfAFileFailsCleanlyUntilTheRegionIsComplete) {
    std::string file = framed("   128", kRequired + "end_head\n");
    file.resize(128, '\n');
    file += "payload";
    for (std::size_t length = 0; length <= file.size(); ++length) {
        SCOPED_TRACE(length);
        const std::vector<std::uint8_t> input = exact(file.substr(0, length));
        const Result<SphereFile> read_file = read(input);
        if (length >= 128) {
            ASSERT_TRUE(read_file.has_value()) << read_file.error().message;
            EXPECT_EQ(read_file->payload.size(), length - 128);
            continue;
        }
        ASSERT_FALSE(read_file.has_value());
        const std::string expected = length < 7    ? "not a NIST SPHERE file (missing 'NIST_1A' magic)"
                                     : length == 7 ? "truncated SPHERE header"
                                     : length < 15
                                         ? "truncated SPHERE header (no size line)"
                                         : "header claims 128 bytes but only " + std::to_string(length) + " available";
        EXPECT_EQ(read_file.error().message, expected);
    }
}

// A head of a file says what the whole file says about its framing, with
// the whole file's size in the messages, or asks for more when it ends
// before the size line does.
TEST(SphereHeaderSize, AHeadAgreesWithTheWholeFileOrAsksForMore) {
    std::string valid = framed("   128", kRequired + "end_head\n");
    valid.resize(128, '\n');
    valid += "payload";
    const std::string files[] = {
        valid,
        framed("   999", "beyond the file"),
        framed(" 12x", "rest"),
        framed("+0", "rest"),
        "NIST_1B\n1024\nrest",
        "NIST_1A and no line feed at all",
        "NIST_1A\n   64 and no second line feed",
    };
    for (const std::string& file : files) {
        const std::vector<std::uint8_t> whole_input = exact(file);
        const Result<std::uint64_t> whole = header_size(whole_input, file.size());
        ASSERT_FALSE(whole.has_value() && *whole == 0) << file;
        // read() frames a file the same way.
        if (!whole.has_value()) {
            EXPECT_EQ(error_of(read(whole_input)), whole.error().message);
        }
        std::size_t asked = 0;
        for (std::size_t length = 0; length < file.size(); ++length) {
            SCOPED_TRACE(file.substr(0, length));
            const std::vector<std::uint8_t> head = exact(file.substr(0, length));
            const Result<std::uint64_t> told = header_size(head, file.size());
            if (told.has_value() && *told == 0) {
                ++asked;
                continue;
            }
            EXPECT_EQ(error_of(told), error_of(whole));
            if (whole.has_value() && told.has_value()) {
                EXPECT_EQ(*told, *whole);
            }
        }
        // Every head that ends before the size line's LF, and no other, asks.
        const std::size_t second_lf = file.find('\n', file.find('\n') + 1);
        const std::size_t expected = !file.starts_with("NIST_1A")     ? 7
                                     : second_lf == std::string::npos ? file.size()
                                                                      : second_lf + 1;
        EXPECT_EQ(asked, expected) << file;
    }
    EXPECT_EQ(error_of(header_size(exact(framed("   999", "x")), 20)), "header claims 999 bytes but only 20 available");
}

struct RealCase {
    std::string value;
    bool accepted;
};

TEST(SphereRead, RealFieldsFollowTheDecimalGrammar) {
    const RealCase cases[] = {
        {"5", true},       {"5.", true},     {".5", true},       {"5.25", true},       {"-.5", true},
        {"+5", true},      {"1e3", true},    {"1E+3", true},     {"2.5e-03", true},    {"0.0e0", true},
        {"1e99999", true}, {"inf", true},    {"INF", true},      {"-Infinity", true},  {"+nan", true},
        {"NaN", true},     {"", false},      {"1,5", false},     {".", false},         {"+", false},
        {"-", false},      {"e5", false},    {".e5", false},     {"5e", false},        {"5e+", false},
        {"5e+-1", false},  {"1.2.3", false}, {"infinit", false}, {"infinityy", false}, {"nan(1)", false},
        {"0x10", false},   {"--5", false},   {"5f", false},      {"1 5", false},       {"\xEF\xBC\x91", false},
    };
    for (const RealCase& c : cases) {
        SCOPED_TRACE(c.value);
        const std::vector<std::uint8_t> input = exact(sphere_file(kRequired + "x -r " + c.value + "\nend_head\n"));
        const Result<SphereFile> file = read(input);
        if (c.accepted) {
            EXPECT_TRUE(file.has_value()) << file.error().message;
        } else {
            ASSERT_FALSE(file.has_value());
            EXPECT_EQ(file.error().message, R"(field "x" declared real but value is )" + quote(c.value));
        }
    }
}

struct FieldCase {
    std::string lines;  // field lines before "end_head"
    std::string name;
    std::optional<std::string> value;  // nullopt: absent
};

TEST(SphereRead, StoresTrimmedValuesOfWellFormedLines) {
    const FieldCase cases[] = {
        {"database_id -s5 hello world", "database_id", "hello world"},
        {"x -s", "x", ""},
        {"x -s  \t ", "x", ""},
        {"x -s1024 caf\xC3\xA9", "x", "caf\xC3\xA9"},
        {"x\t-s\tva l\r", "x", "va l"},
        {"x   -string   \xC2\xA0 v \xE2\x80\xA8\xE3\x80\x80", "x", "v"},
        {"x -s \0v\0"s, "x", "\0v\0"s},
        {"x -s \xC3\x85", "x", "\xC3\x85"},  // U+00C5 ends in 0x85 but is no white space
        {"x -i -9223372036854775808", "x", "-9223372036854775808"},
        {"x -i4 +0007", "x", "+0007"},
        {"x -r 1e3", "x", "1e3"},
        {"x -r8 -.5", "x", "-.5"},
        {"x -r NaN", "x", "NaN"},
        {"x -r -INFINITY", "x", "-INFINITY"},
        {"x -r 5.", "x", "5."},
        {"x -r +5.25E-3", "x", "+5.25E-3"},
        {"x -r 1e99999", "x", "1e99999"},
        {"sample_rate -i 8000\nsample_rate -i 16000", "sample_rate", "16000"},
        {"x -i 8000\nx -s eight", "x", "eight"},
        {"Sample_Rate -s fast", "sample_rate", "16000"},
        {"\n   \n\t\r\n", "x", std::nullopt},
    };
    for (const FieldCase& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.lines));
        const std::string file = sphere_file(kRequired + c.lines + "\n  end_head  \r\nnot a field line\n", 7);
        const std::vector<std::uint8_t> input = exact(file);
        const Result<SphereFile> read_file = read(input);
        ASSERT_TRUE(read_file.has_value()) << read_file.error().message;
        const std::string* value = read_file->header.find(c.name);
        ASSERT_EQ(value != nullptr, c.value.has_value());
        if (value != nullptr) {
            EXPECT_EQ(*value, *c.value);
        }
    }
}

TEST(SphereRead, LayoutDoesNotChangeTheTable) {
    const std::string single =
        "sample_count -i 5\nsample_rate -i 8000\nchannel_count -i 2\nsample_n_bytes -i 1\n"
        "sample_coding -s4 ulaw\nend_head\n";
    const std::string layouts[] = {
        "sample_count -i 5\r\nsample_rate -i 8000\r\nchannel_count -i 2\r\nsample_n_bytes -i 1\r\n"
        "sample_coding -s4 ulaw\r\nend_head\r\n",
        "sample_count\t-i\t5\nsample_rate\t-i\t8000\nchannel_count\t-i\t2\nsample_n_bytes\t-i\t1\n"
        "sample_coding\t-s4\tulaw\nend_head\n",
        "\n  sample_count   -i    5  \n\nsample_rate  -i  8000\nchannel_count -i 2\n\t\tsample_n_bytes -i 1\n"
        "sample_coding    -s4   ulaw   \n\n end_head\n",
    };
    const std::vector<std::uint8_t> reference_input = exact(sphere_file(single));
    const Result<SphereFile> reference = read(reference_input);
    ASSERT_TRUE(reference.has_value()) << reference.error().message;
    EXPECT_EQ(reference->header.fields.size(), 5u);
    for (const std::string& layout : layouts) {
        SCOPED_TRACE(layout);
        const std::vector<std::uint8_t> input = exact(sphere_file(layout));
        const Result<SphereFile> file = read(input);
        ASSERT_TRUE(file.has_value()) << file.error().message;
        EXPECT_EQ(file->header.fields, reference->header.fields);
    }
}

TEST(SphereParse, TurnsARegionIntoTheFieldTable) {
    const std::vector<std::uint8_t> region = exact("NIST_1A\n   1024\nx -i 1\ny -s two\nend_head\n\xFF");
    EXPECT_EQ(error_of(parse(region)), "SPHERE header is not valid ASCII");
    const Result<FieldTable> table = parse(ByteView(region).first(region.size() - 1));
    ASSERT_TRUE(table.has_value()) << table.error().message;
    EXPECT_EQ(*table, (FieldTable{{"x", "1"}, {"y", "two"}}));
    // The first two lines are never fields, whatever they hold.
    EXPECT_EQ(error_of(parse(exact("end_head\nend_head\n"))), "SPHERE header missing 'end_head' terminator");
}

struct OrderCase {
    std::string body;                 // the lines after the size line
    std::vector<HeaderField> fields;  // expected, in order
    std::string message;              // expected failure, or empty
};

TEST(SphereFieldsInOrder, ListsFieldsAsTheyFirstAppearWithTheKeptValue) {
    const OrderCase cases[] = {
        {"zeta -s last\nalpha -i 1\nmid -r 2.5\nend_head\n", {{"zeta", "last"}, {"alpha", "1"}, {"mid", "2.5"}}, ""},
        // A repeated name keeps its first place and its last value, as the table does.
        {"b -i 1\na -s x\nb -s later\nend_head\n", {{"b", "later"}, {"a", "x"}}, ""},
        {"\n  spaced \t -s  a b  \r\nempty -s\nend_head\nnot -x looked at\n", {{"spaced", "a b"}, {"empty", ""}}, ""},
        {"end_head\n", {}, ""},
        // The same failures as the table, in the same order.
        {"x -i 1\ny -q 2\nend_head\n", {}, "unknown field type \"-q\" in line: \"y -q 2\""},
        {"x -i 1\ny -i two\nend_head\n\xFF", {}, "SPHERE header is not valid ASCII"},
        {"x -i 1\n", {}, "SPHERE header missing 'end_head' terminator"},
    };
    for (const OrderCase& c : cases) {
        SCOPED_TRACE(c.body);
        const std::vector<std::uint8_t> region = exact("NIST_1A\n1024\n" + c.body);
        const Result<std::vector<HeaderField>> fields = fields_in_order(region);
        EXPECT_EQ(error_of(fields), c.message.empty() ? "<succeeded>" : c.message);
        EXPECT_EQ(error_of(parse(region)), error_of(fields));
        if (fields) {
            EXPECT_EQ(*fields, c.fields);
        }
    }
}

// Header from name/value pairs, as `read` would have stored them.
SphereHeader header_of(std::initializer_list<std::pair<const std::string, std::string>> fields) {
    return SphereHeader{FieldTable(fields), 1024};
}

struct IntCase {
    std::string text;
    std::optional<std::int64_t> value;  // nullopt: "is not an integer"
};

TEST(SphereHeaderInt, ReadsTheSignedIntegerGrammar) {
    const IntCase cases[] = {
        {"16000", 16000},
        {"+5", 5},
        {"-0", 0},
        {"007", 7},
        {"9223372036854775807", INT64_MAX},
        {"-9223372036854775808", INT64_MIN},
        {"00000000000000000000000000042", 42},
        {"9223372036854775808", std::nullopt},
        {"-9223372036854775809", std::nullopt},
        {"99999999999999999999999", std::nullopt},
        {"16000.0", std::nullopt},
        {"", std::nullopt},
        {"+", std::nullopt},
        {"-", std::nullopt},
        {"+-5", std::nullopt},
        {" 5", std::nullopt},
        {"1 000", std::nullopt},
        {"1,000", std::nullopt},
        {"1_000", std::nullopt},
        {"0x10", std::nullopt},
        {"\xD9\xA1", std::nullopt},  // ARABIC-INDIC DIGIT ONE
    };
    for (const IntCase& c : cases) {
        SCOPED_TRACE(c.text);
        const Result<std::int64_t> value = header_of({{"sample_rate", c.text}}).int_("sample_rate");
        if (c.value) {
            ASSERT_TRUE(value.has_value()) << value.error().message;
            EXPECT_EQ(*value, *c.value);
        } else {
            ASSERT_FALSE(value.has_value());
            EXPECT_EQ(value.error().message, R"(field "sample_rate" is not an integer)");
            EXPECT_EQ(value.error().kind, ErrorKind::Invalid);
        }
    }
    EXPECT_EQ(error_of(header_of({}).int_("sample_sig_bits")), "SPHERE header missing required field: sample_sig_bits");
    EXPECT_EQ(error_of(header_of({{"a\"b", "x"}}).int_("a\"b")), R"(field "a\"b" is not an integer)");
}

struct ValidateCase {
    std::vector<std::pair<std::string, std::string>> fields;
    std::string message;  // empty: valid
};

TEST(SphereHeaderValidate, ChecksPresenceFirstThenValuesInTheirOrder) {
    auto with = [](std::string sample_count, std::string sample_rate, std::string channel_count,
                   std::string sample_n_bytes) {
        std::vector<std::pair<std::string, std::string>> fields;
        if (sample_count != "absent") fields.emplace_back("sample_count", sample_count);
        if (sample_rate != "absent") fields.emplace_back("sample_rate", sample_rate);
        if (channel_count != "absent") fields.emplace_back("channel_count", channel_count);
        if (sample_n_bytes != "absent") fields.emplace_back("sample_n_bytes", sample_n_bytes);
        return fields;
    };
    const ValidateCase cases[] = {
        {with("1000", "16000", "1", "2"), ""},
        {with("0", "1", "1", "1"), ""},
        {with("absent", "absent", "absent", "absent"), "SPHERE header missing required field: sample_count"},
        {with("1", "absent", "0", "2"), "SPHERE header missing required field: sample_rate"},
        {with("x", "1", "absent", "2"), "SPHERE header missing required field: channel_count"},
        {with("1", "1", "1", "absent"), "SPHERE header missing required field: sample_n_bytes"},
        {with("-1", "0", "0", "0"), "channel_count must be >= 1, got 0"},
        {with("1", "1", "-2", "2"), "channel_count must be >= 1, got -2"},
        {with("1", "fast", "0", "2"), "channel_count must be >= 1, got 0"},
        {with("1", "fast", "1", "2"), R"(field "sample_rate" is not an integer)"},
        {with("1", "1", "1.0", "2"), R"(field "channel_count" is not an integer)"},
        {with("-1", "0", "1", "0"), "sample_n_bytes must be >= 1, got 0"},
        {with("-1", "0", "1", "-9223372036854775808"), "sample_n_bytes must be >= 1, got -9223372036854775808"},
        {with("-1", "0", "1", "2"), "sample_count must be >= 0, got -1"},
        {with("0", "0", "1", "2"), "sample_rate must be >= 1, got 0"},
    };
    for (const ValidateCase& c : cases) {
        SCOPED_TRACE(c.message);
        SphereHeader header;
        for (const auto& [name, value] : c.fields) header.fields.emplace(name, value);
        const Result<void> valid = header.validate();
        if (c.message.empty()) {
            EXPECT_TRUE(valid.has_value()) << valid.error().message;
        } else {
            ASSERT_FALSE(valid.has_value());
            EXPECT_EQ(valid.error().message, c.message);
            EXPECT_EQ(valid.error().kind, ErrorKind::Invalid);
        }
    }
}

TEST(SphereHeaderQueries, SampleByteFormatDefaultsOnlyWhenAbsent) {
    EXPECT_EQ(header_of({}).sample_byte_format(), "1");
    EXPECT_EQ(header_of({{"sample_byte_format", "10"}}).sample_byte_format(), "10");
    EXPECT_EQ(header_of({{"sample_byte_format", "big"}}).sample_byte_format(), "big");

    const std::vector<std::uint8_t> input = exact(sphere_file(kRequired + "sample_byte_format -s2\nend_head\n"));
    const Result<SphereFile> file = read(input);
    ASSERT_TRUE(file.has_value()) << file.error().message;
    EXPECT_EQ(file->header.sample_byte_format(), "");
}

struct SizeCase {
    std::string sample_count, channel_count, sample_n_bytes;
    std::optional<std::uint64_t> bytes;  // nullopt: "declared payload size overflows"
};

TEST(SphereHeaderQueries, ExpectedDataBytesDetectsEveryOverflow) {
    const SizeCase cases[] = {
        {"1000", "2", "2", 4000},
        {"0", "2", "2", 0},
        {"4611686018427387903", "2", "1", 9223372036854775806u},
        {"4611686018427387904", "2", "1", std::nullopt},  // 2^63, one beyond the range
        {"4611686018427387904", "4", "1", std::nullopt},  // the first product overflows
        {"2147483648", "2147483648", "2", std::nullopt},  // only the second one does
        {"6148914691236517206", "3", "1", std::nullopt},  // would wrap to 2
        {"9223372036854775807", "1", "1", 9223372036854775807u},
        {"-1", "2", "2", std::nullopt},
        {"-2", "-3", "1", std::nullopt},  // negative factors, positive product
        {"0", "-1", "2", std::nullopt},
    };
    for (const SizeCase& c : cases) {
        SCOPED_TRACE(c.sample_count + " x " + c.channel_count + " x " + c.sample_n_bytes);
        const SphereHeader header = header_of({{"sample_count", c.sample_count},
                                               {"channel_count", c.channel_count},
                                               {"sample_n_bytes", c.sample_n_bytes}});
        const Result<std::uint64_t> bytes = header.expected_data_bytes();
        if (c.bytes) {
            ASSERT_TRUE(bytes.has_value()) << bytes.error().message;
            EXPECT_EQ(*bytes, *c.bytes);
        } else {
            ASSERT_FALSE(bytes.has_value());
            EXPECT_EQ(bytes.error().message, "declared payload size overflows");
            EXPECT_EQ(bytes.error().kind, ErrorKind::Invalid);
        }
    }
    // Fields are read in the order count, channels, width, with no defaults.
    EXPECT_EQ(error_of(header_of({{"channel_count", "x"}}).expected_data_bytes()),
              "SPHERE header missing required field: sample_count");
    EXPECT_EQ(error_of(header_of({{"sample_count", "1"}, {"channel_count", "x"}}).expected_data_bytes()),
              R"(field "channel_count" is not an integer)");
    EXPECT_EQ(error_of(header_of({{"sample_count", "1"}, {"channel_count", "1"}}).expected_data_bytes()),
              "SPHERE header missing required field: sample_n_bytes");
}

struct RealFile {
    const char* name;
    const char* channel_count;
    const char* sample_n_bytes;
    const char* sample_coding;
};

TEST(SphereRead, ReadsTheBundledRecordings) {
    KORRIN_SKIP_WITHOUT_REAL_FILES();
    const RealFile files[] = {
        {"123_1pcle_shn.sph", "1", "2", "pcm,embedded-shorten-v2.00"},
        {"123_2ulaw_shn.sph", "2", "1", "ulaw,embedded-shorten-v2.00"},
        {"123_2alaw.sph", "2", "1", "alaw"},
    };
    for (const RealFile& f : files) {
        SCOPED_TRACE(f.name);
        std::ifstream stream(test_support::real_sphere(f.name), std::ios::binary);
        ASSERT_TRUE(stream) << "missing test file";
        const std::vector<std::uint8_t> input{std::istreambuf_iterator<char>(stream), {}};
        const Result<SphereFile> file = read(input);
        ASSERT_TRUE(file.has_value()) << file.error().message;
        const SphereHeader& header = file->header;
        const auto field = [&](std::string_view name) {
            const std::string* value = header.find(name);
            return value == nullptr ? std::string("<absent>") : *value;
        };
        EXPECT_EQ(header.header_size, 1024u);
        EXPECT_EQ(file->payload.size(), input.size() - 1024);
        EXPECT_EQ(field("sample_rate"), "20000");
        EXPECT_EQ(field("sample_count"), "37120");
        EXPECT_EQ(field("channel_count"), f.channel_count);
        EXPECT_EQ(field("sample_n_bytes"), f.sample_n_bytes);
        EXPECT_EQ(field("sample_coding"), f.sample_coding);
        EXPECT_EQ(field("recording_date"), "9-SEP-1982");
        EXPECT_EQ(field("database_id"), "TIDIGITS");
        const Result<std::int64_t> sample_min = header.int_("sample_min");
        ASSERT_TRUE(sample_min.has_value());
        EXPECT_EQ(*sample_min, -2677);
    }
}

}  // namespace
}  // namespace korrin::sphere

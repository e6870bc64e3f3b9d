#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sphere/sphere.hpp"
#include "sphere_builder.hpp"

namespace korrin::sphere {
namespace {

using test_support::Bytes;
using test_support::bytes_of;

Bytes with_payload(std::string header, std::size_t payload) {
    Bytes out = bytes_of(header);
    out.resize(out.size() + payload, 0x55);
    return out;
}

TEST(ReadHeader, ListsFieldLinesInFileOrderWithTheirTypes) {
    std::string text =
        "NIST_1A\n   256\n"
        "zeta -s3 abc\n"
        "  sample_count   -i   +10  \n"
        "\n"
        "channel_count -i 1\n"
        "ratio -r 1.5e3\n"
        "sample_rate -i 8000\n"
        "sample_n_bytes -i 2\n"
        "zeta -s7 a  b\tc\n"
        "end_head\n";
    text.resize(256, ' ');
    const Bytes file = with_payload(text, 20);
    std::vector<FieldLine> lines;
    const auto header = read_header(file, file.size(), &lines);
    ASSERT_TRUE(header) << header.error().message;
    const std::vector<FieldLine> want = {
        {"zeta", "-s3", "abc"},     {"sample_count", "-i", "+10"}, {"channel_count", "-i", "1"},
        {"ratio", "-r", "1.5e3"},   {"sample_rate", "-i", "8000"}, {"sample_n_bytes", "-i", "2"},
        {"zeta", "-s7", "a  b\tc"},
    };
    EXPECT_EQ(lines, want);
    EXPECT_EQ(*header->find("zeta"), "a  b\tc");  // the table keeps the later value
}

// A head that holds the header region gives read's outcome for the whole
// file, messages included; the file's size, not the head's, bounds the
// header.
TEST(ReadHeader, AgreesWithReadOnTheWholeFile) {
    const std::string fields = "sample_count -i 3\nsample_rate -i 8000\nchannel_count -i 1\nsample_n_bytes -i 2\n";
    const std::vector<Bytes> files = {
        with_payload("NIST_1A\n   1024\n" + fields + "end_head\n" + std::string(1024 - 90, ' '), 6),
        with_payload("NIST_1A\n   4000\n" + fields + "end_head\n", 100),  // header beyond the file
        with_payload("NIST_1A\n   64\nsample_count -q 1\nend_head\n" + std::string(20, ' '), 10),
        with_payload("NIST_1A\n   1024\nsample_count -i 3\nend_head\n" + std::string(990, ' '), 10),
        with_payload("RIFF", 50),
    };
    for (const Bytes& file : files) {
        const auto whole = read(file);
        const std::size_t region =
            whole ? static_cast<std::size_t>(whole->header.header_size) : std::min<std::size_t>(file.size(), 1100);
        for (std::size_t head : {region, file.size()}) {
            if (head > file.size()) continue;
            const auto got = read_header(Bytes(file.begin(), file.begin() + head), file.size());
            ASSERT_EQ(got.has_value(), whole.has_value());
            if (whole)
                EXPECT_EQ(got->fields, whole->header.fields);
            else
                EXPECT_EQ(got.error(), whole.error());
        }
    }
}

TEST(ReadHeader, AHeadShorterThanTheRegionFailsRatherThanReadOn) {
    const Bytes file = with_payload("NIST_1A\n   1024\nsample_count -i 1\nend_head\n" + std::string(990, ' '), 10);
    const auto got = read_header(Bytes(file.begin(), file.begin() + 100), file.size());
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error(), invalid("header claims 1024 bytes but only 100 read"));
}

}  // namespace
}  // namespace korrin::sphere

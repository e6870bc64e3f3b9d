#include "bitreader/bitreader.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "reference_bitreader.hpp"

namespace korrin::bitreader {
namespace {

using test_support::ReferenceBitReader;

const std::string kPastEnd = "truncated or corrupt shorten stream: ran past end of bitstream";

// Bytes from a string of '0' and '1' (other characters are ignored), padded
// with zero bits to a whole byte.
std::vector<std::uint8_t> bits(std::string_view text) {
    std::vector<std::uint8_t> out;
    int used = 8;
    for (char c : text) {
        if (c != '0' && c != '1') continue;
        if (used == 8) {
            out.push_back(0);
            used = 0;
        }
        if (c == '1') out.back() |= static_cast<std::uint8_t>(0x80 >> used);
        ++used;
    }
    return out;
}

std::size_t bit_offset(const BitReader& r) { return r.pos() * 8 + r.bit(); }

template <class T>
std::string error_of(const Result<T>& r) {
    return r ? std::string("<no error>") : r.error().message;
}

TEST(BitReader, WorkedExamples) {
    enum class Op { Uvar, Var, Ulong };
    struct Case {
        Op op;
        std::uint32_t n;
        std::string stream;
        std::int64_t value;
        std::size_t bits_consumed;
    };
    const Case cases[] = {
        {Op::Uvar, 0, "1", 0, 1},
        {Op::Uvar, 0, "001", 2, 3},
        {Op::Uvar, 2, "110", 2, 3},
        {Op::Uvar, 3, "001101", 21, 6},
        {Op::Var, 2, "111", -2, 3},
        {Op::Var, 1, "010", 1, 3},
        {Op::Var, 1, "11", -1, 2},  // uvar 1 folds to -1
        {Op::Var, 0, "0001", -2, 4},
        {Op::Ulong, 0, "110 0110", 6, 7},
        {Op::Ulong, 0, "100 1", 0, 4},  // width 0, then a lone stop bit
        // Eight zeros that end one byte and a one that starts the next.
        {Op::Uvar, 0, "00000000 1", 8, 9},
        {Op::Uvar, 32, "1 11111111111111111111111111111111", 0xFFFFFFFF, 33},
        {Op::Uvar, 32, "01 10000000000000000000000000000001", (std::int64_t{1} << 32) | 0x80000001, 34},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stream);
        const auto data = bits(c.stream);
        BitReader r(data, 0);
        std::int64_t got = 0;
        if (c.op == Op::Var) {
            auto v = r.var(c.n);
            ASSERT_TRUE(v) << v.error().message;
            got = *v;
        } else {
            auto v = c.op == Op::Uvar ? r.uvar(c.n) : r.ulong();
            ASSERT_TRUE(v) << v.error().message;
            got = static_cast<std::int64_t>(*v);
        }
        EXPECT_EQ(got, c.value);
        EXPECT_EQ(bit_offset(r), c.bits_consumed);
    }
}

TEST(BitReader, FailuresAndWhereTheyLeaveTheReader) {
    struct Case {
        const char* name;
        std::string stream;
        std::size_t start_bit;  // codes read first to move the reader
        std::uint32_t n;
        bool via_ulong;
        std::string error;
        std::size_t bit_after;
    };
    const Case cases[] = {
        {"oversized width reads nothing", "1111", 1, 33, false, "oversized uvar width 33", 1},
        {"huge width", "1111", 0, 0xFFFFFFFF, false, "oversized uvar width 4294967295", 0},
        {"ulong width 33", "00000000 1 01 1111", 0, 0, true, "oversized uvar width 33", 11},
        {"empty stream", "", 0, 0, false, kPastEnd, 0},
        {"zeros to the end", "00000000 00000000", 0, 3, false, kPastEnd, 16},
        {"low bits cut short", "00000001 10", 0, 9, false, kPastEnd, 16},
        {"ulong width cut short", "01", 0, 0, true, kPastEnd, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto data = bits(c.stream);
        BitReader r(data, 0);
        for (std::size_t i = 0; i < c.start_bit; ++i) ASSERT_TRUE(r.uvar(0));
        const auto got = c.via_ulong ? r.ulong() : r.uvar(c.n);
        EXPECT_EQ(error_of(got), c.error);
        EXPECT_EQ(bit_offset(r), c.bit_after);
        EXPECT_EQ(got ? ErrorKind::Invalid : got.error().kind, ErrorKind::Invalid);
    }
}

TEST(BitReader, LastCodeEndsExactlyAtTheEndOfTheBuffer) {
    const auto data = bits("1 0000 001 1");  // uvar(4) = 0, then uvar(1) with q 2: 5
    BitReader r(data, 0);
    EXPECT_EQ(*r.uvar(4), 0u);
    EXPECT_EQ(*r.uvar(1), 5u);
    EXPECT_EQ(r.pos(), 1u);
    EXPECT_EQ(error_of(r.uvar(0)), kPastEnd);
    EXPECT_EQ(error_of(r.var(0)), kPastEnd);
    EXPECT_EQ(error_of(r.ulong()), kPastEnd);
}

TEST(BitReader, StartBeyondTheEndReadsNothing) {
    const std::vector<std::uint8_t> data = {0xFF, 0xFF};
    BitReader r(data, 5);
    EXPECT_EQ(error_of(r.uvar(0)), kPastEnd);
    EXPECT_EQ(r.pos(), 5u);
    EXPECT_EQ(r.bit(), 0u);
}

// The unary limit at its real size: 2^26 zeros are 8 MiB.
TEST(BitReader, UnaryLimitAtItsBoundary) {
    const std::size_t zero_bytes = kMaxUnaryZeros / 8;
    struct Case {
        const char* name;
        std::size_t extra_zero_bits;  // after the 2^26 zeros
        bool one_follows;
        std::string error;
        std::size_t bit_after;
    };
    const std::size_t limit = kMaxUnaryZeros;
    const Case cases[] = {
        {"2^26 zeros then a one", 0, true, "", limit + 1},
        {"2^26 zeros then the end", 0, false, kPastEnd, limit},
        {"2^26 + 1 zeros then a one", 1, true, "runaway unary code", limit + 1},
        {"2^26 + 1 zeros then the end", 1, false, "runaway unary code", limit + 1},
        {"2^26 + 8 zeros then a one", 8, true, "runaway unary code", limit + 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::uint8_t> data(zero_bytes, 0);
        std::size_t tail_bits = c.extra_zero_bits + (c.one_follows ? 1 : 0);
        if (tail_bits > 0) {
            data.resize(zero_bytes + (tail_bits + 7) / 8, 0);
            if (c.one_follows) data[zero_bytes + c.extra_zero_bits / 8] |= 0x80 >> (c.extra_zero_bits % 8);
        }
        for (int n : {0, 5}) {
            if (n == 5 && c.error.empty()) data[zero_bytes] = 0xA8;  // the one, then low bits 01010
            BitReader r(data, 0);
            auto got = r.uvar(static_cast<std::uint32_t>(n));
            if (c.error.empty()) {
                ASSERT_TRUE(got) << got.error().message;
                EXPECT_EQ(*got, (kMaxUnaryZeros << n) | (n == 5 ? 0b01010 : 0));
                EXPECT_EQ(bit_offset(r), c.bit_after + static_cast<std::size_t>(n));
            } else {
                EXPECT_EQ(error_of(got), c.error);
                EXPECT_EQ(bit_offset(r), c.bit_after);
            }
            // The literal reader agrees on the error and where it stops.
            ReferenceBitReader ref(data, 0);
            auto expected = ref.uvar(static_cast<std::uint32_t>(n));
            EXPECT_EQ(std::holds_alternative<std::string>(expected), !got);
            EXPECT_EQ(ref.pos() * 8 + ref.bit(), bit_offset(r));
        }
    }
}

// Random streams and random sequences of calls: the cached reader gives the
// literal reader's values, errors and positions after every call.
TEST(BitReader, MatchesTheBitByBitReader) {
    std::mt19937_64 rng(20261208);
    int failures_seen = 0;
    for (int round = 0; round < 4000; ++round) {
        // Streams from dense to very sparse in ones, of every short length.
        const std::size_t size = rng() % (round % 4 == 0 ? 400 : 40);
        const unsigned sparsity = static_cast<unsigned>(rng() % 6);
        std::vector<std::uint8_t> data(size);
        for (auto& b : data) {
            b = static_cast<std::uint8_t>(rng());
            for (unsigned s = 0; s < sparsity; ++s) b &= static_cast<std::uint8_t>(rng());
        }
        const std::size_t start = rng() % (size + 3);
        BitReader fast(data, start);
        ReferenceBitReader ref(data, start);
        for (int step = 0; step < 60; ++step) {
            const unsigned op = static_cast<unsigned>(rng() % 4);
            const auto n = static_cast<std::uint32_t>(rng() % 10 == 0 ? 30 + rng() % 5 : rng() % 12);
            std::string fast_error, ref_error;
            std::vector<std::int64_t> fast_values, ref_values;
            if (op == 0) {
                auto a = fast.uvar(n);
                auto b = ref.uvar(n);
                if (a)
                    fast_values.push_back(static_cast<std::int64_t>(*a));
                else
                    fast_error = a.error().message;
                if (auto* v = std::get_if<std::uint64_t>(&b))
                    ref_values.push_back(static_cast<std::int64_t>(*v));
                else
                    ref_error = std::get<std::string>(b);
            } else if (op == 1) {
                auto a = fast.var(n);
                auto b = ref.var(n);
                if (a)
                    fast_values.push_back(*a);
                else
                    fast_error = a.error().message;
                if (auto* v = std::get_if<std::int64_t>(&b))
                    ref_values.push_back(*v);
                else
                    ref_error = std::get<std::string>(b);
            } else if (op == 2) {
                auto a = fast.ulong();
                auto b = ref.ulong();
                if (a)
                    fast_values.push_back(static_cast<std::int64_t>(*a));
                else
                    fast_error = a.error().message;
                if (auto* v = std::get_if<std::uint64_t>(&b))
                    ref_values.push_back(static_cast<std::int64_t>(*v));
                else
                    ref_error = std::get<std::string>(b);
            } else {
                std::vector<std::int64_t> out(rng() % (round % 8 == 0 ? 700 : 50));
                std::size_t decoded = 99;
                auto a = fast.var_block(n, out, decoded);
                fast_values.assign(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(decoded));
                if (!a) fast_error = a.error().message;
                for (std::size_t i = 0; i < out.size(); ++i) {
                    auto b = ref.var(n);
                    if (auto* v = std::get_if<std::int64_t>(&b)) {
                        ref_values.push_back(*v);
                    } else {
                        ref_error = std::get<std::string>(b);
                        break;
                    }
                }
            }
            ASSERT_EQ(fast_values, ref_values) << "round " << round << " step " << step;
            ASSERT_EQ(fast_error, ref_error) << "round " << round << " step " << step;
            ASSERT_EQ(fast.pos(), ref.pos()) << "round " << round << " step " << step;
            ASSERT_EQ(fast.bit(), ref.bit()) << "round " << round << " step " << step;
            if (!fast_error.empty()) ++failures_seen;
        }
    }
    // Make sure the corpus reached the error paths, not only the happy ones.
    EXPECT_GT(failures_seen, 1000);
}

// Blocks of codes as an encoder writes them (mostly short codes, now and
// then one longer than a cache fill), read whole and cut short at every
// byte of their last part: var_block gives the values, the error and the
// position of the bit-at-a-time reader, whatever groups its fast road
// forms and has to redo.
TEST(BitReader, BlocksOfEncodedCodesMatchTheBitByBitReader) {
    struct Case {
        std::uint32_t n;      // low bits per code
        unsigned spread;      // values up to about 2^(n + spread)
        unsigned long_every;  // one code in this many has a run of 60 to 200 zeros (0: none)
        std::size_t count;    // codes in the block
    };
    const Case cases[] = {
        {1, 1, 0, 1024},  {3, 2, 0, 1024}, {5, 3, 97, 1024}, {9, 2, 0, 700},
        {16, 4, 13, 300}, {32, 1, 5, 200}, {4, 0, 0, 3},     {7, 6, 2, 257},
    };
    std::mt19937_64 rng(17);
    for (const Case& c : cases) {
        SCOPED_TRACE("n=" + std::to_string(c.n) + " count=" + std::to_string(c.count));
        std::string text = "101";  // a start off the byte boundary
        for (std::size_t i = 0; i < c.count; ++i) {
            std::uint64_t run = (rng() % (1u << c.spread)) >> (rng() % (c.spread + 1));
            if (c.long_every != 0 && rng() % c.long_every == 0) run = 60 + rng() % 141;
            text += std::string(run, '0') + '1';
            for (std::uint32_t b = 0; b < c.n; ++b) text += rng() % 2 ? '1' : '0';
        }
        const std::vector<std::uint8_t> whole = bits(text);
        for (std::size_t cut = 0; cut <= std::min<std::size_t>(12, whole.size() - 1); ++cut) {
            const std::vector<std::uint8_t> data(whole.begin(), whole.end() - static_cast<std::ptrdiff_t>(cut));
            BitReader fast(data, 0);
            ReferenceBitReader ref(data, 0);
            ASSERT_TRUE(fast.uvar(1) && fast.uvar(0));  // "101": the start off the boundary
            ASSERT_TRUE(std::holds_alternative<std::uint64_t>(ref.uvar(1)));
            ASSERT_TRUE(std::holds_alternative<std::uint64_t>(ref.uvar(0)));
            std::vector<std::int64_t> out(c.count);
            std::size_t decoded = 0;
            const auto got = fast.var_block(c.n, out, decoded);
            std::vector<std::int64_t> want;
            std::string want_error = "<no error>";
            for (std::size_t i = 0; i < c.count; ++i) {
                auto v = ref.var(c.n);
                if (auto* value = std::get_if<std::int64_t>(&v)) {
                    want.push_back(*value);
                } else {
                    want_error = std::get<std::string>(v);
                    break;
                }
            }
            EXPECT_EQ(error_of(got), want_error) << "cut " << cut;
            ASSERT_EQ(decoded, want.size()) << "cut " << cut;
            EXPECT_EQ(std::vector<std::int64_t>(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(decoded)), want)
                << "cut " << cut;
            EXPECT_EQ(bit_offset(fast), ref.pos() * 8 + ref.bit()) << "cut " << cut;
            EXPECT_EQ(want_error, cut == 0 ? "<no error>" : kPastEnd) << "cut " << cut;
        }
    }
}

}  // namespace
}  // namespace korrin::bitreader

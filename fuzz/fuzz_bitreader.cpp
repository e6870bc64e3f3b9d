// The cached bit reader against the bit-at-a-time reference reader: the
// same values, the same first error and the same position after every call,
// failed calls included, for any bytes and any sequence of calls.
//
// Input layout: byte 0 is the script length L (low 5 bits) and the start
// byte (top 3 bits); bytes 1..2L are L calls, two bytes each (the kind and
// the width); the rest is the stream. (Unary runs at the 2^26-zero limit
// need 8 MB of input and a second per run here; the regression inputs and
// the work-bound measurements cover them instead.)
#include <cstdint>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "bitreader/bitreader.hpp"
#include "fuzz_check.hpp"
#include "reference_bitreader.hpp"

namespace {

using korrin::fuzz::check;
using korrin::test_support::ReferenceBitReader;

template <class T>
void same(const korrin::Result<T>& fast, const ReferenceBitReader::Read<T>& slow, const char* what) {
    if (const auto* message = std::get_if<std::string>(&slow)) {
        check(!fast.has_value(), what, "fast reader read a value where the reference failed");
        check(fast.error().message == *message, what, fast.error().message);
        check(fast.error().kind == korrin::ErrorKind::Invalid, what, "error kind is not Invalid");
    } else {
        check(fast.has_value(), what, fast ? "" : fast.error().message);
        check(*fast == std::get<T>(slow), what, "values differ");
    }
}

void same_position(const korrin::bitreader::BitReader& fast, const ReferenceBitReader& slow, const char* what) {
    check(fast.pos() == slow.pos() && fast.bit() == slow.bit(), what, "positions differ");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    std::size_t calls = data[0] & 0x1F;
    std::size_t start = data[0] >> 5;
    if (size < 1 + 2 * calls) calls = (size - 1) / 2;
    const std::uint8_t* script = data + 1;
    const korrin::ByteView stream(data + 1 + 2 * calls, size - 1 - 2 * calls);

    korrin::bitreader::BitReader fast(stream, start);
    ReferenceBitReader slow(stream, start);
    same_position(fast, slow, "start");
    std::vector<std::int64_t> block;
    for (std::size_t i = 0; i < calls; ++i) {
        const std::uint8_t kind = script[2 * i] & 3;
        // Widths 0..40 mostly, so that the 32-bit limit is crossed both ways.
        const std::uint32_t n = script[2 * i + 1] % 41;
        switch (kind) {
            case 0: same(fast.uvar(n), slow.uvar(n), "uvar"); break;
            case 1: same(fast.var(n), slow.var(n), "var"); break;
            case 2: same(fast.ulong(), slow.ulong(), "ulong"); break;
            default: {
                // A block of codes, as the decoder reads residuals.
                block.assign(script[2 * i] >> 2, -1);
                std::size_t decoded = 0;
                const auto got = fast.var_block(n, std::span<std::int64_t>(block), decoded);
                std::size_t k = 0;
                for (; k < block.size(); ++k) {
                    auto want = slow.var(n);
                    if (const auto* message = std::get_if<std::string>(&want)) {
                        check(!got.has_value(), "var_block", "succeeded where var failed");
                        check(got.error().message == *message, "var_block", got.error().message);
                        break;
                    }
                    check(k < decoded && block[k] == std::get<std::int64_t>(want), "var_block", "values differ");
                }
                if (k == block.size()) check(got.has_value(), "var_block", got ? "" : got.error().message);
                check(decoded == k, "var_block", "decoded count differs");
                break;
            }
        }
        same_position(fast, slow, "after a call");
    }
    return 0;
}

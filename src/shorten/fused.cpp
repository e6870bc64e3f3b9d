#include "shorten/fused.hpp"

#include <array>
#include <utility>

#include "shorten/predictors.hpp"

namespace korrin::shorten::fused {
namespace {

using bitreader::BitReader;
using predict::Unchecked;

// A taker forms one value per residual at `s` and returns false after the
// first value beyond its predictor's bound.

struct OffsetTaker {
    std::int64_t* s;
    std::int64_t mu;
    bool operator()(std::int64_t r) noexcept {
        predict::offset_value<Unchecked>(r, mu, *s++);
        return true;
    }
};

template <int kOrder>
struct DifferenceTaker {
    std::int64_t* s;
    std::int64_t s1, s2, s3;
    bool operator()(std::int64_t r) noexcept {
        std::int64_t v;
        predict::difference_value<kOrder, Unchecked>(r, s1, s2, s3, v);
        *s++ = v;
        s3 = s2;
        s2 = s1;
        s1 = v;
        return predict::within_difference_bound(v);
    }
};

// With the window in registers, held less mu.
template <std::size_t kOrder>
struct LpcTaker {
    std::int64_t* s;
    const std::int64_t* a;
    std::int64_t mu;
    std::int64_t d;
    std::int64_t offset;
    std::int64_t x[kOrder];  // x[k]: the (k + 1)-th most recent value, less mu
    bool operator()(std::int64_t r) noexcept {
        const auto centred = [this](std::size_t k, std::int64_t& out) {
            out = x[k];
            return true;
        };
        std::int64_t t;
        predict::lpc_value<Unchecked>(r, centred, a, kOrder, mu, offset, t, *s++);
        for (std::size_t k = kOrder - 1; k >= 1; --k) x[k] = x[k - 1];
        x[0] = t;
        return t <= d && t >= -d;
    }
};

template <std::size_t kOrder>
std::size_t lpc_fixed(BitReader& reader, std::uint32_t width, std::size_t count, std::int64_t* s,
                      const std::int64_t* a, std::int64_t mu, std::int64_t d, std::int64_t offset) noexcept {
    LpcTaker<kOrder> taker{s, a, mu, d, offset, {}};
    for (std::size_t k = 0; k < kOrder; ++k) taker.x[k] = s[-1 - static_cast<std::ptrdiff_t>(k)] - mu;
    return bitreader::take_fast_here(reader, width, count, taker);
}

using LpcLoop = std::size_t (*)(BitReader&, std::uint32_t, std::size_t, std::int64_t*, const std::int64_t*,
                                std::int64_t, std::int64_t, std::int64_t) noexcept;

template <std::size_t... kIndex>
constexpr std::array<LpcLoop, sizeof...(kIndex)> lpc_loops(std::index_sequence<kIndex...>) noexcept {
    return {&lpc_fixed<kIndex + 1>...};
}
constexpr auto kLpcLoops = lpc_loops(std::make_index_sequence<kMaxLpcOrder>());

}  // namespace

std::size_t offset(BitReader& reader, std::uint32_t width, std::size_t count, std::int64_t* s,
                   std::int64_t mu) noexcept {
    if (mu > predict::kOffsetMuBound || mu < -predict::kOffsetMuBound) return 0;
    return bitreader::take_fast_here(reader, width, count, OffsetTaker{s, mu});
}

template <int kOrder>
std::size_t difference(BitReader& reader, std::uint32_t width, std::size_t count, std::int64_t* s) noexcept {
    for (int k = 1; k <= kOrder; ++k)
        if (!predict::within_difference_bound(s[-k])) return 0;
    return bitreader::take_fast_here(reader, width, count, DifferenceTaker<kOrder>{s, s[-1], s[-2], s[-3]});
}

template std::size_t difference<1>(BitReader&, std::uint32_t, std::size_t, std::int64_t*) noexcept;
template std::size_t difference<2>(BitReader&, std::uint32_t, std::size_t, std::int64_t*) noexcept;
template std::size_t difference<3>(BitReader&, std::uint32_t, std::size_t, std::int64_t*) noexcept;

std::size_t lpc(BitReader& reader, std::uint32_t width, std::size_t count, std::int64_t* s,
                std::span<const std::int64_t> a, std::int64_t mu, std::int64_t offset) noexcept {
    if (a.empty() || a.size() > kLpcLoops.size()) return 0;
    const std::int64_t d = predict::lpc_bound(s, a, mu);
    if (d == 0) return 0;
    return kLpcLoops[a.size() - 1](reader, width, count, s, a.data(), mu, d, offset);
}

}  // namespace korrin::shorten::fused

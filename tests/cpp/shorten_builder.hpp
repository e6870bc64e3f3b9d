// Writes a Shorten stream command by command, for tests: the one writer of
// the C++ suites (the header's six parameters, then what each test adds).
#pragma once

#include <cstdint>
#include <vector>

#include "reference_bitreader.hpp"

namespace korrin::test_support {

class StreamBuilder {
  public:
    StreamBuilder(std::uint64_t type, std::uint64_t channels, std::uint64_t blocksize, std::uint64_t maxnlpc,
                  std::uint64_t nmean, std::uint64_t nskip = 0) {
        for (std::uint64_t v : {type, channels, blocksize, maxnlpc, nmean, nskip}) w_.ulong(v);
        for (std::uint64_t i = 0; i < nskip; ++i) w_.uvar(i & 1, 1);
    }
    StreamBuilder& diff(unsigned order, std::uint64_t width, const std::vector<std::int64_t>& residuals) {
        w_.uvar(order, 2);
        w_.uvar(width, 3);
        for (std::int64_t r : residuals) w_.var(r, static_cast<std::uint32_t>(width + 1));
        return *this;
    }
    StreamBuilder& qlpc(std::uint64_t width, const std::vector<std::int64_t>& coefficients,
                        const std::vector<std::int64_t>& residuals) {
        w_.uvar(7, 2);
        w_.uvar(width, 3);
        w_.uvar(coefficients.size(), 2);
        for (std::int64_t a : coefficients) w_.var(a, 6);
        for (std::int64_t r : residuals) w_.var(r, static_cast<std::uint32_t>(width + 1));
        return *this;
    }
    StreamBuilder& zero() { return code(8); }
    StreamBuilder& blocksize(std::uint64_t n) {
        code(5);
        w_.ulong(n);
        return *this;
    }
    StreamBuilder& bitshift(std::uint64_t shift) {
        code(6);
        w_.uvar(shift, 2);
        return *this;
    }
    StreamBuilder& verbatim(const std::vector<std::uint8_t>& bytes) {
        code(9);
        w_.uvar(bytes.size(), 5);
        for (std::uint8_t b : bytes) w_.uvar(b, 8);
        return *this;
    }
    StreamBuilder& quit() { return code(4); }
    StreamBuilder& code(std::uint64_t c) {
        w_.uvar(c, 2);
        return *this;
    }
    BitWriter& writer() { return w_; }
    // The stream: magic, `version`, then the codes so far.
    std::vector<std::uint8_t> bytes(std::uint8_t version = 2) const {
        std::vector<std::uint8_t> out = {'a', 'j', 'k', 'g', version};
        const auto body = w_.bytes();
        out.insert(out.end(), body.begin(), body.end());
        return out;
    }

  private:
    BitWriter w_;
};

}  // namespace korrin::test_support

// A bit reader that takes one bit at a time, exactly as the Shorten code
// rules are written. Slow and obviously right: the oracle that the cached
// reader in src/bitreader is checked against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "common/bytes.hpp"

namespace korrin::test_support {

class ReferenceBitReader {
  public:
    // A value, or the message of the error that ended the read.
    template <class T>
    using Read = std::variant<T, std::string>;

    ReferenceBitReader(ByteView data, std::size_t start) : data_(data), pos_(start) {}

    Read<std::uint64_t> uvar(std::uint32_t n) {
        if (n > 32) return "oversized uvar width " + std::to_string(n);
        std::uint64_t q = 0;
        for (;;) {
            const auto b = take();
            if (!b) return past_end();
            if (*b == 1) break;
            if (++q == (std::uint64_t{1} << 26) + 1) return std::string("runaway unary code");
        }
        std::uint64_t low = 0;
        for (std::uint32_t i = 0; i < n; ++i) {
            const auto b = take();
            if (!b) return past_end();
            low = 2 * low + *b;
        }
        return (q << n) | low;
    }

    Read<std::int64_t> var(std::uint32_t n) {
        auto u = uvar(n);
        if (auto* e = std::get_if<std::string>(&u)) return *e;
        const std::uint64_t v = std::get<std::uint64_t>(u);
        return static_cast<std::int64_t>((v >> 1) ^ (0 - (v & 1)));
    }

    Read<std::uint64_t> ulong() {
        auto w = uvar(2);
        if (std::holds_alternative<std::string>(w)) return w;
        return uvar(static_cast<std::uint32_t>(std::get<std::uint64_t>(w)));
    }

    std::size_t pos() const { return pos_; }
    std::uint8_t bit() const { return bit_; }

  private:
    static std::string past_end() { return "truncated or corrupt shorten stream: ran past end of bitstream"; }

    std::optional<unsigned> take() {
        if (pos_ >= data_.size()) return std::nullopt;
        const unsigned b = (data_[pos_] >> (7 - bit_)) & 1;
        if (++bit_ == 8) {
            bit_ = 0;
            ++pos_;
        }
        return b;
    }

    ByteView data_;
    std::size_t pos_;
    std::uint8_t bit_ = 0;
};

// The writer that matches the reader: builds test streams code by code.
class BitWriter {
  public:
    void bit(unsigned b) {
        if (used_ == 8) {
            bytes_.push_back(0);
            used_ = 0;
        }
        if (b) bytes_.back() |= static_cast<std::uint8_t>(0x80 >> used_);
        ++used_;
    }
    void bits(std::uint64_t value, std::uint32_t n) {
        for (std::uint32_t i = n; i-- > 0;) bit(static_cast<unsigned>((value >> i) & 1));
    }
    void uvar(std::uint64_t value, std::uint32_t n) {
        for (std::uint64_t q = n >= 64 ? 0 : value >> n; q > 0; --q) bit(0);
        bit(1);
        bits(value, n);
    }
    void var(std::int64_t value, std::uint32_t n) {
        const auto u = static_cast<std::uint64_t>(value);
        uvar(value >= 0 ? u << 1 : ((~u) << 1) | 1, n);
    }
    // With the narrowest width that keeps the unary part at most 1.
    void ulong(std::uint64_t value) {
        std::uint32_t w = 0;
        while (w < 32 && (value >> w) > 1) ++w;
        uvar(w, 2);
        uvar(value, w);
    }
    std::vector<std::uint8_t> bytes() const { return bytes_; }

  private:
    std::vector<std::uint8_t> bytes_;
    int used_ = 8;
};

}  // namespace korrin::test_support

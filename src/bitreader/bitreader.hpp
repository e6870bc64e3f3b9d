// Reads the variable-length integer codes of a Shorten bit stream, most
// significant bit of each byte first.
//
// Bits are served from a 64-bit cache, so a unary run costs one count of
// leading zeros per cached word rather than one step per bit, and a block of
// codes is read in groups (var_block). The cache is an
// implementation detail: values, errors and the position after every call,
// failed ones included, are those of a reader that takes one bit at a time.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

#include "common/bytes.hpp"
#include "common/result.hpp"

namespace korrin::bitreader {

// The longest unary run a code may have: 2^26 zeros before its one bit.
inline constexpr std::uint64_t kMaxUnaryZeros = std::uint64_t{1} << 26;
// The widest low part a code may have.
inline constexpr std::uint32_t kMaxLowBits = 32;

class BitReader {
  public:
    // A reader over `data`, starting at bit 0 of byte `start`.
    BitReader(ByteView data, std::size_t start) noexcept;

    // q zeros, a one, then n plain bits: q * 2^n + low. A code within the
    // cached bits is taken here, inline (the commands and widths between
    // blocks are such codes); anything else by the careful road.
    Result<std::uint64_t> uvar(std::uint32_t n) {
        const auto run = static_cast<unsigned>(__builtin_clzll(cache_ | 1));
        const unsigned length = run + 1 + n;
        if (n == 0 || n > kMaxLowBits || length > valid_) return uvar_careful(n);
        const std::uint64_t marked = cache_ << run;
        consume(length);
        return (std::uint64_t{run} << n) | ((marked << 1) >> (64 - n));
    }
    // uvar(n) folded into a signed value: 0, 1, 2, 3 read as 0, -1, 1, -2.
    Result<std::int64_t> var(std::uint32_t n);
    // uvar(uvar(2)).
    Result<std::uint64_t> ulong();

    // Reads out.size() var(n) codes into `out`, the same as that many var(n)
    // calls but faster. On failure `decoded` is the number of codes read
    // before the one that failed; on success it is out.size(). With
    // `magnitude`, also sets it to a bound on the values read: none is
    // beyond it in magnitude (an OR of their halves, plus one).
    Result<void> var_block(std::uint32_t n, std::span<std::int64_t> out, std::size_t& decoded,
                           std::uint64_t* magnitude = nullptr);

    // Goes to bit `position` of the data (counted from its first byte),
    // which a reader over the same data has reached.
    void seek(std::uint64_t position) noexcept;

    // Index of the byte holding the next bit, and of that bit (0 = MSB).
    std::size_t pos() const noexcept { return bit_position() >> 3; }
    std::uint8_t bit() const noexcept { return static_cast<std::uint8_t>(bit_position() & 7); }

  private:
    Result<std::uint64_t> uvar_careful(std::uint32_t n);
    std::uint64_t bit_position() const noexcept { return std::uint64_t{next_} * 8 - valid_; }
    void refill() noexcept;
    // The fast road of var_block (see bitreader.cpp), compiled for any
    // x86-64 processor and for one with fast bit instructions; never fails.
    std::size_t take_grouped(std::uint32_t n, std::int64_t* words, std::uint8_t* runs, std::size_t count) noexcept;
    std::size_t take_grouped_portable(std::uint32_t n, std::int64_t* words, std::uint8_t* runs,
                                      std::size_t count) noexcept;
    std::size_t take_grouped_bmi2(std::uint32_t n, std::int64_t* words, std::uint8_t* runs, std::size_t count) noexcept;
    void consume(unsigned count) noexcept {
        cache_ <<= count;
        valid_ -= count;
    }

    const std::uint8_t* data_;
    std::size_t size_;
    // The next byte to move into the cache.
    std::size_t next_;
    // The top `valid_` bits of `cache_` are the next bits of the stream. Each
    // bit below them is either zero or the stream's own bit at that place.
    std::uint64_t cache_ = 0;
    unsigned valid_ = 0;  // at most 63
};

}  // namespace korrin::bitreader

// From reconstructed values to the decoder's 16-bit output samples, with
// what the completion of a block needs from its values.
#pragma once

#include <array>
#include <cstdint>
#include <span>

namespace korrin::shorten {

// What the completion of a block needs from its values, gathered while they
// are converted so that its checks can run in their order once the block is
// whole.
struct BlockTally {
    std::int64_t sum = 0;
    bool sum_overflowed = false;
    bool ulaw_fault = false;
    std::int64_t ulaw_fault_value = 0;
};

// The mu-law magnitude q of a magnitude index m under a bit shift t >= 1:
// the smallest candidate m * 2^(t - i) + b(i), i = 0..t, capped at 127.
std::uint8_t shifted_ulaw_magnitude(std::uint64_t m, std::uint32_t t) noexcept;

class SampleConverter {
  public:
    SampleConverter(bool is_ulaw, bool sums) noexcept : is_ulaw_(is_ulaw), sums_(sums) {}

    bool is_ulaw() const noexcept { return is_ulaw_; }
    // The output sample of the value 0 (the mu-law byte 0xFF at every shift).
    std::int16_t zero() const noexcept { return is_ulaw_ ? 0xFF : 0; }

    void set_shift(std::uint32_t shift) noexcept;
    std::uint32_t shift() const noexcept { return shift_; }

    // Adds the values to the block mean's sum (when the stream keeps
    // means) and, when `out` is not null, writes their output samples
    // there: linear values shifted and clamped to 16 bits, type-8 values
    // as mu-law code bytes. The first value without a mu-law byte is noted
    // in the tally, not reported: the completion of the block decides the
    // order of its errors.
    void convert(std::span<const std::int64_t> values, std::int16_t* out, BlockTally& tally) const noexcept;

  private:
    void to_linear(std::span<const std::int64_t> values, std::int16_t* out) const noexcept;
    void to_shifted_ulaw_bytes(std::span<const std::int64_t> values, std::int16_t* out) const noexcept;

    bool is_ulaw_;
    bool sums_;  // nmean is not 0
    std::uint32_t shift_ = 0;
    std::array<std::uint8_t, 127> ulaw_magnitudes_{};  // q for m < 127 at the current shift
};

}  // namespace korrin::shorten

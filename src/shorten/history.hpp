// A channel's last H reconstructed values, for the predictors.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace korrin::shorten {

// The history with room behind it into which the values of the block being
// decoded go. The values of a block are decoded straight behind the
// history, so the history and the working sequence of a prediction are the
// same array, and moving the window costs one copy of H values per H or
// more values decoded.
class History {
  public:
    explicit History(std::size_t length) : values_(length, 0), end_(length), length_(length) {}

    // Room for `count` more values; the H values before the returned
    // pointer are the history.
    std::int64_t* room(std::size_t count) {
        if (values_.size() - end_ < count) {
            std::memmove(values_.data(), values_.data() + (end_ - length_), length_ * sizeof(std::int64_t));
            end_ = length_;
            const std::size_t wanted = length_ + std::max(count, length_);
            if (values_.size() < wanted) values_.resize(wanted);
        }
        return values_.data() + end_;
    }
    void commit(std::size_t count) noexcept { end_ += count; }

    // The last H values, oldest first; and the same set again, as a
    // decoder that goes on from a saved state does (`values` holds H).
    const std::int64_t* last() const noexcept { return values_.data() + (end_ - length_); }
    std::size_t length() const noexcept { return length_; }
    void restore(const std::int64_t* values) noexcept {
        std::memcpy(values_.data() + (end_ - length_), values, length_ * sizeof(std::int64_t));
    }

  private:
    std::vector<std::int64_t> values_;
    std::size_t end_;
    std::size_t length_;
};

}  // namespace korrin::shorten

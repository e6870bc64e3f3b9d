// The block means of one channel, as the running mean of the Shorten
// decoder sees them.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "common/checked.hpp"

namespace korrin::shorten {

// The running mean is the checked sum of the last nmean block means, oldest
// first, plus nmean / 2 (the rounding term, which version-1 streams lack),
// divided by nmean. Summing afresh for every block
// would cost nmean steps per block; instead this keeps the prefix sums
// P[k] = mean[0] + ... + mean[k - 1] over the window in 128 bits, and the
// largest and smallest of them in monotonic queues. The oldest-first sum
// overflows exactly when some P[k] - P[a] leaves the 64-bit range (a: the
// index before the window's first mean), so each block costs constant time
// and gives the step-by-step sum's result or overflow. The prefix sums sit
// in a ring of a power of two entries, so that finding one is a mask, not
// a division, and so do the queues (rings of their own, not std::deque,
// whose cost differs from one C++ library to the next); memory stays within
// 2 nmean + 1 prefix sums and 2 nmean + 4 queue entries each, however many
// blocks come.
//
// Windows of at most kDirect means (most streams keep 4) keep the means
// themselves in a small ring instead and sum them oldest first, as the rule
// says, at each look-up: a few checked adds cost less than the queues.
class MeanWindow {
  public:
    static constexpr std::uint64_t kDirect = 16;

    // nmean at most 2^16 (the decoder's limit).
    explicit MeanWindow(std::uint64_t nmean, bool rounding = true)
        : nmean_(nmean),
          mask_(std::bit_ceil(nmean + 1) - 1),
          rounding_(rounding),
          prefix_{0},
          highs_(nmean <= kDirect ? 0 : nmean + 1),
          lows_(nmean <= kDirect ? 0 : nmean + 1) {}

    void push(std::int64_t mean) {
        if (nmean_ == 0) return;  // no window: the running mean is 0
        if (nmean_ <= kDirect) {
            recent_[count_++ % kDirect] = mean;
            return;
        }
        const Int128 next = at(count_) + mean;
        ++count_;
        if (prefix_.size() <= mask_)
            prefix_.push_back(next);
        else
            prefix_[count_ & mask_] = next;
        while (!highs_.empty() && at(highs_.back()) <= next) highs_.pop_back();
        highs_.push_back(count_);
        while (!lows_.empty() && at(lows_.back()) >= next) lows_.pop_back();
        lows_.push_back(count_);
        const std::uint64_t first = window_start();
        while (highs_.front() <= first) highs_.pop_front();
        while (lows_.front() <= first) lows_.pop_front();
    }

    // The means in the window, oldest first: pushed into a fresh window,
    // they give it the same running means from then on.
    std::vector<std::int64_t> means() const {
        std::vector<std::int64_t> out;
        for (std::uint64_t k = window_start() + 1; nmean_ != 0 && k <= count_; ++k)
            out.push_back(nmean_ <= kDirect ? recent_[(k - 1) % kDirect]
                                            : static_cast<std::int64_t>(at(k) - at(k - 1)));
        return out;
    }

    // The running mean, or nothing when a step of its sum overflows.
    std::optional<std::int64_t> running_mean() const {
        if (nmean_ == 0) return 0;
        std::int64_t sum = 0;
        if (nmean_ <= kDirect) {
            for (std::uint64_t k = window_start(); k < count_; ++k)
                if (__builtin_add_overflow(sum, recent_[k % kDirect], &sum)) return std::nullopt;
        } else if (count_ > 0) {
            const Int128 base = at(window_start());
            if (at(highs_.front()) - base > kMax || at(lows_.front()) - base < kMin) return std::nullopt;
            sum = static_cast<std::int64_t>(at(count_) - base);
        }
        const auto term = static_cast<std::int64_t>(rounding_ ? nmean_ / 2 : 0);
        if (__builtin_add_overflow(sum, term, &sum)) return std::nullopt;
        return divide(sum, nmean_);
    }

  private:
    using Int128 = __int128;

    // A queue of indices in a ring: it never holds more than the window's
    // nmean indices and the one being added.
    class Indices {
      public:
        explicit Indices(std::uint64_t most) : slots_(std::bit_ceil(most + 1)), mask_(slots_.size() - 1) {}
        bool empty() const noexcept { return head_ == tail_; }
        std::uint64_t front() const noexcept { return slots_[head_ & mask_]; }
        std::uint64_t back() const noexcept { return slots_[(tail_ - 1) & mask_]; }
        void push_back(std::uint64_t k) noexcept { slots_[tail_++ & mask_] = k; }
        void pop_back() noexcept { --tail_; }
        void pop_front() noexcept { ++head_; }

      private:
        std::vector<std::uint64_t> slots_;
        std::uint64_t mask_;
        std::uint64_t head_ = 0, tail_ = 0;
    };
    static constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    static constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

    std::uint64_t window_start() const noexcept { return count_ - std::min(count_, nmean_); }
    Int128 at(std::uint64_t k) const noexcept { return prefix_[k & mask_]; }

    std::uint64_t nmean_;
    std::uint64_t mask_;  // the ring below holds a power of two of prefix sums, at least nmean + 1
    bool rounding_;
    std::uint64_t count_ = 0;                     // means pushed so far
    std::array<std::int64_t, kDirect> recent_{};  // nmean <= kDirect: mean k at k % kDirect
    std::vector<Int128> prefix_;                  // P[k] at k & mask_, for the window's k
    Indices highs_;                               // indices k in the window, P[k] decreasing
    Indices lows_;                                // indices k in the window, P[k] increasing
};

}  // namespace korrin::shorten

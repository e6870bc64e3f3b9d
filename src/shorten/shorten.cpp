#include "shorten/shorten.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "bitreader/bitreader.hpp"
#include "common/checked.hpp"
#include "shorten/mean_window.hpp"

namespace korrin::shorten {
namespace {

using bitreader::BitReader;

enum Command : std::uint64_t {
    kDiff0 = 0,
    kDiff1 = 1,
    kDiff2 = 2,
    kDiff3 = 3,
    kQuit = 4,
    kBlocksize = 5,
    kBitshift = 6,
    kQlpc = 7,
    kZero = 8,
    kVerbatim = 9,
};

// The widths of the low parts of the stream's codes.
constexpr std::uint32_t kFunctionCodeWidth = 2;
constexpr std::uint32_t kResidualWidthWidth = 3;
constexpr std::uint32_t kOrderWidth = 2;
constexpr std::uint32_t kCoefficientWidth = 6;
constexpr std::uint32_t kBitshiftWidth = 2;
constexpr std::uint32_t kVerbatimLengthWidth = 5;
constexpr std::uint32_t kVerbatimByteWidth = 8;
constexpr std::uint32_t kSkipWidth = 1;

// Blocks are decoded in steps of this many samples, so that the working
// buffers stay small whatever the block size.
constexpr std::size_t kStep = 1024;

constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();

[[gnu::cold]] DecodeError overflow() { return invalid("shorten reconstruction overflowed i64 (corrupt stream)"); }
[[gnu::cold]] DecodeError bad_blocksize(std::uint64_t blocksize) {
    return invalid("invalid shorten blocksize ", blocksize);
}

// The mu-law magnitude q of a magnitude index m under a bit shift t >= 1:
// the smallest candidate m * 2^(t - i) + b(i), i = 0..t, capped at 127.
// Candidates are saturated at 128 as they are formed; from i = 9 on b(i)
// alone is above 127, so later candidates never win.
std::uint8_t shifted_ulaw_magnitude(std::uint64_t m, std::uint32_t t) noexcept {
    std::uint64_t q = 127;
    std::uint64_t b = 0;
    for (std::uint32_t i = 0; i <= t && i <= 8; ++i) {
        if (i > 0) b = b / 2 + 8 * i;
        const std::uint32_t s = t - i;
        std::uint64_t scaled = m;
        if (m != 0) scaled = (s >= 7 || m >= 128) ? 128 : std::min<std::uint64_t>(m << s, 128);
        q = std::min(q, scaled + b);
    }
    return static_cast<std::uint8_t>(q);
}

// A channel's last H reconstructed values, with room behind them into which
// the values of the block being decoded go. The values of a block are
// decoded straight behind the history, so the history and the working
// sequence of a prediction are the same array, and moving the window costs
// one copy of H values per H or more values decoded.
class History {
public:
    explicit History(std::size_t length) : values_(length, 0), end_(length), length_(length) {}

    // Room for `count` (at most kStep) more values; the H values before the
    // returned pointer are the history.
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

private:
    std::vector<std::int64_t> values_;
    std::size_t end_;
    std::size_t length_;
};

// A channel's samples that are not yet in the interleaved output: those of
// frames that some other channel has not reached. With channels taking
// blocks of one size in turn this is one block, so it stays in the cache.
class Pending {
public:
    // Room for `count` more samples in one piece.
    Result<std::int16_t*> room(std::size_t count) {
        KR_TRY(values_.reserve(values_.size() + count));
        return values_.data() + values_.size();
    }
    void commit(std::size_t count) noexcept { values_.set_size(values_.size() + count); }

    Result<void> append_copies(std::int16_t value, std::size_t count) {
        KR_ASSIGN_OR_RETURN(std::int16_t* const dst, room(count));
        std::fill_n(dst, count, value);
        commit(count);
        return ok();
    }

    std::size_t size() const noexcept { return values_.size() - begin_; }
    const std::int16_t* front() const noexcept { return values_.data() + begin_; }

    // Drops the first `count` samples. What remains moves to the front only
    // when it is no longer than what was dropped, so the moves cost at most
    // one step per sample ever dropped.
    void consume(std::size_t count) noexcept {
        if (count == 0) return;  // and a buffer never written has no memory to move
        begin_ += count;
        const std::size_t left = values_.size() - begin_;
        if (left > begin_) return;
        if (left > 0) std::memmove(values_.data(), values_.data() + begin_, left * sizeof(std::int16_t));
        values_.set_size(left);
        begin_ = 0;
    }

private:
    SampleArray values_;
    std::size_t begin_ = 0;
};

// The interleaved output, in chunks small enough that the allocator serves
// them from memory it keeps rather than from fresh pages of the system: each
// fresh page costs a fault, and decoding one stream after another then
// reuses the same memory. At QUIT one copy gathers them into an array of
// the exact size, from wherever the caller wants the result's memory.
class OutputChunks {
public:
    // Room for at least one whole frame of `channels` samples, in one piece
    // that holds whole frames only.
    Result<std::span<std::int16_t>> room(std::size_t channels) {
        if (chunks_.empty() || used_ == chunks_.back().size()) {
            const std::size_t capacity = std::max<std::size_t>(1, kChunkSamples / channels) * channels;
            KR_ASSIGN_OR_RETURN(SampleArray chunk, SampleArray::allocate(capacity));
            chunks_.push_back(std::move(chunk));
            used_ = 0;
        }
        SampleArray& last = chunks_.back();
        return std::span<std::int16_t>(last.data() + used_, last.size() - used_);
    }
    void commit(std::size_t count) noexcept {
        used_ += count;
        size_ += count;
    }
    std::size_t size() const noexcept { return size_; }

    // Copies the first dst.size() samples into `dst`, releasing every chunk
    // as it goes.
    void move_to(std::span<std::int16_t> dst) noexcept {
        std::size_t done = 0;
        for (SampleArray& chunk : chunks_) {
            const std::size_t filled = &chunk == &chunks_.back() ? used_ : chunk.size();
            const std::size_t n = std::min(filled, dst.size() - done);
            if (n > 0) std::memcpy(dst.data() + done, chunk.data(), n * sizeof(std::int16_t));
            done += n;
            chunk = SampleArray();
        }
        chunks_.clear();
        used_ = size_ = 0;
    }

private:
    // 64 KiB: well below the size from which malloc maps fresh pages.
    static constexpr std::size_t kChunkSamples = 32768;

    std::vector<SampleArray> chunks_;
    std::size_t used_ = 0;  // samples in the last chunk
    std::size_t size_ = 0;
};

struct Channel {
    Channel(std::size_t history_length, std::uint64_t nmean, bool rounding)
        : history(history_length), means(nmean, rounding) {}
    Channel(const Channel&) = delete;
    Channel(Channel&&) = default;

    History history;
    MeanWindow means;
    Pending output;
};

// Fast paths for the predictions. A residual is below 2^58 in magnitude
// (a unary part of at most 2^26 and at most 32 low bits), so while the
// values a prediction reads stay within a bound, none of its steps can
// overflow and they need no checks. Each fast loop checks one bound per
// value it forms, and stops after the first value beyond it; the checked
// loop takes over from there, so values and errors are those of the checked
// arithmetic alone.

// |v| <= 2^59, in one comparison.
inline bool within_2_59(std::int64_t v) noexcept {
    constexpr std::uint64_t kBound = std::uint64_t{1} << 59;
    return static_cast<std::uint64_t>(v) + kBound <= 2 * kBound;
}

// DIFF1-3 with every value read within 2^59: 3 * 2^59 + 2^58 + 3 * 2^59 +
// 2^59 < 2^63. Returns how many values it formed.
template <int kOrder>
std::size_t fast_difference(const std::int64_t* r, std::size_t n, std::int64_t* s) noexcept {
    for (int k = 1; k <= kOrder; ++k)
        if (!within_2_59(s[-k])) return 0;
    std::int64_t s1 = s[-1], s2 = kOrder >= 2 ? s[-2] : 0, s3 = kOrder >= 3 ? s[-3] : 0;
    std::size_t i = 0;
    while (i < n) {
        std::int64_t v;
        if constexpr (kOrder == 1) v = r[i] + s1;
        if constexpr (kOrder == 2) v = (r[i] + 2 * s1) - s2;
        if constexpr (kOrder == 3) v = ((r[i] + 3 * s1) - 3 * s2) + s3;
        s[i++] = v;
        s3 = s2;
        s2 = s1;
        s1 = v;
        if (!within_2_59(v)) break;
    }
    return i;
}

// QLPC of order p with coefficients a whose magnitudes sum to A: while every
// value read differs from mu by at most D = 2^62 / A, each product, the sum
// and the sum plus the rounding offset (32, or 0 in version 1) stay within
// 2^62 + 32; with |mu| <= 2^61 the value
// r + (sum >> 5) + mu stays below 2^58 + 2^57 + 2^61. Returns how many
// values it formed. This loop takes what the fused loops below leave (the
// codes after a long one, the last bytes of a stream); those take the rest.
//
// Each value waits on the one before it, so the newest term is added last:
// the other terms are summed while the previous value is still being
// formed, and the chain from one value to the next is one multiply and
// three adds.
std::size_t fast_lpc_any(const std::int64_t* r, std::size_t n, std::int64_t* s, const std::int64_t* a,
                         std::size_t p, std::int64_t mu, std::int64_t d, std::int64_t offset) noexcept {
    std::size_t i = 0;
    while (i < n) {
        const std::int64_t* recent = s + i - 1;
        std::int64_t older = offset;
        for (std::size_t k = p - 1; k >= 1; --k) older += a[k] * (recent[-static_cast<std::ptrdiff_t>(k)] - mu);
        const std::int64_t v = r[i] + ((older + a[0] * (recent[0] - mu)) >> 5);
        s[i++] = v + mu;
        if (v > d || v < -d) break;
    }
    return i;
}

// The bound D of the QLPC fast paths for coefficients `a` and mean `mu`,
// with the values before `s` checked against it; 0 when it cannot be had.
std::int64_t lpc_bound(const std::int64_t* s, std::span<const std::int64_t> a, std::int64_t mu) noexcept {
    constexpr std::int64_t kMuBound = std::int64_t{1} << 61;
    if (mu > kMuBound || mu < -kMuBound) return 0;
    // A = sum |a[k]|. A coefficient is below 2^58 in magnitude and p is at
    // most 1024, so A could pass 2^64: the fast path takes only coefficients
    // below 2^52, which keeps A below 2^62.
    std::uint64_t total = 0;
    for (const std::int64_t c : a) {
        const auto magnitude = static_cast<std::uint64_t>(c < 0 ? -c : c);
        if (magnitude >= (std::uint64_t{1} << 52)) return 0;
        total += magnitude;
    }
    if (total == 0) total = 1;
    const auto d = static_cast<std::int64_t>((std::uint64_t{1} << 62) / total);
    for (std::size_t k = 1; k <= a.size(); ++k) {
        std::int64_t diff;
        if (__builtin_sub_overflow(s[-static_cast<std::ptrdiff_t>(k)], mu, &diff) || diff > d || diff < -d) return 0;
    }
    return d;
}

std::size_t fast_lpc(const std::int64_t* r, std::size_t n, std::int64_t* s, std::span<const std::int64_t> a,
                     std::int64_t mu, std::int64_t offset) noexcept {
    const std::int64_t d = lpc_bound(s, a, mu);
    if (d == 0) return 0;
    return fast_lpc_any(r, n, s, a.data(), a.size(), mu, d, offset);
}

// Fused decoding: while the bounds above hold, each residual code goes
// straight from the bit reader into its prediction, so the two chains (the
// reader's position and the prediction) overlap and no residual is stored.
// A taker forms one value per residual at `s` and returns false after the
// first value beyond its bound, as the fast loops stop; the careful road
// then goes on from there, so values, errors and their order are the same.
// Takers run on bitreader::take_fast_here, on the reader's loop compiled
// for this processor.

// DIFF0, and QLPC of order 0: r + mu, which cannot overflow while
// |mu| <= 2^62, since |r| < 2^58.
struct OffsetTaker {
    std::int64_t* s;
    std::int64_t mu;
    bool operator()(std::int64_t r) noexcept {
        *s++ = r + mu;
        return true;
    }
};

std::size_t fused_offset(BitReader& reader, std::uint32_t n, std::size_t count, std::int64_t* s,
                         std::int64_t mu) noexcept {
    constexpr std::int64_t kMuBound = std::int64_t{1} << 62;
    if (mu > kMuBound || mu < -kMuBound) return 0;
    return bitreader::take_fast_here(reader, n, count, OffsetTaker{s, mu});
}

// DIFF1-3, on fast_difference's bound.
template <int kOrder>
struct DifferenceTaker {
    std::int64_t* s;
    std::int64_t s1, s2, s3;
    bool operator()(std::int64_t r) noexcept {
        std::int64_t v;
        if constexpr (kOrder == 1) v = r + s1;
        if constexpr (kOrder == 2) v = (r + 2 * s1) - s2;
        if constexpr (kOrder == 3) v = ((r + 3 * s1) - 3 * s2) + s3;
        *s++ = v;
        s3 = s2;
        s2 = s1;
        s1 = v;
        return within_2_59(v);
    }
};

template <int kOrder>
std::size_t fused_difference(BitReader& reader, std::uint32_t n, std::size_t count, std::int64_t* s) noexcept {
    for (int k = 1; k <= kOrder; ++k)
        if (!within_2_59(s[-k])) return 0;
    return bitreader::take_fast_here(reader, n, count, DifferenceTaker<kOrder>{s, s[-1], s[-2], s[-3]});
}

// QLPC of orders 1 to 16, on fast_lpc's bound, with the window in registers.
template <std::size_t kOrder>
struct LpcTaker {
    std::int64_t* s;
    const std::int64_t* a;
    std::int64_t mu;
    std::int64_t d;
    std::int64_t offset;
    std::int64_t x[kOrder];  // x[k]: the (k + 1)-th most recent value, less mu
    bool operator()(std::int64_t r) noexcept {
        std::int64_t older = offset;
        for (std::size_t k = kOrder - 1; k >= 1; --k) older += a[k] * x[k];
        const std::int64_t v = r + ((older + a[0] * x[0]) >> 5);
        *s++ = v + mu;
        for (std::size_t k = kOrder - 1; k >= 1; --k) x[k] = x[k - 1];
        x[0] = v;
        return v <= d && v >= -d;
    }
};

template <std::size_t kOrder>
std::size_t fused_lpc_fixed(BitReader& reader, std::uint32_t n, std::size_t count, std::int64_t* s,
                            const std::int64_t* a, std::int64_t mu, std::int64_t d, std::int64_t offset) noexcept {
    LpcTaker<kOrder> taker{s, a, mu, d, offset, {}};
    for (std::size_t k = 0; k < kOrder; ++k) taker.x[k] = s[-1 - static_cast<std::ptrdiff_t>(k)] - mu;
    return bitreader::take_fast_here(reader, n, count, taker);
}

using FusedLpc = std::size_t (*)(BitReader&, std::uint32_t, std::size_t, std::int64_t*, const std::int64_t*,
                                 std::int64_t, std::int64_t, std::int64_t) noexcept;

template <std::size_t... kIndex>
constexpr std::array<FusedLpc, sizeof...(kIndex)> fused_lpc_loops(std::index_sequence<kIndex...>) noexcept {
    return {&fused_lpc_fixed<kIndex + 1>...};
}
constexpr auto kFusedLpcLoops = fused_lpc_loops(std::make_index_sequence<16>());

std::size_t fused_lpc(BitReader& reader, std::uint32_t n, std::size_t count, std::int64_t* s,
                      std::span<const std::int64_t> a, std::int64_t mu, std::int64_t offset) noexcept {
    if (a.empty() || a.size() > kFusedLpcLoops.size()) return 0;
    const std::int64_t d = lpc_bound(s, a, mu);
    if (d == 0) return 0;
    return kFusedLpcLoops[a.size() - 1](reader, n, count, s, a.data(), mu, d, offset);
}

// What the completion of a block needs from its values, gathered while they
// are decoded so that its checks can run in their order once the block is
// whole.
struct BlockTally {
    std::int64_t sum = 0;
    bool sum_overflowed = false;
    bool ulaw_fault = false;
    std::int64_t ulaw_fault_value = 0;
};

class Decoder {
public:
    Decoder(ByteView stream, const Limits& limits, const OutputOptions& output)
        : reader_(stream, 5), limits_(limits), version_(stream[4]), output_options_(output),
          stream_size_(stream.size()) {}

    Result<ShortenAudio> run() {
        KR_TRY(read_header());
        for (;;) {
            KR_ASSIGN_OR_RETURN(const std::uint64_t code, reader_.uvar(kFunctionCodeWidth));
            switch (code) {
                case kDiff0:
                case kDiff1:
                case kDiff2:
                case kDiff3:
                    KR_TRY(difference_block(static_cast<unsigned>(code)));
                    if (done_early()) return assemble(true);
                    break;
                case kQuit:
                    return assemble();
                case kBlocksize: {
                    KR_ASSIGN_OR_RETURN(const std::uint64_t blocksize, reader_.ulong());
                    if (blocksize == 0 || blocksize > kMaxBlocksize) return bad_blocksize(blocksize);
                    blocksize_ = blocksize;
                    break;
                }
                case kBitshift: {
                    KR_ASSIGN_OR_RETURN(const std::uint64_t shift, reader_.uvar(kBitshiftWidth));
                    if (shift > kMaxBitshift)
                        return unsupported("shorten bitshift ", shift,
                                           " is implausibly large (corrupt or unsupported)");
                    set_shift(static_cast<std::uint32_t>(shift));
                    break;
                }
                case kQlpc:
                    KR_TRY(lpc_block());
                    if (done_early()) return assemble(true);
                    break;
                case kZero:
                    KR_TRY(zero_block());
                    if (done_early()) return assemble(true);
                    break;
                case kVerbatim: {
                    KR_ASSIGN_OR_RETURN(const std::uint64_t length, reader_.uvar(kVerbatimLengthWidth));
                    // Each byte costs at least nine bits, so the stream's end
                    // bounds this loop whatever the length says.
                    for (std::uint64_t i = 0; i < length; ++i) KR_TRY(reader_.uvar(kVerbatimByteWidth));
                    break;
                }
                default:
                    return invalid("unknown shorten function code ", code);
            }
        }
    }

private:
    Result<void> read_header() {
        KR_ASSIGN_OR_RETURN(const std::uint64_t type, reader_.ulong());
        KR_ASSIGN_OR_RETURN(const std::uint64_t channels, reader_.ulong());
        KR_ASSIGN_OR_RETURN(const std::uint64_t blocksize, reader_.ulong());
        KR_ASSIGN_OR_RETURN(const std::uint64_t maxnlpc, reader_.ulong());
        KR_ASSIGN_OR_RETURN(const std::uint64_t nmean, reader_.ulong());
        KR_ASSIGN_OR_RETURN(const std::uint64_t nskip, reader_.ulong());
        if (nskip > kMaxNskip) return invalid("implausible nskip ", nskip);
        for (std::uint64_t i = 0; i < nskip; ++i) KR_TRY(reader_.uvar(kSkipWidth));

        if (type != 3 && type != 5 && type != 8)
            return unsupported("shorten sample type ", type, " not supported (16-bit PCM and mu-law only)");
        if (channels == 0 || channels > kMaxChannels) return invalid("invalid shorten channel count ", channels);
        if (blocksize == 0 || blocksize > kMaxBlocksize) return bad_blocksize(blocksize);
        if (maxnlpc > kMaxMaxnlpc) return unsupported("implausible maxnlpc ", maxnlpc);
        if (nmean > kMaxNmean) return unsupported("implausible nmean ", nmean);

        is_ulaw_ = type == 8;
        blocksize_ = blocksize;
        maxnlpc_ = maxnlpc;
        nmean_ = nmean;
        const std::size_t history_length = std::max<std::size_t>(3, maxnlpc);
        channels_.reserve(channels);
        for (std::uint64_t c = 0; c < channels; ++c) channels_.emplace_back(history_length, nmean, rounds_means());
        residuals_.resize(kStep);
        set_shift(0);
        reserve_expected();
        return ok();
    }

    // Where the versions differ: version 2 rounds the block means and the
    // running mean (adding half the divisor before dividing) and adds 32,
    // half of the coefficients' unit, to each QLPC sum; version 1 does
    // neither.
    bool rounds_means() const noexcept { return version_ >= 2; }
    std::int64_t lpc_offset() const noexcept { return version_ >= 2 ? 32 : 0; }

    void set_shift(std::uint32_t shift) {
        shift_ = shift;
        if (is_ulaw_ && shift > 0)
            for (std::uint64_t m = 0; m < ulaw_magnitudes_.size(); ++m)
                ulaw_magnitudes_[m] = shifted_ulaw_magnitude(m, shift);
    }

    // The fused first stages of decode_block.
    auto fused_offset_at(std::uint32_t width, std::int64_t mu) {
        return [this, width, mu](std::int64_t* s, std::size_t count) {
            return fused_offset(reader_, width, count, s, mu);
        };
    }
    template <int kOrder>
    auto fused_difference_at(std::uint32_t width) {
        return [this, width](std::int64_t* s, std::size_t count) {
            return fused_difference<kOrder>(reader_, width, count, s);
        };
    }

    Result<void> difference_block(unsigned order) {
        KR_ASSIGN_OR_RETURN(const std::uint64_t width, reader_.uvar(kResidualWidthWidth));
        std::int64_t mu = 0;
        if (order == 0) {
            KR_ASSIGN_OR_RETURN(mu, running_mean());
        }
        // The width is below 2^30, so width + 1 fits the reader's argument.
        const auto residual_width = static_cast<std::uint32_t>(width + 1);
        // The history sits just before the block, so s[i - 1] reaches back
        // into it; i is signed so that the index, not the pointer, goes negative.
        switch (order) {
            case 0:
                return decode_block(residual_width, fused_offset_at(residual_width, mu), [mu](const std::int64_t* r, std::size_t n, std::int64_t* s) {
                    for (std::ptrdiff_t i = 0; i < static_cast<std::ptrdiff_t>(n); ++i)
                        if (__builtin_add_overflow(r[i], mu, &s[i])) return false;
                    return true;
                });
            case 1:
                return decode_block(residual_width, fused_difference_at<1>(residual_width), [](const std::int64_t* r, std::size_t n, std::int64_t* s) {
                    for (auto i = static_cast<std::ptrdiff_t>(fast_difference<1>(r, n, s));
                         i < static_cast<std::ptrdiff_t>(n); ++i)
                        if (__builtin_add_overflow(r[i], s[i - 1], &s[i])) return false;
                    return true;
                });
            case 2:
                return decode_block(residual_width, fused_difference_at<2>(residual_width), [](const std::int64_t* r, std::size_t n, std::int64_t* s) {
                    for (auto i = static_cast<std::ptrdiff_t>(fast_difference<2>(r, n, s));
                         i < static_cast<std::ptrdiff_t>(n); ++i) {
                        std::int64_t t;
                        if (__builtin_mul_overflow(s[i - 1], 2, &t) || __builtin_add_overflow(r[i], t, &t) ||
                            __builtin_sub_overflow(t, s[i - 2], &s[i]))
                            return false;
                    }
                    return true;
                });
            default:
                return decode_block(residual_width, fused_difference_at<3>(residual_width), [](const std::int64_t* r, std::size_t n, std::int64_t* s) {
                    for (auto i = static_cast<std::ptrdiff_t>(fast_difference<3>(r, n, s));
                         i < static_cast<std::ptrdiff_t>(n); ++i) {
                        std::int64_t t, u;
                        if (__builtin_mul_overflow(s[i - 1], 3, &t) || __builtin_add_overflow(r[i], t, &t) ||
                            __builtin_mul_overflow(s[i - 2], 3, &u) || __builtin_sub_overflow(t, u, &t) ||
                            __builtin_add_overflow(t, s[i - 3], &s[i]))
                            return false;
                    }
                    return true;
                });
        }
    }

    Result<std::int64_t> running_mean() const {
        const std::optional<std::int64_t> mu = channels_[current_].means.running_mean();
        if (!mu) return overflow();
        return *mu;
    }

    Result<void> lpc_block() {
        KR_ASSIGN_OR_RETURN(const std::uint64_t width, reader_.uvar(kResidualWidthWidth));
        KR_ASSIGN_OR_RETURN(const std::uint64_t order, reader_.uvar(kOrderWidth));
        if (order > maxnlpc_) return invalid("shorten QLPC order ", order, " exceeds maxnlpc ", maxnlpc_);
        coefficients_.resize(order);
        for (std::int64_t& a : coefficients_) {
            KR_ASSIGN_OR_RETURN(a, reader_.var(kCoefficientWidth));
        }
        KR_ASSIGN_OR_RETURN(const std::int64_t mu, running_mean());
        const auto residual_width = static_cast<std::uint32_t>(width + 1);
        if (order == 0) {
            return decode_block(residual_width, fused_offset_at(residual_width, mu), [mu](const std::int64_t* r, std::size_t n, std::int64_t* s) {
                for (std::size_t i = 0; i < n; ++i)
                    if (__builtin_add_overflow(r[i], mu, &s[i])) return false;
                return true;
            });
        }
        const std::span<const std::int64_t> a = coefficients_;
        const std::int64_t offset = lpc_offset();
        auto fused = [this, residual_width, a, mu, offset](std::int64_t* s, std::size_t count) {
            return fused_lpc(reader_, residual_width, count, s, a, mu, offset);
        };
        return decode_block(residual_width, fused, [mu, a, offset](const std::int64_t* r, std::size_t n, std::int64_t* s) {
            for (std::size_t i = fast_lpc(r, n, s, a, mu, offset); i < n; ++i) {
                const std::int64_t* recent = s + i - 1;  // recent[-k]: the k-th most recent value
                std::int64_t sum = 0;
                for (std::size_t k = 0; k < a.size(); ++k) {
                    std::int64_t d;
                    if (__builtin_sub_overflow(recent[-static_cast<std::ptrdiff_t>(k)], mu, &d) ||
                        __builtin_mul_overflow(d, a[k], &d) || __builtin_add_overflow(sum, d, &sum))
                        return false;
                }
                if (__builtin_add_overflow(sum, offset, &sum) || __builtin_add_overflow(r[i], sum >> 5, &sum) ||
                    __builtin_add_overflow(sum, mu, &s[i]))
                    return false;
            }
            return true;
        });
    }

    // Decodes a block of `blocksize_` values, one residual (var of
    // `residual_width`) each, through `predict(residuals, n, values)`, which
    // forms values[0..n) with values[-1], values[-2], ... the channel's
    // earlier values, and returns false on an overflow.
    //
    // `fused(values, count)` goes first: it forms as many values as it can
    // straight from the reader (see the takers above) and returns how many;
    // the rest are read into the residual array and predicted.
    template <class Fused, class Predict>
    Result<void> decode_block(std::uint32_t residual_width, Fused fused, Predict predict) {
        Channel& channel = channels_[current_];
        const std::uint64_t n = blocksize_;
        const bool keep = count_ + n <= limits_.max_decoded_samples;
        BlockTally tally;
        for (std::uint64_t done = 0; done < n;) {
            const auto step = static_cast<std::size_t>(std::min<std::uint64_t>(n - done, kStep));
            std::int64_t* values = channel.history.room(step);
            const std::size_t formed = fused(values, step);
            std::size_t decoded = 0;
            const Result<void> read =
                reader_.var_block(residual_width, {residuals_.data(), step - formed}, decoded);
            // A value formed before the failed read comes first, so its
            // overflow is the error to report.
            if (!predict(residuals_.data(), decoded, values + formed)) return overflow();
            if (!read) return read.error();
            KR_TRY(finish_values(channel, {values, step}, keep, tally));
            channel.history.commit(step);
            done += step;
        }
        return complete_block(channel, tally);
    }

    Result<void> zero_block() {
        Channel& channel = channels_[current_];
        const std::uint64_t n = blocksize_;
        // Only the last H values of a block reach the history.
        const std::size_t kept = static_cast<std::size_t>(std::min<std::uint64_t>(n, std::max<std::size_t>(3, maxnlpc_)));
        for (std::size_t done = 0; done < kept;) {
            const std::size_t step = std::min(kept - done, kStep);
            std::fill_n(channel.history.room(step), step, 0);
            channel.history.commit(step);
            done += step;
        }
        if (count_ + n <= limits_.max_decoded_samples) {
            // Zero is the mu-law byte 0xFF at every bit shift.
            const std::int16_t zero = is_ulaw_ ? 0xFF : 0;
            KR_TRY(channel.output.append_copies(zero, static_cast<std::size_t>(n)));
        }
        return complete_block(channel, BlockTally{});
    }

    // Sums the values for the block mean and converts them to output
    // samples, noting the first value that has no mu-law byte. Nothing is
    // reported yet: the completion of the block decides the order.
    Result<void> finish_values(Channel& channel, std::span<const std::int64_t> values, bool keep,
                               BlockTally& tally) {
        std::int16_t* out = nullptr;
        if (keep) {
            KR_ASSIGN_OR_RETURN(out, channel.output.room(values.size()));
        }
        // The common case, linear output at shift 0, takes one pass: the
        // sum and its bound check, and the low 16 bits of each value, with a
        // note of whether any value lay outside 16 bits. Only then is the
        // piece clamped, which is rare in real audio.
        const bool narrow = out != nullptr && !is_ulaw_ && shift_ == 0;
        const Gathered gathered = narrow ? gather<true>(values, out) : gather<false>(values, nullptr);
        if (nmean_ != 0 && !tally.sum_overflowed) {
            // A block holds at most 2^24 values: while each is within 2^38
            // and the sum so far within 2^62, no partial sum can overflow,
            // so one OR per value checks the bound and the sum runs free.
            constexpr std::int64_t kSumBound = std::int64_t{1} << 62;
            if (gathered.within_2_38 && tally.sum < kSumBound && tally.sum > -kSumBound) {
                tally.sum += static_cast<std::int64_t>(gathered.sum);
            } else {
                for (const std::int64_t v : values) {
                    if (!checked_add(tally.sum, v, tally.sum)) {
                        tally.sum_overflowed = true;
                        break;
                    }
                }
            }
        }
        if (out == nullptr) return ok();
        if (is_ulaw_)
            to_ulaw_bytes(values, out, tally);
        else if (!narrow || !gathered.within_16_bits)
            to_linear(values, out);
        channel.output.commit(values.size());
        return ok();
    }

    struct Gathered {
        std::uint64_t sum;  // wrapped: exact only when within_2_38
        bool within_2_38;
        bool within_16_bits;
    };

    // The pass behind finish_values. The bounds are ORs of biased values:
    // each is below 2^k exactly when every biased value is, so the loop
    // has no branch and the compiler vectorises it.
    template <bool kNarrow>
    static Gathered gather(std::span<const std::int64_t> values, std::int16_t* out) noexcept {
        constexpr std::uint64_t kValueBound = std::uint64_t{1} << 38;
        std::uint64_t spread = 0;
        std::uint64_t spread16 = 0;
        std::uint64_t sum = 0;
        for (std::size_t i = 0; i < values.size(); ++i) {
            const auto v = static_cast<std::uint64_t>(values[i]);
            spread |= v + kValueBound;
            sum += v;
            if constexpr (kNarrow) {
                spread16 |= v + 32768;
                out[i] = static_cast<std::int16_t>(v);
            }
        }
        return {sum, spread < 2 * kValueBound, spread16 < 65536};
    }

    void to_linear(std::span<const std::int64_t> values, std::int16_t* out) const noexcept {
        if (shift_ == 0) {
            for (std::size_t i = 0; i < values.size(); ++i) {
                const std::int64_t v = values[i];
                out[i] = static_cast<std::int16_t>(v < -32768 ? -32768 : v > 32767 ? 32767 : v);
            }
            return;
        }
        // Beyond 2^20 in magnitude every shift clamps, so clamping there
        // first keeps the product small.
        const std::int64_t scale = std::int64_t{1} << shift_;
        for (std::size_t i = 0; i < values.size(); ++i) {
            const std::int64_t v = std::clamp<std::int64_t>(values[i], -(1 << 20), 1 << 20);
            out[i] = static_cast<std::int16_t>(std::clamp<std::int64_t>(v * scale, -32768, 32767));
        }
    }

    void to_ulaw_bytes(std::span<const std::int64_t> values, std::int16_t* out, BlockTally& tally) const noexcept {
        for (std::size_t i = 0; i < values.size(); ++i) {
            const std::int64_t v = values[i];
            const auto m = static_cast<std::uint64_t>(v < 0 ? ~v : v);
            std::uint64_t q;
            if (shift_ == 0) {
                q = m;
                if (m > 127) {
                    if (!tally.ulaw_fault) {
                        tally.ulaw_fault = true;
                        tally.ulaw_fault_value = v;
                    }
                    q = 0;
                }
            } else {
                q = m >= 127 ? 127 : ulaw_magnitudes_[m];
            }
            out[i] = static_cast<std::int16_t>(v < 0 ? 0x7F - q : 0xFF - q);
        }
    }

    // The steps after a block's values: history (already in place), block
    // mean, count, output checks, next channel.
    Result<void> complete_block(Channel& channel, const BlockTally& tally) {
        const std::uint64_t n = blocksize_;
        if (nmean_ != 0) {
            std::int64_t sum;
            const auto rounding = static_cast<std::int64_t>(rounds_means() ? n / 2 : 0);
            if (tally.sum_overflowed || !checked_add(tally.sum, rounding, sum)) return overflow();
            channel.means.push(sum / static_cast<std::int64_t>(n));
        }
        count_ += n;
        if (count_ > limits_.max_decoded_samples)
            return invalid("shorten stream exceeds the maximum decoded length");
        if (tally.ulaw_fault)
            return unsupported("shorten type-8 reconstructed value ", tally.ulaw_fault_value,
                               " is outside the 8-bit mu-law domain");
        current_ = (current_ + 1) % channels_.size();
        // Once per round, so that the cost of a flush (a look at every
        // channel) is spread over as many blocks as there are channels.
        if (current_ == 0) return flush();
        return ok();
    }

    // True once every frame the caller keeps is out and it asked to stop
    // there.
    bool done_early() const noexcept {
        return output_options_.stop_early && current_ == 0 && skipped_frames_ == output_options_.skip_frames &&
               kept_frames_ == output_options_.max_frames;
    }

    // Moves the frames that every channel has reached into the interleaved
    // output; those beyond max_frames are counted and dropped.
    Result<void> flush() {
        const std::size_t count = channels_.size();
        std::size_t frames = channels_[0].output.size();
        for (const Channel& c : channels_) frames = std::min(frames, c.output.size());
        frames_ += frames;
        if (skipped_frames_ < output_options_.skip_frames) {
            const auto skip = static_cast<std::size_t>(
                std::min<std::uint64_t>(frames, output_options_.skip_frames - skipped_frames_));
            for (Channel& c : channels_) c.output.consume(skip);
            skipped_frames_ += skip;
            frames -= skip;
        }
        const auto keep = static_cast<std::size_t>(
            std::min<std::uint64_t>(frames, output_options_.max_frames - kept_frames_));
        if (direct_.data() != nullptr) {
            if (keep > 0) interleave(direct_.data() + kept_frames_ * count, keep);
            for (Channel& c : channels_) c.output.consume(keep);
        } else {
            for (std::size_t left = keep; left > 0;) {
                KR_ASSIGN_OR_RETURN(const std::span<std::int16_t> room, output_.room(count));
                const std::size_t run = std::min(left, room.size() / count);
                interleave(room.data(), run);
                output_.commit(run * count);
                for (Channel& c : channels_) c.output.consume(run);
                left -= run;
            }
        }
        for (Channel& c : channels_) c.output.consume(frames - keep);
        kept_frames_ += keep;
        return ok();
    }

    // When the caller knows how many frames to expect, the output goes
    // straight into a block of that size, without the chunks and the copy
    // at QUIT. Only for plausible counts: a header may promise far more
    // than its stream holds, and the chunks are the road for that.
    void reserve_expected() {
        if (!output_options_.preallocate) return;
        const std::uint64_t count = channels_.size();
        const std::uint64_t frames = output_options_.max_frames;
        std::uint64_t samples = 0;
        if (!checked_mul(frames, count, samples) || samples > limits_.max_decoded_samples) return;
        // Shorten seldom does better than 4:1 outside silence.
        if (samples / 64 > stream_size_ + 65536) return;
        auto block = SampleArray::allocate(static_cast<std::size_t>(samples), output_options_.framing,
                                           output_options_.source);
        if (block) direct_ = std::move(*block);  // without memory, the chunks still work
    }

    // The next `frames` frames of every channel, interleaved into `dst`.
    void interleave(std::int16_t* dst, std::size_t frames) const noexcept {
        const std::size_t count = channels_.size();
        if (count == 1) {
            std::memcpy(dst, channels_[0].output.front(), frames * sizeof(std::int16_t));
        } else if (count == 2) {
            const std::int16_t* a = channels_[0].output.front();
            const std::int16_t* b = channels_[1].output.front();
            for (std::size_t i = 0; i < frames; ++i) {
                dst[2 * i] = a[i];
                dst[2 * i + 1] = b[i];
            }
        } else {
            for (std::size_t c = 0; c < count; ++c) {
                const std::int16_t* src = channels_[c].output.front();
                for (std::size_t i = 0; i < frames; ++i) dst[i * count + c] = src[i];
            }
        }
    }

    // The output at QUIT: the frames that every channel completed, up to
    // `max_frames`, in one array of their exact size (or, when a block was
    // reserved for more frames than came, of the frames that came).
    Result<ShortenAudio> assemble(bool stopped_early = false) {
        KR_TRY(flush());
        const std::size_t count = channels_.size();
        // kept_frames_ * count <= the samples decoded, which the length
        // limit bounds.
        SampleArray samples;
        if (direct_.data() != nullptr) {
            samples = std::move(direct_);
            samples.set_size(kept_frames_ * count);
        } else {
            KR_ASSIGN_OR_RETURN(samples, SampleArray::allocate(kept_frames_ * count, output_options_.framing,
                                                               output_options_.source));
            output_.move_to(samples.span());
        }
        ShortenAudio audio;
        audio.channel_count = count;
        audio.is_ulaw = is_ulaw_;
        audio.samples = std::move(samples);
        audio.frames_decoded = frames_;
        audio.version = version_;
        audio.stopped_early = stopped_early;
        return audio;
    }

    BitReader reader_;
    Limits limits_;
    std::uint8_t version_;  // 1 or 2
    bool is_ulaw_ = false;
    std::uint64_t blocksize_ = 0;
    std::uint64_t maxnlpc_ = 0;
    std::uint64_t nmean_ = 0;
    std::uint32_t shift_ = 0;
    std::vector<Channel> channels_;
    std::size_t current_ = 0;
    std::uint64_t count_ = 0;
    OutputOptions output_options_;
    std::size_t stream_size_;
    OutputChunks output_;  // the interleaved output so far, or
    SampleArray direct_;   // the block it goes straight into (reserve_expected)
    std::uint64_t skipped_frames_ = 0;  // frames dropped at the start
    std::uint64_t kept_frames_ = 0;     // frames in the output
    std::uint64_t frames_ = 0;       // frames every channel has completed
    std::vector<std::int64_t> residuals_;
    std::vector<std::int64_t> coefficients_;
    std::array<std::uint8_t, 127> ulaw_magnitudes_{};  // q for m < 127 at the current shift
};

}  // namespace

Result<SampleArray> SampleArray::allocate(std::size_t count, Framing framing, const BlockSource* source) noexcept {
    SampleArray array;
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(count, sizeof(std::int16_t), &bytes)) return out_of_memory();
    // The samples start an even number of bytes into the block, so that
    // they are aligned; a caller only needs at least `front` bytes of room.
    framing.front += framing.front & 1;
    KR_ASSIGN_OR_RETURN(array.bytes_, ByteBuffer::allocate(bytes, framing, source));
    array.size_ = count;
    array.back_ = framing.back_for(bytes);
    return array;
}

Result<void> SampleArray::reserve(std::size_t count) noexcept {
    if (count <= capacity()) return ok();
    constexpr std::size_t kMaxCount = std::numeric_limits<std::size_t>::max() / sizeof(std::int16_t);
    if (count > kMaxCount) return out_of_memory();
    const std::size_t grown = capacity() + capacity() / 2;
    if (grown > count && grown <= kMaxCount && bytes_.resize(grown * sizeof(std::int16_t), back_)) return ok();
    return bytes_.resize(count * sizeof(std::int16_t), back_);
}

ByteBuffer SampleArray::release() && noexcept {
    // Trimming gives memory back; when it fails, the slack simply stays.
    if (!bytes_.resize(size_ * sizeof(std::int16_t), back_)) bytes_.truncate(size_ * sizeof(std::int16_t));
    size_ = 0;
    return std::move(bytes_);
}

Result<std::uint8_t> stream_version(ByteView stream) {
    static constexpr std::uint8_t kMagic[4] = {'a', 'j', 'k', 'g'};
    if (stream.size() < 4 || std::memcmp(stream.data(), kMagic, 4) != 0)
        return invalid("not a shorten stream (missing 'ajkg' magic)");
    if (stream.size() == 4) return invalid("truncated shorten stream: missing version byte");
    return stream[4];
}

Result<ShortenAudio> decode(ByteView stream, const Limits& limits, const OutputOptions& output,
                            const StreamOptions& versions) {
    KR_ASSIGN_OR_RETURN(const std::uint8_t version, stream_version(stream));
    if (version != 2 && !(version == 1 && versions.accept_version_1))
        return unsupported("shorten version ", unsigned{version}, " not supported (only v2 is validated)");
    // Shorten roughly halves 16-bit audio, so a sample per stream byte is
    // room enough for most streams from the start. It is only address space
    // until written; the output grows beyond it when needed and is trimmed
    // at the end.
    return Decoder(stream, limits, output).run();
}

Result<std::int64_t> coffset(std::span<const std::int64_t> means, std::uint64_t nmean, std::uint8_t version) {
    if (nmean == 0) return std::int64_t{0};
    const std::size_t taken = static_cast<std::size_t>(std::min<std::uint64_t>(nmean, means.size()));
    std::int64_t sum = 0;
    for (const std::int64_t m : means.last(taken))
        if (!checked_add(sum, m, sum)) return overflow();
    const auto rounding = static_cast<std::int64_t>(version >= 2 ? nmean / 2 : 0);
    if (!checked_add(sum, rounding, sum)) return overflow();
    // The division is signed, truncating toward zero; a divisor beyond the
    // signed range exceeds every dividend, so the quotient is 0.
    if (nmean > static_cast<std::uint64_t>(kInt64Max)) return std::int64_t{0};
    return sum / static_cast<std::int64_t>(nmean);
}

Result<std::uint8_t> ulaw_value_to_byte(std::int64_t value, std::uint32_t shift) {
    if (shift == 0) {
        if (value < -128 || value > 127)
            return unsupported("shorten type-8 reconstructed value ", value, " is outside the 8-bit mu-law domain");
        return static_cast<std::uint8_t>(value >= 0 ? 0xFF - value : 0x80 + value);
    }
    const std::uint64_t m = static_cast<std::uint64_t>(value < 0 ? ~value : value);
    const std::uint8_t q = shifted_ulaw_magnitude(m, shift);
    return static_cast<std::uint8_t>(value >= 0 ? 0xFF - q : 0x7F - q);
}

}  // namespace korrin::shorten

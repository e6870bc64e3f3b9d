// A Shorten stream decoder written for clarity, not speed: every rule of the
// format step by step, values kept in 64 bits to the end, bits taken one at
// a time by the reference bit reader. fuzz_shorten compares the real decoder
// with it on every input: the same error (message and kind), or the same
// samples once reduced to 16 bits the way the real decoder stores them
// (linear values clamped, mu-law values as their code byte).
#pragma once

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "common/bytes.hpp"
#include "common/result.hpp"
#include "reference_bitreader.hpp"

namespace korrin::fuzz {

struct ReferenceAudio {
    std::uint64_t channel_count = 0;
    bool is_ulaw = false;
    std::vector<std::int16_t> samples;
};

class ReferenceShorten {
  public:
    using Outcome = std::variant<ReferenceAudio, DecodeError>;

    // With `accept_version_1`, version-1 streams decode too: means without
    // the rounding term, QLPC without the rounding offset.
    ReferenceShorten(ByteView stream, std::uint64_t max_samples, bool accept_version_1 = false)
        : stream_(stream), reader_(stream, 5), max_samples_(max_samples), accept_version_1_(accept_version_1) {}

    Outcome run() {
        if (stream_.size() < 4 || stream_[0] != 'a' || stream_[1] != 'j' || stream_[2] != 'k' || stream_[3] != 'g')
            return bad("not a shorten stream (missing 'ajkg' magic)");
        if (stream_.size() == 4) return bad("truncated shorten stream: missing version byte");
        if (stream_[4] != 2 && !(stream_[4] == 1 && accept_version_1_))
            return unsupported("shorten version ", unsigned{stream_[4]}, " not supported (only v2 is validated)");
        rounding_ = stream_[4] == 2;

        std::uint64_t header[6];
        for (auto& v : header)
            if (!ulong(v)) return error_;
        const std::uint64_t type = header[0], channels = header[1], blocksize = header[2], maxnlpc = header[3],
                            nmean = header[4], nskip = header[5];
        if (nskip > (1u << 20)) return bad("implausible nskip ", nskip);
        for (std::uint64_t i = 0; i < nskip; ++i) {
            std::uint64_t ignored;
            if (!uvar(1, ignored)) return error_;
        }
        if (type != 3 && type != 5 && type != 8)
            return unsupported("shorten sample type ", type, " not supported (16-bit PCM and mu-law only)");
        if (channels == 0 || channels > 256) return bad("invalid shorten channel count ", channels);
        if (blocksize == 0 || blocksize > (1u << 24)) return bad("invalid shorten blocksize ", blocksize);
        if (maxnlpc > 1024) return unsupported("implausible maxnlpc ", maxnlpc);
        if (nmean > 65536) return unsupported("implausible nmean ", nmean);

        ulaw_ = type == 8;
        nmean_ = nmean;
        blocksize_ = blocksize;
        maxnlpc_ = maxnlpc;
        history_length_ = std::max<std::uint64_t>(3, maxnlpc);
        channels_.assign(channels, Channel{std::vector<std::int64_t>(history_length_, 0), {}, {}});

        for (;;) {
            std::uint64_t code;
            if (!uvar(2, code)) return error_;
            switch (code) {
                case 0:
                case 1:
                case 2:
                case 3:
                    if (!difference_block(static_cast<int>(code))) return error_;
                    break;
                case 4: return assemble();
                case 5: {
                    std::uint64_t size;
                    if (!ulong(size)) return error_;
                    if (size == 0 || size > (1u << 24)) return bad("invalid shorten blocksize ", size);
                    blocksize_ = size;
                    break;
                }
                case 6: {
                    std::uint64_t shift;
                    if (!uvar(2, shift)) return error_;
                    if (shift > 32)
                        return unsupported("shorten bitshift ", shift,
                                           " is implausibly large (corrupt or unsupported)");
                    shift_ = static_cast<std::uint32_t>(shift);
                    break;
                }
                case 7:
                    if (!lpc_block()) return error_;
                    break;
                case 8:
                    // A block of zeros can fail only on the length limit (its
                    // history and mean are zero), so a block past the limit is
                    // refused without being built.
                    if (count_ + blocksize_ > max_samples_)
                        return bad("shorten stream exceeds the maximum decoded length");
                    if (!complete(std::vector<std::int64_t>(blocksize_, 0))) return error_;
                    break;
                case 9: {
                    std::uint64_t length, ignored;
                    if (!uvar(5, length)) return error_;
                    for (std::uint64_t i = 0; i < length; ++i)
                        if (!uvar(8, ignored)) return error_;
                    break;
                }
                default: return bad("unknown shorten function code ", code);
            }
        }
    }

  private:
    struct Channel {
        std::vector<std::int64_t> history;  // exactly H values, most recent last
        std::vector<std::int64_t> means;
        std::vector<std::int64_t> out;
    };

    template <class... P>
    DecodeError bad(const P&... p) {
        return error_ = invalid(p...);
    }
    template <class... P>
    DecodeError unsupported(const P&... p) {
        return error_ = korrin::unsupported(p...);
    }
    bool overflow() {
        error_ = invalid("shorten reconstruction overflowed i64 (corrupt stream)");
        return false;
    }

    template <class T>
    bool take(test_support::ReferenceBitReader::Read<T> read, T& out) {
        if (auto* message = std::get_if<std::string>(&read)) {
            error_ = DecodeError{ErrorKind::Invalid, *message};
            return false;
        }
        out = std::get<T>(read);
        return true;
    }
    bool uvar(std::uint32_t n, std::uint64_t& out) { return take(reader_.uvar(n), out); }
    bool var(std::uint32_t n, std::int64_t& out) { return take(reader_.var(n), out); }
    bool ulong(std::uint64_t& out) { return take(reader_.ulong(), out); }

    static bool add(std::int64_t a, std::int64_t b, std::int64_t& out) { return !__builtin_add_overflow(a, b, &out); }
    static bool sub(std::int64_t a, std::int64_t b, std::int64_t& out) { return !__builtin_sub_overflow(a, b, &out); }
    static bool mul(std::int64_t a, std::int64_t b, std::int64_t& out) { return !__builtin_mul_overflow(a, b, &out); }

    bool coffset(const Channel& channel, std::int64_t& mu) {
        mu = 0;
        if (nmean_ == 0) return true;
        const std::size_t taken = static_cast<std::size_t>(std::min<std::uint64_t>(nmean_, channel.means.size()));
        std::int64_t sum = 0;
        for (std::size_t i = channel.means.size() - taken; i < channel.means.size(); ++i)
            if (!add(sum, channel.means[i], sum)) return overflow();
        if (!add(sum, rounding_ ? static_cast<std::int64_t>(nmean_ / 2) : 0, sum)) return overflow();
        mu = sum / static_cast<std::int64_t>(nmean_);
        // Version 2: the means are kept scaled by their blocks' shifts, and
        // the running mean comes back down by the current one.
        if (rounding_) mu >>= shift_;
        return true;
    }

    bool residual_width(std::uint32_t& width) {
        std::uint64_t e;
        if (!uvar(3, e)) return false;
        width = static_cast<std::uint32_t>(e + 1);  // e < 2^29
        return true;
    }

    bool difference_block(int order) {
        std::uint32_t width;
        if (!residual_width(width)) return false;
        Channel& channel = channels_[current_];
        std::int64_t mu = 0;
        if (order == 0 && !coffset(channel, mu)) return false;
        const auto& h = channel.history;
        std::int64_t s1 = h[h.size() - 1], s2 = h[h.size() - 2], s3 = h[h.size() - 3];
        std::vector<std::int64_t> block;
        for (std::uint64_t i = 0; i < blocksize_; ++i) {
            std::int64_t r, s, t, u;
            if (!var(width, r)) return false;
            switch (order) {
                case 0:
                    if (!add(r, mu, s)) return overflow();
                    break;
                case 1:
                    if (!add(r, s1, s)) return overflow();
                    break;
                case 2:
                    if (!mul(2, s1, t) || !add(r, t, t) || !sub(t, s2, s)) return overflow();
                    break;
                default:
                    if (!mul(3, s1, t) || !add(r, t, t) || !mul(3, s2, u) || !sub(t, u, t) || !add(t, s3, s))
                        return overflow();
                    break;
            }
            block.push_back(s);
            s3 = s2;
            s2 = s1;
            s1 = s;
        }
        return complete(std::move(block));
    }

    bool lpc_block() {
        std::uint32_t width;
        if (!residual_width(width)) return false;
        std::uint64_t order;
        if (!uvar(2, order)) return false;
        if (order > maxnlpc_) {
            error_ = invalid("shorten QLPC order ", order, " exceeds maxnlpc ", maxnlpc_);
            return false;
        }
        std::vector<std::int64_t> a(order);
        for (auto& c : a)
            if (!var(6, c)) return false;
        Channel& channel = channels_[current_];
        std::int64_t mu;
        if (!coffset(channel, mu)) return false;
        std::vector<std::int64_t> w = channel.history;
        std::vector<std::int64_t> block;
        for (std::uint64_t i = 0; i < blocksize_; ++i) {
            std::int64_t r, s;
            if (!var(width, r)) return false;
            if (order == 0) {
                if (!add(r, mu, s)) return overflow();
            } else {
                std::int64_t sum = 0;
                for (std::uint64_t k = 0; k < order; ++k) {
                    std::int64_t d, p;
                    if (!sub(w[w.size() - 1 - k], mu, d) || !mul(d, a[k], p) || !add(sum, p, sum)) return overflow();
                }
                if (!add(sum, rounding_ ? 32 : 0, sum)) return overflow();
                std::int64_t t;
                if (!add(r, sum >> 5, t) || !add(t, mu, s)) return overflow();
            }
            block.push_back(s);
            w.push_back(s);
        }
        return complete(std::move(block));
    }

    bool complete(std::vector<std::int64_t> block) {
        Channel& channel = channels_[current_];
        const std::size_t n = block.size();
        std::vector<std::int64_t> joined = channel.history;
        joined.insert(joined.end(), block.begin(), block.end());
        channel.history.assign(joined.end() - static_cast<long>(history_length_), joined.end());
        if (nmean_ != 0) {
            std::int64_t sum = 0;
            for (std::int64_t v : block)
                if (!add(sum, v, sum)) return overflow();
            if (!add(sum, rounding_ ? static_cast<std::int64_t>(blocksize_ / 2) : 0, sum)) return overflow();
            std::int64_t mean = sum / static_cast<std::int64_t>(blocksize_);
            if (rounding_ && shift_ == 32)
                mean = 0;
            else if (rounding_ && !mul(mean, std::int64_t{1} << shift_, mean))
                return overflow();
            channel.means.push_back(mean);
        }
        count_ += n;
        if (count_ > max_samples_) {
            error_ = invalid("shorten stream exceeds the maximum decoded length");
            return false;
        }
        for (std::int64_t v : block) {
            if (ulaw_) {
                int byte;
                if (!ulaw_byte(v, byte)) return false;
                channel.out.push_back(byte);
            } else if (shift_ > 0) {
                const __int128 wide = static_cast<__int128>(v) * (static_cast<__int128>(1) << shift_);
                constexpr auto lo = std::numeric_limits<std::int64_t>::min(),
                               hi = std::numeric_limits<std::int64_t>::max();
                channel.out.push_back(wide < lo ? lo : wide > hi ? hi : static_cast<std::int64_t>(wide));
            } else {
                channel.out.push_back(v);
            }
        }
        current_ = (current_ + 1) % channels_.size();
        return true;
    }

    bool ulaw_byte(std::int64_t value, int& byte) {
        if (shift_ == 0) {
            if (value < -128 || value > 127) {
                error_ = korrin::unsupported("shorten type-8 reconstructed value ", value,
                                             " is outside the 8-bit mu-law domain");
                return false;
            }
            byte = value >= 0 ? 0xFF - static_cast<int>(value) : 0x80 + static_cast<int>(value);
            return true;
        }
        const __int128 m = value >= 0 ? value : ~static_cast<__int128>(value);
        __int128 best = 127, b = 0;
        for (std::uint32_t i = 0; i <= shift_; ++i) {
            if (i > 0) b = b / 2 + 8 * i;
            const __int128 candidate = m * (static_cast<__int128>(1) << (shift_ - i)) + b;
            best = std::min(best, candidate);
        }
        const int q = static_cast<int>(best);
        byte = value >= 0 ? 0xFF - q : 0x7F - q;
        return true;
    }

    Outcome assemble() {
        ReferenceAudio audio;
        audio.channel_count = channels_.size();
        audio.is_ulaw = ulaw_;
        std::size_t frames = channels_[0].out.size();
        for (const auto& c : channels_) frames = std::min(frames, c.out.size());
        for (std::size_t f = 0; f < frames; ++f)
            for (const auto& c : channels_) {
                const std::int64_t v = c.out[f];
                audio.samples.push_back(
                    static_cast<std::int16_t>(ulaw_ ? v : std::clamp<std::int64_t>(v, -32768, 32767)));
            }
        return audio;
    }

    ByteView stream_;
    test_support::ReferenceBitReader reader_;
    std::uint64_t max_samples_;
    bool accept_version_1_;
    bool rounding_ = true;  // version 2
    DecodeError error_{ErrorKind::Invalid, {}};
    bool ulaw_ = false;
    std::uint64_t nmean_ = 0, blocksize_ = 0, maxnlpc_ = 0, history_length_ = 3, count_ = 0;
    std::uint32_t shift_ = 0;
    std::vector<Channel> channels_;
    std::size_t current_ = 0;
};

}  // namespace korrin::fuzz

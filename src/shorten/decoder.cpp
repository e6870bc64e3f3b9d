// The Shorten stream decoder: the header, then the command loop, one block
// at a time. A block's residual codes are read first (the bit reader's
// var_block), then its values are restored by its predictor
// (predictors.hpp), converted to output samples (convert.hpp) and handed
// to the output (output.hpp).
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "bitreader/bitreader.hpp"
#include "common/checked.hpp"
#include "shorten/convert.hpp"
#include "shorten/history.hpp"
#include "shorten/mean_window.hpp"
#include "shorten/output.hpp"
#include "shorten/predictors.hpp"
#include "shorten/shorten.hpp"

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

struct Channel {
    Channel(std::size_t history_length, std::uint64_t nmean, bool rounding)
        : history(history_length), means(nmean, rounding) {}
    Channel(const Channel&) = delete;
    Channel(Channel&&) = default;

    History history;
    MeanWindow means;
};

class Decoder {
  public:
    Decoder(ByteView stream, const Limits& limits, const OutputOptions& output)
        : reader_(stream, 5),
          limits_(limits),
          version_(stream[4]),
          output_options_(output),
          stream_size_(stream.size()) {}

    Result<ShortenAudio> run() {
        KR_TRY(read_header());
        header_end_ = reader_.pos() + (reader_.bit() != 0 ? 1 : 0);
        if (output_options_.resume != nullptr) KR_TRY(restore(*output_options_.resume));
        next_checkpoint_ = frames_before_ + output_options_.checkpoint_every;
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
                case kQuit: return assemble();
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
                    converter_->set_shift(static_cast<std::uint32_t>(shift));
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
                default: return invalid("unknown shorten function code ", code);
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

        blocksize_ = blocksize;
        maxnlpc_ = maxnlpc;
        nmean_ = nmean;
        const std::size_t history_length = std::max<std::size_t>(3, maxnlpc);
        channels_.reserve(channels);
        for (std::uint64_t c = 0; c < channels; ++c) channels_.emplace_back(history_length, nmean, rounds_means());
        residuals_.resize(kStep);
        coefficients_.resize(maxnlpc);  // a block's order is at most maxnlpc
        converter_.emplace(type == 8, nmean != 0);
        output_.emplace(channels, output_options_, limits_.max_decoded_samples, stream_size_, type == 8);
        return ok();
    }

    // Where the versions differ: version 2 rounds the block means and the
    // running mean (adding half the divisor before dividing) and adds 32,
    // half of the coefficients' unit, to each QLPC sum; version 1 does
    // neither.
    bool rounds_means() const noexcept { return version_ >= 2; }
    std::int64_t lpc_offset() const noexcept { return version_ >= 2 ? 32 : 0; }

    // Version 2 keeps each block mean scaled by the bit shift its block was
    // decoded under, and brings the running mean back down by the shift in
    // force now (an arithmetic shift, rounding toward minus infinity): so do
    // the encoders that wrote the streams, and the classic decoders. Version
    // 1 keeps them unscaled.
    bool scales_means() const noexcept { return version_ >= 2; }

    Result<std::int64_t> running_mean() const {
        const std::optional<std::int64_t> mu = channels_[current_].means.running_mean();
        if (!mu) return overflow();
        return scales_means() ? *mu >> converter_->shift() : *mu;
    }

    // A block mean as the window keeps it: times 2^shift, where a shift of
    // 32 stores 0 (the classic decoders' reading of it).
    Result<std::int64_t> stored_mean(std::int64_t mean) const {
        const std::uint32_t shift = converter_->shift();
        if (!scales_means() || shift == 0) return mean;
        if (shift >= 32) return std::int64_t{0};
        std::int64_t scaled = 0;
        if (!checked_mul(mean, std::int64_t{1} << shift, scaled)) return overflow();
        return scaled;
    }

    Result<void> difference_block(unsigned order) {
        KR_ASSIGN_OR_RETURN(const std::uint64_t width, reader_.uvar(kResidualWidthWidth));
        std::int64_t mu = 0;
        if (order == 0) {
            KR_ASSIGN_OR_RETURN(mu, running_mean());
        }
        // The width is below 2^30, so width + 1 fits the reader's argument.
        const auto residual_width = static_cast<std::uint32_t>(width + 1);
        switch (order) {
            case 0:
                return decode_block(residual_width,
                                    [mu](const std::int64_t* r, std::size_t n, std::int64_t* s, std::uint64_t) {
                                        return predict::restore_offset(r, n, s, mu);
                                    });
            case 1: return decode_block(residual_width, predict::restore_difference<1>);
            case 2: return decode_block(residual_width, predict::restore_difference<2>);
            default: return decode_block(residual_width, predict::restore_difference<3>);
        }
    }

    Result<void> lpc_block() {
        KR_ASSIGN_OR_RETURN(const std::uint64_t width, reader_.uvar(kResidualWidthWidth));
        KR_ASSIGN_OR_RETURN(const std::uint64_t order, reader_.uvar(kOrderWidth));
        if (order > maxnlpc_) return invalid("shorten QLPC order ", order, " exceeds maxnlpc ", maxnlpc_);
        const std::span<std::int64_t> coefficients(coefficients_.data(), static_cast<std::size_t>(order));
        std::size_t read = 0;
        KR_TRY(reader_.var_block(kCoefficientWidth, coefficients, read));
        KR_ASSIGN_OR_RETURN(const std::int64_t mu, running_mean());
        const auto residual_width = static_cast<std::uint32_t>(width + 1);
        const std::span<const std::int64_t> a = coefficients;
        const std::int64_t offset = lpc_offset();
        return decode_block(residual_width, [a, mu, offset](const std::int64_t* r, std::size_t n, std::int64_t* s,
                                                            std::uint64_t magnitude) {
            return predict::restore_lpc(r, n, s, a, mu, offset, magnitude);
        });
    }

    // Decodes a block of `blocksize_` values, one residual (var of
    // `residual_width`) each, in steps: the step's residual codes first,
    // then `restore(residuals, n, values, magnitude)` forms the values
    // (magnitude: a bound on the residuals'), returning false on an
    // overflow.
    //
    // The order of errors is that of forming each value as its code is
    // read: when the codes fail at code m, the values before m are still
    // restored first, and an overflow among them is the error reported.
    template <class Restore>
    Result<void> decode_block(std::uint32_t residual_width, Restore restore) {
        Channel& channel = channels_[current_];
        const std::uint64_t n = blocksize_;
        const bool keep = count_ + n <= limits_.max_decoded_samples;
        BlockTally tally;
        for (std::uint64_t done = 0; done < n;) {
            const auto step = static_cast<std::size_t>(std::min<std::uint64_t>(n - done, kStep));
            std::int64_t* values = channel.history.room(step);
            std::size_t decoded = 0;
            std::uint64_t magnitude = 0;
            const Result<void> read = reader_.var_block(residual_width, {residuals_.data(), step}, decoded, &magnitude);
            if (!restore(residuals_.data(), decoded, values, magnitude)) return overflow();
            if (!read) return read.error();
            std::int16_t* out = nullptr;
            if (keep) {
                KR_ASSIGN_OR_RETURN(out, output_->room(current_, step));
            }
            converter_->convert({values, step}, out, tally);
            if (keep) output_->commit(current_, step);
            channel.history.commit(step);
            done += step;
        }
        return complete_block(channel, tally);
    }

    Result<void> zero_block() {
        Channel& channel = channels_[current_];
        const std::uint64_t n = blocksize_;
        // Only the last H values of a block reach the history.
        const auto kept = static_cast<std::size_t>(std::min<std::uint64_t>(n, std::max<std::size_t>(3, maxnlpc_)));
        for (std::size_t done = 0; done < kept;) {
            const std::size_t step = std::min(kept - done, kStep);
            std::fill_n(channel.history.room(step), step, 0);
            channel.history.commit(step);
            done += step;
        }
        if (count_ + n <= limits_.max_decoded_samples)
            KR_TRY(output_->append_copies(current_, converter_->zero(), static_cast<std::size_t>(n)));
        return complete_block(channel, BlockTally{});
    }

    // The steps after a block's values: history (already in place), block
    // mean, count, output checks, next channel.
    Result<void> complete_block(Channel& channel, const BlockTally& tally) {
        const std::uint64_t n = blocksize_;
        if (nmean_ != 0) {
            std::int64_t sum;
            const auto rounding = static_cast<std::int64_t>(rounds_means() ? n / 2 : 0);
            if (tally.sum_overflowed || !checked_add(tally.sum, rounding, sum)) return overflow();
            KR_ASSIGN_OR_RETURN(const std::int64_t mean, stored_mean(divide(sum, n)));
            channel.means.push(mean);
        }
        count_ += n;
        if (count_ > limits_.max_decoded_samples) return invalid("shorten stream exceeds the maximum decoded length");
        if (tally.ulaw_fault)
            return unsupported("shorten type-8 reconstructed value ", tally.ulaw_fault_value,
                               " is outside the 8-bit mu-law domain");
        if (++current_ == channels_.size()) current_ = 0;
        // Once per round, so that the cost of a flush (a look at every
        // channel) is spread over as many blocks as there are channels.
        if (current_ != 0) return ok();
        KR_TRY(output_->flush());
        if (output_options_.checkpoints != nullptr && frames_before_ + output_->frames() >= next_checkpoint_ &&
            output_->aligned())
            keep_checkpoint();
        return ok();
    }

    // The state between two rounds of blocks, kept for a later decode.
    void keep_checkpoint() {
        DecoderState state;
        state.bit_position = std::uint64_t{reader_.pos()} * 8 + reader_.bit();
        state.frame = frames_before_ + output_->frames();
        state.samples = count_;
        state.blocksize = blocksize_;
        state.bitshift = converter_->shift();
        state.header_end = header_end_;
        for (const Channel& channel : channels_)
            state.history.insert(state.history.end(), channel.history.last(),
                                 channel.history.last() + channel.history.length());
        for (const Channel& channel : channels_) {
            const std::vector<std::int64_t> means = channel.means.means();
            state.means.insert(state.means.end(), means.begin(), means.end());
        }
        next_checkpoint_ = state.frame + output_options_.checkpoint_every;
        output_options_.checkpoints->push_back(std::move(state));
    }

    // Goes on from a state of this stream instead of from its start.
    Result<void> restore(const DecoderState& state) {
        const std::size_t channels = channels_.size();
        const std::size_t length = channels_[0].history.length();
        if (state.history.size() != channels * length || state.means.size() % channels != 0 ||
            state.means.size() / channels > nmean_ || state.bit_position / 8 > stream_size_ || state.blocksize == 0 ||
            state.blocksize > kMaxBlocksize || state.bitshift > kMaxBitshift)
            return invalid("shorten decoder state does not fit the stream");
        reader_.seek(state.bit_position);
        blocksize_ = state.blocksize;
        converter_->set_shift(state.bitshift);
        count_ = state.samples;
        frames_before_ = state.frame;
        const std::size_t means = state.means.size() / channels;
        for (std::size_t c = 0; c < channels; ++c) {
            channels_[c].history.restore(state.history.data() + c * length);
            for (std::size_t i = 0; i < means; ++i) channels_[c].means.push(state.means[c * means + i]);
        }
        return ok();
    }

    bool done_early() const noexcept { return current_ == 0 && output_->done_early(); }

    Result<ShortenAudio> assemble(bool stopped_early = false) {
        KR_ASSIGN_OR_RETURN(SampleArray samples, output_->finish());
        ShortenAudio audio;
        audio.channel_count = channels_.size();
        audio.is_ulaw = converter_->is_ulaw();
        audio.samples = std::move(samples);
        audio.frames_decoded = frames_before_ + output_->frames();
        audio.code_checksum = output_->code_checksum();
        audio.sample_checksum = output_->sample_checksum();
        audio.version = version_;
        audio.stopped_early = stopped_early;
        return audio;
    }

    BitReader reader_;
    Limits limits_;
    std::uint8_t version_;  // 1 or 2
    OutputOptions output_options_;
    std::size_t stream_size_;
    std::uint64_t blocksize_ = 0;
    std::uint64_t maxnlpc_ = 0;
    std::uint64_t nmean_ = 0;
    std::vector<Channel> channels_;
    std::size_t current_ = 0;
    std::uint64_t count_ = 0;
    std::optional<SampleConverter> converter_;  // from the header on
    std::optional<FrameOutput> output_;         // from the header on
    std::vector<std::int64_t> residuals_;
    std::vector<std::int64_t> coefficients_;
    std::size_t header_end_ = 0;
    std::uint64_t frames_before_ = 0;    // frames before the state decoding went on from
    std::uint64_t next_checkpoint_ = 0;  // the frame from which the next state is kept
};

}  // namespace

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
    return Decoder(stream, limits, output).run();
}

Result<std::int64_t> coffset(std::span<const std::int64_t> means, std::uint64_t nmean, std::uint8_t version,
                             std::uint32_t shift) {
    if (nmean == 0) return std::int64_t{0};
    const auto taken = static_cast<std::size_t>(std::min<std::uint64_t>(nmean, means.size()));
    std::int64_t sum = 0;
    for (const std::int64_t m : means.last(taken))
        if (!checked_add(sum, m, sum)) return overflow();
    const auto rounding = static_cast<std::int64_t>(version >= 2 ? nmean / 2 : 0);
    if (!checked_add(sum, rounding, sum)) return overflow();
    // The division is signed, truncating toward zero; a divisor beyond the
    // signed range exceeds every dividend, so the quotient is 0.
    if (nmean > static_cast<std::uint64_t>(kInt64Max)) return std::int64_t{0};
    const std::int64_t mean = sum / static_cast<std::int64_t>(nmean);
    return version >= 2 ? mean >> std::min<std::uint32_t>(shift, 63) : mean;
}

Result<std::uint8_t> ulaw_value_to_byte(std::int64_t value, std::uint32_t shift) {
    if (shift == 0) {
        if (value < -128 || value > 127)
            return unsupported("shorten type-8 reconstructed value ", value, " is outside the 8-bit mu-law domain");
        return static_cast<std::uint8_t>(value >= 0 ? 0xFF - value : 0x80 + value);
    }
    const auto m = static_cast<std::uint64_t>(value < 0 ? ~value : value);
    const std::uint8_t q = shifted_ulaw_magnitude(m, shift);
    return static_cast<std::uint8_t>(value >= 0 ? 0xFF - q : 0x7F - q);
}

}  // namespace korrin::shorten

// Where the decoder's output samples go: each channel's samples wait in a
// buffer of their own until every channel has reached their frame; whole
// frames are then interleaved into the caller's block, or into chunks that
// are gathered at the end, with the frame window (frames skipped at the
// start, frames kept after them) applied on the way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "common/result.hpp"
#include "shorten/shorten.hpp"

namespace korrin::shorten {

// A channel's samples that are not yet in the interleaved output: those of
// frames that some other channel has not reached. With channels taking
// blocks of one size in turn this is one block, so it stays in the cache.
class Pending {
  public:
    // Room for `count` more samples in one piece.
    Result<std::int16_t*> room(std::size_t count);
    void commit(std::size_t count) noexcept { values_.set_size(values_.size() + count); }
    Result<void> append_copies(std::int16_t value, std::size_t count);

    std::size_t size() const noexcept { return values_.size() - begin_; }
    const std::int16_t* front() const noexcept { return values_.data() + begin_; }
    // Drops the first `count` samples.
    void consume(std::size_t count) noexcept;

  private:
    SampleArray values_;
    std::size_t begin_ = 0;
};

// The interleaved output of a stream whose length is not known, in chunks
// that each thread keeps for its next decode once they are copied out (up
// to kKeptChunks of them): fresh pages cost a fault each, and memory handed
// back to malloc went back to the system between two decodes of a large
// stream, to be faulted in again. At the end one copy gathers them into an
// array of the exact size, from wherever the caller wants the result's
// memory.
class OutputChunks {
  public:
    // 256 KiB a chunk, and 24 MiB kept: a 5-minute 16 kHz stereo stream
    // (19.2 MB) decodes without a fault from its second time on.
    static constexpr std::size_t kChunkSamples = 131072;
    static constexpr std::size_t kKeptChunks = 96;

    OutputChunks() = default;
    OutputChunks(const OutputChunks&) = delete;
    OutputChunks& operator=(const OutputChunks&) = delete;
    // Gives what it still holds (after a failure) to the thread's store.
    ~OutputChunks();

    // Room for at least one whole frame of `channels` samples (the same in
    // every call), in one piece that holds whole frames only.
    Result<std::span<std::int16_t>> room(std::size_t channels);
    void commit(std::size_t count) noexcept {
        used_ += count;
        size_ += count;
    }
    // Copies the first dst.size() samples into `dst`, releasing every chunk
    // as it goes.
    void move_to(std::span<std::int16_t> dst) noexcept;

    // The chunks this thread keeps, for tests.
    static std::size_t kept() noexcept;

  private:
    std::vector<SampleArray> chunks_;
    std::size_t used_ = 0;  // samples in the last chunk
    std::size_t size_ = 0;
    std::size_t channels_ = 1;  // of a frame
};

class FrameOutput {
  public:
    // `stream_size` and `max_samples` (the decoder's length limit) decide
    // whether an up-front reservation is plausible (see the constructor).
    // With `ulaw`, the samples are mu-law code bytes, expanded to linear
    // PCM as they go into the interleaved output (unless the options keep
    // the codes).
    FrameOutput(std::size_t channels, const OutputOptions& options, std::uint64_t max_samples, std::size_t stream_size,
                bool ulaw = false);

    // Room for `count` more samples of `channel`, then their commit.
    Result<std::int16_t*> room(std::size_t channel, std::size_t count) { return pending_[channel].room(count); }
    void commit(std::size_t channel, std::size_t count) noexcept { pending_[channel].commit(count); }
    Result<void> append_copies(std::size_t channel, std::int16_t value, std::size_t count) {
        return pending_[channel].append_copies(value, count);
    }

    // Moves the frames that every channel has reached into the interleaved
    // output; those before the window are dropped, as are those beyond it.
    Result<void> flush();

    // True once every frame the caller keeps is out and it asked to stop
    // there; asked after a whole round of blocks.
    bool done_early() const noexcept {
        return options_.stop_early && skipped_frames_ == options_.skip_frames && kept_frames_ == options_.max_frames;
    }

    // True when no channel has samples beyond the frames every channel has
    // completed: between two rounds of blocks of one size, after a flush.
    bool aligned() const noexcept {
        for (const Pending& p : pending_)
            if (p.size() != 0) return false;
        return true;
    }

    // Frames every channel has completed so far, kept or not.
    std::uint64_t frames() const noexcept { return frames_; }
    // With `ulaw`: the sum of the kept samples' code bytes, modulo 2^16.
    std::uint16_t code_checksum() const noexcept { return static_cast<std::uint16_t>(code_sum_); }
    // With a sink, without `ulaw`: the sum of the samples handed to it, as
    // unsigned 16-bit patterns, modulo 2^16.
    std::uint16_t sample_checksum() const noexcept { return sample_sum_; }

    // The kept frames, interleaved, in one array of their exact size (or,
    // when a block was reserved for more frames than came, of the frames
    // that came). Flushes first.
    Result<SampleArray> finish();

  private:
    // Frames in one run handed to a sink: a run of a few stereo blocks'
    // worth stays in the cache between its interleaving and its taking.
    static constexpr std::size_t kSinkFrames = 4096;

    // The next `frames` frames of every channel, interleaved into `dst`.
    void interleave(std::int16_t* dst, std::size_t frames) noexcept;

    std::vector<Pending> pending_;  // one per channel
    OutputOptions options_;
    OutputChunks chunks_;               // the interleaved output so far, or
    SampleArray direct_;                // the block reserved for it up front
    std::uint64_t skipped_frames_ = 0;  // frames dropped at the start
    std::uint64_t kept_frames_ = 0;     // frames in the output
    std::uint64_t frames_ = 0;          // frames every channel has completed
    bool ulaw_;
    std::uint64_t code_sum_ = 0;    // of the code bytes interleaved, with ulaw_
    SampleArray run_;               // with a sink: the run of frames handed to it
    std::uint16_t sample_sum_ = 0;  // of the samples handed to a sink
};

}  // namespace korrin::shorten

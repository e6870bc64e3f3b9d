#include "shorten/output.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "common/checked.hpp"
#include "common/cpu.hpp"
#include "shorten/ulaw_out.hpp"

namespace korrin::shorten {

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

Result<std::int16_t*> Pending::room(std::size_t count) {
    KR_TRY(values_.reserve(values_.size() + count));
    return values_.data() + values_.size();
}

Result<void> Pending::append_copies(std::int16_t value, std::size_t count) {
    KR_ASSIGN_OR_RETURN(std::int16_t* const dst, room(count));
    std::fill_n(dst, count, value);
    commit(count);
    return ok();
}

// What remains moves to the front only when it is no longer than what was
// dropped, so the moves cost at most one step per sample ever dropped.
void Pending::consume(std::size_t count) noexcept {
    if (count == 0) return;  // and a buffer never written has no memory to move
    begin_ += count;
    const std::size_t left = values_.size() - begin_;
    if (left > begin_) return;
    if (left > 0) std::memmove(values_.data(), values_.data() + begin_, left * sizeof(std::int16_t));
    values_.set_size(left);
    begin_ = 0;
}

namespace {

// A thread's chunks between decodes, each of kChunkSamples samples; freed
// when the thread ends. Per thread, so that taking and giving need no lock
// and a fork finds nothing half changed.
struct KeptChunks {
    std::vector<SampleArray> chunks;

    SampleArray take() noexcept {
        if (chunks.empty()) return {};
        SampleArray chunk = std::move(chunks.back());
        chunks.pop_back();
        return chunk;
    }
    // Keeps `chunk` when there is room; frees it otherwise.
    void give(SampleArray& chunk) noexcept {
        if (chunks.capacity() == 0) {
            try {
                chunks.reserve(OutputChunks::kKeptChunks);
            } catch (...) {
                // Without the list's memory nothing is kept.
            }
        }
        if (chunk.size() == OutputChunks::kChunkSamples && chunks.size() < chunks.capacity())
            chunks.push_back(std::move(chunk));
        chunk = SampleArray();
    }
};

thread_local KeptChunks kept_chunks;

}  // namespace

OutputChunks::~OutputChunks() {
    for (SampleArray& chunk : chunks_) kept_chunks.give(chunk);
}

std::size_t OutputChunks::kept() noexcept { return kept_chunks.chunks.size(); }

Result<std::span<std::int16_t>> OutputChunks::room(std::size_t channels) {
    channels_ = channels;
    if (chunks_.empty() || used_ + channels > chunks_.back().size()) {
        SampleArray chunk = kept_chunks.take();
        if (chunk.data() == nullptr) {
            KR_ASSIGN_OR_RETURN(chunk, SampleArray::allocate(std::max(kChunkSamples, channels)));
        }
        chunks_.push_back(std::move(chunk));
        used_ = 0;
    }
    SampleArray& last = chunks_.back();
    // Whole frames only: the chunk's size need not be a multiple of theirs.
    const std::size_t room = (last.size() - used_) / channels * channels;
    return std::span<std::int16_t>(last.data() + used_, room);
}

void OutputChunks::move_to(std::span<std::int16_t> dst) noexcept {
    std::size_t done = 0;
    for (SampleArray& chunk : chunks_) {
        // Every chunk but the last is full to its last whole frame.
        const std::size_t filled = &chunk == &chunks_.back() ? used_ : chunk.size() / channels_ * channels_;
        const std::size_t n = std::min(filled, dst.size() - done);
        if (n > 0) std::memcpy(dst.data() + done, chunk.data(), n * sizeof(std::int16_t));
        done += n;
        kept_chunks.give(chunk);
    }
    chunks_.clear();
    used_ = size_ = 0;
}

FrameOutput::FrameOutput(std::size_t channels, const OutputOptions& options, std::uint64_t max_samples,
                         std::size_t stream_size, bool ulaw)
    : pending_(channels), options_(options), ulaw_(ulaw) {
    // When the caller knows how many frames to expect, the output goes
    // straight into a block of that size, without the chunks and the copy
    // at the end. Only for plausible counts: a header may promise far more
    // than its stream holds, and the chunks are the road for that. A count
    // is plausible when it stays within the decoder's length limit and
    // needs no better than 64 samples per stream byte (about 16:1 on
    // 16-bit audio; Shorten seldom does better than 4:1 outside silence),
    // with 64 Ki stream bytes of slack for short streams.
    if (!options_.preallocate || options_.sink != nullptr) return;
    std::uint64_t samples = 0;
    if (!checked_mul(options_.max_frames, std::uint64_t{channels}, samples) || samples > max_samples) return;
    if (samples / 64 > stream_size + 65536) return;
    auto block = SampleArray::allocate(static_cast<std::size_t>(samples), options_.framing, options_.source);
    if (block) direct_ = std::move(*block);  // without memory, the chunks still work
}

Result<void> FrameOutput::flush() {
    const std::size_t count = pending_.size();
    std::size_t frames = pending_[0].size();
    for (const Pending& p : pending_) frames = std::min(frames, p.size());
    frames_ += frames;
    if (skipped_frames_ < options_.skip_frames) {
        const auto skip =
            static_cast<std::size_t>(std::min<std::uint64_t>(frames, options_.skip_frames - skipped_frames_));
        for (Pending& p : pending_) p.consume(skip);
        skipped_frames_ += skip;
        frames -= skip;
    }
    const auto keep = static_cast<std::size_t>(std::min<std::uint64_t>(frames, options_.max_frames - kept_frames_));
    if (options_.sink != nullptr) {
        for (std::size_t done = 0; done < keep;) {
            const std::size_t run = std::min(keep - done, kSinkFrames);
            if (run_.data() == nullptr) {
                KR_ASSIGN_OR_RETURN(run_, SampleArray::allocate(kSinkFrames * count));
            }
            interleave(run_.data(), run);
            if (!ulaw_) {
                std::uint16_t sum = 0;
                for (std::size_t i = 0; i < run * count; ++i)
                    sum = static_cast<std::uint16_t>(sum + static_cast<std::uint16_t>(run_.data()[i]));
                sample_sum_ = static_cast<std::uint16_t>(sample_sum_ + sum);
            }
            options_.sink->take(run_.data(), kept_frames_ + done, run);
            for (Pending& p : pending_) p.consume(run);
            done += run;
        }
    } else if (direct_.data() != nullptr) {
        if (keep > 0) interleave(direct_.data() + kept_frames_ * count, keep);
        for (Pending& p : pending_) p.consume(keep);
    } else {
        for (std::size_t left = keep; left > 0;) {
            KR_ASSIGN_OR_RETURN(const std::span<std::int16_t> room, chunks_.room(count));
            const std::size_t run = std::min(left, room.size() / count);
            interleave(room.data(), run);
            chunks_.commit(run * count);
            for (Pending& p : pending_) p.consume(run);
            left -= run;
        }
    }
    for (Pending& p : pending_) p.consume(frames - keep);
    kept_frames_ += keep;
    return ok();
}

namespace {

// Two channels, the commonest case beyond one: a loop the compiler
// vectorises, built for AVX2 as well where the processor has it.
[[gnu::always_inline]] inline void interleave_pair_with(const std::int16_t* a, const std::int16_t* b, std::int16_t* dst,
                                                        std::size_t frames) noexcept {
    for (std::size_t i = 0; i < frames; ++i) {
        dst[2 * i] = a[i];
        dst[2 * i + 1] = b[i];
    }
}

#if defined(__x86_64__)
[[gnu::target("avx2")]] void interleave_pair_avx2(const std::int16_t* a, const std::int16_t* b, std::int16_t* dst,
                                                  std::size_t frames) noexcept {
    interleave_pair_with(a, b, dst, frames);
}
#endif

void interleave_pair(const std::int16_t* a, const std::int16_t* b, std::int16_t* dst, std::size_t frames) noexcept {
#if defined(__x86_64__)
    if (has_avx2()) return interleave_pair_avx2(a, b, dst, frames);
#endif
    interleave_pair_with(a, b, dst, frames);
}

}  // namespace

void FrameOutput::interleave(std::int16_t* dst, std::size_t frames) noexcept {
    const std::size_t count = pending_.size();
    if (ulaw_ && options_.ulaw_codes) {
        for (std::size_t c = 0; c < count; ++c) {
            const std::int16_t* src = pending_[c].front();
            for (std::size_t i = 0; i < frames; ++i) {
                code_sum_ += static_cast<std::uint8_t>(src[i]);
                dst[i * count + c] = src[i];
            }
        }
        return;
    }
    if (ulaw_) {
        if (count == 1) {
            code_sum_ += expand_ulaw(pending_[0].front(), dst, frames);
        } else if (count == 2) {
            code_sum_ += expand_ulaw_pair(pending_[0].front(), pending_[1].front(), dst, frames);
        } else {
            for (std::size_t c = 0; c < count; ++c) {
                const std::int16_t* src = pending_[c].front();
                for (std::size_t i = 0; i < frames; ++i) {
                    const auto code = static_cast<std::uint8_t>(src[i]);
                    code_sum_ += code;
                    dst[i * count + c] = expand_ulaw_code(code);
                }
            }
        }
        return;
    }
    if (count == 1) {
        std::memcpy(dst, pending_[0].front(), frames * sizeof(std::int16_t));
    } else if (count == 2) {
        interleave_pair(pending_[0].front(), pending_[1].front(), dst, frames);
    } else {
        for (std::size_t c = 0; c < count; ++c) {
            const std::int16_t* src = pending_[c].front();
            for (std::size_t i = 0; i < frames; ++i) dst[i * count + c] = src[i];
        }
    }
}

Result<SampleArray> FrameOutput::finish() {
    KR_TRY(flush());
    // kept_frames_ * channels <= the samples decoded, which the length
    // limit bounds.
    const std::size_t size = kept_frames_ * pending_.size();
    SampleArray samples;
    if (options_.sink != nullptr) return samples;
    if (direct_.data() != nullptr) {
        samples = std::move(direct_);
        samples.set_size(size);
    } else {
        KR_ASSIGN_OR_RETURN(samples, SampleArray::allocate(size, options_.framing, options_.source));
        chunks_.move_to(samples.span());
    }
    return samples;
}

}  // namespace korrin::shorten

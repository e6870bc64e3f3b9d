// A sink that gathers a window into one buffer of interleaved
// little-endian PCM: 32-bit for 32-bit PCM, 16-bit for everything else
// (G.711 and pculaw expanded, 8-bit PCM as s << 8), with room around it for
// a container's header and memory from where the caller wants it.
#pragma once

#include "payload/payload.hpp"

namespace korrin::payload {

class PcmSink final : public Sink {
  public:
    // `frames` frames of `channels` samples of `bits` bits (32 for 32-bit
    // PCM, else 16) at most; `framing` and `source` as for
    // ByteBuffer::allocate.
    PcmSink(std::uint64_t channels, std::uint64_t frames, std::uint16_t bits, Framing framing = {},
            const BlockSource* source = nullptr)
        : channels_(channels), frames_(frames), placement_{framing, source}, bits_(bits) {}

    Result<void> take(const Run& run) override;
    MutableByteView lend(Form form, std::size_t bytes) override;
    const Placement* placement(Form) override { return &placement_; }
    Result<void> adopt(ByteBuffer buffer, Form form, std::uint64_t first) override;

    // The PCM: bits per sample, and the buffer (empty, with its room, when
    // no frame came).
    std::uint16_t bits_per_sample() const noexcept { return bits_; }
    Result<ByteBuffer> finish() &&;

  private:
    Result<void> make();

    std::uint64_t channels_;
    std::uint64_t frames_;
    Placement placement_;
    ByteBuffer pcm_;
    std::size_t filled_ = 0;  // bytes of pcm_ written
    bool made_ = false;
    bool failed_ = false;  // its memory was refused
    std::uint16_t bits_;
};

}  // namespace korrin::payload

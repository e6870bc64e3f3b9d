// Decoded samples of one input in their own coding, for the outputs made of
// them: linear PCM as the payload stores it (either byte order), G.711 as
// its code bytes (from a stored payload, or from a Shorten stream of mu-law
// codes), so that an output in the same coding is the payload's own samples
// and any other is converted once, in one pass (containers/samples.hpp).
#pragma once

#include <cstdint>
#include <optional>

#include "common/bytes.hpp"
#include "common/result.hpp"
#include "containers/samples.hpp"
#include "format/format.hpp"
#include "payload/payload.hpp"

namespace korrin::cli {

struct Audio {
    std::uint64_t channels = 1;
    std::uint64_t rate = 1;
    std::uint64_t first_frame = 0;          // the frame `samples` begins with
    containers::Samples samples;            // whole frames from first_frame on
    ByteBuffer storage;                     // holds `samples` when they were decoded or widened; empty otherwise
    std::optional<std::uint16_t> checksum;  // of every frame, where asked for and a rule applies
};

// The coding the samples of `format` have once decoded (G.711 codes, or
// linear PCM of 16 or 32 bits), before any conversion: mu-law for a Shorten
// stream labelled ulaw and for pculaw.
containers::Coding source_coding(const format::Format& format) noexcept;

// Takes a window as it comes: stored samples that the containers take as
// they lie are not copied (`samples` then points into the memory read), a
// Shorten stream is decoded into a buffer with `framing` room around it (to
// be wrapped in place), keeping mu-law codes; 8-bit PCM becomes 16-bit
// (s << 8) and pculaw its mu-law codes.
class AudioSink final : public payload::Sink {
  public:
    AudioSink(const format::Format& format, Framing framing);

    Result<void> take(const payload::Run& run) override;
    const payload::Placement* placement(payload::Form) override { return &placement_; }
    Result<void> adopt(ByteBuffer buffer, payload::Form form, std::uint64_t first) override;
    bool keeps_codes() const override { return true; }

    Audio finish(const payload::Outcome& outcome) &&;

  private:
    payload::Placement placement_;
    Audio audio_;
    bool taken_ = false;
};

}  // namespace korrin::cli

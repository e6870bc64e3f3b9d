// The encoders of the output formats: each turns decoded audio into the
// bytes of one output and refuses what its format cannot hold.
#pragma once

#include <cstdint>
#include <string_view>

#include "cli/front/sph2wav_options.hpp"
#include "common/bytes.hpp"
#include "common/result.hpp"
#include "transcode/transcode.hpp"

namespace korrin::cli {

struct Encoder {
    std::string_view extension;  // of outputs named after their inputs
    Framing framing;             // room for the decoder to leave around the PCM
    // Refuses, before anything is decoded, an output of `channels` channels
    // at `rate` that the format cannot hold.
    Result<void> (*check)(std::uint64_t channels, std::uint64_t rate);
    // The output for `audio`, decoded from a file whose header region (the
    // fields a format may carry along) is `header_region`, or why the format
    // cannot hold it.
    Result<ByteBuffer> (*encode)(transcode::Audio audio, ByteView header_region, const Options& options);
};

const Encoder& encoder_for(OutputFormat format) noexcept;

}  // namespace korrin::cli

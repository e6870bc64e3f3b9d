// The encoders of the output formats: each turns decoded audio into the
// bytes of one output and refuses what its format cannot hold.
#pragma once

#include <string_view>

#include "cli/options.hpp"
#include "common/bytes.hpp"
#include "common/result.hpp"
#include "sphere/sphere.hpp"
#include "transcode/transcode.hpp"

namespace korrin::cli {

struct Encoder {
    std::string_view extension;  // of outputs named after their inputs
    Framing framing;             // room for the decoder to leave around the PCM
    // The output for `audio`, decoded from a file with `header` (whose
    // fields a format may carry along), or why the format cannot hold it.
    Result<ByteBuffer> (*encode)(transcode::Audio audio, const sphere::SphereHeader& header);
};

const Encoder& encoder_for(OutputFormat format) noexcept;

}  // namespace korrin::cli

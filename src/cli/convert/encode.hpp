// The last step of a conversion: decoded samples, cut to an output's
// selection, in the coding and container the output asks for (the core's
// containers, or FLAC through libFLAC).
#pragma once

#include <cstdint>

#include "cli/convert/audio.hpp"
#include "cli/job.hpp"
#include "cli/select/select.hpp"
#include "common/bytes.hpp"
#include "common/result.hpp"
#include "sphere/sphere.hpp"

namespace korrin::cli {

// The coding of `output`'s samples when the source's is `source`: what it
// asks for, within what its container holds (FLAC and AIFF hold linear PCM
// only; AIFF keeps a source's linear width, as -p alone changes it).
containers::Coding output_coding(const Output& output, containers::Coding source) noexcept;

// Refuses, before anything is decoded, an output of `channels` channels at
// `rate` that its container cannot hold.
Result<void> check_output(const Output& output, containers::Coding coding, std::uint64_t channels, std::uint64_t rate);

// What encoding reads of the input beside the samples.
struct SourceHeader {
    const sphere::SphereHeader* header;
    ByteView region;  // the header region as the file has it
};

// The bytes of `output`: `chosen` of `audio`, converted and wrapped. When
// `reusable` holds exactly the samples of `audio` (a buffer this output may
// take), a plain cut is made in it and it becomes the output, without a
// copy.
Result<ByteBuffer> encode_output(const Output& output, const Audio& audio, const select::Selection& chosen,
                                 const SourceHeader& source, ByteBuffer* reusable = nullptr);

}  // namespace korrin::cli

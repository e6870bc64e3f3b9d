// FLAC output: decoded PCM and the SPHERE header's fields in, a whole FLAC
// file out, encoded by libFLAC (linked into sph2wav when the build finds
// it). The encoder works in memory, so that the caller writes the result
// like any other output: complete under its final name, or not at all.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/bytes.hpp"
#include "common/result.hpp"
#include "sphere/sphere.hpp"

namespace korrin::cli::flac {

inline constexpr unsigned max_level = 8;
inline constexpr unsigned default_level = 5;

struct Settings {
    unsigned level = default_level;  // FLAC's compression levels 0 to 8
    bool verify = true;              // the encoder decodes its own output and compares
};

// True when this program was built with libFLAC.
bool available() noexcept;

// Why FLAC output cannot be had from a program built without libFLAC.
extern const char unavailable_message[];

// What every Vorbis comment made from a header field is named with first.
inline constexpr std::string_view comment_prefix = "SPHERE_";

// The Vorbis comment ("NAME=value") that keeps one header field, or nothing
// for the fields that describe the coding (the FLAC stream itself says
// what they said). The name is the prefix, then the field's name with
// every byte that a comment name cannot hold, and '%', written as '%' and
// two upper-case hex digits. The value is kept as it stands when it is
// text a comment value may hold; otherwise it is written with the same
// escapes (every byte outside ' ' to '~', and '%') and the name gets a
// final '%', which no escaped name ends with.
std::optional<std::string> vorbis_comment(std::string_view name, std::string_view value);

// Encodes interleaved little-endian PCM of `bits` (16 or 32) bits per
// sample to a FLAC file, with a Vorbis comment per header field (in the
// order given) and a seek point every 10 seconds. Limits of the format
// (channels, rate, sample width, the size of the comments) are checked
// before any encoding starts; a verify mismatch or an encoder failure is
// an error, and nothing of a failed encode is returned.
Result<ByteBuffer> encode(ByteView pcm, unsigned bits, std::int64_t channels, std::int64_t rate,
                          std::span<const sphere::HeaderField> fields, const Settings& settings);

// Refuses, before anything is decoded or encoded, a stream of `channels`
// channels at `rate` that FLAC cannot hold (or any stream, in a program
// built without libFLAC).
Result<void> check_limits(std::uint64_t channels, std::uint64_t rate);

}  // namespace korrin::cli::flac

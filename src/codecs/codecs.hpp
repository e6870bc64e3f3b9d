// Payload decoding: the decoder that turns a SPHERE payload into LE PCM, and
// the two codec kernels (G.711 expansion and Shorten to PCM).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/bytes.hpp"
#include "common/result.hpp"
#include "shorten/shorten.hpp"
#include "sphere/sphere.hpp"

namespace korrin::codecs {

// What a caller may ask of decoding beyond the module's own behaviour; all
// off by default, and the module never turns them on.
struct DecodeOptions {
    // Shorten payloads labelled embedded-shorten-v1.09 and -v1.1 as well as
    // -v2.00, in stream version 1 as well as 2.
    bool older_shorten = false;
    // Compute the payload's sample checksum (Pcm::checksum) where a rule for
    // its coding is known.
    bool checksum = false;
    // A Shorten stream: go on from a state that a decode of it took, at or
    // before the window's first frame, rather than from its start; and keep
    // states there every `checkpoint_every` frames (see shorten::OutputOptions).
    const shorten::DecoderState* resume = nullptr;
    std::vector<shorten::DecoderState>* checkpoints = nullptr;
    std::uint64_t checkpoint_every = 0;
    // A Shorten payload's frames go to `sink` as they are decoded, and the
    // result's bytes are empty (see shorten::FrameSink).
    shorten::FrameSink* sink = nullptr;
};

struct Pcm {
    std::uint16_t bits_per_sample = 16;  // 16 or 32
    ByteBuffer bytes;                    // interleaved little-endian samples
    // With DecodeOptions::checksum: the sample checksum of what was decoded,
    // or nothing where no rule applies (4-byte PCM).
    std::optional<std::uint16_t> checksum;
    std::uint64_t first_frame = 0;       // the payload's frame that `bytes` starts with
};

// The frames of a payload that a caller needs, [begin, end) (cut to the
// frames there are). The decoder may leave out what lies outside: an
// uncompressed payload is decoded from `begin` to `end` only; a compressed
// stream is decoded from its start, and its frames before `begin` dropped
// as they come. With `stop_early`, a compressed stream is read no further
// than the round of blocks that completes frame `end` - 1, so faults and
// length checks beyond it are not made.
struct FrameWindow {
    std::uint64_t begin = 0;
    std::uint64_t end = UINT64_MAX;
    bool stop_early = false;

    bool whole() const noexcept { return begin == 0 && end == UINT64_MAX; }
};

// The sample checksum of SPHERE headers: the sum, modulo 65536, of the
// samples as unsigned 16-bit patterns (16-bit linear PCM, here given as LE
// bytes), or of the code bytes (mu-law and A-law, before expansion).
std::uint16_t checksum_of_le16(ByteView pcm) noexcept;
std::uint16_t checksum_of_codes(ByteView codes) noexcept;

// The Shorten label of a coding text: its compression piece, trimmed and in
// lower case, when it is one that `decode` takes with `options` (such as
// "embedded-shorten-v1.1"); otherwise nothing.
std::optional<std::string> shorten_label(std::string_view coding, const DecodeOptions& options = {});

// The header's sample_coding text as stored, or "pcm" when it has none.
std::string_view coding_text(const sphere::SphereHeader& header) noexcept;

// The coding a header declares, in a word: "pcm_s8", "pcm_s16le",
// "pcm_s16be", "pcm_s32le", "pcm_s32be", "ulaw", "alaw", "pculaw" or
// "shorten"; empty when no reader of this system takes it for its coding,
// width or byte order. `decode` refuses "pcm_s8" and "pculaw" as well: the
// readers of files (sph2wav, korrin) take them.
std::string codec_name(const sphere::SphereHeader& header);

// A stored payload's form that no reader takes although its coding names a
// known one, refused by name before the payload's size is looked at:
// shortpack compression, which sample_byte_format names ("shortpack-v0").
std::optional<DecodeError> unsupported_form(const sphere::SphereHeader& header);

// The frames of an uncompressed payload of `payload_bytes` bytes whose
// header's sample_count counts the samples of every channel rather than
// frames, as some early two-channel files do: more than one channel, a
// sample_count that channel_count divides, and exactly sample_count x
// sample_n_bytes bytes of payload, less than the header declares. Nothing
// for any other header.
std::optional<std::uint64_t> channel_counted_frames(const sphere::SphereHeader& header, std::uint64_t payload_bytes);

// Makes a header whose sample_count counts every channel's samples (as
// channel_counted_frames finds) declare frames instead, so that every
// reader of it takes the file's true length; returns the count the header
// declared before, when it changed it.
std::optional<std::uint64_t> settle_sample_count(sphere::SphereHeader& header, std::uint64_t payload_bytes);

// The mu-law code of a pculaw byte: its bits in reverse order.
std::uint8_t pculaw_to_ulaw(std::uint8_t byte) noexcept;

// True when a coding text names a compression: its second comma-separated
// piece, trimmed of white space, is not empty ("pcm,embedded-shorten-v2.00").
bool is_compressed(std::string_view coding) noexcept;

// Decodes a payload by the header's coding. `framing` is room to leave
// around the PCM for a caller that wraps it (see ByteBuffer::expand), and
// `source`, when given, is where the PCM's memory comes from.
Result<Pcm> decode(const sphere::SphereHeader& header, ByteView payload, Framing framing = {},
                   const BlockSource* source = nullptr, const DecodeOptions& options = {},
                   const FrameWindow& window = {});

// The expansion of one G.711 code byte.
std::int16_t ulaw_to_linear(std::uint8_t code) noexcept;
std::int16_t alaw_to_linear(std::uint8_t code) noexcept;

// Expands G.711 bytes into `out`, which must hold 2 * data.size() bytes.
void g711_expand_into(ByteView data, bool alaw, MutableByteView out) noexcept;

// Expands G.711 bytes into a new buffer of twice their length.
Result<ByteBuffer> g711_expand(ByteView data, bool alaw, Framing framing = {}, const BlockSource* source = nullptr);

struct ShortenPcm {
    std::uint64_t channel_count = 0;
    bool is_ulaw = false;
    ByteBuffer pcm_bytes;  // LE 16-bit, interleaved
    std::uint64_t frames_decoded = 0;  // before any cap
    std::uint8_t version = 2;          // the stream's version
    std::uint16_t code_checksum = 0;   // mu-law streams: the checksum of the code bytes kept
    bool stopped_early = false;        // see shorten::OutputOptions::stop_early
    std::uint16_t sample_checksum = 0; // with a sink, other streams: the checksum of the samples it took
};

Result<ShortenPcm> shorten_to_pcm(ByteView stream, const shorten::OutputOptions& output = {},
                                  const shorten::StreamOptions& versions = {});

// Serialises 16-bit samples least significant byte first.
Result<ByteBuffer> pcm_table_to_le(std::span<const std::int16_t> samples, Framing framing = {});

}  // namespace korrin::codecs

// What a SPHERE header says about its payload, made once: the header's
// fields checked and turned into a typed Format, or the refusal that
// reading the file gives. Nothing after this reads header text to decode.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/result.hpp"
#include "sphere/sphere.hpp"

namespace korrin::format {

// How the payload holds its samples.
enum class Coding : std::uint8_t {
    Linear8,   // signed 8-bit PCM
    Linear16,  // 16-bit PCM, in the byte order of `big_endian`
    Linear32,  // 32-bit PCM, likewise
    Ulaw,      // G.711 mu-law code bytes
    Alaw,      // G.711 A-law code bytes
    Pculaw,    // mu-law code bytes with their bits in reverse order
    Shorten,   // a Shorten stream (its samples: 16-bit PCM or mu-law codes)
};

// How the header's sample_checksum is formed over the samples of a whole
// payload: the sum modulo 2^16 of the 16-bit values (as unsigned patterns),
// or of the bytes of one-byte samples; no rule is known for 32-bit PCM. A
// Shorten stream's rule follows its samples (16-bit values, or mu-law code
// bytes), known once its stream is read.
enum class ChecksumRule : std::uint8_t { None, Words, Bytes, OfStream };

// Who reads: the korrin_native module keeps its contract (the codings,
// labels and messages it has always had); the readers of files (sph2wav,
// sph2pipe, korrin) take more: 8-bit PCM, pculaw, the older Shorten labels
// and stream version 1, a sample_count that counts every channel's
// samples, and refuse shortpack payloads by name.
enum class Reader : std::uint8_t { Module, Files };

struct Format {
    std::uint64_t channels = 1;         // at least 1
    std::uint64_t rate = 1;             // at least 1
    std::uint64_t frames = 0;           // per channel, as the payload is taken
    std::uint64_t declared_frames = 0;  // the header's sample_count
    Coding coding = Coding::Linear16;
    bool big_endian = false;        // Linear16, Linear32: the stored order
    bool ulaw_stream = false;       // Shorten: the header calls its samples mu-law
    bool stream_version_1 = false;  // Shorten: the stream may be version 1 (the readers of files take it)
    std::string shorten_label;      // Shorten: the label, trimmed and in lower case
    ChecksumRule checksum = ChecksumRule::None;
    // The header's sample_checksum: absent, its value, or why it is no integer.
    std::optional<Result<std::int64_t>> declared_checksum;

    bool compressed() const noexcept { return coding == Coding::Shorten; }
    // Bytes of one stored sample (a Shorten payload has none).
    unsigned stored_width() const noexcept;
    // Bytes of one decoded sample: 4 for 32-bit PCM, else 2.
    unsigned decoded_width() const noexcept { return coding == Coding::Linear32 ? 4 : 2; }
};

// The codec's name, one table for every surface (sph2wav --info and
// --json, korrin.info, korrin_native.info): "pcm", "ulaw", "alaw",
// "pculaw" or "shorten". A linear coding's width and byte order are told
// apart by sample_width and big_endian.
std::string_view codec_name(const Format& format) noexcept;

// Bytes of a stored linear PCM sample (1, 2 or 4); 2 for G.711 and
// Shorten, which decode to 16 bits.
std::uint32_t sample_width(const Format& format) noexcept;

// True when the header's coding names a compression (a second
// comma-separated piece of sample_coding).
bool is_compressed(const sphere::SphereHeader& header) noexcept;

// The Format of a validated header whose payload holds `payload_bytes`
// bytes, or the refusal of its coding, width, byte order or counts: the
// checks that do not read the payload. The payload's size is not checked
// here (see admit), but a sample_count that counts every channel's
// samples is taken as frames by the readers of files.
Result<Format> format_of(const sphere::SphereHeader& header, std::uint64_t payload_bytes, Reader reader);

// How a stored payload of another size than the header declares is taken.
enum class StoredSize : std::uint8_t {
    Declared,  // the header's: less is "audio payload truncated", more is ignored
    AsFound,   // the whole frames the payload holds, whatever the header says
};

// The Format of a file about to be read, with every check before its
// first sample in a conversion's order: a compressed payload's label; of a
// stored one, its size (as `size` takes it), then its coding.
Result<Format> admit(const sphere::SphereHeader& header, std::uint64_t payload_bytes, Reader reader,
                     StoredSize size = StoredSize::Declared);

// Compares the header's sample_checksum with `sum`: passes when the header
// has none; `hint` is appended to the message of a failure.
Result<void> check_checksum(const Format& format, std::uint16_t sum, std::string_view hint = {});

}  // namespace korrin::format

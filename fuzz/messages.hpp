// Every message the core can return, as glob patterns ('*' stands for any
// text: a number or a quoted value). A fuzz target that meets an error whose
// message matches none of them has found a failure reported the wrong way.
#pragma once

#include <array>
#include <string_view>

namespace korrin::fuzz {

inline constexpr std::array kShortenMessages = {
    std::string_view("not a shorten stream (missing 'ajkg' magic)"),
    std::string_view("truncated shorten stream: missing version byte"),
    std::string_view("shorten version * not supported (only v2 is validated)"),
    std::string_view("implausible nskip *"),
    std::string_view("shorten sample type * not supported (16-bit PCM and mu-law only)"),
    std::string_view("invalid shorten channel count *"),
    std::string_view("invalid shorten blocksize *"),
    std::string_view("implausible maxnlpc *"),
    std::string_view("implausible nmean *"),
    std::string_view("unknown shorten function code *"),
    std::string_view("shorten bitshift * is implausibly large (corrupt or unsupported)"),
    std::string_view("shorten QLPC order * exceeds maxnlpc *"),
    std::string_view("shorten reconstruction overflowed i64 (corrupt stream)"),
    std::string_view("shorten stream exceeds the maximum decoded length"),
    std::string_view("shorten type-8 reconstructed value * is outside the 8-bit mu-law domain"),
    std::string_view("truncated or corrupt shorten stream: ran past end of bitstream"),
    std::string_view("runaway unary code"),
    std::string_view("oversized uvar width *"),
};

inline constexpr std::array kFileMessages = {
    // the header reader
    std::string_view("not a NIST SPHERE file (missing 'NIST_1A' magic)"),
    std::string_view("truncated SPHERE header"),
    std::string_view("truncated SPHERE header (no size line)"),
    std::string_view("invalid header size line"),
    std::string_view("invalid header size line: \"*\""),
    std::string_view("non-positive header size"),
    std::string_view("header claims * bytes but only * available"),
    std::string_view("SPHERE header is not valid ASCII"),
    std::string_view("malformed SPHERE header line: \"*\""),
    std::string_view("unknown field type in line: \"*\""),
    std::string_view("unknown field type \"*\" in line: \"*\""),
    std::string_view("field \"*\" declared integer but value is \"*\""),
    std::string_view("field \"*\" declared real but value is \"*\""),
    std::string_view("SPHERE header missing 'end_head' terminator"),
    // header queries and validation
    std::string_view("SPHERE header missing required field: *"),
    std::string_view("field \"*\" is not an integer"),
    std::string_view("channel_count must be >= 1, got *"),
    std::string_view("sample_n_bytes must be >= 1, got *"),
    std::string_view("sample_count must be >= 0, got *"),
    std::string_view("sample_rate must be >= 1, got *"),
    std::string_view("declared payload size overflows"),
    // the payload decoder
    std::string_view("compressed coding \"*\" not supported yet (compression: \"*\")"),
    std::string_view("sample_coding \"*\" not supported yet"),
    std::string_view("*-bit PCM not supported yet (supported: 16, 32 bit)"),
    std::string_view("unrecognized sample_byte_format \"*\" (supported: '1', '01', '10')"),
    std::string_view("ulaw expects 1-byte samples, got sample_n_bytes=*"),
    std::string_view("alaw expects 1-byte samples, got sample_n_bytes=*"),
    std::string_view("shorten channel count * disagrees with SPHERE header channel_count *"),
    std::string_view(
        "shorten stream decoded * samples/channel, but the SPHERE header declares * (truncated or QUIT came early)"),
    // the pipeline and the WAV writer
    std::string_view("audio payload truncated: header declares * bytes but only * present"),
    std::string_view("channel_count too large for WAV"),
    std::string_view("sample_rate too large for WAV"),
    std::string_view("bits_per_sample must be a multiple of 8, got *"),
    std::string_view("WAV byte_rate exceeds 32-bit field"),
    std::string_view("WAV block_align exceeds 16-bit field"),
    std::string_view("output exceeds the 4 GB RIFF/WAV size limit (* bytes of PCM)"),
};

// Glob match where '*' matches any run of bytes (including none).
constexpr bool glob_match(std::string_view pattern, std::string_view text) {
    std::size_t p = 0, t = 0, star = std::string_view::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

template <std::size_t N>
constexpr bool known_message(const std::array<std::string_view, N>& patterns, std::string_view message) {
    for (std::string_view pattern : patterns)
        if (glob_match(pattern, message)) return true;
    return false;
}

static_assert(glob_match("implausible nskip *", "implausible nskip 1048577"));
static_assert(!glob_match("implausible nskip *", "implausible nmean 3"));
static_assert(glob_match("header claims * bytes but only * available", "header claims 9 bytes but only 8 available"));
static_assert(!glob_match("truncated SPHERE header", "truncated SPHERE header (no size line)"));

}  // namespace korrin::fuzz

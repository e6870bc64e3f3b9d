// Builders for test inputs: SPHERE headers and files, and small Shorten
// streams written with an encoder of the stream's codes.
#pragma once

#include <bit>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "shorten_builder.hpp"
#include "sphere/sphere.hpp"

namespace korrin::test_support {

using Bytes = std::vector<std::uint8_t>;

inline Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

inline Bytes read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Field {
    std::string name;
    std::string value;
    std::string type = "-i";  // "-s" for text values
};

using Fields = std::vector<Field>;

// A header as `read` would hand it over, for calling the decoder directly.
inline sphere::SphereHeader header_of(const Fields& fields) {
    sphere::SphereHeader header;
    for (const Field& field : fields) header.fields[field.name] = field.value;
    header.header_size = 1024;
    return header;
}

// The usual four required fields for `channels` channels of `n_bytes`-byte
// samples, `samples` per channel, at 16000 Hz.
inline Fields required(std::int64_t samples, std::int64_t channels, std::int64_t n_bytes) {
    return {{"sample_count", std::to_string(samples)},
            {"sample_rate", "16000"},
            {"channel_count", std::to_string(channels)},
            {"sample_n_bytes", std::to_string(n_bytes)}};
}

inline Fields with(Fields fields, const Field& extra) {
    fields.push_back(extra);
    return fields;
}

// A whole SPHERE file: a 1024-byte header (or larger when the fields need
// it) followed by `payload`.
inline Bytes sphere_file(const Fields& fields, const Bytes& payload) {
    std::string body;
    for (const Field& field : fields) body += field.name + " " + field.type + " " + field.value + "\n";
    body += "end_head\n";
    std::size_t size = 1024;
    while (size < body.size() + 16) size *= 2;
    std::string text = "NIST_1A\n   " + std::to_string(size) + "\n" + body;
    text.resize(size, ' ');
    Bytes file = bytes_of(text);
    file.insert(file.end(), payload.begin(), payload.end());
    return file;
}

// A Shorten stream of sample type 3 holding `interleaved` 16-bit samples of
// `channels` channels, as DIFF0 blocks of `blocksize` frames (the frame count
// must be a multiple of it), then QUIT.
inline Bytes shorten_stream(std::uint64_t channels, std::uint64_t blocksize, std::span<const std::int16_t> interleaved,
                            std::uint64_t sample_type = 3) {
    test_support::StreamBuilder stream(sample_type, channels, blocksize, 0, 0);
    const std::uint64_t frames = interleaved.size() / channels;
    for (std::uint64_t start = 0; start < frames; start += blocksize) {
        for (std::uint64_t channel = 0; channel < channels; ++channel) {
            // DIFF0; with nmean 0 the residual is the sample.
            std::vector<std::int64_t> residuals;
            for (std::uint64_t f = start; f < start + blocksize; ++f)
                residuals.push_back(interleaved[f * channels + channel]);
            stream.diff(0, 15, residuals);
        }
    }
    return stream.quit().bytes();
}

}  // namespace korrin::test_support

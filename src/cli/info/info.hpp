// sph2wav --info: each input's header fields and the format they describe.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/front/sph2wav_options.hpp"
#include "common/bytes.hpp"
#include "sphere/sphere.hpp"

namespace korrin::cli {

// One derived fact about a file: a name and its value, which is a JSON
// number when `number` is set and a string otherwise.
struct Fact {
    std::string name;
    std::string value;
    bool number = false;
};

// What a header says about the audio of a payload of `payload_bytes`
// bytes, in a fixed order: codec, channels, rate, frames, duration
// (seconds). For a Shorten payload, its label (such as
// "embedded-shorten-v1.1") and, when `payload` (the payload's first bytes)
// reaches that far, the stream's version follow.
std::vector<Fact> derived_facts(const sphere::SphereHeader& header, std::uint64_t payload_bytes, ByteView payload = {});

// One file's block of text: its name, each field line (name, type, value)
// in the file's order, then the derived facts.
std::string info_text(std::string_view name, const std::vector<sphere::FieldLine>& lines,
                      const std::vector<Fact>& facts);

// The same as one line of JSON.
std::string info_json(std::string_view name, const std::vector<sphere::FieldLine>& lines,
                      const std::vector<Fact>& facts);

// Prints the block of every input that is a SPHERE file; returns the exit
// status (1 when any input fails, with the messages conversion gives).
int run_info(const Options& options);

}  // namespace korrin::cli

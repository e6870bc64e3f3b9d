// The plain request that every front end makes of the converter (sph2wav's
// options, sph2pipe's command line, a wav.scp with its segments): tasks,
// each one input read and decoded once, each with the outputs made of it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "cli/convert/pick.hpp"
#include "cli/flac/flac.hpp"
#include "containers/containers.hpp"

namespace korrin::cli {

// What an output file is.
enum class Encoding { Wav, Raw, Sphere, Au, Aiff, Flac };

// The coding of an output's samples.
enum class CodingChoice {
    Keep,      // the input's: G.711 stays G.711, 32-bit PCM stays 32-bit
    Linear,    // linear PCM: 16-bit, or 32-bit from 32-bit PCM
    Linear16,  // 16-bit linear PCM (32-bit PCM keeps its upper 16 bits)
    Ulaw,
    Alaw,
};

// What a header's sample_checksum means to an output.
enum class ChecksumRule {
    Verify,  // a mismatch fails it
    Warn,    // a mismatch is a warning
    Ignore,  // not looked at
};

struct Output {
    std::string name;  // how reports name it: its input, or its id
    Pick pick;
    Encoding encoding = Encoding::Wav;
    CodingChoice coding = CodingChoice::Linear;
    flac::Settings flac;
    std::filesystem::path path;  // empty: standard output
    ChecksumRule checksum = ChecksumRule::Verify;
    std::string checksum_hint;  // appended to a mismatch, e.g. how to skip the check
    // A stored payload shorter or longer than the header says is taken as
    // the file holds it, with a warning, rather than refused.
    bool payload_as_found = false;
    std::size_t index = 0;  // among all outputs of the plan, for their results
};

struct Task {
    std::filesystem::path input;  // unless from_stdin
    std::string name;             // how reports name the input
    bool from_stdin = false;
    // The header is this file's, and `input` holds the samples alone.
    std::optional<std::filesystem::path> header_file;
    bool sniff = false;                  // convert only if the input begins with "NIST_1A"
    bool verify_checksum_at_all = true;  // false: no output checks or warns
    std::vector<Output> outputs;
};

// A path that cannot be converted, found before any conversion starts.
struct Failure {
    std::string path;
    std::string message;
};

// What a run does with an output file that exists already.
enum class Existing { Refuse, Replace, Skip };

}  // namespace korrin::cli

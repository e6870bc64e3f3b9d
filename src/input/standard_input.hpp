// All of standard input, read into memory: what a converter gets from a pipe.
#pragma once

#include <cstdint>
#include <optional>

#include "common/bytes.hpp"
#include "common/result.hpp"
#include "input/input_file.hpp"

namespace korrin::input {

struct StandardInput {
    ByteBuffer bytes;
    std::optional<FileIdentity> identity;  // when standard input is a regular file
};

// Reads standard input to its end; an error when that fails or it holds
// more than `limit` bytes.
Result<StandardInput> read_standard_input(std::uint64_t limit);

// What standard input may hold: the largest input whose output a RIFF/WAV
// file can hold (4 GiB), and a bound on the memory one input takes.
inline constexpr std::uint64_t standard_input_limit = std::uint64_t{4} << 30;

}  // namespace korrin::input

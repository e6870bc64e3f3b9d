// Where one converted output goes: a file, written by rename, or standard
// output, written in one go.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "cli/sink/writer.hpp"
#include "common/bytes.hpp"

namespace korrin::cli {

enum class SinkStatus {
    Written,
    Failed,      // with a message
    Stopped,     // the run is being interrupted
    BrokenPipe,  // the reader of standard output has gone: end quietly
    Exists,      // the output file appeared meanwhile and was kept; with a message
};

class Sink {
public:
    // `path`, through `writer`'s temporary file in `slot`.
    static Sink file(OutputWriter& writer, std::size_t slot, std::filesystem::path path) {
        return Sink(&writer, slot, std::move(path));
    }
    static Sink standard_output() { return Sink(nullptr, 0, {}); }

    // Why the output must not be written, decided before the work is done
    // (the write decides again, race-free): it is the input, or it exists
    // and may not be replaced. `input` is the input's identity when known.
    std::optional<std::string> refusal(const std::optional<FileIdentity>& input, bool force) const;

    // True when the output is a file that exists and is not the input.
    bool exists_apart_from(const std::optional<FileIdentity>& input) const;

    SinkStatus write(ByteView bytes, std::string& error);

private:
    Sink(OutputWriter* writer, std::size_t slot, std::filesystem::path path)
        : writer_(writer), slot_(slot), path_(std::move(path)) {}

    OutputWriter* writer_;  // null: standard output
    std::size_t slot_;
    std::filesystem::path path_;
};

// Reads all of standard input, up to `limit` bytes; false with `error` set
// when that fails or there is more. `identity` is set when it is a file.
bool read_standard_input(ByteBuffer& bytes, std::uint64_t limit, std::optional<FileIdentity>& identity,
                         std::string& error);

// What standard input may hold: the largest input whose output a RIFF/WAV
// file can hold (4 GiB), and a bound on the memory one input takes.
inline constexpr std::uint64_t standard_input_limit = std::uint64_t{4} << 30;

}  // namespace korrin::cli

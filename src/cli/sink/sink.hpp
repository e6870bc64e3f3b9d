// Where one converted output goes: a file, written by rename, or standard
// output, written in one go.
#pragma once

#include <filesystem>
#include <optional>

#include "cli/sink/writer.hpp"
#include "common/bytes.hpp"
#include "common/result.hpp"
#include "input/input_file.hpp"

namespace korrin::cli {

class Sink {
  public:
    // `path`, through `writer`'s temporary file in `slot`.
    static Sink file(OutputWriter& writer, std::size_t slot, std::filesystem::path path) {
        return Sink(&writer, slot, std::move(path));
    }
    static Sink standard_output() { return Sink(nullptr, 0, {}); }

    // Whether the output may be written, decided before the work is done
    // (the write decides again, race-free): not when it is the input, or
    // exists and may not be replaced. `input` is the input's identity when
    // known.
    Result<void> check(const std::optional<input::FileIdentity>& input, bool force) const;

    // True when the output is a file that exists and is not the input.
    bool exists_apart_from(const std::optional<input::FileIdentity>& input) const;

    WriteResult write(ByteView bytes);

  private:
    Sink(OutputWriter* writer, std::size_t slot, std::filesystem::path path)
        : writer_(writer), slot_(slot), path_(std::move(path)) {}

    OutputWriter* writer_;  // null: standard output
    std::size_t slot_;
    std::filesystem::path path_;
};

}  // namespace korrin::cli

// Shared helpers for the fuzz targets: a property check that stops the run
// with a readable reason, and a tiny cursor over the fuzzer's bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "common/result.hpp"

namespace korrin::fuzz {

// A broken property is a finding like a sanitizer report: print why and
// abort, so that libFuzzer saves the input.
[[noreturn, gnu::cold]] inline void fail(std::string_view what, std::string_view detail = {}) {
    std::fprintf(stderr, "fuzz property violated: %.*s", static_cast<int>(what.size()), what.data());
    if (!detail.empty()) std::fprintf(stderr, " (%.*s)", static_cast<int>(detail.size()), detail.data());
    std::fputc('\n', stderr);
    std::abort();
}

inline void check(bool ok, std::string_view what, std::string_view detail = {}) {
    if (!ok) fail(what, detail);
}

// Every error that leaves the core carries a message and one of the two
// input kinds; "out of memory" would mean a size escaped its bound.
inline void check_error(const DecodeError& error, std::string_view where) {
    check(!error.message.empty(), "empty error message", where);
    check(error.kind != ErrorKind::OutOfMemory, "allocation failed", where);
}

}  // namespace korrin::fuzz

// How korrin._native reports a failure of the file it reads: an OSError as
// Python's open() raises it, or a ValueError that says which file failed.
#pragma once

#include <string>
#include <string_view>

#include "common/result.hpp"
#include "python/errors.hpp"
#include "python/native/arguments.hpp"

namespace korrin::python::native {

// A file name as sph2wav prints it: UTF-8 unchanged, a backslash doubled,
// LF, TAB and CR as \n, \t and \r, and every byte of another control
// character or of invalid UTF-8 as \xHH.
std::string printable_name(std::string_view name);

// A core failure of `source` as Python sees it. A file that cannot be
// opened or read is the OSError that open() raises for its errno (its
// subclass: FileNotFoundError, PermissionError, ...) with the path; any
// other failure is to_py's ValueError or MemoryError, whose message begins
// "PATH: " when the file was named by a path, as sph2wav's report does,
// and which says that bytes are read as the file's content when the bytes
// given look like a path.
[[gnu::cold]] PendingError error_of(DecodeError error, const Source& source);

}  // namespace korrin::python::native

// The argument conversions of korrin._native, whose one caller is the korrin
// package: it has checked the types, and passes plain values.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/bytes.hpp"
#include "python/capi.hpp"
#include "python/errors.hpp"

namespace korrin::python::native {

// Where a file comes from: a path, or the bytes of a whole file (borrowed
// from an immutable bytes object for the call's length).
struct Source {
    bool is_path = false;
    std::filesystem::path path;
    ByteView data;
    PyObject* name = nullptr;  // the path as given (str or bytes), for OSError
};

// `object` with `is_path`: a str or bytes path, or a bytes object of data.
PyResult<Source> source_argument(PyObject* object, PyObject* is_path);

// A Python int within the signed 64-bit range.
PyResult<std::int64_t> int64_argument(PyObject* object);

// None, or such an int.
PyResult<std::optional<std::int64_t>> optional_int64_argument(PyObject* object);

// None (every channel: empty), or a tuple of such ints.
PyResult<std::vector<std::int64_t>> channels_argument(PyObject* object);

// A str, as UTF-8.
PyResult<std::string> text_argument(PyObject* object);

}  // namespace korrin::python::native

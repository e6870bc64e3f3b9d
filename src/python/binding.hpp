// Argument binding and conversion: from CPython's (args, kwargs) to typed
// values, with the messages of CPython's own argument errors.
#pragma once

#include <cstddef>
#include <span>
#include <utility>

#include "common/bytes.hpp"
#include "python/capi.hpp"
#include "python/errors.hpp"

namespace korrin::python {

// What the binding knows of one function: every parameter may be given by
// position or keyword unless positional-only, and the first `required` must
// be given.
struct FunctionDescription {
    const char* name;
    std::span<const char* const> parameters;
    std::size_t positional_only = 0;
    std::size_t required = 0;
};

// Binds the positional tuple and the keyword dict (or null) to one slot per
// parameter. Slots hold borrowed references and stay null when not given.
PyResult<void> extract_arguments_tuple_dict(const FunctionDescription& description, PyObject* args, PyObject* kwargs,
                                            std::span<PyObject*> slots);

// A bytes object (or subclass) read in place; it lives as long as the call's
// arguments do.
PyResult<ByteView> bytes_argument(PyObject* object);

// A bool (or subtype), or a numpy boolean scalar through its type's __bool__.
PyResult<bool> bool_argument(PyObject* object);

// Names the parameter in a failed conversion's error.
template <class T>
PyResult<T> argument(const char* parameter, PyResult<T> converted) {
    if (converted) return converted;
    return argument_extraction_error(parameter, std::move(converted).error());
}

}  // namespace korrin::python

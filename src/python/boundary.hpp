// The fault boundary: every C entry point of the module runs its body through
// `trampoline`, the one place where a body's value, its pending error or an
// escaped C++ exception becomes an object or NULL-with-exception. Nothing
// ever unwinds into the interpreter.
#pragma once

#include <exception>

#include "python/capi.hpp"
#include "python/errors.hpp"

namespace korrin::python {

// Stops the current body with an internal fault carrying `text`.
[[noreturn]] void fault(const char* text);

// Checks a result object that CPython just made: on failure the Python error
// is printed and the body faults with "Python API call failed".
Ref made(PyObject* object);

// Raises the fault held by `fault` as Python sees it: std::bad_alloc as
// MemoryError, anything else as PanicException with the fault's text. A
// fault while doing so escapes to the caller.
void raise_fault(std::exception_ptr fault);

// A fault escaped while another was being raised: report and abort.
[[noreturn]] void abort_at_boundary() noexcept;

// Runs `body`, which returns PyResult<Ref>, for a C entry point. The caller
// holds the interpreter lock; the boundary neither takes nor releases it.
template <class Body>
PyObject* trampoline(Body&& body) noexcept {
    // The outer handler is the guard: armed for the whole call, it catches a
    // second fault thrown while the first is turned into an exception.
    try {
        try {
            PyResult<Ref> result = static_cast<Body&&>(body)();
            if (result) return std::move(result).value().release();
            std::move(result).error().raise();
            return nullptr;
        } catch (...) {
            raise_fault(std::current_exception());
            return nullptr;
        }
    } catch (...) {
        abort_at_boundary();
    }
}

// A C entry point of a module function whose body is `body(args, kwargs)`.
template <PyResult<Ref> (*body)(PyObject*, PyObject*)>
PyObject* entry(PyObject*, PyObject* args, PyObject* kwargs) noexcept {
    return trampoline([&] { return body(args, kwargs); });
}

// CPython calls METH_VARARGS | METH_KEYWORDS functions with three arguments
// through the two-argument PyCFunction type; the cast through void(*)() is
// the form compilers accept without a warning.
template <PyObject* (*function)(PyObject*, PyObject*, PyObject*)>
PyCFunction as_method() noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace korrin::python

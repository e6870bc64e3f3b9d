// How a failing step of the binding reports to the fault boundary: a
// PendingError carried in a PyResult, raised by the boundary alone.
#pragma once

#include <utility>
#include <variant>

#include "common/result.hpp"
#include "python/capi.hpp"

namespace korrin::python {

// One exception waiting to be raised: either a type with its single str
// argument, made into an instance only when raised, or an exception already
// taken from CPython (type, value, traceback).
class [[nodiscard]] PendingError {
  public:
    // `type` is a process-lifetime exception type (PyExc_TypeError, ...).
    // A null message means making it failed: the error is then the one
    // CPython raised for that.
    static PendingError of_type(PyObject* type, Ref message) noexcept;

    // Takes the exception CPython has pending; a SystemError when a C-API
    // call failed without setting one.
    static PendingError fetch() noexcept;

    // An exception instance made here, with its type.
    static PendingError of_instance(Ref type, Ref instance) noexcept;

    bool is_exactly(PyObject* type) const noexcept { return type_.get() == type; }

    // str() of the exception (null with a Python error set on failure).
    Ref text();

    // The exception's __cause__ (null when it has none).
    Ref cause();

    // Makes this the calling thread's current exception, as an instance.
    void raise() && noexcept;

  private:
    PendingError(Ref type, Ref value, Ref traceback, bool made) noexcept
        : type_(std::move(type)), value_(std::move(value)), traceback_(std::move(traceback)), made_(made) {}

    void normalize() noexcept;

    Ref type_;
    Ref value_;  // the message while unmade, else the exception (maybe not yet normalised)
    Ref traceback_;
    bool made_;  // false: value_ is the constructor argument
};

// Value or PendingError: the core's Result with the binding's error, so
// that KR_TRY and KR_ASSIGN_OR_RETURN work on it too.
template <class T>
using PyResult = Result<T, PendingError>;

// A core failure as Python sees it: ValueError with the message alone, or
// MemoryError when the core could not allocate its output.
[[gnu::cold]] PendingError to_py(DecodeError error) noexcept;

// What a call reports when converting `parameter` failed with `error`: a
// plain TypeError gets the parameter's name in front, anything else passes.
[[gnu::cold]] PendingError argument_extraction_error(const char* parameter, PendingError error) noexcept;

// "'{type}' object cannot be converted to '{target}'" as a TypeError.
[[gnu::cold]] PendingError conversion_error(PyObject* object, const char* target) noexcept;

// A TypeError with `message` (UTF-8).
[[gnu::cold]] PendingError type_error(const char* message) noexcept;

}  // namespace korrin::python

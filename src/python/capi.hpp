// The one includer of <Python.h>, and the owning reference every other file
// of the binding uses.
//
// The build defines Py_LIMITED_API=0x03090000: only the stable ABI of
// CPython 3.9 is visible, so one shared object loads into every CPython from
// 3.9 on. That rules out struct fields (Py_TYPE(o)->tp_name) and the helpers
// added later: PyUnicode_AsUTF8AndSize joined the limited API in 3.10, so
// text goes through PyUnicode_AsUTF8String or PyUnicode_FromFormat instead.
#pragma once

#ifndef Py_LIMITED_API
#error "the binding is built against the limited API only: the build defines Py_LIMITED_API"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace korrin::python {

// A strong reference, released when the Ref goes out of scope. Made only by
// steal (a new reference from CPython, maybe null) or borrow (takes a new
// reference to an object someone else owns).
class Ref {
  public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref(std::move(other)).swap(*this);
        return *this;
    }
    ~Ref() { Py_XDECREF(object_); }

    [[nodiscard]] static Ref steal(PyObject* object) noexcept { return Ref(object); }
    [[nodiscard]] static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Hands the reference to the caller (typically CPython, as a return value).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

    void swap(Ref& other) noexcept { std::swap(object_, other.object_); }

  private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}

    PyObject* object_ = nullptr;
};

}  // namespace korrin::python

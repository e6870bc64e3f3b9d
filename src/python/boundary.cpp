#include "python/boundary.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

// The dotted name of the fault type. The test-only fault modules build this
// file with names of their own; one of them picks a name that CPython
// refuses, to show what a fault during fault conversion does.
#ifndef KORRIN_PANIC_TYPE_NAME
#define KORRIN_PANIC_TYPE_NAME "korrin_native.PanicException"
#endif

namespace korrin::python {

namespace {

class InternalFault : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

constexpr const char* panic_doc =
    "The exception raised when native code called from Python hits an internal fault.\n"
    "\n"
    "Like SystemExit, this exception derives from BaseException, so that it will\n"
    "typically propagate all the way through the stack and make the Python\n"
    "interpreter exit.";

constexpr const char* unknown_fault_text = "internal fault of unknown kind";

// Created at the first fault, then reused for the rest of the process. Every
// access holds the interpreter lock, which is the once-guard.
PyObject* panic_type = nullptr;

PyObject* panic_exception_type() {
    if (panic_type == nullptr) {
        panic_type = PyErr_NewExceptionWithDoc(KORRIN_PANIC_TYPE_NAME, panic_doc, PyExc_BaseException, nullptr);
        if (panic_type == nullptr) {
            PyErr_Clear();
            throw InternalFault("Failed to initialize new exception type.");
        }
    }
    return panic_type;
}

void raise_panic(const char* text) {
    PyObject* type = panic_exception_type();
    Ref message = Ref::steal(PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace"));
    if (!message) {
        PyErr_Clear();
        throw InternalFault("could not make the text of a PanicException");
    }
    PendingError::of_type(type, std::move(message)).raise();
}

}  // namespace

void fault(const char* text) { throw InternalFault(text); }

Ref made(PyObject* object) {
    if (object == nullptr) {
        PyErr_Print();
        fault("Python API call failed");
    }
    return Ref::steal(object);
}

void raise_fault(std::exception_ptr fault) {
    try {
        std::rethrow_exception(std::move(fault));
    } catch (const std::bad_alloc&) {
        // Memory ran out inside a body: the ordinary Python condition.
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_panic(error.what());
    } catch (...) {
        raise_panic(unknown_fault_text);
    }
}

void abort_at_boundary() noexcept {
    const char* text = unknown_fault_text;
    try {
        throw;
    } catch (const std::exception& error) {
        text = error.what();
    } catch (...) {}
    std::fprintf(stderr, "fatal: uncaught panic at ffi boundary: %s\n", text);
    std::fflush(stderr);
    std::abort();
}

}  // namespace korrin::python

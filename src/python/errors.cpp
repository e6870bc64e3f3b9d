#include "python/errors.hpp"

#include <string>

namespace korrin::python {

PendingError PendingError::of_type(PyObject* type, Ref message) noexcept {
    if (!message) return fetch();
    return PendingError(Ref::borrow(type), std::move(message), Ref(), false);
}

PendingError PendingError::fetch() noexcept {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        Py_XDECREF(value);
        Py_XDECREF(traceback);
        return of_type(PyExc_SystemError,
                       Ref::steal(PyUnicode_FromString("attempted to fetch exception but none was set")));
    }
    return PendingError(Ref::steal(type), Ref::steal(value), Ref::steal(traceback), true);
}

PendingError PendingError::of_instance(Ref type, Ref instance) noexcept {
    return PendingError(std::move(type), std::move(instance), Ref(), true);
}

void PendingError::normalize() noexcept {
    PyObject* type = type_.release();
    PyObject* value = value_.release();
    PyObject* traceback = traceback_.release();
    PyErr_NormalizeException(&type, &value, &traceback);
    type_ = Ref::steal(type);
    value_ = Ref::steal(value);
    traceback_ = Ref::steal(traceback);
}

Ref PendingError::text() {
    // str() of an exception made from one str argument is that argument.
    if (!made_) return Ref::borrow(value_.get());
    normalize();
    return Ref::steal(PyObject_Str(value_.get()));
}

Ref PendingError::cause() {
    if (!made_) return Ref();
    normalize();
    return Ref::steal(PyException_GetCause(value_.get()));
}

void PendingError::raise() && noexcept {
    if (made_) {
        PyErr_Restore(type_.release(), value_.release(), traceback_.release());
        return;
    }
    // Raise, then normalise at once, so that the caller of the entry point
    // finds a real exception instance, not a (type, argument) pair.
    PyErr_SetObject(type_.get(), value_.get());
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyErr_Restore(type, value, traceback);
}

PendingError to_py(DecodeError error) noexcept {
    // Invalid UTF-8 cannot come out of the core's quoting, but a message is
    // never worth losing the error over: undecodable bytes become U+FFFD.
    Ref message = Ref::steal(
        PyUnicode_DecodeUTF8(error.message.data(), static_cast<Py_ssize_t>(error.message.size()), "replace"));
    PyObject* type = error.kind == ErrorKind::OutOfMemory ? PyExc_MemoryError : PyExc_ValueError;
    return PendingError::of_type(type, std::move(message));
}

PendingError argument_extraction_error(const char* parameter, PendingError error) noexcept {
    if (!error.is_exactly(PyExc_TypeError)) return error;
    Ref text = error.text();
    if (!text) return PendingError::fetch();
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", parameter, text.get()));
    if (!message) return PendingError::fetch();
    Ref instance = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
    if (!instance) return PendingError::fetch();
    Ref cause = error.cause();
    if (!cause && PyErr_Occurred()) return PendingError::fetch();
    // Steals the cause, null included, and sets __suppress_context__ either way.
    PyException_SetCause(instance.get(), cause.release());
    return PendingError::of_instance(Ref::borrow(PyExc_TypeError), std::move(instance));
}

namespace {

// The type's __qualname__ as a str, or the fixed stand-in text.
Ref type_name(PyObject* object) noexcept {
    Ref type = Ref::steal(PyObject_Type(object));
    Ref name = type ? Ref::steal(PyObject_GetAttrString(type.get(), "__qualname__")) : Ref();
    if (name && PyUnicode_Check(name.get())) return name;
    PyErr_Clear();
    return Ref::steal(PyUnicode_FromString("<failed to extract type name>"));
}

}  // namespace

PendingError conversion_error(PyObject* object, const char* target) noexcept {
    Ref name = type_name(object);
    if (!name) return PendingError::fetch();
    return PendingError::of_type(PyExc_TypeError, Ref::steal(PyUnicode_FromFormat(
                                                      "'%U' object cannot be converted to '%s'", name.get(), target)));
}

PendingError type_error(const char* message) noexcept {
    return PendingError::of_type(PyExc_TypeError, Ref::steal(PyUnicode_FromString(message)));
}

}  // namespace korrin::python

// A test-only module: functions whose bodies fault in each way the boundary
// handles, run through the very boundary code of korrin_native. Built only
// with KORRIN_FAULT_TESTS; the build names it with KORRIN_FAULT_MODULE.
#include <new>
#include <string>

#include "common/result.hpp"
#include "python/binding.hpp"
#include "python/boundary.hpp"
#include "python/capi.hpp"
#include "python/errors.hpp"

#ifndef KORRIN_FAULT_MODULE
#error "the build names the fault module with KORRIN_FAULT_MODULE"
#endif
#define KR_STRINGIFY_(x) #x
#define KR_STRINGIFY(x) KR_STRINGIFY_(x)
#define KR_PYINIT_(name) PyInit_##name
#define KR_PYINIT(name) KR_PYINIT_(name)

namespace korrin::python {

namespace {

constexpr const char* text_parameters[] = {"text"};
constexpr const char* core_error_parameters[] = {"out_of_memory", "message"};

constexpr FunctionDescription no_arguments{"fault", {}, 0, 0};
constexpr FunctionDescription text_argument{"fault", text_parameters, 0, 1};
constexpr FunctionDescription core_error_arguments{"core_error", core_error_parameters, 0, 2};

std::string as_string(ByteView bytes) { return std::string(bytes.begin(), bytes.end()); }

// A fault with the given text (bytes, so that any text can be tried).
PyResult<Ref> throw_fault(PyObject* args, PyObject* kwargs) {
    PyObject* slots[1] = {};
    KR_TRY(extract_arguments_tuple_dict(text_argument, args, kwargs, slots));
    KR_ASSIGN_OR_RETURN(const ByteView text, argument("text", bytes_argument(slots[0])));
    fault(as_string(text).c_str());
}

// A fault that is no std::exception, so it carries no text.
PyResult<Ref> throw_foreign(PyObject* args, PyObject* kwargs) {
    PyObject* slots[1] = {};
    KR_TRY(extract_arguments_tuple_dict(no_arguments, args, kwargs, slots));
    throw 42;
}

PyResult<Ref> throw_bad_alloc(PyObject* args, PyObject* kwargs) {
    PyObject* slots[1] = {};
    KR_TRY(extract_arguments_tuple_dict(no_arguments, args, kwargs, slots));
    throw std::bad_alloc();
}

// A result object that CPython refuses to make (a negative size).
PyResult<Ref> fail_result_object(PyObject* args, PyObject* kwargs) {
    PyObject* slots[1] = {};
    KR_TRY(extract_arguments_tuple_dict(no_arguments, args, kwargs, slots));
    return made(PyBytes_FromStringAndSize(nullptr, -1));
}

// A C-API call that "failed" without setting an exception.
PyResult<Ref> fail_without_exception(PyObject* args, PyObject* kwargs) {
    PyObject* slots[1] = {};
    KR_TRY(extract_arguments_tuple_dict(no_arguments, args, kwargs, slots));
    return PendingError::fetch();
}

// A core DecodeError of kind Invalid, or OutOfMemory, through to_py.
PyResult<Ref> core_error(PyObject* args, PyObject* kwargs) {
    PyObject* slots[2] = {};
    KR_TRY(extract_arguments_tuple_dict(core_error_arguments, args, kwargs, slots));
    KR_ASSIGN_OR_RETURN(const bool out_of_memory, argument("out_of_memory", bool_argument(slots[0])));
    KR_ASSIGN_OR_RETURN(const ByteView message, argument("message", bytes_argument(slots[1])));
    return to_py(DecodeError{out_of_memory ? ErrorKind::OutOfMemory : ErrorKind::Invalid, as_string(message)});
}

PyMethodDef functions[] = {
    {"throw_fault", as_method<entry<throw_fault>>(), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"throw_foreign", as_method<entry<throw_foreign>>(), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"throw_bad_alloc", as_method<entry<throw_bad_alloc>>(), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"fail_result_object", as_method<entry<fail_result_object>>(), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"fail_without_exception", as_method<entry<fail_without_exception>>(), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"core_error", as_method<entry<core_error>>(), METH_VARARGS | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT, KR_STRINGIFY(KORRIN_FAULT_MODULE), "", 0, functions, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace korrin::python

PyMODINIT_FUNC KR_PYINIT(KORRIN_FAULT_MODULE)() {
    return korrin::python::trampoline([]() -> korrin::python::PyResult<korrin::python::Ref> {
        auto module = korrin::python::Ref::steal(PyModule_Create2(&korrin::python::definition, PYTHON_ABI_VERSION));
        if (!module) return korrin::python::PendingError::fetch();
        return module;
    });
}

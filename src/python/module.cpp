// The module object: single-phase initialisation, one interpreter per
// process, and a module that is made once and then handed out again.
#include <atomic>
#include <cstdint>

#include "python/binding.hpp"
#include "python/boundary.hpp"
#include "python/capi.hpp"
#include "python/errors.hpp"
#include "python/functions.hpp"

namespace korrin::python {

namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "korrin_native",
    "",  // __doc__ is the empty string
    0,
    nullptr,  // the functions are added by the initialiser
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// The interpreter that imported the module first; -1 until then. The module
// keeps no per-interpreter state, so it refuses every other interpreter,
// once that first import has completed.
std::atomic<std::int64_t> initialising_interpreter{-1};

// Set once, under the interpreter lock, and never released: every later
// import in this interpreter gets the same module object.
PyObject* cached_module = nullptr;

// Appends `name` to the module's __all__ (made when missing), then sets the
// attribute: the name is listed before the value is there.
PyResult<void> add(PyObject* module, PyObject* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return PendingError::fetch();
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all) return PendingError::fetch();
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) return PendingError::fetch();
    } else if (!PyList_Check(all.get())) {
        return conversion_error(all.get(), "PyList");
    }
    if (PyList_Append(all.get(), name) < 0) {
        PyErr_Clear();
        fault("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, name, value) < 0) return PendingError::fetch();
    return {};
}

PyResult<void> add_function(PyObject* module, PyMethodDef& definition) {
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return PendingError::fetch();
    Ref function = Ref::steal(PyCMethod_New(&definition, module, module_name.get(), nullptr));
    if (!function) return PendingError::fetch();
    Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) return PendingError::fetch();
    if (!PyUnicode_Check(name.get())) return conversion_error(name.get(), "PyString");
    return add(module, name.get(), function.get());
}

PyResult<void> initialise(PyObject* module) {
    Ref name = Ref::steal(PyUnicode_FromString("__version__"));
    if (!name) return PendingError::fetch();
    Ref version = Ref::steal(PyUnicode_FromString(KORRIN_VERSION));
    if (!version) return PendingError::fetch();
    KR_TRY(add(module, name.get(), version.get()));
    for (PyMethodDef& definition : module_functions()) KR_TRY(add_function(module, definition));
    return {};
}

// True once CPython has accepted a module made by this initialiser: it then
// records the initialiser in the definition. CPython 3.12 calls the
// initialiser in an isolated subinterpreter and only afterwards refuses a
// single-phase module there, so a claim can be taken by an import that
// never completed; until this is true, no import has.
bool an_import_completed() { return module_definition.m_base.m_init != nullptr; }

PyResult<Ref> make_module() {
    const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (interpreter == -1) return PendingError::fetch();
    std::int64_t expected = -1;
    if (!initialising_interpreter.compare_exchange_strong(expected, interpreter) && expected != interpreter) {
        // The claim of an interpreter whose import was refused passes on;
        // the module made there is not this interpreter's to use or release.
        if (an_import_completed() || !initialising_interpreter.compare_exchange_strong(expected, interpreter))
            return PendingError::of_type(
                PyExc_ImportError,
                Ref::steal(PyUnicode_FromString("korrin_native does not support subinterpreters: it can be "
                                                "imported only in the interpreter that imported it first")));
        cached_module = nullptr;
    }

    if (cached_module != nullptr) return Ref::borrow(cached_module);

    // A claim taken by this call is given up again if the module cannot be
    // made: an import that failed must not shut out the next one.
    const bool claimed_here = expected != interpreter;
    auto made = []() -> PyResult<Ref> {
        // PYTHON_ABI_VERSION is 3 under the limited API: the stable ABI.
        Ref module = Ref::steal(PyModule_Create2(&module_definition, PYTHON_ABI_VERSION));
        if (!module) return PendingError::fetch();
        KR_TRY(initialise(module.get()));
        return module;
    }();
    if (!made) {
        if (claimed_here && !an_import_completed()) initialising_interpreter.store(-1);
        return made;
    }
    cached_module = Ref::borrow(made->get()).release();
    return made;
}

}  // namespace

}  // namespace korrin::python

PyMODINIT_FUNC PyInit_korrin_native() {
    return korrin::python::trampoline([] { return korrin::python::make_module(); });
}

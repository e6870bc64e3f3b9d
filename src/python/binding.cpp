#include "python/binding.hpp"

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

namespace korrin::python {

namespace {

std::string function_name(const FunctionDescription& description) { return std::string(description.name) + "()"; }

[[gnu::cold]] PendingError too_many_positional(const FunctionDescription& description, Py_ssize_t given) {
    std::string message = function_name(description) + " takes " + std::to_string(description.parameters.size()) +
                          " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") +
                          " given";
    return type_error(message.c_str());
}

[[gnu::cold]] PendingError unexpected_keyword(const FunctionDescription& description, PyObject* keyword) {
    // %S is str(keyword), which also copes with text that UTF-8 cannot hold.
    return PendingError::of_type(
        PyExc_TypeError,
        Ref::steal(PyUnicode_FromFormat("%s() got an unexpected keyword argument '%S'", description.name, keyword)));
}

[[gnu::cold]] PendingError multiple_values(const FunctionDescription& description, const char* parameter) {
    std::string message = function_name(description) + " got multiple values for argument '" + parameter + "'";
    return type_error(message.c_str());
}

[[gnu::cold]] PendingError missing_required(const FunctionDescription& description, std::span<PyObject* const> slots) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < description.required; ++i) count += slots[i] == nullptr;
    std::string message = function_name(description) + " missing " + std::to_string(count) + " required positional " +
                          (count == 1 ? "argument" : "arguments") + ": ";
    // 'a' / 'a' and 'b' / 'a', 'b', and 'c': the way CPython lists them.
    std::size_t listed = 0;
    for (std::size_t i = 0; i < description.required; ++i) {
        if (slots[i] != nullptr) continue;
        if (listed != 0) {
            if (count > 2) message += ',';
            message += listed + 1 == count ? " and " : " ";
        }
        message += '\'';
        message += description.parameters[i];
        message += '\'';
        ++listed;
    }
    return type_error(message.c_str());
}

// The index of the keyword parameter that `keyword` names exactly, or -1 when
// it names none (including keys that are no str, or no UTF-8 text).
Py_ssize_t keyword_index(const FunctionDescription& description, PyObject* keyword) {
    if (!PyUnicode_Check(keyword)) return -1;
    Ref utf8 = Ref::steal(PyUnicode_AsUTF8String(keyword));
    if (!utf8) {
        PyErr_Clear();
        return -1;
    }
    std::string_view text(PyBytes_AsString(utf8.get()), static_cast<std::size_t>(PyBytes_Size(utf8.get())));
    for (std::size_t i = description.positional_only; i < description.parameters.size(); ++i) {
        if (text == description.parameters[i]) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

}  // namespace

PyResult<void> extract_arguments_tuple_dict(const FunctionDescription& description, PyObject* args, PyObject* kwargs,
                                            std::span<PyObject*> slots) {
    const auto parameter_count = static_cast<Py_ssize_t>(description.parameters.size());
    const Py_ssize_t given = PyTuple_Size(args);
    if (given < 0) return PendingError::fetch();

    for (Py_ssize_t i = 0; i < given && i < parameter_count; ++i) {
        slots[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
    }
    if (given > parameter_count) return too_many_positional(description, given);

    if (kwargs != nullptr) {
        Py_ssize_t position = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            const Py_ssize_t index = keyword_index(description, key);
            if (index < 0) return unexpected_keyword(description, key);
            const auto parameter = static_cast<std::size_t>(index);
            if (slots[parameter] != nullptr) return multiple_values(description, description.parameters[parameter]);
            slots[parameter] = value;
        }
    }

    if (given < static_cast<Py_ssize_t>(description.required)) {
        for (std::size_t i = 0; i < description.required; ++i) {
            if (slots[i] == nullptr) return missing_required(description, slots);
        }
    }
    return {};
}

PyResult<ByteView> bytes_argument(PyObject* object) {
    if (!PyBytes_Check(object)) return conversion_error(object, "PyBytes");
    const char* data = PyBytes_AsString(object);
    const Py_ssize_t size = PyBytes_Size(object);
    if (data == nullptr || size < 0) return PendingError::fetch();
    return ByteView(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size));
}

namespace {

// True when the attribute `name` of `type` is a str equal to one of
// `expected`. Errors while reading it are dropped: the answer is then no.
bool type_attribute_is(PyObject* type, const char* name, std::initializer_list<const char*> expected) {
    Ref value = Ref::steal(PyObject_GetAttrString(type, name));
    if (!value || !PyUnicode_Check(value.get())) {
        PyErr_Clear();
        return false;
    }
    for (const char* candidate : expected) {
        if (PyUnicode_CompareWithASCIIString(value.get(), candidate) == 0) return true;
    }
    return false;
}

// Looks a special method up the way CPython does: on the type, bound to the
// object when the attribute is a descriptor. Null (no error set) when absent.
Ref lookup_special(PyObject* object, PyObject* type, const char* name) {
    Ref attribute = Ref::steal(PyObject_GetAttrString(type, name));
    if (!attribute) {
        PyErr_Clear();
        return Ref();
    }
    Ref attribute_type = Ref::steal(PyObject_Type(attribute.get()));
    Ref get = Ref::steal(PyObject_GetAttrString(attribute_type.get(), "__get__"));
    if (!get) {
        PyErr_Clear();
        return attribute;
    }
    return Ref::steal(PyObject_CallFunctionObjArgs(get.get(), attribute.get(), object, type, nullptr));
}

[[gnu::cold]] PendingError missing_bool_conversion(PyObject* type) {
    Ref type_text = Ref::steal(PyObject_Str(type));
    if (!type_text) return PendingError::fetch();
    return PendingError::of_type(
        PyExc_TypeError, Ref::steal(PyUnicode_FromFormat("object of type '%U' does not define a '__bool__' conversion",
                                                         type_text.get())));
}

}  // namespace

PyResult<bool> bool_argument(PyObject* object) {
    if (PyBool_Check(object)) return object == Py_True;

    // numpy.bool_ (numpy.bool since numpy 2) is no bool subtype; it is taken
    // through its own __bool__, which plain truthiness would not check.
    Ref type = Ref::steal(PyObject_Type(object));
    if (!type) return PendingError::fetch();
    const bool numpy_bool = type_attribute_is(type.get(), "__module__", {"numpy"}) &&
                            type_attribute_is(type.get(), "__name__", {"bool_", "bool"});
    if (!numpy_bool) return conversion_error(object, "PyBool");

    Ref method = lookup_special(object, type.get(), "__bool__");
    if (!method) {
        if (PyErr_Occurred()) return PendingError::fetch();
        return missing_bool_conversion(type.get());
    }
    Ref truth = Ref::steal(PyObject_CallObject(method.get(), nullptr));
    if (!truth) return PendingError::fetch();
    if (!PyBool_Check(truth.get())) return conversion_error(truth.get(), "PyBool");
    return truth.get() == Py_True;
}

}  // namespace korrin::python

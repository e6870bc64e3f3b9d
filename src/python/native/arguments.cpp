#include "python/native/arguments.hpp"

#include "python/binding.hpp"

namespace korrin::python::native {

PyResult<Source> source_argument(PyObject* object, PyObject* is_path) {
    Source source;
    KR_ASSIGN_OR_RETURN(source.is_path, argument("is_path", bool_argument(is_path)));
    if (!source.is_path) {
        KR_ASSIGN_OR_RETURN(source.data, argument("source", bytes_argument(object)));
        return source;
    }
    Ref encoded;
    if (PyUnicode_Check(object)) {
        encoded = Ref::steal(PyUnicode_EncodeFSDefault(object));
        if (!encoded) return PendingError::fetch();
    } else {
        encoded = Ref::borrow(object);
    }
    KR_ASSIGN_OR_RETURN(const ByteView bytes, argument("source", bytes_argument(encoded.get())));
    for (const std::uint8_t byte : bytes)
        if (byte == 0)
            return PendingError::of_type(PyExc_ValueError, Ref::steal(PyUnicode_FromString("embedded null byte")));
    source.path = std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    source.name = object;
    return source;
}

PyResult<std::int64_t> int64_argument(PyObject* object) {
    if (!PyLong_Check(object)) return conversion_error(object, "PyLong");
    const long long value = PyLong_AsLongLong(object);
    if (value == -1 && PyErr_Occurred()) return PendingError::fetch();
    return static_cast<std::int64_t>(value);
}

PyResult<std::optional<std::int64_t>> optional_int64_argument(PyObject* object) {
    if (object == Py_None) return std::optional<std::int64_t>();
    KR_ASSIGN_OR_RETURN(const std::int64_t value, int64_argument(object));
    return std::optional<std::int64_t>(value);
}

PyResult<std::vector<std::int64_t>> channels_argument(PyObject* object) {
    std::vector<std::int64_t> channels;
    if (object == Py_None) return channels;
    if (!PyTuple_Check(object)) return conversion_error(object, "PyTuple");
    const Py_ssize_t count = PyTuple_Size(object);
    for (Py_ssize_t i = 0; i < count; ++i) {
        KR_ASSIGN_OR_RETURN(const std::int64_t channel, int64_argument(PyTuple_GetItem(object, i)));
        channels.push_back(channel);
    }
    return channels;
}

PyResult<std::string> text_argument(PyObject* object) {
    if (!PyUnicode_Check(object)) return conversion_error(object, "PyString");
    Ref utf8 = Ref::steal(PyUnicode_AsUTF8String(object));
    if (!utf8) return PendingError::fetch();
    return std::string(PyBytes_AsString(utf8.get()), static_cast<std::size_t>(PyBytes_Size(utf8.get())));
}

}  // namespace korrin::python::native

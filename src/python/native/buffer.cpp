#include "python/native/buffer.hpp"

#include "python/native/blocks.hpp"

namespace korrin::python::native {

namespace {

struct BufferObject {
    PyObject_HEAD Block block;
    std::size_t size;
};

// Set once at initialisation and never released: every Buffer holds a
// reference to its type too, so arrays may outlive the module.
PyTypeObject* buffer_type = nullptr;

void buffer_dealloc(PyObject* self) {
    auto* buffer = reinterpret_cast<BufferObject*>(self);
    BlockPool::shared().give(buffer->block);
    PyTypeObject* type = Py_TYPE(self);
    auto free_object = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_object(self);
    Py_DECREF(type);
}

// A one-dimensional array of bytes, writable, which numpy views as the
// dtype asked for.
PyObject* buffer_interface(PyObject* self, void*) {
    const auto* buffer = reinterpret_cast<const BufferObject*>(self);
    return Py_BuildValue("{s:(n),s:s,s:(NO),s:i}", "shape", static_cast<Py_ssize_t>(buffer->size), "typestr", "|u1",
                         "data", PyLong_FromVoidPtr(buffer->block.data), Py_False, "version", 3);
}

PyGetSetDef buffer_getset[] = {
    {"__array_interface__", buffer_interface, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot buffer_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(buffer_dealloc)},
    {Py_tp_getset, buffer_getset},
    {Py_tp_doc, const_cast<char*>("The memory of an array korrin returned; numpy's array keeps it.")},
    {0, nullptr},
};

PyType_Spec buffer_spec = {"korrin._native.Buffer", sizeof(BufferObject), 0, Py_TPFLAGS_DEFAULT, buffer_slots};

}  // namespace

PyResult<void> add_buffer_type(PyObject* module) {
    if (buffer_type == nullptr) {
        buffer_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&buffer_spec));
        if (buffer_type == nullptr) return PendingError::fetch();
    }
    Py_INCREF(buffer_type);
    if (PyModule_AddObject(module, "Buffer", reinterpret_cast<PyObject*>(buffer_type)) < 0) {
        Py_DECREF(buffer_type);
        return PendingError::fetch();
    }
    return {};
}

PyResult<Ref> new_buffer(std::size_t size, std::uint8_t*& data) {
    const auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(buffer_type, Py_tp_alloc));
    Ref object = Ref::steal(alloc(buffer_type, 0));
    if (!object) return PendingError::fetch();
    auto* buffer = reinterpret_cast<BufferObject*>(object.get());
    buffer->block = BlockPool::shared().take(size);
    buffer->size = size;
    if (buffer->block.data == nullptr) {
        PyErr_NoMemory();
        return PendingError::fetch();
    }
    data = static_cast<std::uint8_t*>(buffer->block.data);
    return object;
}

}  // namespace korrin::python::native

// korrin._native.Buffer: the memory of one array korrin returns, lent to
// numpy through __array_interface__ (the limited API of 3.9 cannot give an
// object the buffer protocol). numpy keeps the Buffer as the array's base;
// when the last view of it goes, its block goes back to the pool.
#pragma once

#include <cstddef>
#include <cstdint>

#include "python/capi.hpp"
#include "python/errors.hpp"

namespace korrin::python::native {

// Makes the type and adds it to `module` as Buffer.
PyResult<void> add_buffer_type(PyObject* module);

// A new Buffer of `size` bytes, not yet initialised; `data` is where they
// are. Only with the interpreter lock held.
PyResult<Ref> new_buffer(std::size_t size, std::uint8_t*& data);

}  // namespace korrin::python::native

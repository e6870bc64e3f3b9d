// The module's four functions, as CPython method definitions in registration
// order.
#pragma once

#include <span>

#include "python/capi.hpp"

namespace korrin::python {

// Static for the process: CPython keeps pointing at them.
std::span<PyMethodDef> module_functions() noexcept;

}  // namespace korrin::python

// korrin._native's reading of wav.scp entries, as CPython method
// definitions ending in the sentinel entry.
#pragma once

#include "python/capi.hpp"

namespace korrin::python::native {

// Static for the process: CPython keeps pointing at them.
PyMethodDef* wav_scp_functions() noexcept;

}  // namespace korrin::python::native

// korrin._native: the extension under the korrin package. Single-phase
// initialisation; its state is the checkpoint cache of the C++ side, which
// holds no Python object and is shared by every thread, and the pool of
// array memory (under the interpreter lock, which a fork() also holds).
#include "common/cpu.hpp"
#include "extract/checkpoints.hpp"
#include "python/boundary.hpp"
#include "python/capi.hpp"
#include "python/native/blocks.hpp"
#include "python/native/buffer.hpp"
#include "python/native/functions.hpp"
#include "python/native/wav_scp.hpp"

namespace korrin::python::native {
namespace {

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "korrin._native",
    "The native half of korrin: read SPHERE files into array memory off the interpreter lock.",
    0,
    nullptr,  // set at initialisation
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyResult<Ref> make_module() {
    // Whatever is made on first use is made now, before any thread of ours
    // reads: a fork() while another thread was making one would leave its
    // guard taken in the child.
    extract::CheckpointCache::shared();
    BlockPool::shared();
    has_avx2();
    has_fast_bit_instructions();
    module_definition.m_methods = module_functions();
    Ref module = Ref::steal(PyModule_Create2(&module_definition, PYTHON_ABI_VERSION));
    if (!module) return PendingError::fetch();
    if (PyModule_AddStringConstant(module.get(), "__version__", KORRIN_VERSION) < 0) return PendingError::fetch();
    KR_TRY(add_buffer_type(module.get()));
    if (PyModule_AddFunctions(module.get(), wav_scp_functions()) < 0) return PendingError::fetch();
    return module;
}

}  // namespace
}  // namespace korrin::python::native

PyMODINIT_FUNC PyInit__native() {
    return korrin::python::trampoline([] { return korrin::python::native::make_module(); });
}

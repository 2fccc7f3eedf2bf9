// The entry point of marrowvale._layer_cache. Like _marrowvale it keeps
// process-wide state (the class, NumPy's functions, the kernel choice, the
// helper threads), so it belongs to the first interpreter that imports it.
#include <atomic>
#include <cstdint>

#include "cache/messages.hpp"
#include "layer_cache/array_output.hpp"
#include "layer_cache/fork_safety.hpp"
#include "layer_cache/py_layer_cache.hpp"
#include "module_setup.hpp"
#include "panic.hpp"
#include "py_ref.hpp"

namespace marrowvale {
namespace {

std::atomic<std::int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "marrowvale._layer_cache", "The native LayerCache.", 0, nullptr, nullptr, nullptr,
    nullptr,               nullptr,
};

PyObject* init_module() {
    return guarded([]() -> PyObject* {
        claim_interpreter(g_interpreter, messages::kLayerSubInterpreters);
        if (g_module != nullptr) return Py_NewRef(g_module);
        choose_kernels();
        load_numpy();
        install_fork_handlers();
        PyObject* cls = layer_cache_class();
        if (cls == nullptr) throw PythonErrorSet{};
        PyRef module = checked(PyModule_Create(&kModuleDef));
        if (PyModule_AddObjectRef(module.get(), "LayerCache", cls) < 0) throw PythonErrorSet{};
        PyRef all = checked(Py_BuildValue("[s]", "LayerCache"));
        if (PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) throw PythonErrorSet{};
        g_module = module.release();
        return Py_NewRef(g_module);
    });
}

}  // namespace
}  // namespace marrowvale

PyMODINIT_FUNC PyInit__layer_cache() { return marrowvale::init_module(); }

// The entry point of marrowvale._layer_cache. Like _marrowvale it keeps
// process-wide state (the class, NumPy's functions, the kernel choice, the
// helper threads), so it belongs to the first interpreter that imports it.
// Beside the class it tells what the build runs with: the kernel set and
// the compiler's settings.
#include <atomic>
#include <cstdint>

#include "binding/module_setup.hpp"
#include "binding/panic.hpp"
#include "binding/py_ref.hpp"
#include "cache/kernels/kernels.hpp"
#include "layer/fork_safety.hpp"
#include "layer_cache/array_output.hpp"
#include "layer_cache/build_settings.hpp"
#include "layer_cache/messages.hpp"
#include "layer_cache/py_layer_cache.hpp"

namespace marrowvale {
namespace {

std::atomic<std::int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;

PyObject* kernel_set(PyObject*, PyObject*) { return PyUnicode_FromString(active_kernels().name); }

PyObject* build_settings(PyObject*, PyObject*) {
    return Py_BuildValue("{ssssss}", "compiler", build::kCompiler, "build_type", build::kBuildType, "flags",
                         build::kFlags);
}

PyMethodDef kFunctions[] = {
    {"kernel_set", kernel_set, METH_NOARGS,
     "kernel_set()\n--\n\nThe kernel set every computation uses: \"scalar\", \"sse2\", \"avx2\" or \"avx512\"\n"
     "(the best the processor supports, or the one MARROWVALE_KERNEL named at import)."},
    {"build_settings", build_settings, METH_NOARGS,
     "build_settings()\n--\n\nHow the native modules were compiled: a dict of \"compiler\", \"build_type\" and\n"
     "\"flags\" (the compiler options beyond the build type's)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "marrowvale._layer_cache", "The native LayerCache.", 0, kFunctions, nullptr, nullptr,
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
        // _marrowvale keeps its panic type to itself; the package exports it from here.
        PyObject* panic = panic_exception_type();
        if (panic == nullptr) throw PythonErrorSet{};
        PyRef module = checked(PyModule_Create(&kModuleDef));
        if (PyModule_AddObjectRef(module.get(), "LayerCache", cls) < 0) throw PythonErrorSet{};
        if (PyModule_AddObjectRef(module.get(), "PanicException", panic) < 0) throw PythonErrorSet{};
        PyRef all = checked(Py_BuildValue("[ssss]", "LayerCache", "PanicException", "build_settings", "kernel_set"));
        if (PyModule_AddObjectRef(module.get(), "__all__", all.get()) < 0) throw PythonErrorSet{};
        g_module = module.release();
        return Py_NewRef(g_module);
    });
}

}  // namespace
}  // namespace marrowvale

PyMODINIT_FUNC PyInit__layer_cache() { return marrowvale::init_module(); }

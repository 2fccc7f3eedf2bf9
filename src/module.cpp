// The module's entry point. The module keeps process-wide state (the class
// and the kernel choice), so it belongs to the first interpreter that
// imports it; another interpreter is refused.
#include <atomic>
#include <cstdint>

#include "binding/module_setup.hpp"
#include "binding/panic.hpp"
#include "binding/py_ref.hpp"
#include "py_kvcache.hpp"

namespace marrowvale {
namespace {

constexpr char kSubInterpreters[] =
    "_marrowvale does not support sub-interpreters: it can only be imported by the interpreter that imported it "
    "first";

std::atomic<std::int64_t> g_interpreter{-1};
PyObject* g_module = nullptr;

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "_marrowvale",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

void add_class(PyObject* module) {
    PyObject* cls = kvcache_class();
    if (cls == nullptr) throw PythonErrorSet{};
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonErrorSet{};
        PyErr_Clear();
        all = checked(PyList_New(0));
        if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw PythonErrorSet{};
    }
    PyRef name = checked(PyUnicode_FromString("PyKVCache"));
    if (PyList_Append(all.get(), name.get()) < 0) throw PythonErrorSet{};
    if (PyObject_SetAttrString(module, "PyKVCache", cls) < 0) throw PythonErrorSet{};
}

PyObject* init_module() {
    return guarded([]() -> PyObject* {
        claim_interpreter(g_interpreter, kSubInterpreters);
        if (g_module != nullptr) return Py_NewRef(g_module);
        choose_kernels();
        PyRef module = checked(PyModule_Create2(&kModuleDef, PYTHON_API_VERSION));
        add_class(module.get());
        g_module = module.release();
        return Py_NewRef(g_module);
    });
}

}  // namespace
}  // namespace marrowvale

PyMODINIT_FUNC PyInit__marrowvale() { return marrowvale::init_module(); }

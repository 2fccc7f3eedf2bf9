#include "binding/module_setup.hpp"

#include <cstdlib>
#include <string>

#include "cache/kernels/kernels.hpp"

namespace marrowvale {

void claim_interpreter(std::atomic<std::int64_t>& owner, const char* refusal) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) throw PythonErrorSet{};
    std::int64_t expected = -1;
    if (!owner.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError, refusal);
        throw PythonErrorSet{};
    }
}

void choose_kernels() {
    const char* forced = std::getenv("MARROWVALE_KERNEL");
    const std::string problem = select_kernels(forced == nullptr ? "" : forced);
    if (!problem.empty()) {
        PyErr_SetString(PyExc_ImportError, problem.c_str());
        throw PythonErrorSet{};
    }
}

}  // namespace marrowvale

#include "module_setup.hpp"

#include <cstdlib>
#include <string>

#include "cache/kernels.hpp"

namespace marrowvale {

bool claim_interpreter(std::atomic<std::int64_t>& owner, const char* module_name) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id == -1) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
        }
        return false;
    }
    std::int64_t expected = -1;
    if (!owner.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_Format(PyExc_ImportError,
                     "%s does not support sub-interpreters: it can only be imported "
                     "by the interpreter that imported it first",
                     module_name);
        return false;
    }
    return true;
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

// What both native modules do when they are first imported: claim the
// importing interpreter (their state is process-wide, so another interpreter
// is refused) and choose the kernel set.
#pragma once

#include "binding/py_ref.hpp"

#include <atomic>
#include <cstdint>

namespace marrowvale {

// Records the current interpreter in `owner` on first import. Throws
// PythonErrorSet when the interpreter cannot say who it is, or with
// ImportError (`refusal`) when it is not the one that imported first.
void claim_interpreter(std::atomic<std::int64_t>& owner, const char* refusal);

// MARROWVALE_KERNEL names a kernel set to use instead of the best the
// processor supports; the tests use it to reach every set. Throws
// PythonErrorSet with ImportError set when it names no usable set.
void choose_kernels();

}  // namespace marrowvale

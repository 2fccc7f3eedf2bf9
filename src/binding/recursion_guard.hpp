// A bound on re-entry. Python code run while a call converts its arguments
// (an element's __float__, an argument's __index__) may call in again, and
// again: each level keeps our frames and the interpreter's on the thread's
// stack. The interpreter's own check counts nested calls against a fixed
// budget, not the stack, so a deep enough chain could still run off the
// stack's end; the guard also refuses a call when the stack left is short.
#pragma once

#include "binding/py_ref.hpp"

namespace marrowvale {

// What a refused call says, in a class's own words: `where` follows the
// interpreter's "maximum recursion depth exceeded", `stack_full` is the
// whole message when the stack runs short.
struct RecursionMessages {
    const char* where;
    const char* stack_full;
};

class RecursionGuard {
public:
    // Throws PythonErrorSet with RecursionError set when the call would go
    // too deep.
    explicit RecursionGuard(const RecursionMessages& messages);
    ~RecursionGuard() { Py_LeaveRecursiveCall(); }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
};

}  // namespace marrowvale

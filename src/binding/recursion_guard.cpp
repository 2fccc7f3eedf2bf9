#include "binding/recursion_guard.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace marrowvale {
namespace {

// What a call may still need below the point where it is let in: the rest
// of its own frames, the interpreter's frames for the Python code it runs,
// and the handling of the RecursionError that stops the next level. A
// quarter of the stack at most, so that small thread stacks still work.
constexpr std::uintptr_t kStackMargin = 256 * 1024;

// The lowest address a call may start at on this thread, or 0 when the
// bounds are unknown (the stack may then grow without a fixed limit, and
// the interpreter's check is all there is).
struct StackFloor {
    std::uintptr_t low = 0;
    std::uintptr_t floor = 0;
    bool looked_up = false;
};

thread_local StackFloor t_stack;

#if defined(__linux__)
bool main_thread_stack_is_unlimited() {
    if (getpid() != static_cast<pid_t>(syscall(SYS_gettid))) return false;
    rlimit limit{};
    return getrlimit(RLIMIT_STACK, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY;
}

void look_up(StackFloor& stack) {
    stack.looked_up = true;
    // The main thread's stack grows on demand up to the limit; unlimited,
    // it has no end that pthread could tell.
    if (main_thread_stack_is_unlimited()) return;
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0) return;
    void* address = nullptr;
    std::size_t size = 0;
    const int failed = pthread_attr_getstack(&attributes, &address, &size);
    pthread_attr_destroy(&attributes);
    if (failed != 0 || size == 0) return;
    stack.low = reinterpret_cast<std::uintptr_t>(address);
    stack.floor = stack.low + std::min<std::uintptr_t>(kStackMargin, size / 4);
}
#else
void look_up(StackFloor& stack) { stack.looked_up = true; }
#endif

// Whether the stack left below the current frame is shorter than the
// margin. A frame outside the thread's known stack (a coroutine library's
// own stack, say) cannot be judged, and passes.
bool stack_nearly_full() {
    StackFloor& stack = t_stack;
    if (!stack.looked_up) look_up(stack);
    if (stack.floor == 0) return false;
    // The stack grows down on every platform this builds for.
    const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    return here >= stack.low && here < stack.floor;
}

}  // namespace

RecursionGuard::RecursionGuard(const RecursionMessages& messages) {
    if (stack_nearly_full()) {
        PyErr_SetString(PyExc_RecursionError, messages.stack_full);
        throw PythonErrorSet{};
    }
    if (Py_EnterRecursiveCall(messages.where) != 0) throw PythonErrorSet{};
}

}  // namespace marrowvale

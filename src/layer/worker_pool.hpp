// A process-wide pool of helper threads that several calls can share: the
// caller of run_tasks always works on its own tasks, so calls on different
// caches make progress side by side however busy the helpers are.
//
// The helpers are detached POSIX threads that live for the process. A child
// made by fork has none of them: forget_pool_in_child drops the parent's
// pool without touching its threads or locks, and the next call builds a
// new one.
#pragma once

#include <cstddef>

namespace marrowvale {

using TaskFunction = void (*)(void* context, std::size_t index);

// Runs task(context, i) for every i in [0, count), on the calling thread and
// on up to `helpers` pool threads, and returns when all have finished. The
// first exception a task throws is rethrown here; the tasks not yet started
// by then are skipped.
void run_tasks(std::size_t count, std::size_t helpers, TaskFunction task, void* context);

template <typename Task>
void run_tasks(std::size_t count, std::size_t helpers, Task& task) {
    run_tasks(
        count, helpers, [](void* context, std::size_t index) { (*static_cast<Task*>(context))(index); }, &task);
}

// For the fork handler in the child (only the forking thread exists).
void forget_pool_in_child() noexcept;

}  // namespace marrowvale

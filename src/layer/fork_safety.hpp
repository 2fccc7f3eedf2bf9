// What keeps a cache whole across os.fork. A fork may come from any thread
// while others compute without the interpreter lock; the child gets only the
// forking thread. So:
//   - work that changes or reads caches without the interpreter lock runs
//     as a ComputePhase, and a fork waits until none is running (the forking
//     thread holds the interpreter lock, which no phase needs to finish), so
//     the child never sees a cache half-changed;
//   - the child counts a new fork generation, by which every cache lock sees
//     that it must start afresh (its holder, if any, does not exist there);
//   - the child forgets the helper threads, which do not exist there either.
#pragma once

#include <cstdint>

namespace marrowvale {

// Registers the fork handlers, once per process.
void install_fork_handlers();

// Bumped in every child; starts at 0.
std::uint64_t fork_generation() noexcept;

// The thread that made the last fork, as seen in the child (0 in a process
// that was not forked from one that had this module).
unsigned long forking_thread() noexcept;

// A stretch of work done without the interpreter lock. Construction waits
// while a fork is in progress.
class ComputePhase {
public:
    ComputePhase();
    ~ComputePhase();
    ComputePhase(const ComputePhase&) = delete;
    ComputePhase& operator=(const ComputePhase&) = delete;

private:
    void* gate_;
};

}  // namespace marrowvale

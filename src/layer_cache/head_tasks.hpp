// Running one task per head of a LayerCache: on the calling thread for
// small work, spread over the cache's threads without the interpreter lock
// for large work.
#pragma once

#include <cstddef>
#include <cstdint>

#include "layer/fork_safety.hpp"
#include "layer/worker_pool.hpp"
#include "layer_cache/layer_cache_object.hpp"

namespace marrowvale {

// Below this many multiply-adds a call computes on the calling thread and
// keeps the interpreter lock: waking helpers and handing the lock over
// would cost more than the work (a few tens of microseconds).
inline constexpr std::uint64_t kParallelWork = std::uint64_t{1} << 17;

// Runs task(h) for every head. Each head's result is the same whichever
// thread computes it.
template <typename Task>
void for_each_head(const LayerCacheState& state, std::uint64_t work, Task& task) {
    const std::size_t heads = state.layer.n_heads();
    if (work < kParallelWork) {
        for (std::size_t h = 0; h < heads; ++h) task(h);
        return;
    }
    WithoutInterpreterLock released;
    ComputePhase phase;
    run_tasks(heads, state.threads - 1, task);
}

}  // namespace marrowvale

#include "strategies/score_eviction.hpp"

#include <algorithm>

#include "cache/kernels/kernels.hpp"

namespace marrowvale {

std::uint64_t evict_lowest_scores(Entries& entries, const ScoreBudget& limits) {
    std::uint64_t evicted = 0;
    const Kernels& kernels = active_kernels();
    while (entries.size() > limits.budget) {
        // recent < budget < size, so at least one entry is a candidate; a
        // state or a constructor that broke this would meet the clamp.
        const std::size_t protected_entries = static_cast<std::size_t>(std::min<std::uint64_t>(limits.recent, entries.size() - 1));
        const std::size_t candidates = entries.size() - protected_entries;
        entries.erase(kernels.lowest(entries.scores(), candidates));
        ++evicted;
    }
    return evicted;
}

}  // namespace marrowvale

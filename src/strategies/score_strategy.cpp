#include "strategies/score_strategy.hpp"

#include <algorithm>

#include "cache/kernels/kernels.hpp"

namespace marrowvale {

std::uint64_t ScoreStrategy::on_append(Entries& entries, std::uint64_t) {
    std::uint64_t evicted = 0;
    const Kernels& kernels = active_kernels();
    while (entries.size() > limits_.budget) {
        // recent < budget < size, so at least one entry is a candidate; a
        // state or a constructor that broke this would meet the clamp.
        const auto kept = static_cast<std::size_t>(std::min<std::uint64_t>(limits_.recent, entries.size() - 1));
        entries.erase(kernels.lowest(entries.scores(), entries.size() - kept));
        ++evicted;
    }
    return evicted;
}

std::uint64_t ScoreStrategy::most_held(std::uint64_t held, std::uint64_t appends) const noexcept {
    return std::min(saturating_sum(held, appends), saturating_sum(std::max(held, limits_.budget), 1));
}

}  // namespace marrowvale

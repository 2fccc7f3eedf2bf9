// What the strategies that choose by score share: a budget of entries, the
// newest of which are never evicted, and the rule that picks what goes.
#pragma once

#include <cstdint>

#include "cache/entries.hpp"

namespace marrowvale {

struct ScoreBudget {
    std::uint64_t budget;  // the most entries an append leaves
    std::uint64_t recent;  // the newest entries, never evicted; below budget
};

// While the entries exceed the budget, evicts the one with the lowest score
// among all but the newest `recent`: a NaN score ranks below every number,
// and of equal scores the oldest goes. Returns how many were evicted.
std::uint64_t evict_lowest_scores(Entries& entries, const ScoreBudget& limits);

}  // namespace marrowvale

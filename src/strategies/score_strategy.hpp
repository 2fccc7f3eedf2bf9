// What the strategies that choose by score share: a score per entry, which
// the cache keeps for them, a budget of entries, the newest of which are
// never evicted, and the rule that picks what goes. Each strategy says how
// an entry scores (h2o.hpp, tova.hpp, knorm.hpp).
#pragma once

#include <cstdint>

#include "strategies/cache_strategy.hpp"

namespace marrowvale {

struct ScoreBudget {
    std::uint64_t budget;  // the most entries an append leaves
    std::uint64_t recent;  // the newest entries, never evicted; below budget
};

class ScoreStrategy : public CacheStrategy {
public:
    explicit ScoreStrategy(ScoreBudget limits) noexcept : limits_(limits) {}

    // While the entries exceed the budget, evicts the one with the lowest
    // score among all but the newest `recent`: a NaN score ranks below every
    // number, and of equal scores the oldest goes. Returns how many went.
    std::uint64_t on_append(Entries& entries, std::uint64_t position) override;
    bool keeps_scores() const noexcept override { return true; }
    // The budget and the newest entry, or what is held already (a cache
    // recast from a larger one holds more, until its first append).
    std::uint64_t most_held(std::uint64_t held, std::uint64_t appends) const noexcept override;

private:
    ScoreBudget limits_;
};

}  // namespace marrowvale

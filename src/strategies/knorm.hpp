#pragma once

#include "strategies/cache_strategy.hpp"
#include "strategies/score_eviction.hpp"

namespace marrowvale {

// Key-norm eviction: an entry's score is minus the L2 norm of its key, so
// that an append beyond the budget evicts the largest norm outside the
// recent entries. Keys with large norms tend to draw little attention;
// no attend is needed.
class KnormStrategy final : public CacheStrategy {
public:
    explicit KnormStrategy(ScoreBudget limits) noexcept : limits_(limits) {}
    std::uint64_t on_append(Entries& entries, std::uint64_t position) override;
    std::string_view name() const noexcept override { return "knorm"; }
    bool keeps_scores() const noexcept override { return true; }
    // -sqrt(dot(key, key)), the dot product in the eight-lane order.
    float new_score(std::span<const float> key) const noexcept override;

private:
    ScoreBudget limits_;
};

}  // namespace marrowvale

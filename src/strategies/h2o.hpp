#pragma once

#include "strategies/cache_strategy.hpp"
#include "strategies/score_eviction.hpp"

namespace marrowvale {

// Heavy hitters: an entry's score is the sum of the weights every attend
// since its append gave it, and an append beyond the budget evicts the
// lowest score outside the recent entries.
class H2OStrategy final : public CacheStrategy {
public:
    explicit H2OStrategy(ScoreBudget limits) noexcept : limits_(limits) {}
    std::uint64_t on_append(Entries& entries, std::uint64_t position) override;
    std::string_view name() const noexcept override { return "h2o"; }
    bool keeps_scores() const noexcept override { return true; }
    // No attend has weighed a new entry yet.
    float new_score(std::span<const float>) const noexcept override { return 0.0f; }
    AttentionScoring attention_scoring() const noexcept override { return AttentionScoring::added; }

private:
    ScoreBudget limits_;
};

}  // namespace marrowvale

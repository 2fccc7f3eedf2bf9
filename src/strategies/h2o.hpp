#pragma once

#include "strategies/score_strategy.hpp"

namespace marrowvale {

// Heavy hitters: an entry's score is the sum of the weights every attend
// since its append gave it, and an append beyond the budget evicts the
// lowest score outside the recent entries.
class H2OStrategy final : public ScoreStrategy {
public:
    using ScoreStrategy::ScoreStrategy;
    std::string_view name() const noexcept override { return "h2o"; }
    // No attend has weighed a new entry yet.
    float new_score(std::span<const float>) const noexcept override { return 0.0f; }
    AttentionScoring attention_scoring() const noexcept override { return AttentionScoring::added; }
};

}  // namespace marrowvale

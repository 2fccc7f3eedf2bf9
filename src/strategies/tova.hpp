#pragma once

#include <limits>

#include "strategies/score_strategy.hpp"

namespace marrowvale {

// Token omission by the latest attention: an entry's score is the weight
// the most recent attend gave it, and an append beyond the budget evicts
// the lowest score outside the recent entries.
class TovaStrategy final : public ScoreStrategy {
public:
    using ScoreStrategy::ScoreStrategy;
    std::string_view name() const noexcept override { return "tova"; }
    // An entry no attend has weighed yet scores above every weight, so it
    // counts as recent; when only such entries are left to choose from (as
    // before the first attend), the oldest of them goes.
    float new_score(std::span<const float>) const noexcept override {
        return std::numeric_limits<float>::infinity();
    }
    AttentionScoring attention_scoring() const noexcept override { return AttentionScoring::replaced; }
};

}  // namespace marrowvale

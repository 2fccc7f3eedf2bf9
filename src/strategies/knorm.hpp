#pragma once

#include "strategies/score_strategy.hpp"

namespace marrowvale {

// Key-norm eviction: an entry's score is minus the L2 norm of its key, so
// that an append beyond the budget evicts the largest norm outside the
// recent entries. Keys with large norms tend to draw little attention;
// no attend is needed.
class KnormStrategy final : public ScoreStrategy {
public:
    using ScoreStrategy::ScoreStrategy;
    std::string_view name() const noexcept override { return "knorm"; }
    // -sqrt(dot(key, key)), the dot product in the eight-lane order.
    float new_score(std::span<const float> key) const noexcept override;
    bool scores_from_key() const noexcept override { return true; }
};

}  // namespace marrowvale

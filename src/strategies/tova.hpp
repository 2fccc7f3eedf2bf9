#pragma once

#include <limits>

#include "strategies/cache_strategy.hpp"
#include "strategies/score_eviction.hpp"

namespace marrowvale {

// Token omission by the latest attention: an entry's score is the weight
// the most recent attend gave it, and an append beyond the budget evicts
// the lowest score outside the recent entries.
class TovaStrategy final : public CacheStrategy {
public:
    explicit TovaStrategy(ScoreBudget limits) noexcept : limits_(limits) {}
    std::uint64_t on_append(Entries& entries, std::uint64_t position) override;
    std::string_view name() const noexcept override { return "tova"; }
    bool keeps_scores() const noexcept override { return true; }
    // An entry no attend has weighed yet scores above every weight, so it
    // counts as recent; when only such entries are left to choose from (as
    // before the first attend), the oldest of them goes.
    float new_score(std::span<const float>) const noexcept override {
        return std::numeric_limits<float>::infinity();
    }
    AttentionScoring attention_scoring() const noexcept override { return AttentionScoring::replaced; }

private:
    ScoreBudget limits_;
};

}  // namespace marrowvale

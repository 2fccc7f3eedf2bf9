#include "strategies/make_strategy.hpp"

#include <algorithm>

#include "strategies/full.hpp"
#include "strategies/h2o.hpp"
#include "strategies/hybrid.hpp"
#include "strategies/knorm.hpp"
#include "strategies/merge.hpp"
#include "strategies/sliding.hpp"
#include "strategies/static_window.hpp"
#include "strategies/tova.hpp"

namespace marrowvale {
namespace {

// Those that keep no scores first, so that they are a prefix of the list.
constexpr std::string_view kStrategyNames[] = {"full", "sliding", "static", "merge", "hybrid", "h2o", "tova", "knorm"};
constexpr std::size_t kUnscoredStrategies = 5;

}  // namespace

std::span<const std::string_view> strategy_names(StrategySet set) noexcept {
    const std::span<const std::string_view> all(kStrategyNames);
    return set == StrategySet::all ? all : all.first(kUnscoredStrategies);
}

bool is_known_strategy(std::string_view name, StrategySet set) noexcept {
    return std::ranges::find(strategy_names(set), name) != strategy_names(set).end();
}

bool strategy_keeps_scores(std::string_view name) noexcept {
    return is_known_strategy(name) && !is_known_strategy(name, StrategySet::unscored);
}

bool parameters_fit(std::string_view name, const StrategyParameters& parameters) noexcept {
    return !strategy_keeps_scores(name) || parameters.recent < parameters.budget;
}

std::unique_ptr<CacheStrategy> make_strategy(std::string_view name, const StrategyParameters& parameters,
                                             StrategySet set) {
    if (!is_known_strategy(name, set)) return nullptr;
    if (name == "full") return std::make_unique<FullStrategy>();
    if (name == "sliding") return std::make_unique<SlidingStrategy>(parameters.window_size);
    if (name == "static") return std::make_unique<StaticStrategy>(parameters.static_k, parameters.recent_k);
    if (name == "merge") return std::make_unique<MergeStrategy>(parameters.merge_every, parameters.threshold);
    if (name == "hybrid") {
        return std::make_unique<HybridStrategy>(parameters.static_k, parameters.merge_every, parameters.threshold);
    }
    const ScoreBudget limits{parameters.budget, parameters.recent};
    if (name == "h2o") return std::make_unique<H2OStrategy>(limits);
    if (name == "tova") return std::make_unique<TovaStrategy>(limits);
    if (name == "knorm") return std::make_unique<KnormStrategy>(limits);
    return nullptr;
}

std::string unknown_strategy_message(std::string_view name, StrategySet set) {
    std::string message = messages::kUnknownStrategy;
    message.append(name);
    message += messages::kStrategyChoices;
    const std::span<const std::string_view> names = strategy_names(set);
    for (const std::string_view known : names) {
        if (known != names.front()) message += ", ";
        message.append(known);
    }
    return message;
}

}  // namespace marrowvale

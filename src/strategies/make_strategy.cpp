#include "strategies/make_strategy.hpp"

#include <algorithm>

#include "strategies/full.hpp"
#include "strategies/hybrid.hpp"
#include "strategies/merge.hpp"
#include "strategies/sliding.hpp"
#include "strategies/static_window.hpp"

namespace marrowvale {

bool is_known_strategy(std::string_view name) noexcept {
    return std::ranges::find(kStrategyNames, name) != std::ranges::end(kStrategyNames);
}

std::unique_ptr<CacheStrategy> make_strategy(std::string_view name, const StrategyParameters& parameters) {
    if (name == "full") return std::make_unique<FullStrategy>();
    if (name == "sliding") return std::make_unique<SlidingStrategy>(parameters.window_size);
    if (name == "static") return std::make_unique<StaticStrategy>(parameters.static_k, parameters.recent_k);
    if (name == "merge") return std::make_unique<MergeStrategy>(parameters.merge_every, parameters.threshold);
    if (name == "hybrid") {
        return std::make_unique<HybridStrategy>(parameters.static_k, parameters.merge_every, parameters.threshold);
    }
    return nullptr;
}

std::string unknown_strategy_message(std::string_view name) {
    std::string message = messages::kUnknownStrategy;
    message.append(name);
    message += messages::kStrategyChoices;
    for (const std::string_view known : kStrategyNames) {
        if (known != kStrategyNames[0]) message += ", ";
        message.append(known);
    }
    return message;
}

}  // namespace marrowvale

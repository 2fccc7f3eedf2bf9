// Builds a strategy from its name and the parameters that belong to it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "strategies/cache_strategy.hpp"

namespace marrowvale {

// Every parameter any strategy takes; each strategy reads its own and
// ignores the rest. The defaults are the constructors' defaults.
struct StrategyParameters {
    std::uint64_t window_size = 512;
    std::uint64_t static_k = 32;
    std::uint64_t recent_k = 128;
    float threshold = 0.9f;
    std::uint64_t merge_every = 4;
};

// The names make_strategy knows, in the order messages list them.
inline constexpr std::string_view kStrategyNames[] = {"full", "sliding", "static", "merge", "hybrid"};

// The strategy called `name` (exact, case-sensitive), or null for a name
// that is none of kStrategyNames.
std::unique_ptr<CacheStrategy> make_strategy(std::string_view name, const StrategyParameters& parameters);

// Why `name` was refused: "unknown strategy 'NAME'. choose: " and the list
// of kStrategyNames.
std::string unknown_strategy_message(std::string_view name);

}  // namespace marrowvale

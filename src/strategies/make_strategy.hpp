// Builds a strategy from its name and the parameters that belong to it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "strategies/cache_strategy.hpp"

namespace marrowvale {

namespace messages {
// Before and after a refused name; the list of names follows "choose: ".
inline constexpr char kUnknownStrategy[] = "unknown strategy '";
inline constexpr char kStrategyChoices[] = "'. choose: ";
}  // namespace messages

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

// Whether `name` (exact, case-sensitive) is one of kStrategyNames.
bool is_known_strategy(std::string_view name) noexcept;

// The strategy called `name`, or null for a name is_known_strategy refuses.
std::unique_ptr<CacheStrategy> make_strategy(std::string_view name, const StrategyParameters& parameters);

// Why `name` was refused: "unknown strategy 'NAME'. choose: " and the list
// of kStrategyNames.
std::string unknown_strategy_message(std::string_view name);

}  // namespace marrowvale

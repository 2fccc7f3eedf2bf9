// Builds a strategy from its name and the parameters that belong to it.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
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
    // The strategies that choose by score: most entries after an append,
    // and the newest entries never evicted (recent < budget).
    std::uint64_t budget = 512;
    std::uint64_t recent = 32;
};

// Which strategies a cache offers: those that keep no score per entry (a
// cache whose attention only reads, and whose entries are only what was
// appended, can offer no other), or every one.
enum class StrategySet { unscored, all };

// The names make_strategy knows in `set`, in the order messages list them.
std::span<const std::string_view> strategy_names(StrategySet set) noexcept;

// Whether `name` (exact, case-sensitive) is one of strategy_names(set).
bool is_known_strategy(std::string_view name, StrategySet set = StrategySet::all) noexcept;

// Whether the strategy called `name` chooses by a score per entry, and so
// takes `budget` and `recent`.
bool strategy_keeps_scores(std::string_view name) noexcept;

// Whether the parameters suit the strategy called `name`: recent below
// budget for one that keeps scores, anything for the others.
bool parameters_fit(std::string_view name, const StrategyParameters& parameters) noexcept;

// The strategy called `name`, or null for a name is_known_strategy refuses.
// The parameters must fit (parameters_fit).
std::unique_ptr<CacheStrategy> make_strategy(std::string_view name, const StrategyParameters& parameters,
                                             StrategySet set = StrategySet::all);

// Why `name` was refused: "unknown strategy 'NAME'. choose: " and the list
// of strategy_names(set).
std::string unknown_strategy_message(std::string_view name, StrategySet set = StrategySet::all);

}  // namespace marrowvale

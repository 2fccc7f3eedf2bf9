#pragma once

#include "strategies/cache_strategy.hpp"

namespace marrowvale {

// Keeps the oldest static_k entries for good and, after them, the newest
// recent_k.
class StaticStrategy final : public CacheStrategy {
public:
    StaticStrategy(std::uint64_t static_k, std::uint64_t recent_k) noexcept
        : static_k_(static_k), recent_k_(recent_k) {}
    std::uint64_t on_append(Entries& entries, std::uint64_t position) override;
    std::string_view name() const noexcept override { return "static"; }
    std::uint64_t most_held(std::uint64_t held, std::uint64_t appends) const noexcept override;

private:
    std::uint64_t static_k_;
    std::uint64_t recent_k_;
};

}  // namespace marrowvale

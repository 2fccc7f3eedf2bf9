#pragma once

#include "strategies/cache_strategy.hpp"

namespace marrowvale {

// Keeps the newest window_size entries.
class SlidingStrategy final : public CacheStrategy {
public:
    explicit SlidingStrategy(std::uint64_t window_size) noexcept : window_size_(window_size) {}
    std::uint64_t on_append(Entries& entries, std::uint64_t position) override;
    std::string_view name() const noexcept override { return "sliding"; }
    std::uint64_t most_held(std::uint64_t held, std::uint64_t appends) const noexcept override;

private:
    std::uint64_t window_size_;
};

}  // namespace marrowvale

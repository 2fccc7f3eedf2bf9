#pragma once

#include "strategies/cache_strategy.hpp"

namespace marrowvale {

// Keeps every entry.
class FullStrategy final : public CacheStrategy {
public:
    std::uint64_t on_append(Entries& entries, std::uint64_t position) override;
    std::string_view name() const noexcept override { return "full"; }
};

}  // namespace marrowvale

#pragma once

#include "strategies/cache_strategy.hpp"

namespace marrowvale {

// Merges like MergeStrategy, but only among the entries after the oldest
// static_k, which stay exactly as they were appended.
class HybridStrategy final : public CacheStrategy {
public:
    HybridStrategy(std::uint64_t static_k, std::uint64_t merge_every, float threshold) noexcept
        : static_k_(static_k), merge_every_(merge_every), threshold_(threshold) {}
    std::uint64_t on_append(Entries& entries, std::uint64_t position) override;
    std::string_view name() const noexcept override { return "hybrid"; }
    bool merges() const noexcept override { return true; }
    std::size_t decoding_room(std::size_t d_k, std::size_t d_v) const noexcept override;

private:
    std::uint64_t static_k_;
    std::uint64_t merge_every_;
    float threshold_;
};

}  // namespace marrowvale

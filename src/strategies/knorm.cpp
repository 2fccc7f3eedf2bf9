#include "strategies/knorm.hpp"

#include <cmath>

#include "cache/kernels/kernels.hpp"

namespace marrowvale {

std::uint64_t KnormStrategy::on_append(Entries& entries, std::uint64_t) { return evict_lowest_scores(entries, limits_); }

float KnormStrategy::new_score(std::span<const float> key) const noexcept {
    return -std::sqrt(active_kernels().dot(key.data(), key.data(), key.size()));
}

}  // namespace marrowvale

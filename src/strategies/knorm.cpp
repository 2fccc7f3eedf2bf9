#include "strategies/knorm.hpp"

#include <cmath>

#include "cache/kernels/kernels.hpp"

namespace marrowvale {

float KnormStrategy::new_score(std::span<const float> key) const noexcept {
    return -std::sqrt(active_kernels().dot(key.data(), key.data(), key.size()));
}

}  // namespace marrowvale

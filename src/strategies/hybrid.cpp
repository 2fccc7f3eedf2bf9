#include "strategies/hybrid.hpp"

#include "strategies/merge.hpp"

namespace marrowvale {

std::uint64_t HybridStrategy::on_append(Entries& entries, std::uint64_t position) {
    if (!MergeStrategy::is_due(position, merge_every_)) return 0;
    // The pass needs two entries past the protected prefix. Written as a
    // difference so that a static_k near 2**64 cannot wrap.
    const std::size_t n = entries.size();
    if (n <= static_k_ || n - static_k_ < 2) return 0;
    return MergeStrategy::merge(entries, threshold_, static_cast<std::size_t>(static_k_));
}

std::size_t HybridStrategy::decoding_room(std::size_t d_k, std::size_t d_v) const noexcept {
    return MergeStrategy::working_floats(d_k, d_v);
}

}  // namespace marrowvale

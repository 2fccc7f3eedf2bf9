#include "strategies/static_window.hpp"

#include <algorithm>

namespace marrowvale {

std::uint64_t StaticStrategy::on_append(Entries& entries, std::uint64_t) {
    // The limit saturates instead of wrapping: a wrapped sum could fall below
    // static_k and send the removal past the end of the list.
    const std::uint64_t limit = saturating_sum(static_k_, recent_k_);
    std::uint64_t dropped = 0;
    // Each pass drops the oldest entry after the prefix; erase moves the
    // shorter side, so a full cache costs min(static_k, recent_k) row moves.
    while (entries.size() > limit) {
        entries.erase(static_cast<std::size_t>(static_k_));
        ++dropped;
    }
    return dropped;
}

std::uint64_t StaticStrategy::most_held(std::uint64_t held, std::uint64_t appends) const noexcept {
    // Both ends' worth and the newest entry, or what is held already (a
    // restored state may hold more, until the first append).
    const std::uint64_t kept = saturating_sum(static_k_, recent_k_);
    return std::min(saturating_sum(held, appends), saturating_sum(std::max(held, kept), 1));
}

}  // namespace marrowvale

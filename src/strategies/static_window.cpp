#include "strategies/static_window.hpp"

#include <limits>

namespace marrowvale {

std::uint64_t StaticStrategy::on_append(Entries& entries, std::uint64_t) {
    // The limit saturates instead of wrapping: a wrapped sum could fall below
    // static_k and send the removal past the end of the list.
    const std::uint64_t limit = static_k_ > std::numeric_limits<std::uint64_t>::max() - recent_k_
                                    ? std::numeric_limits<std::uint64_t>::max()
                                    : static_k_ + recent_k_;
    std::uint64_t dropped = 0;
    // Each pass drops the oldest entry after the prefix; erase moves the
    // shorter side, so a full cache costs min(static_k, recent_k) row moves.
    while (entries.size() > limit) {
        entries.erase(static_cast<std::size_t>(static_k_));
        ++dropped;
    }
    return dropped;
}

}  // namespace marrowvale

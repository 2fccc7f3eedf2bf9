#include "strategies/sliding.hpp"

#include <algorithm>

namespace marrowvale {

std::uint64_t SlidingStrategy::on_append(Entries& entries, std::uint64_t) {
    const std::size_t n = entries.size();
    if (n <= window_size_) return 0;
    // Dropping from the front only moves the list's start, so a full window
    // costs O(1) per append.
    const std::size_t dropped = n - static_cast<std::size_t>(window_size_);
    entries.pop_front(dropped);
    return dropped;
}

std::uint64_t SlidingStrategy::most_held(std::uint64_t held, std::uint64_t appends) const noexcept {
    // A window's worth and the newest entry, or what is held already (a
    // restored state may hold more, until the first append).
    return std::min(saturating_sum(held, appends), saturating_sum(std::max(held, window_size_), 1));
}

}  // namespace marrowvale

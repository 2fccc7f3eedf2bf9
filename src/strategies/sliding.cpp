#include "strategies/sliding.hpp"

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

}  // namespace marrowvale

#include "strategies/tova.hpp"

namespace marrowvale {

std::uint64_t TovaStrategy::on_append(Entries& entries, std::uint64_t) { return evict_lowest_scores(entries, limits_); }

}  // namespace marrowvale

#include "strategies/h2o.hpp"

namespace marrowvale {

std::uint64_t H2OStrategy::on_append(Entries& entries, std::uint64_t) { return evict_lowest_scores(entries, limits_); }

}  // namespace marrowvale

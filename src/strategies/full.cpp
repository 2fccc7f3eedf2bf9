#include "strategies/full.hpp"

namespace marrowvale {

std::uint64_t FullStrategy::on_append(Entries&, std::uint64_t) { return 0; }

}  // namespace marrowvale

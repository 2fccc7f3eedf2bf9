#include "strategies/full.hpp"

namespace marrowvale {

std::uint64_t FullStrategy::on_append(EntryList&, EntryList&, std::uint64_t) { return 0; }

}  // namespace marrowvale

// Memory tuning shared by the vector kernel sets. Plain constants only, so
// that no code is shared between translation units built for different
// instruction sets.
#pragma once

#include <cstddef>

namespace marrowvale::kernel_tuning {

// Rows that fit in the L2 cache come in fast enough by themselves, and there
// the prefetch instructions only take issue slots from the arithmetic; past
// this many bytes the kernels ask for rows ahead of use.
inline constexpr std::size_t kPrefetchAboveBytes = 512 * 1024;

// How far ahead weighted_sum_rows asks for its rows: about two pages of
// memory in flight keep one core's read bandwidth busy.
inline constexpr std::size_t kPrefetchDistanceBytes = 8 * 1024;

}  // namespace marrowvale::kernel_tuning

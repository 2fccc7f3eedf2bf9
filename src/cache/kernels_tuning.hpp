// Memory tuning shared by the vector kernel sets: constants, and the walk
// of the weighted sum over runs of rows and blocks of columns. No compiled
// code is shared between translation units built for different instruction
// sets: the walk is a template whose every instantiation takes a lambda of
// the one translation unit that calls it.
#pragma once

#include <algorithm>
#include <cstddef>

namespace marrowvale::kernel_tuning {

// Rows that fit in the L2 cache come in fast enough by themselves, and there
// the prefetch instructions only take issue slots from the arithmetic; past
// this many bytes the kernels ask for rows ahead of use.
inline constexpr std::size_t kPrefetchAboveBytes = 512 * 1024;

// How far ahead weighted_sum_rows asks for its rows: about two pages of
// memory in flight keep one core's read bandwidth busy.
inline constexpr std::size_t kPrefetchDistanceBytes = 8 * 1024;

// Rows wider than one block of columns are taken in runs of about this many
// bytes, so that the later blocks of a run find its rows in the L1 cache.
inline constexpr std::size_t kRunBytes = 16 * 1024;

// Calls visit(column, columns, start, length, ahead) for every block of at
// most kBlockColumns output columns of every run of rows: `start` and
// `length` say which rows, `ahead` how many rows ahead to prefetch (0 for
// none). Each column still takes its rows in order, run after run.
template <std::size_t kBlockColumns, typename Visit>
void for_each_weighted_block(std::size_t count, std::size_t width, Visit&& visit) {
    if (count == 0 || width == 0) return;
    const std::size_t row_bytes = width * sizeof(float);
    const std::size_t run = width <= kBlockColumns ? count : std::max<std::size_t>(8, kRunBytes / row_bytes);
    const std::size_t ahead =
        count * row_bytes > kPrefetchAboveBytes ? std::max<std::size_t>(1, kPrefetchDistanceBytes / row_bytes) : 0;
    for (std::size_t start = 0; start < count; start += run) {
        const std::size_t length = std::min(run, count - start);
        for (std::size_t column = 0; column < width; column += kBlockColumns) {
            visit(column, std::min(kBlockColumns, width - column), start, length, ahead);
        }
    }
}

}  // namespace marrowvale::kernel_tuning

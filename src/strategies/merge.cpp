#include "strategies/merge.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>

#include "cache/kernels/kernels.hpp"

namespace marrowvale {
namespace {

// Keeps the cosine denominator positive: a zero key against a finite one
// has similarity exactly 0.
constexpr float kEpsilon = 1e-8f;

// Rows whose similarities are computed in one go. Each block costs a call
// of each kernel and, as its last row is mostly the next block's first, one
// norm computed twice, so longer blocks cost less; 256 keys of 64 floats
// (64 KiB) still sit in the L2 cache for a merge that reads two of them
// again, and the scratch arrays (2 KiB) live on the stack.
constexpr std::size_t kBlockRows = 256;
constexpr std::size_t kBlockWords = kBlockRows / 64;

// The first marked index from `from` on, or `count` when there is none; the
// bits from `count` on are clear.
std::size_t next_marked(const std::uint64_t* bits, std::size_t from, std::size_t count) {
    for (std::size_t word = from / 64; word * 64 < count; ++word) {
        std::uint64_t marked = bits[word];
        if (word == from / 64) marked &= ~std::uint64_t{0} << (from % 64);
        if (marked != 0) return word * 64 + static_cast<std::size_t>(std::countr_zero(marked));
    }
    return count;
}

}  // namespace

std::uint64_t MergeStrategy::on_append(Entries& entries, std::uint64_t position) {
    if (!is_due(position, merge_every_)) return 0;
    return merge(entries, threshold_);
}

std::uint64_t MergeStrategy::merge(Entries& entries, float threshold, std::size_t first) {
    EntryList& keys = entries.keys;
    EntryList& values = entries.values;
    const Kernels& kernels = active_kernels();
    const std::size_t n = keys.size();
    const std::size_t d_k = static_cast<std::size_t>(keys.width());
    const std::size_t d_v = static_cast<std::size_t>(values.width());
    if (n <= first) return 0;

    // The pass compacts in place: the entry it writes goes to `write`, which
    // never passes the entry being read. Similarities are those of the rows
    // as they stood when the pass began, so they are computed ahead, a block
    // of rows at a time, from the entry being read on: those rows are all
    // at or past `read`, so none has been written yet. For the block from
    // entry `block` on, similarity[i - block] is that of entries i and
    // i + 1, and bit i - block of `merges` says whether they merge.
    float norm[kBlockRows + 1];
    float similarity[kBlockRows];
    std::uint64_t merges[kBlockWords];

    std::size_t write = first;
    std::size_t read = first;
    while (read + 1 < n) {
        const std::size_t block = read;
        const std::size_t pairs = std::min(n - block, kBlockRows + 1) - 1;
        kernels.norms_and_dots(keys.row(block), d_k, pairs + 1, norm, similarity);
        kernels.cosines(similarity, norm, pairs, kEpsilon);
        kernels.mark_above(similarity, pairs, threshold, merges);
        const std::size_t block_end = block + pairs;
        while (read < block_end) {
            // The entries that stay, up to the next pair that merges, move
            // down as one run; in place they need nothing.
            const std::size_t stay = block + next_marked(merges, read - block, pairs);
            entries.move_rows(read, write, stay - read);
            write += stay - read;
            read = stay;
            if (read == block_end) break;
            // The blend leans towards the older entry by the similarity
            // itself; the values follow the keys' weights.
            const float s = similarity[read - block];
            const float newer_weight = 1.0f - s;
            kernels.blend(keys.row(write), keys.row(read), s, keys.row(read + 1), newer_weight, d_k);
            kernels.blend(values.row(write), values.row(read), s, values.row(read + 1), newer_weight, d_v);
            entries.record_merge(read, write);
            ++write;
            read += 2;
        }
    }
    // The last entry, when the pair before it did not merge, has no
    // successor to be compared with.
    if (read < n) {
        entries.move_rows(read, write, 1);
        ++write;
    }
    entries.truncate(write);
    return n - write;
}

}  // namespace marrowvale

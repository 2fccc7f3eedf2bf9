#include "strategies/merge.hpp"

#include "cache/kernels.hpp"

namespace marrowvale {
namespace {

// Keeps the cosine denominator positive: a zero key against a finite one
// has similarity exactly 0.
constexpr float kEpsilon = 1e-8f;

// Rows whose similarities are computed in one go: 64 keys of 64 floats
// (16 KiB) stay in the L1 cache for a merge that reads them again, and the
// scratch arrays live on the stack.
constexpr std::size_t kBlockRows = 64;

}  // namespace

std::uint64_t MergeStrategy::on_append(Entries& entries, std::uint64_t position) {
    if (!is_due(position, merge_every_)) return 0;
    return merge(entries, threshold_);
}

std::uint64_t MergeStrategy::merge(Entries& entries, float threshold) { return merge_from(entries, 0, threshold); }

std::uint64_t MergeStrategy::merge_from(Entries& entries, std::size_t first, float threshold) {
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
    // at or past `read`, so none has been written yet.
    // similarity[i - block] is that of entries i and i + 1, for i in
    // [block, block_end).
    float norm[kBlockRows + 1];
    float similarity[kBlockRows];
    std::size_t block = first;
    std::size_t block_end = first;

    std::size_t write = first;
    std::size_t read = first;
    while (read + 1 < n) {
        if (read >= block_end) {
            const std::size_t rows = n - read < kBlockRows + 1 ? n - read : kBlockRows + 1;
            kernels.norms_and_dots(keys.row(read), d_k, rows, norm, similarity);
            kernels.cosines(similarity, norm, rows - 1, kEpsilon);
            block = read;
            block_end = read + rows - 1;
        }
        // The entries that stay, up to the next pair of this block that
        // merges: in place they need no copy.
        std::size_t stay = read;
        while (stay < block_end && !(similarity[stay - block] > threshold)) ++stay;
        if (write == read) {
            write = stay;
            read = stay;
        } else {
            for (; read < stay; ++read, ++write) entries.move_row(read, write);
        }
        if (read == block_end) continue;
        // The blend leans towards the older entry by the similarity itself;
        // the values follow the keys' weights.
        const float s = similarity[read - block];
        const float newer_weight = 1.0f - s;
        kernels.blend(keys.row(write), keys.row(read), s, keys.row(read + 1), newer_weight, d_k);
        kernels.blend(values.row(write), values.row(read), s, values.row(read + 1), newer_weight, d_v);
        entries.record_merge(read, write);
        ++write;
        read += 2;
    }
    // The last entry, when the pair before it did not merge, has no
    // successor to be compared with.
    if (read < n) {
        if (write != read) entries.move_row(read, write);
        ++write;
    }
    entries.truncate(write);
    return n - write;
}

}  // namespace marrowvale

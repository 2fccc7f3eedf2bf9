#include "strategies/merge.hpp"

#include <cmath>

#include "cache/attention.hpp"
#include "cache/kernels.hpp"

namespace marrowvale {
namespace {

// Keeps the cosine denominator positive: a zero key against a finite one
// has similarity exactly 0.
constexpr float kEpsilon = 1e-8f;

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

    // The pass compacts in place: the entry it writes goes to `write`, which
    // never passes the entry being read, so every comparison sees the rows
    // as they stood when the pass began.
    std::size_t write = first;
    std::size_t read = first;
    // The squared norm of the row at `read`, when the comparison before
    // computed it for the same row (the same bits either way).
    float read_norm = 0.0f;
    bool have_read_norm = false;

    while (read < n) {
        if (read + 1 < n) {
            const float* older = keys.row(read);
            const float* newer = keys.row(read + 1);
            const std::span<const float> older_key(older, d_k);
            const std::span<const float> newer_key(newer, d_k);
            const float dot = unrolled_dot(older_key, newer_key);
            const float older_norm = have_read_norm ? read_norm : unrolled_dot(older_key, older_key);
            const float newer_norm = unrolled_dot(newer_key, newer_key);
            const float similarity = dot / (std::sqrt(older_norm) * std::sqrt(newer_norm) + kEpsilon);
            if (similarity > threshold) {
                // The blend leans towards the older entry by the similarity
                // itself; the values follow the keys' weights.
                const float newer_weight = 1.0f - similarity;
                kernels.blend(keys.row(write), older, similarity, newer, newer_weight, d_k);
                kernels.blend(values.row(write), values.row(read), similarity, values.row(read + 1), newer_weight,
                              d_v);
                entries.record_merge(read, write);
                ++write;
                read += 2;
                have_read_norm = false;
                continue;
            }
            read_norm = newer_norm;
            have_read_norm = true;
        }
        entries.move_row(read, write);
        ++write;
        ++read;
    }
    entries.truncate(write);
    return n - write;
}

}  // namespace marrowvale

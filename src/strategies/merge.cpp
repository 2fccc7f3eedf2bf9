#include "strategies/merge.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>

#include "cache/kernels/kernels.hpp"
#include "cache/storage_tier.hpp"

namespace marrowvale {
namespace {

// Keeps the cosine denominator positive: a zero key against a finite one
// has similarity exactly 0.
constexpr float kEpsilon = 1e-8f;

// kBlockRows: each block of rows costs a call of each kernel and, as its
// last row is mostly the next block's first, one norm computed twice, so
// longer blocks cost less; 256 keys of 64 floats (64 KiB) still sit in the
// L2 cache for a merge that reads two of them again, and the scratch arrays
// (2 KiB) live on the stack.
constexpr std::size_t kBlockRows = 256;
constexpr std::size_t kBlockWords = kBlockRows / 64;

// The float32 rows a merge reads and writes: the lists' own, or for another
// tier rows decoded into the cache's working floats (RowFormat).
class MergeRows {
public:
    explicit MergeRows(Entries& entries) noexcept
        : entries_(entries), format_(entries.format()), tiered_(format_.tier != StorageTier::float32) {
        d_k_ = tiered_ ? format_.key_width : static_cast<std::size_t>(entries.keys.width());
        d_v_ = tiered_ ? format_.value_width : static_cast<std::size_t>(entries.values.width());
    }
    std::size_t d_k() const noexcept { return d_k_; }

    // The keys of `count` entries from `first` on, contiguous.
    const float* keys(std::size_t first, std::size_t count) noexcept {
        if (!tiered_) return entries_.keys.row(first);
        for (std::size_t i = 0; i < count; ++i) {
            decode_row(format_.tier, entries_.keys.row(first + i), d_k_, format_.working + i * d_k_);
        }
        block_ = first;
        return format_.working;
    }

    // Entry `to` becomes the blend of entries `older` and older + 1 (both
    // in the last block of keys(), neither written since).
    void blend(std::size_t to, std::size_t older, float wa, float wb) noexcept {
        const Kernels& kernels = active_kernels();
        if (!tiered_) {
            kernels.blend(entries_.keys.row(to), entries_.keys.row(older), wa, entries_.keys.row(older + 1), wb, d_k_);
            kernels.blend(entries_.values.row(to), entries_.values.row(older), wa, entries_.values.row(older + 1), wb,
                          d_v_);
            return;
        }
        float* key = format_.working + (kBlockRows + 1) * d_k_;
        float* value = key + d_k_;
        float* newer = value + d_v_;
        const float* older_key = format_.working + (older - block_) * d_k_;
        kernels.blend(key, older_key, wa, older_key + d_k_, wb, d_k_);
        decode_row(format_.tier, entries_.values.row(older), d_v_, value);
        decode_row(format_.tier, entries_.values.row(older + 1), d_v_, newer);
        kernels.blend(value, value, wa, newer, wb, d_v_);
        // A blend of finite values with weights in [0, 1] is finite but for
        // an overflow at the very top of the range, which an int8 row cannot
        // hold: the older entry then stands for both. Checked before either
        // row is written, since `to` may be `older` itself.
        if (format_.tier == StorageTier::int8 && !(all_finite(key, d_k_) && all_finite(value, d_v_))) {
            entries_.move_rows(older, to, 1);
            return;
        }
        encode_row(format_.tier, key, d_k_, entries_.keys.row(to));
        encode_row(format_.tier, value, d_v_, entries_.values.row(to));
    }

private:
    Entries& entries_;
    RowFormat format_;
    bool tiered_;
    std::size_t d_k_ = 0;
    std::size_t d_v_ = 0;
    std::size_t block_ = 0;
};

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

std::size_t MergeStrategy::working_floats(std::size_t d_k, std::size_t d_v) noexcept {
    constexpr std::size_t kMost = std::numeric_limits<std::size_t>::max();
    if (d_k > kMost / (kBlockRows + 2) || d_v > (kMost - (kBlockRows + 2) * d_k) / 2) return kMost;
    return (kBlockRows + 2) * d_k + 2 * d_v;
}

std::uint64_t MergeStrategy::on_append(Entries& entries, std::uint64_t position) {
    if (!is_due(position, merge_every_)) return 0;
    return merge(entries, threshold_);
}

std::uint64_t MergeStrategy::merge(Entries& entries, float threshold, std::size_t first) {
    const Kernels& kernels = active_kernels();
    const std::size_t n = entries.keys.size();
    MergeRows rows(entries);
    const std::size_t d_k = rows.d_k();
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
        kernels.norms_and_dots(rows.keys(block, pairs + 1), d_k, pairs + 1, norm, similarity);
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
            rows.blend(write, read, s, newer_weight);
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

// The one-shot selection by attention that compress makes: which entries of
// a cache the attention of a prompt's last queries says to keep.
#pragma once

#include <cstddef>

#include "cache/kv_cache.hpp"

namespace marrowvale {

struct CompressRequest {
    // `count` consecutive queries of d_k floats: those of every query head
    // of the group, each head's in the order they came.
    const float* queries = nullptr;
    std::size_t count = 0;
    // Queries scored per pass over the entries (as AttentionOutputs).
    std::size_t queries_per_pass = 1;
    // The newest `window` entries are always kept.
    std::size_t window = 0;
    // The most entries kept.
    std::size_t keep = 0;
    // The width of the max-pooling, odd.
    std::size_t pool = 1;
};

// Sets kept[i] to 1 for each entry i < cache.length() that compress keeps,
// 0 for the others. An entry's score is the sum of its softmax weights
// under the queries, in query order; the scores of the entries older than
// the newest `window` are max-pooled among themselves over `pool`
// neighbouring positions (fewer at the ends), NaN below every number; and
// the best of them by pooled score, the newer of equals first, fill what the
// newest `window` leave of `keep`. Throws std::bad_alloc, writing nothing.
void select_for_compress(const KVCache& cache, const CompressRequest& request, unsigned char* kept);

}  // namespace marrowvale

#include "cache/compress_selection.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "cache/float_array.hpp"

namespace marrowvale {
namespace {

// The order of scores: a NaN below every number; equal numbers (+0.0 and
// -0.0 among them) rank alike.
bool ranks_below(float a, float b) noexcept { return (std::isnan(a) && !std::isnan(b)) || a < b; }

// pooled[i] = the highest of scores[j] for |i - j| <= half, 0 <= j < n: a
// sliding maximum, each index entering and leaving a queue of falling
// scores once, so that a wide pool costs no more than a narrow one.
void max_pool(const float* scores, std::size_t n, std::size_t half, float* pooled, std::size_t* queue) {
    half = std::min(half, n);
    std::size_t head = 0;
    std::size_t tail = 0;
    std::size_t next = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t right = std::min(n - 1, i + half);
        for (; next <= right; ++next) {
            while (tail > head && !ranks_below(scores[next], scores[queue[tail - 1]])) --tail;
            queue[tail++] = next;
        }
        while (queue[head] + half < i) ++head;
        pooled[i] = scores[queue[head]];
    }
}

}  // namespace

void select_for_compress(const KVCache& cache, const CompressRequest& request, unsigned char* kept) {
    const std::size_t n = cache.length();
    if (n <= request.keep) {
        std::memset(kept, 1, n);
        return;
    }
    const std::size_t newest = std::min(request.window, n);
    const std::size_t candidates = n - newest;
    const std::size_t wanted = std::min(candidates, request.keep - std::min(request.keep, newest));

    FloatArray sums = allocate_floats(n);
    FloatArray pooled = allocate_floats(candidates);
    HeapArray<std::size_t> order = allocate_array<std::size_t>(candidates);
    HeapArray<std::size_t> queue = allocate_array<std::size_t>(candidates);
    std::fill_n(sums.get(), n, 0.0f);
    KVCache::AttentionOutputs outputs;
    outputs.weight_sums = sums.get();
    outputs.queries_per_pass = request.queries_per_pass;
    cache.attend_rows(request.queries, request.count, outputs);

    max_pool(sums.get(), candidates, request.pool / 2, pooled.get(), queue.get());
    for (std::size_t i = 0; i < candidates; ++i) order[i] = i;
    const float* score = pooled.get();
    // A strict order over candidates: the higher pooled score first, of
    // equal scores the newer.
    auto better = [score](std::size_t a, std::size_t b) {
        if (ranks_below(score[b], score[a])) return true;
        if (ranks_below(score[a], score[b])) return false;
        return a > b;
    };
    std::nth_element(order.get(), order.get() + wanted, order.get() + candidates, better);
    std::memset(kept, 0, candidates);
    std::memset(kept + candidates, 1, newest);
    for (std::size_t i = 0; i < wanted; ++i) kept[order[i]] = 1;
}

}  // namespace marrowvale

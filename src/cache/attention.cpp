// Attention over the held entries: scaled scores, a softmax that subtracts
// the largest score so that only differences are exponentiated, and the
// weighted sum of the values, oldest entry first.
#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "cache/float_array.hpp"
#include "cache/kernels/kernels.hpp"
#include "cache/kv_cache.hpp"
#include "cache/messages.hpp"
#include "cache/precondition.hpp"

namespace marrowvale {
namespace {

// The working array of the calling thread: kept from call to call, so that
// attention allocates (and, for a large cache, maps and faults in) nothing
// once a thread has seen its largest cache, and each thread has its own, so
// that attention stays reentrant across threads. Released when the thread
// ends.
float* thread_working_floats(std::size_t count) {
    struct Working {
        FloatArray floats;
        std::size_t capacity = 0;
    };
    thread_local Working working;
    if (count > working.capacity) {
        // Nothing is kept over the call: the old contents need no copy, and
        // the old array goes before the new one is asked for.
        working.floats.reset();
        working.capacity = 0;
        working.floats = allocate_floats(count);
        working.capacity = count;
    }
    return working.floats.get();
}

}  // namespace

void KVCache::attend(std::span<const float> query, float* out) const {
    // Every key has d_k floats, so checking against the first covers all.
    if (!keys_.empty() && query.size() != d_k_) MARROWVALE_FAIL(messages::kLengthMismatch);
    attend_group(query.data(), 1, out);
}

void KVCache::attend_group(const float* queries, std::size_t count, float* out) const {
    const std::size_t n = keys_.size();
    const std::size_t d_k = static_cast<std::size_t>(d_k_);
    const std::size_t d_v = static_cast<std::size_t>(d_v_);
    // One working array per query of a group serves in turn as its scores,
    // its exponentials and its weights: each step reads an entry's value
    // before overwriting it. Had before anything is written, and sized for
    // the largest group, so that every group uses it as it is.
    float* scores = nullptr;
    if (n != 0 && count != 0) {
        const std::size_t group = std::min(count, kGroupQueries);
        if (n > std::numeric_limits<std::size_t>::max() / group) throw std::bad_alloc();
        scores = thread_working_floats(group * n);
    }
    for (std::size_t j = 0; j < count * d_v; ++j) out[j] = 0.0f;
    if (scores == nullptr) return;

    const Kernels& kernels = active_kernels();
    const float divisor = std::sqrt(static_cast<float>(d_k_));
    for (std::size_t first = 0; first < count; first += kGroupQueries) {
        const std::size_t group = std::min(count - first, kGroupQueries);
        kernels.dot_rows(queries + first * d_k, group, keys_.row(0), d_k, n, scores);
        for (std::size_t g = 0; g < group; ++g) {
            float* const score = scores + g * n;
            // The maximum skips NaN scores; with none left it stays -inf.
            const float max_score = kernels.divide_max(score, n, divisor);
            // The kernels' own exponential: the same bits on every processor
            // and with every C library.
            kernels.exp_minus(score, n, max_score);
            // The normaliser is complete before the first division.
            const float normaliser = kernels.sum(score, n);
            kernels.divide_max(score, n, normaliser);  // the largest weight is not needed
        }
        kernels.weighted_sum_rows(out + first * d_v, group, values_.row(0), scores, n, d_v);
    }
}

}  // namespace marrowvale

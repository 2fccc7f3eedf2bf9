// Attention over the held entries: scaled scores, a softmax that subtracts
// the largest score so that only differences are exponentiated, and the
// weighted sum of the values, oldest entry first.
#include <cmath>
#include <memory>

#include "cache/attention.hpp"
#include "cache/float_array.hpp"
#include "cache/kernels.hpp"
#include "cache/kv_cache.hpp"
#include "cache/precondition.hpp"
#include "cache/messages.hpp"

namespace marrowvale {

float unrolled_dot(std::span<const float> x, std::span<const float> y) {
    if (x.size() != y.size()) MARROWVALE_FAIL(messages::kLengthMismatch);
    return active_kernels().dot(x.data(), y.data(), x.size());
}

void KVCache::attend(std::span<const float> query, float* out) const {
    const std::size_t n = keys_.size();
    const std::size_t d_v = static_cast<std::size_t>(d_v_);
    for (std::size_t j = 0; j < d_v; ++j) out[j] = 0.0f;
    if (n == 0) return;
    // Every key has d_k floats, so checking against the first covers all.
    if (query.size() != d_k_) MARROWVALE_FAIL(messages::kLengthMismatch);

    const Kernels& kernels = active_kernels();
    const std::size_t d_k = static_cast<std::size_t>(d_k_);
    const float divisor = std::sqrt(static_cast<float>(d_k_));

    // One working array serves in turn as the scores, the exponentials and
    // the weights: each step reads an entry's value before overwriting it.
    const FloatArray weights = allocate_floats(n);
    float* score = weights.get();
    kernels.dot_rows(query.data(), keys_.row(0), d_k, n, score);
    // The maximum skips NaN scores; with none left it stays -inf.
    const float max_score = kernels.divide_max(score, n, divisor);
    // The kernels' own exponential: the same bits on every processor and
    // with every C library.
    kernels.exp_minus(score, n, max_score);
    // The normaliser is complete before the first division.
    const float normaliser = kernels.sum(score, n);
    kernels.divide_max(score, n, normaliser);  // the largest weight is not needed
    kernels.weighted_sum_rows(out, values_.row(0), score, n, d_v);
}

}  // namespace marrowvale

// Attention over the held entries: scaled scores, a softmax that subtracts
// the largest score so that only differences are exponentiated, and the
// weighted sum of the values, oldest entry first.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "cache/float_array.hpp"
#include "cache/kernels/kernels.hpp"
#include "cache/kv_cache.hpp"
#include "cache/messages.hpp"
#include "cache/precondition.hpp"

namespace marrowvale {
namespace {

// The working array of the calling thread: kept from call to call, and each
// thread has its own, so that attention stays reentrant across threads.
// Released when the thread ends.
float* thread_working_floats(std::size_t count) {
    thread_local ScratchFloats working;
    return working.get(count);
}

const unsigned char* bytes_of(const EntryList& list, std::size_t row) {
    return reinterpret_cast<const unsigned char*>(list.row(row));
}

}  // namespace

void KVCache::attend(std::span<const float> query, float* out) const {
    // Every key has d_k floats, so checking against the first covers all.
    if (length() != 0 && query.size() != d_k_) MARROWVALE_FAIL(messages::kLengthMismatch);
    attend_group(query.data(), 1, out);
}

void KVCache::attend_group(const float* queries, std::size_t count, float* out) const {
    attend_rows(queries, count, {.out = out});
}

void KVCache::attend_rows(const float* queries, std::size_t count, const AttentionOutputs& outputs) const {
    const std::size_t n = length();
    const std::size_t d_k = static_cast<std::size_t>(d_k_);
    const std::size_t d_v = static_cast<std::size_t>(d_v_);
    const std::size_t per_pass = std::clamp<std::size_t>(outputs.queries_per_pass, 1, kGroupQueries);
    // One working row per query of a pass serves in turn as its scores, its
    // exponentials and its weights: each step reads an entry's value before
    // overwriting it. Had before anything is written, and sized for the
    // largest pass, so that every pass uses it as it is.
    float* scores = nullptr;
    if (n != 0 && count != 0) {
        const std::size_t group = std::min(count, per_pass);
        if (n > std::numeric_limits<std::size_t>::max() / group) throw std::bad_alloc();
        scores = thread_working_floats(group * n);
    }
    if (outputs.out != nullptr) std::fill_n(outputs.out, count * d_v, 0.0f);
    if (scores == nullptr) {
        if (outputs.weights != nullptr) std::fill_n(outputs.weights, count * outputs.weights_stride, 0.0f);
        return;
    }

    const Kernels& kernels = active_kernels();
    const float divisor = std::sqrt(static_cast<float>(d_k_));
    // A tier's rows are bytes to its kernels, this many apart.
    const std::size_t key_bytes = static_cast<std::size_t>(keys_.width()) * sizeof(float);
    const std::size_t value_bytes = static_cast<std::size_t>(values_.width()) * sizeof(float);
    // Rows that evictions vacated are skipped: the scores of each run of
    // entries go to their places among the entries' scores, and each run
    // adds its values to the outputs after the runs before it, which are
    // the terms, in the order, of the entries' rows without the gaps.
    const std::size_t rows = keys_.size();
    for (std::size_t first = 0; first < count; first += per_pass) {
        const std::size_t group = std::min(count - first, per_pass);
        const float* const group_queries = queries + first * d_k;
        vacated_.for_each_run(rows, [&](std::size_t row, std::size_t entry, std::size_t run) {
            switch (tier_) {
                case StorageTier::float32:
                    kernels.dot_rows(group_queries, group, keys_.row(row), d_k, run, scores + entry, n);
                    break;
                case StorageTier::bfloat16:
                    kernels.dot_rows_bf16(group_queries, group, bytes_of(keys_, row), key_bytes, d_k, run, scores + entry, n);
                    break;
                case StorageTier::int8:
                    kernels.dot_rows_int8(group_queries, group, bytes_of(keys_, row), key_bytes, d_k, run, scores + entry, n);
                    break;
            }
        });
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
        if (outputs.out != nullptr) {
            float* const out = outputs.out + first * d_v;
            vacated_.for_each_run(rows, [&](std::size_t row, std::size_t entry, std::size_t run) {
                const float* const weights = scores + entry;
                switch (tier_) {
                    case StorageTier::float32:
                        kernels.weighted_sum_rows(out, group, values_.row(row), weights, run, d_v, n);
                        break;
                    case StorageTier::bfloat16:
                        kernels.weighted_sum_rows_bf16(out, group, bytes_of(values_, row), value_bytes, weights, run, d_v, n);
                        break;
                    case StorageTier::int8:
                        kernels.weighted_sum_rows_int8(out, group, bytes_of(values_, row), value_bytes, weights, run, d_v, n);
                        break;
                }
            });
        }
        if (outputs.weights != nullptr) {
            for (std::size_t g = 0; g < group; ++g) {
                float* row = outputs.weights + (first + g) * outputs.weights_stride;
                std::memcpy(row, scores + g * n, n * sizeof(float));
                std::fill(row + n, row + outputs.weights_stride, 0.0f);
            }
        }
        if (outputs.weight_sums != nullptr) {
            // +0.0 plus the first query's weights is those weights: a weight
            // is never -0.0.
            std::size_t added = 0;
            if (first == 0) {
                std::memcpy(outputs.weight_sums, scores, n * sizeof(float));
                added = 1;
            }
            kernels.add_rows(outputs.weight_sums, scores + added * n, group - added, n, n);
        }
    }
}

void KVCache::attend_for_scores(const float* queries, std::size_t count, AttentionOutputs outputs) {
    scores_pending_ = false;
    const bool scored = strategy_->attention_scoring() != AttentionScoring::none && count != 0 && length() != 0;
    outputs.weight_sums = scored ? pending_scores_.get(length()) : nullptr;
    attend_rows(queries, count, outputs);
    scores_pending_ = scored;
}

void KVCache::commit_scores() noexcept {
    if (!scores_pending_) return;
    scores_pending_ = false;
    const std::size_t n = scores_.size();
    if (strategy_->attention_scoring() == AttentionScoring::added) {
        active_kernels().add_rows(scores_.row(0), pending_scores_.data(), 1, n, n);
    } else {
        std::memcpy(scores_.row(0), pending_scores_.data(), n * sizeof(float));
    }
}

}  // namespace marrowvale

// Copying a cache (under its strategy, or another: recast) and restoring
// one from saved rows and counters: what branching a conversation, moving
// from a prompt to a budget, and loading a saved state need.
#include <algorithm>
#include <vector>

#include "cache/kv_cache.hpp"
#include "cache/messages.hpp"
#include "cache/precondition.hpp"

namespace marrowvale {

KVCache::KVCache(const KVCache& other, std::unique_ptr<CacheStrategy> strategy)
    : keys_(other.keys_.copy()),
      values_(other.values_.copy()),
      spans_(other.spans_.copy()),
      scores_(other.scores_.copy()),
      vacated_(other.vacated_),
      strategy_(std::move(strategy)),
      d_k_(other.d_k_),
      d_v_(other.d_v_),
      total_appends_(other.total_appends_),
      total_merges_(other.total_merges_),
      total_evictions_(other.total_evictions_),
      current_size_(other.current_size_),
      position_(other.position_),
      follows_spans_(other.follows_spans_),
      keeps_scores_(strategy_->keeps_scores()),
      tier_(other.tier_) {}

KVCache KVCache::recast(const KVCache& other, std::unique_ptr<CacheStrategy> strategy) {
    const bool same_kind = other.strategy_->name() == strategy->name();
    KVCache cache(other, std::move(strategy));
    cache.settle();
    if (!cache.keeps_scores_) {
        cache.scores_.clear();
    } else if (!same_kind) {
        ScoreList scores(1);
        float* score = scores.append_for_overwrite(cache.length());
        const auto d_k = static_cast<std::size_t>(cache.d_k_);
        // A tier's scores come from its stored keys, as on append; a
        // strategy whose new entries start at one score reads no key.
        const bool from_key = cache.strategy_->scores_from_key();
        if (!from_key) std::fill_n(score, cache.length(), cache.strategy_->new_score({}));
        std::vector<float> key(from_key && cache.tier_ != StorageTier::float32 ? d_k : 0);
        for (std::size_t i = 0; from_key && i < cache.length(); ++i) {
            const float* row = cache.keys_.row(i);
            if (!key.empty()) {
                decode_row(cache.tier_, row, d_k, key.data());
                row = key.data();
            }
            score[i] = cache.strategy_->new_score({row, d_k});
        }
        cache.scores_ = std::move(scores);
    }
    return cache;
}

void KVCache::restore(EntryList keys, EntryList values, SpanList spans, ScoreList scores,
                      const KVCacheCounters& counters) {
    // Widths of stored rows: in floats of the cache's tier.
    if (keys.width() != keys_.width()) {
        MARROWVALE_FAIL(equality_failure_message(messages::kKeyDimMismatch, keys.width(), keys_.width()));
    }
    if (values.width() != values_.width()) {
        MARROWVALE_FAIL(equality_failure_message(messages::kValueDimMismatch, values.width(), values_.width()));
    }
    if (spans.width() != 2) MARROWVALE_FAIL(equality_failure_message(messages::kSpanWidthMismatch, spans.width(), 2));
    if (values.size() != keys.size()) {
        MARROWVALE_FAIL(equality_failure_message(messages::kValueCountMismatch, values.size(), keys.size()));
    }
    const std::size_t span_count = follows_spans_ ? keys.size() : 0;
    if (spans.size() != span_count) {
        MARROWVALE_FAIL(equality_failure_message(messages::kSpanCountMismatch, spans.size(), span_count));
    }
    if (scores.width() != 1) MARROWVALE_FAIL(equality_failure_message(messages::kScoreWidthMismatch, scores.width(), 1));
    const std::size_t score_count = keeps_scores_ ? keys.size() : 0;
    if (scores.size() != score_count) {
        MARROWVALE_FAIL(equality_failure_message(messages::kScoreCountMismatch, scores.size(), score_count));
    }
    keys_ = std::move(keys);
    values_ = std::move(values);
    spans_ = std::move(spans);
    scores_ = std::move(scores);
    vacated_.clear();
    scores_pending_ = false;
    total_appends_ = counters.total_appends;
    total_merges_ = counters.total_merges;
    total_evictions_ = counters.total_evictions;
    current_size_ = counters.current_size;
    position_ = counters.position;
}

}  // namespace marrowvale

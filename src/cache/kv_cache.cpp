#include "cache/kv_cache.hpp"

#include <algorithm>
#include <limits>

#include "cache/messages.hpp"
#include "cache/precondition.hpp"

namespace marrowvale {

KVCache::KVCache(std::uint64_t d_k, std::uint64_t d_v, std::unique_ptr<CacheStrategy> strategy,
                 bool follow_spans) noexcept
    : keys_(d_k),
      values_(d_v),
      strategy_(std::move(strategy)),
      d_k_(d_k),
      d_v_(d_v),
      follows_spans_(follow_spans) {}

void KVCache::append(std::span<const float> key, std::span<const float> value) {
    if (key.size() != d_k_) MARROWVALE_FAIL(equality_failure_message(messages::kKeyDimMismatch, key.size(), d_k_));
    if (value.size() != d_v_) {
        MARROWVALE_FAIL(equality_failure_message(messages::kValueDimMismatch, value.size(), d_v_));
    }

    // Make room in every list before writing any, so that running out of
    // memory leaves them equal in length.
    keys_.make_room_for_push();
    values_.make_room_for_push();
    if (follows_spans_) spans_.make_room_for_push();
    keys_.push_back(key.data());
    values_.push_back(value.data());
    if (follows_spans_) {
        // A new entry covers its own token, counted like `position_`.
        const std::int64_t token[2] = {static_cast<std::int64_t>(position_), static_cast<std::int64_t>(position_)};
        spans_.push_back(token);
    }
    ++total_appends_;

    Entries entries(keys_, values_, follows_spans_ ? &spans_ : nullptr);
    total_merges_ += strategy_->on_append(entries, position_);
    current_size_ = keys_.size();
    ++position_;
}

void KVCache::reserve_for_appends(std::size_t appends) {
    if (has_room_for(appends)) return;
    const std::uint64_t most = strategy_->most_held(keys_.size(), appends);
    const auto rows = static_cast<std::size_t>(std::min<std::uint64_t>(most, std::numeric_limits<std::size_t>::max()));
    keys_.reserve_for_pushes(appends, rows);
    values_.reserve_for_pushes(appends, rows);
    if (follows_spans_) spans_.reserve_for_pushes(appends, rows);
}

void KVCache::give_back_spare_room() noexcept {
    keys_.give_back_spare_rows();
    values_.give_back_spare_rows();
    spans_.give_back_spare_rows();
}

void KVCache::clear() noexcept {
    keys_.clear();
    values_.clear();
    spans_.clear();
    position_ = 0;
}

}  // namespace marrowvale

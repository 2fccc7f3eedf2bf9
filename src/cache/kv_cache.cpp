#include "cache/kv_cache.hpp"

#include <algorithm>
#include <limits>

#include "cache/messages.hpp"
#include "cache/precondition.hpp"

namespace marrowvale {

KVCache::KVCache(std::uint64_t d_k, std::uint64_t d_v, std::unique_ptr<CacheStrategy> strategy,
                 bool follow_spans, StorageTier tier) noexcept
    : keys_(tier_row_floats(tier, d_k)),
      values_(tier_row_floats(tier, d_v)),
      strategy_(std::move(strategy)),
      d_k_(d_k),
      d_v_(d_v),
      follows_spans_(follow_spans),
      keeps_scores_(strategy_->keeps_scores()),
      tier_(tier) {}

void KVCache::make_decoding_room() {
    if (has_decoding_room()) return;
    decoded_.get(strategy_->decoding_room(static_cast<std::size_t>(d_k_), static_cast<std::size_t>(d_v_)));
}

RowFormat KVCache::row_format() noexcept {
    return {tier_, static_cast<std::size_t>(d_k_), static_cast<std::size_t>(d_v_), decoded_.data(), decoded_.capacity()};
}

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
    if (keeps_scores_) {
        scores_.make_room_for_push();
        vacated_.make_room(keys_.size() + 1);
    }
    make_decoding_room();
    decoded_spare_ = false;
    if (tier_ == StorageTier::float32) {
        keys_.push_back(key.data());
        values_.push_back(value.data());
    } else {
        // Encoded where the rows go, and counted only once both are.
        if (!encode_row(tier_, key.data(), key.size(), keys_.next_row()) ||
            !encode_row(tier_, value.data(), value.size(), values_.next_row())) {
            MARROWVALE_FAIL(messages::kInt8NotFinite);
        }
        keys_.commit_push();
        values_.commit_push();
    }
    if (follows_spans_) {
        // A new entry covers its own token, counted like `position_`.
        const std::int64_t token[2] = {static_cast<std::int64_t>(position_), static_cast<std::int64_t>(position_)};
        spans_.push_back(token);
    }
    if (keeps_scores_) {
        // A tier's score is its stored key's: the key attention sees.
        std::span<const float> scored = key;
        if (tier_ != StorageTier::float32 && strategy_->scores_from_key()) {
            decode_row(tier_, keys_.row(keys_.size() - 1), key.size(), decoded_.data());
            scored = {decoded_.data(), key.size()};
        }
        const float score = strategy_->new_score(scored);
        scores_.push_back(&score);
    }
    ++total_appends_;

    Entries entries(keys_, values_, follows_spans_ ? &spans_ : nullptr, keeps_scores_ ? &scores_ : nullptr,
                    keeps_scores_ ? &vacated_ : nullptr, row_format());
    total_merges_ += strategy_->on_append(entries, position_);
    current_size_ = entries.size();
    ++position_;
}

std::size_t KVCache::retain(const unsigned char* kept) noexcept {
    settle();
    Entries entries(keys_, values_, follows_spans_ ? &spans_ : nullptr, keeps_scores_ ? &scores_ : nullptr);
    // Each run of kept entries moves down as one block of every list.
    const std::size_t n = entries.size();
    std::size_t to = 0;
    std::size_t i = 0;
    while (i < n) {
        if (kept[i] == 0) {
            ++i;
            continue;
        }
        const std::size_t from = i;
        while (i < n && kept[i] != 0) ++i;
        entries.move_rows(from, to, i - from);
        to += i - from;
    }
    entries.truncate(to);
    if (to != n) {
        total_evictions_ += n - to;
        current_size_ = to;
    }
    return n - to;
}

void KVCache::reserve_for_appends(std::size_t appends) {
    if (has_room_for(appends)) return;
    if (!has_decoding_room()) {
        make_decoding_room();
        decoded_spare_ = true;
    }
    const std::uint64_t most = strategy_->most_held(length(), appends);
    const auto entries = static_cast<std::size_t>(std::min<std::uint64_t>(most, std::numeric_limits<std::size_t>::max()));
    // Keys, values and spans also hold the rows evictions leave vacated.
    const std::size_t rows = keeps_scores_ ? VacatedRows::most_rows(entries) : entries;
    keys_.reserve_for_pushes(appends, rows);
    values_.reserve_for_pushes(appends, rows);
    if (follows_spans_) spans_.reserve_for_pushes(appends, rows);
    if (keeps_scores_) {
        scores_.reserve_for_pushes(appends, entries);
        vacated_.make_room(rows);
    }
}

void KVCache::give_back_spare_room() noexcept {
    if (decoded_spare_) {
        decoded_.release();
        decoded_spare_ = false;
    }
    keys_.give_back_spare_rows();
    values_.give_back_spare_rows();
    spans_.give_back_spare_rows();
    scores_.give_back_spare_rows();
}

void KVCache::clear() noexcept {
    keys_.clear();
    values_.clear();
    spans_.clear();
    scores_.clear();
    vacated_.clear();
    decoded_.release();
    decoded_spare_ = false;
    scores_pending_ = false;
    position_ = 0;
}

std::uint64_t KVCache::storage_bytes() const noexcept {
    return keys_.capacity() * keys_.width() * sizeof(float) + values_.capacity() * values_.width() * sizeof(float) +
           spans_.capacity() * spans_.width() * sizeof(std::int64_t) + scores_.capacity() * sizeof(float) +
           pending_scores_.capacity() * sizeof(float) + decoded_.capacity() * sizeof(float);
}

}  // namespace marrowvale

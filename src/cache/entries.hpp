// The entries a strategy works on: keys and values at equal indices,
// when the cache's owner follows them the spans of tokens the entries
// cover, and when the strategy keeps them the entries' scores. Every change
// a strategy makes goes through here, so spans and scores follow each drop,
// move and merge without a strategy knowing about them, and a cache without
// them pays one untaken branch per change. A cache that keeps scores
// leaves an evicted entry's key, value and span rows vacated
// (vacated_rows.hpp); its strategy only erases entries, and reads nothing
// but the scores.
#pragma once

#include <cstddef>

#include "cache/entry_list.hpp"
#include "cache/storage_tier.hpp"
#include "cache/vacated_rows.hpp"

namespace marrowvale {

class Entries {
public:
    Entries(EntryList& key_rows, EntryList& value_rows, SpanList* spans, ScoreList* scores = nullptr,
            VacatedRows* vacated = nullptr, RowFormat format = {}) noexcept
        : keys(key_rows), values(value_rows), spans_(spans), scores_(scores), vacated_(vacated), format_(format) {}

    EntryList& keys;
    EntryList& values;

    // How the rows are stored; a default format means float32 rows of the
    // lists' widths.
    const RowFormat& format() const noexcept { return format_; }

    std::size_t size() const noexcept { return keys.size() - (vacated_ == nullptr ? 0 : vacated_->size()); }

    // The score of each entry, oldest first; null unless the cache keeps
    // scores (or holds no entry).
    const float* scores() const noexcept {
        return scores_ == nullptr || scores_->empty() ? nullptr : scores_->row(0);
    }

    // pop_front, truncate and move_rows are for lists without vacated rows.

    // Drops the `count` oldest entries.
    void pop_front(std::size_t count) noexcept {
        keys.pop_front(count);
        values.pop_front(count);
        if (spans_ != nullptr) spans_->pop_front(count);
        if (scores_ != nullptr) scores_->pop_front(count);
    }

    // Drops the entry at `index`; the others keep their order.
    void erase(std::size_t index) noexcept {
        if (scores_ != nullptr) scores_->erase(index);
        if (vacated_ != nullptr) {
            vacated_->vacate(vacated_->row_of(index), keys, values, spans_);
            return;
        }
        keys.erase(index);
        values.erase(index);
        if (spans_ != nullptr) spans_->erase(index);
    }

    // Keeps the `count` oldest entries.
    void truncate(std::size_t count) noexcept {
        keys.truncate(count);
        values.truncate(count);
        if (spans_ != nullptr) spans_->truncate(count);
        if (scores_ != nullptr) scores_->truncate(count);
    }

    // Copies the `count` entries from `from` on over those from `to` on
    // (to <= from), the step of an in-place compaction: a run of entries
    // moves as one block of each list.
    void move_rows(std::size_t from, std::size_t to, std::size_t count) noexcept {
        keys.move_rows(from, to, count);
        values.move_rows(from, to, count);
        if (spans_ != nullptr) spans_->move_rows(from, to, count);
        if (scores_ != nullptr) scores_->move_rows(from, to, count);
    }

    // Records that entry `to` (to <= older) now holds the blend of entries
    // `older` and `older + 1`, whose keys and values the caller has written:
    // it covers the tokens of both, which are neighbours. (No strategy that
    // merges keeps scores.)
    void record_merge(std::size_t older, std::size_t to) noexcept {
        if (spans_ == nullptr) return;
        const std::int64_t first = spans_->row(older)[0];
        const std::int64_t last = spans_->row(older + 1)[1];
        std::int64_t* merged = spans_->row(to);
        merged[0] = first;
        merged[1] = last;
    }

private:
    SpanList* spans_;
    ScoreList* scores_;
    VacatedRows* vacated_;
    RowFormat format_;
};

}  // namespace marrowvale

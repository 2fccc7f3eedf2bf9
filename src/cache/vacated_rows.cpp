#include "cache/vacated_rows.hpp"

#include <algorithm>
#include <cstring>

namespace marrowvale {

// A sixteenth of the rows: attention scores at most 1/16 more rows than it
// needs, and a compaction, which moves at most every row, comes once in
// rows/16 evictions, so that an eviction moves 16 rows on average.
std::size_t VacatedRows::most_vacated(std::size_t rows) noexcept { return std::max<std::size_t>(16, rows / 16); }

void VacatedRows::make_room(std::size_t rows) { rows_.reserve(most_vacated(rows) + 1); }

std::size_t VacatedRows::row_of(std::size_t index) const noexcept {
    // rows_[k] - k entries lie before vacated row k, a count that never
    // falls from one vacated row to the next: the entry comes after every
    // vacated row with at most `index` entries before it.
    std::size_t low = 0;
    std::size_t high = rows_.size();
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        if (rows_[middle] - middle <= index) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return index + low;
}

void VacatedRows::vacate(std::size_t row, EntryList& keys, EntryList& values, SpanList* spans) noexcept {
    // A value of any bits times a weight of +0.0 could be a NaN; +0.0 times
    // +0.0 is +0.0.
    std::fill_n(values.row(row), static_cast<std::size_t>(values.width()), 0.0f);
    rows_.insert(std::lower_bound(rows_.begin(), rows_.end(), row), row);
    if (rows_.size() > most_vacated(keys.size())) compact(keys, values, spans);
}

void VacatedRows::compact(EntryList& keys, EntryList& values, SpanList* spans) noexcept {
    if (rows_.empty()) return;
    // The entries before the split's vacated rows move up over them, those
    // after move down over the rest, and the split is where that moves the
    // fewest entries: a rows_ spread evenly costs half the list, not all.
    const std::size_t m = rows_.size();
    const std::size_t total = keys.size();
    std::size_t split = 0;
    std::size_t fewest = total;
    for (std::size_t s = 0; s <= m; ++s) {
        const std::size_t up = s == 0 ? 0 : rows_[s - 1] - (s - 1);
        const std::size_t down = s == m ? 0 : total - rows_[s] - (m - s);
        if (up + down < fewest) {
            fewest = up + down;
            split = s;
        }
    }
    auto move = [&](std::size_t from, std::size_t to, std::size_t count) {
        keys.move_rows(from, to, count);
        values.move_rows(from, to, count);
        if (spans != nullptr) spans->move_rows(from, to, count);
    };
    // Down: each run after vacated row k (k >= split) closes up behind the
    // runs before it.
    std::size_t to = split == m ? total : rows_[split];
    for (std::size_t k = split; k < m; ++k) {
        const std::size_t from = rows_[k] + 1;
        const std::size_t end = k + 1 < m ? rows_[k + 1] : total;
        move(from, to, end - from);
        to += end - from;
    }
    const std::size_t kept_end = to;
    // Up: each run before vacated row k (k < split), the last first, ends
    // where the one after it begins; the split rows freed at the front go.
    std::size_t end_to = split == 0 ? 0 : rows_[split - 1] + 1;
    for (std::size_t k = split; k-- > 0;) {
        const std::size_t begin = k == 0 ? 0 : rows_[k - 1] + 1;
        const std::size_t count = rows_[k] - begin;
        end_to -= count;
        move(begin, end_to, count);
    }
    keys.truncate(kept_end);
    values.truncate(kept_end);
    if (spans != nullptr) spans->truncate(kept_end);
    keys.pop_front(split);
    values.pop_front(split);
    if (spans != nullptr) spans->pop_front(split);
    rows_.clear();
}

void VacatedRows::gather(float* per_row, std::size_t rows_total) const noexcept {
    if (rows_.empty()) return;
    std::size_t to = rows_.front();
    for (std::size_t k = 0; k < rows_.size(); ++k) {
        const std::size_t from = rows_[k] + 1;
        const std::size_t end = k + 1 < rows_.size() ? rows_[k + 1] : rows_total;
        std::memmove(per_row + to, per_row + from, (end - from) * sizeof(float));
        to += end - from;
    }
}

void VacatedRows::scatter(float* per_row, std::size_t rows_total) const noexcept {
    if (rows_.empty()) return;
    // From the last run back, so that no float is overwritten before it moves.
    std::size_t end_of_entries = rows_total - rows_.size();
    for (std::size_t k = rows_.size(); k-- > 0;) {
        const std::size_t from_row = rows_[k] + 1;
        const std::size_t end = k + 1 < rows_.size() ? rows_[k + 1] : rows_total;
        const std::size_t run = end - from_row;
        end_of_entries -= run;
        std::memmove(per_row + from_row, per_row + end_of_entries, run * sizeof(float));
        per_row[rows_[k]] = 0.0f;
    }
}

}  // namespace marrowvale

#include "cache/vacated_rows.hpp"

#include <algorithm>
#include <cstdint>

namespace marrowvale {

// A sixteenth of the rows: attention reads at most rows/16 + 1 runs, and a
// compaction, which moves half the rows or fewer, comes once in rows/16
// evictions, so that an eviction moves 8 rows on average.
std::size_t VacatedRows::most_vacated(std::size_t rows) noexcept { return std::max<std::size_t>(16, rows / 16); }

void VacatedRows::make_room(std::size_t rows) { rows_.reserve(most_vacated(rows) + 1); }

std::size_t VacatedRows::most_rows(std::size_t entries) noexcept {
    // Rows r with r - most_vacated(r) <= entries: below 256 rows at most
    // 16 are vacated, from there on at most r / 16.
    const std::size_t small = entries > SIZE_MAX - 16 ? SIZE_MAX : entries + 16;
    const std::size_t large = entries > SIZE_MAX / 16 ? SIZE_MAX : entries / 15 * 16 + 16;
    return std::max(small, large);
}

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

}  // namespace marrowvale

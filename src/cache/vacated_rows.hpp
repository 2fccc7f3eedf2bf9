// Rows of a cache's key and value lists that no longer hold an entry.
//
// Evicting one entry from the middle of a long list would move a quarter of
// the list on average, per append a good part of what attention reads.
// Instead an evicted entry's key, value and span rows stay where they are
// until so many have gone that moving the rows around them once costs a few
// rows per eviction; attention reads the rows run by run between them,
// which gives every bit it gives the entries without them (see
// attention.cpp). The scores, which the strategy searches, are kept without
// such rows.
#pragma once

#include <cstddef>
#include <vector>

#include "cache/entry_list.hpp"

namespace marrowvale {

class VacatedRows {
public:
    bool empty() const noexcept { return rows_.empty(); }
    std::size_t size() const noexcept { return rows_.size(); }

    // Makes sure that a list of `rows` rows can record its vacated rows
    // without allocating. Throws std::bad_alloc.
    void make_room(std::size_t rows);
    bool has_room_for(std::size_t rows) const noexcept { return rows_.capacity() > most_vacated(rows); }

    // The most rows lists holding `entries` entries can have, vacated rows
    // included.
    static std::size_t most_rows(std::size_t entries) noexcept;

    // The row of the index-th entry that holds one.
    std::size_t row_of(std::size_t index) const noexcept;

    // Records that `row` of keys, values and spans (null when the cache does
    // not follow them) holds no entry any more; compacts the lists when
    // enough rows are vacated. The room for it was made by make_room.
    void vacate(std::size_t row, EntryList& keys, EntryList& values, SpanList* spans) noexcept;

    // Moves the entries' rows down over the vacated ones: keys, values and
    // spans then hold exactly the entries.
    void compact(EntryList& keys, EntryList& values, SpanList* spans) noexcept;

    void clear() noexcept { rows_.clear(); }

    // Calls run(row, entry, count) for each run of rows that hold entries,
    // in order, of lists of `rows_total` rows: `count` entries from row
    // `row`, the first of them entry `entry`.
    template <typename Run>
    void for_each_run(std::size_t rows_total, Run run) const {
        std::size_t row = 0;
        std::size_t entry = 0;
        for (const std::size_t vacated : rows_) {
            if (vacated > row) run(row, entry, vacated - row);
            entry += vacated - row;
            row = vacated + 1;
        }
        if (rows_total > row) run(row, entry, rows_total - row);
    }

private:
    // The most vacated rows a list of `rows` rows keeps before compacting:
    // a compaction moves at most all rows, so this many evictions share it.
    static std::size_t most_vacated(std::size_t rows) noexcept;

    std::vector<std::size_t> rows_;  // ascending
};

}  // namespace marrowvale

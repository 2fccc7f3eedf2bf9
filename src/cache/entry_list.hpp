// A list of equal-width rows, oldest first, stored row-major in one
// contiguous buffer so that attention and merging stream through memory.
// The cache keeps its keys and values in float rows (EntryList), when its
// owner follows which tokens each entry covers their spans in rows of two
// integers (SpanList), and when its strategy chooses by score one float per
// entry (ScoreList), apart from the keys and values.
//
// The live rows occupy [head_, head_ + size_) of the buffer. Dropping rows at
// the front only advances head_, and the slack this leaves is reclaimed by
// sliding the rows down when the back runs out of room, so a sliding window
// costs O(1) amortised per append and no entry ever owns an allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "cache/float_array.hpp"

namespace marrowvale {

template <typename T>
class RowList {
public:
    explicit RowList(std::uint64_t width) noexcept : width_(width) {}

    RowList(const RowList&) = delete;
    RowList& operator=(const RowList&) = delete;
    RowList(RowList&&) noexcept = default;
    RowList& operator=(RowList&&) noexcept = default;

    std::uint64_t width() const noexcept { return width_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    // Rows the buffer holds room for, dropped front rows included: what the
    // list costs in memory.
    std::size_t capacity() const noexcept { return capacity_; }

    T* row(std::size_t index) noexcept { return data_.get() + (head_ + index) * width_; }
    const T* row(std::size_t index) const noexcept { return data_.get() + (head_ + index) * width_; }

    // Room for `rows` rows without reallocating; throws std::bad_alloc when
    // rows * width does not fit in memory.
    void reserve(std::size_t rows);

    // Makes sure the next push_back will not allocate (and so cannot throw).
    void make_room_for_push() {
        if (head_ + size_ == capacity_) grow_for_push();
    }

    // Rows that can be pushed before the buffer's end.
    std::size_t room_at_back() const noexcept { return capacity_ - head_ - size_; }

    // Makes sure the next `pushes` push_backs will not allocate, for a list
    // that holds at most `most_rows` rows after any of them. The list still
    // grows as those pushes would grow it (so capacity() says the same), in
    // a block set aside now that is large enough for every such growth.
    // Throws std::bad_alloc, leaving the list as it was.
    void reserve_for_pushes(std::size_t pushes, std::size_t most_rows);

    // Gives back the part of that block the pushes did not grow into (kept
    // if the smaller block cannot be had).
    void give_back_spare_rows() noexcept;

    // Appends a copy of `values` (width() elements) as the newest row.
    // Inline, as pop_front: every append of every head runs both.
    void push_back(const T* values) {
        make_room_for_push();
        // The buffer holds this row, so its size in bytes cannot overflow.
        if (width_ != 0) std::memcpy(row(size_), values, static_cast<std::size_t>(width_) * sizeof(T));
        ++size_;
    }

    // The row the next push fills, for a caller that writes it in place:
    // after make_room_for_push, next_row() holds width() elements that are
    // no row yet, and commit_push() makes them the newest.
    T* next_row() noexcept { return row(size_); }
    void commit_push() noexcept { ++size_; }

    // Drops the `count` oldest rows (count <= size()).
    void pop_front(std::size_t count) noexcept {
        head_ += count;
        size_ -= count;
        if (size_ == 0) head_ = 0;
    }

    // Drops the row at `index`, moving whichever side of it is shorter.
    void erase(std::size_t index) noexcept;

    // Keeps the `count` oldest rows and drops the rest.
    void truncate(std::size_t count) noexcept;

    // Copies the `count` rows from `from` on over the rows from `to` on
    // (the two runs may overlap), the step of an in-place compaction; the
    // rows are contiguous, so a run moves as one block.
    void move_rows(std::size_t from, std::size_t to, std::size_t count) noexcept;

    // Drops every row and gives the storage back.
    void clear() noexcept;

    // A list holding copies of the live rows, with room for exactly those.
    RowList copy() const;

    // Adds `count` rows of unspecified content at the back and returns the
    // first of them, for a caller that fills rows from storage of its own.
    T* append_for_overwrite(std::size_t count);

private:
    // Makes room for one more row at the back: slides the rows down over
    // dropped front rows, or reallocates.
    void grow_for_push();
    // Copies the live rows into a new block of `rows` rows, from row
    // `first` of it on, and makes it the list's buffer (head_ unchanged).
    void move_to_block(std::size_t rows, std::size_t first);

    HeapArray<T> data_;
    std::uint64_t width_;
    std::size_t head_ = 0;      // first live row in data_
    std::size_t size_ = 0;      // live rows
    std::size_t capacity_ = 0;  // rows the list may use before it grows
    std::size_t block_rows_ = 0;  // rows data_ holds: capacity_, or more set aside by reserve_for_pushes
};

extern template class RowList<float>;
extern template class RowList<std::int64_t>;

using EntryList = RowList<float>;
// Rows of two token indices: the first and the last token an entry covers.
using SpanList = RowList<std::int64_t>;
// Rows of one float: an entry's score.
using ScoreList = RowList<float>;

}  // namespace marrowvale

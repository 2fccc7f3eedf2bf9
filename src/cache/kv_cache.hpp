// The key/value cache: appended keys and values in arrival order, the
// strategy that decides what is kept, and the counters the statistics report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "cache/entry_list.hpp"
#include "strategies/cache_strategy.hpp"

namespace marrowvale {

// What a cache counts beside its entries: saved and restored with them.
struct KVCacheCounters {
    std::uint64_t total_appends = 0;
    std::uint64_t total_merges = 0;
    std::uint64_t total_evictions = 0;
    std::uint64_t current_size = 0;
    std::uint64_t position = 0;

    // Held over appended, both as floats, divided in float; 1 before the
    // first append.
    float compression_ratio() const noexcept {
        return total_appends == 0 ? 1.0f : static_cast<float>(current_size) / static_cast<float>(total_appends);
    }
};

class KVCache {
public:
    // With `follow_spans`, the cache also keeps, for every entry, the first
    // and the last token it covers (tokens counted from 0 since construction
    // or clear).
    KVCache(std::uint64_t d_k, std::uint64_t d_v, std::unique_ptr<CacheStrategy> strategy,
            bool follow_spans = false) noexcept;

    // A copy of `other`: its entries, spans and counters, with `strategy`,
    // which the caller builds as a twin of other's (a strategy holds only
    // its parameters). Throws std::bad_alloc, leaving `other` untouched.
    KVCache(const KVCache& other, std::unique_ptr<CacheStrategy> strategy);

    // Replaces the entries, spans and counters by saved ones. The rows must
    // have this cache's widths and agree in number (no spans unless the cache
    // follows them); throws PreconditionFailure, changing nothing, if not.
    void restore(EntryList keys, EntryList values, SpanList spans, const KVCacheCounters& counters);

    // Makes room for `appends` appends, so that none of them allocates: then
    // they cannot fail for want of memory. Throws std::bad_alloc, leaving
    // the entries and counters as they were. The lists grow as the appends
    // would grow them, in room set aside; give_back_spare_room returns what
    // they did not use.
    void reserve_for_appends(std::size_t appends);
    void give_back_spare_room() noexcept;
    // Whether `appends` appends fit without growing any list.
    bool has_room_for(std::size_t appends) const noexcept {
        return keys_.room_at_back() >= appends && values_.room_at_back() >= appends &&
               (!follows_spans_ || spans_.room_at_back() >= appends);
    }

    // Stores one entry and lets the strategy compress. Throws
    // PreconditionFailure, leaving the cache untouched, when a length is wrong.
    void append(std::span<const float> key, std::span<const float> value);

    // Single-head scaled dot-product attention of `query` over the held
    // entries; writes d_v floats to `out`. Throws PreconditionFailure when the
    // query's length differs from the keys' on a non-empty cache.
    void attend(std::span<const float> query, float* out) const;

    // Attention of `count` queries of d_k floats each (consecutive rows from
    // `queries`) over the held entries, into `count` consecutive rows of d_v
    // floats from `out`: row g has exactly the bits attend gives query g,
    // and the entries are read from memory once per group of up to
    // kGroupQueries queries rather than once per query. The output must not
    // overlap the queries. Throws std::bad_alloc, writing nothing, when the
    // working memory cannot be had.
    void attend_group(const float* queries, std::size_t count, float* out) const;

    // Queries attend_group scores in one pass over the entries: its working
    // memory is this many floats per held entry at most.
    static constexpr std::size_t kGroupQueries = 8;

    void clear() noexcept;
    std::size_t length() const noexcept { return keys_.size(); }

    std::uint64_t d_k() const noexcept { return d_k_; }
    std::uint64_t d_v() const noexcept { return d_v_; }
    std::uint64_t total_appends() const noexcept { return total_appends_; }
    std::uint64_t total_merges() const noexcept { return total_merges_; }
    std::uint64_t total_evictions() const noexcept { return total_evictions_; }
    std::uint64_t current_size() const noexcept { return current_size_; }
    std::uint64_t position() const noexcept { return position_; }
    KVCacheCounters counters() const noexcept {
        return {total_appends_, total_merges_, total_evictions_, current_size_, position_};
    }
    std::string_view strategy_name() const noexcept { return strategy_->name(); }
    const CacheStrategy& strategy() const noexcept { return *strategy_; }

    const EntryList& keys() const noexcept { return keys_; }
    const EntryList& values() const noexcept { return values_; }
    bool follows_spans() const noexcept { return follows_spans_; }
    // Empty unless the cache follows spans.
    const SpanList& spans() const noexcept { return spans_; }

private:
    EntryList keys_;
    EntryList values_;
    SpanList spans_{2};
    std::unique_ptr<CacheStrategy> strategy_;
    std::uint64_t d_k_;
    std::uint64_t d_v_;
    std::uint64_t total_appends_ = 0;
    std::uint64_t total_merges_ = 0;
    std::uint64_t total_evictions_ = 0;  // no strategy evicts as such; drops count as merges
    std::uint64_t current_size_ = 0;
    std::uint64_t position_ = 0;
    bool follows_spans_;
};

}  // namespace marrowvale

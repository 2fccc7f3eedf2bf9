// The key/value cache: appended keys and values in arrival order, the
// strategy that decides what is kept, and the counters the statistics report.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

#include "cache/entry_list.hpp"
#include "cache/float_array.hpp"
#include "cache/storage_tier.hpp"
#include "cache/vacated_rows.hpp"
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
    // or clear). Keys and values are stored in `tier`.
    KVCache(std::uint64_t d_k, std::uint64_t d_v, std::unique_ptr<CacheStrategy> strategy,
            bool follow_spans = false, StorageTier tier = StorageTier::float32) noexcept;

    // A copy of `other`: its entries, spans, scores and counters, with
    // `strategy`, which the caller builds as a twin of other's (a strategy
    // holds only its parameters). Throws std::bad_alloc, leaving `other`
    // untouched.
    KVCache(const KVCache& other, std::unique_ptr<CacheStrategy> strategy);

    // A copy of `other`'s entries, spans and counters under `strategy`, of
    // any kind, which acts from the next append on. The scores are other's
    // when both strategies are of one kind, else each entry's as a new
    // entry's (from its key). Throws std::bad_alloc.
    static KVCache recast(const KVCache& other, std::unique_ptr<CacheStrategy> strategy);

    // Replaces the entries, spans, scores and counters by saved ones. The
    // rows must have this cache's widths and agree in number (no spans
    // unless the cache follows them, no scores unless its strategy keeps
    // them); throws PreconditionFailure, changing nothing, if not.
    void restore(EntryList keys, EntryList values, SpanList spans, ScoreList scores, const KVCacheCounters& counters);

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
               (!follows_spans_ || spans_.room_at_back() >= appends) &&
               (!keeps_scores_ || (scores_.room_at_back() >= appends && vacated_.has_room_for(keys_.size() + appends))) &&
               has_decoding_room();
    }

    // Stores one entry (in the cache's tier) and lets the strategy compress.
    // Throws PreconditionFailure, leaving the cache untouched, when a length
    // is wrong or an int8 cache is given a value that is not finite, and
    // std::bad_alloc, also leaving it untouched.
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

    // What attend_rows writes. Every pointer may be null for "not wanted".
    struct AttentionOutputs {
        // `count` rows of d_v floats, as attend_group writes them.
        float* out = nullptr;
        // `count` rows of weights_stride >= length() floats: row g gets the
        // softmax weights of query g over the held entries, then zeros.
        float* weights = nullptr;
        std::size_t weights_stride = 0;
        // length() floats: each entry's weights summed over the queries in
        // query order (+0.0 plus the first, plus the second, ...); untouched
        // when there is no query.
        float* weight_sums = nullptr;
        // Queries scored per pass over the entries, 1 ... kGroupQueries:
        // the working memory is this many rows of weights.
        std::size_t queries_per_pass = kGroupQueries;
    };

    // attend_group with more to show. The outputs must not overlap the
    // queries or each other. Throws std::bad_alloc, writing nothing.
    void attend_rows(const float* queries, std::size_t count, const AttentionOutputs& outputs) const;

    // For a strategy whose scores come from attention: attend_rows into
    // `outputs` (its weight_sums ignored), keeping aside the scores the
    // attend gives without changing the cache. commit_scores then makes them
    // the entries' scores, so that an owner of several caches can let each
    // fail before any changes. Throws std::bad_alloc.
    void attend_for_scores(const float* queries, std::size_t count, AttentionOutputs outputs);
    void commit_scores() noexcept;

    // Keeps the entries i with kept[i] != 0 (for i < length()), in order;
    // counts the others in total_evictions and records the new length in
    // current_size. Returns how many went.
    std::size_t retain(const unsigned char* kept) noexcept;

    // Moves the keys, values and spans of the held entries over the rows
    // evictions vacated, so that keys(), values() and spans() hold exactly
    // the entries.
    void settle() noexcept { vacated_.compact(keys_, values_, follows_spans_ ? &spans_ : nullptr); }

    void clear() noexcept;
    std::size_t length() const noexcept { return keys_.size() - vacated_.size(); }

    std::uint64_t d_k() const noexcept { return d_k_; }
    std::uint64_t d_v() const noexcept { return d_v_; }
    std::uint64_t total_appends() const noexcept { return total_appends_; }
    std::uint64_t total_merges() const noexcept { return total_merges_; }
    std::uint64_t total_evictions() const noexcept { return total_evictions_; }
    std::uint64_t current_size() const noexcept { return current_size_; }
    std::uint64_t position() const noexcept { return position_; }
    bool keeps_scores() const noexcept { return keeps_scores_; }
    StorageTier tier() const noexcept { return tier_; }
    KVCacheCounters counters() const noexcept {
        return {total_appends_, total_merges_, total_evictions_, current_size_, position_};
    }
    std::string_view strategy_name() const noexcept { return strategy_->name(); }
    const CacheStrategy& strategy() const noexcept { return *strategy_; }

    // The rows of the held entries once settled (before that, also rows
    // that evictions vacated), in the cache's tier: tier_row_floats floats
    // a row, which decode_row turns into d_k (or d_v) floats.
    const EntryList& keys() const noexcept { return keys_; }
    const EntryList& values() const noexcept { return values_; }
    bool follows_spans() const noexcept { return follows_spans_; }
    // Empty unless the cache follows spans; as keys() once settled.
    const SpanList& spans() const noexcept { return spans_; }
    // The strategy's score of each entry; empty unless it keeps scores.
    const ScoreList& scores() const noexcept { return scores_; }
    // Bytes of every row list the cache holds, room for growth included.
    std::uint64_t storage_bytes() const noexcept;

private:
    EntryList keys_;
    EntryList values_;
    SpanList spans_{2};
    ScoreList scores_{1};
    VacatedRows vacated_;
    // Working floats for decoded rows, for a tier other than float32: a
    // key for a strategy that scores keys, a merging strategy's block of
    // keys and its blends. Made before an append changes anything.
    void make_decoding_room();
    bool has_decoding_room() const noexcept {
        return tier_ == StorageTier::float32 || decoded_.capacity() >= strategy_->decoding_room(d_k_, d_v_);
    }
    RowFormat row_format() noexcept;
    ScratchFloats decoded_;
    // Whether reserve_for_appends made decoded_ and no append has used it
    // yet: give_back_spare_room then gives it back, so that an owner whose
    // reservation failed on another cache leaves this one as it was.
    bool decoded_spare_ = false;
    // The scores the last attend_for_scores prepared, for commit_scores.
    ScratchFloats pending_scores_;
    bool scores_pending_ = false;
    std::unique_ptr<CacheStrategy> strategy_;
    std::uint64_t d_k_;
    std::uint64_t d_v_;
    std::uint64_t total_appends_ = 0;
    std::uint64_t total_merges_ = 0;
    std::uint64_t total_evictions_ = 0;  // no strategy evicts as such; drops count as merges
    std::uint64_t current_size_ = 0;
    std::uint64_t position_ = 0;
    bool follows_spans_;
    bool keeps_scores_;
    StorageTier tier_;
};

}  // namespace marrowvale

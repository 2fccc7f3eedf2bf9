// What the cache keeps: after every append the cache hands its entries to
// its strategy, which may drop or rewrite entries and reports how many
// entries it took away.
#pragma once

#include <cstdint>
#include <cstddef>
#include <limits>
#include <span>
#include <string_view>

#include "cache/entries.hpp"

namespace marrowvale {

// How an attend changes the scores of a strategy that keeps them.
enum class AttentionScoring {
    none,      // attends leave the scores alone
    added,     // each attend's weights are added to the scores
    replaced,  // each attend's weights become the scores
};

class CacheStrategy {
public:
    virtual ~CacheStrategy() = default;

    // `position` counts the appends since construction or the last clear,
    // starting at 0 for the first.
    virtual std::uint64_t on_append(Entries& entries, std::uint64_t position) = 0;

    virtual std::string_view name() const noexcept = 0;

    // Whether the strategy ever blends entries (a pass over every held key)
    // rather than only dropping them: what an owner that decides how to
    // spread the work needs to know.
    virtual bool merges() const noexcept { return false; }

    // Whether the strategy chooses by a score per entry, which the cache
    // then keeps beside the entries (Entries::scores) for it.
    virtual bool keeps_scores() const noexcept { return false; }

    // The score of an entry just appended, from its key.
    virtual float new_score(std::span<const float> /*key*/) const noexcept { return 0.0f; }

    // Whether new_score reads the key; only then does a cache of a tier
    // other than float32 decode the stored key for it.
    virtual bool scores_from_key() const noexcept { return false; }

    // Working floats the strategy needs for rows decoded from a tier other
    // than float32 (RowFormat::working), for keys of d_k and values of d_v
    // floats: one key for a score from the key. Saturates at the largest
    // size_t, which no allocation gives.
    virtual std::size_t decoding_room(std::size_t d_k, std::size_t /*d_v*/) const noexcept {
        return scores_from_key() ? d_k : 0;
    }

    // What the attention weights do to the scores. The weights an attend
    // brings to an entry are the sum, in query order, of the entry's
    // weights under each query of its group.
    virtual AttentionScoring attention_scoring() const noexcept { return AttentionScoring::none; }

    // The most entries a cache of `held` entries can hold right after any of
    // its next `appends` appends, before the strategy's own turn: what an
    // owner must make room for so that none of those appends allocates.
    // Without a bound of its own a strategy may keep every entry.
    virtual std::uint64_t most_held(std::uint64_t held, std::uint64_t appends) const noexcept {
        return saturating_sum(held, appends);
    }

protected:
    static std::uint64_t saturating_sum(std::uint64_t a, std::uint64_t b) noexcept {
        return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
    }
};

}  // namespace marrowvale

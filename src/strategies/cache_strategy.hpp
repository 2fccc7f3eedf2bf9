// What the cache keeps: after every append the cache hands its entries to
// its strategy, which may drop or rewrite entries and reports how many
// entries it took away.
#pragma once

#include <cstdint>
#include <string_view>

#include "cache/entries.hpp"

namespace marrowvale {

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
};

}  // namespace marrowvale

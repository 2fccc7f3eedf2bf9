// What the cache keeps: after every append the cache hands both entry lists
// to its strategy, which may drop or rewrite entries at equal indices in
// both and reports how many entries it took away.
#pragma once

#include <cstdint>
#include <string_view>

#include "cache/entry_list.hpp"

namespace marrowvale {

class CacheStrategy {
public:
    virtual ~CacheStrategy() = default;

    // `position` counts the appends since construction or the last clear,
    // starting at 0 for the first.
    virtual std::uint64_t on_append(EntryList& keys, EntryList& values, std::uint64_t position) = 0;

    virtual std::string_view name() const noexcept = 0;
};

}  // namespace marrowvale

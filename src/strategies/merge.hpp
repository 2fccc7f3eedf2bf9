#pragma once

#include <cstddef>

#include "strategies/cache_strategy.hpp"

namespace marrowvale {

// Every merge_every appends, blends neighbouring entries whose keys are
// nearly parallel (cosine similarity above threshold) into one.
class MergeStrategy final : public CacheStrategy {
public:
    MergeStrategy(std::uint64_t merge_every, float threshold) noexcept
        : merge_every_(merge_every), threshold_(threshold) {}
    std::uint64_t on_append(Entries& entries, std::uint64_t position) override;
    std::string_view name() const noexcept override { return "merge"; }
    bool merges() const noexcept override { return true; }
    std::size_t decoding_room(std::size_t d_k, std::size_t d_v) const noexcept override {
        return working_floats(d_k, d_v);
    }

    // The merging pass over the entries from `first` on, which it sees as
    // the whole list (entries before `first` are not read or written);
    // returns the pairs merged.
    // Rows of another tier than float32 are decoded to compare and blend,
    // and each blend encoded again: the similarities are those of the keys
    // attention sees, and a merged entry is the tier's rounding of the
    // float32 blend.
    static std::uint64_t merge(Entries& entries, float threshold, std::size_t first = 0);

    // The working floats a merging pass needs for decoded rows: a block of
    // keys and one more, the blended key and value, and the newer value.
    static std::size_t working_floats(std::size_t d_k, std::size_t d_v) noexcept;

    // Whether the pass runs for this position: never for the first append
    // after construction or clear, then every merge_every positions. A period
    // of 0 never runs the pass.
    static bool is_due(std::uint64_t position, std::uint64_t merge_every) noexcept {
        return position != 0 && merge_every != 0 && position % merge_every == 0;
    }

private:
    std::uint64_t merge_every_;
    float threshold_;
};

}  // namespace marrowvale

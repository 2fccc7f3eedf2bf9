// Every key/value head of one attention layer: one KVCache per head, each
// with a strategy object of its own of the same kind, so that heads diverge
// under merging. Plain C++: the binding decides what runs on which thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cache/kv_cache.hpp"
#include "strategies/make_strategy.hpp"

namespace marrowvale {

struct LayerConfig {
    std::uint64_t n_heads = 1;
    std::uint64_t d_k = 1;
    std::uint64_t d_v = 1;
    std::string strategy = "full";  // one of kStrategyNames
    StrategyParameters parameters;
    // How every head stores its keys and values.
    StorageTier tier = StorageTier::float32;
};

// Why a layer of these dimensions cannot be built, or null: each count at
// least 1, and a token's keys and values few enough that sizes computed
// from them cannot overflow.
const char* dimensions_problem(std::uint64_t n_heads, std::uint64_t d_k, std::uint64_t d_v);

// The most appends each head of a layer of `n_heads` heads counts: a head's
// counters stay below 2**63, as its spans hold token indices in signed 64
// bits, and their sums over the heads fit in 64 bits.
std::uint64_t most_appends(std::uint64_t n_heads) noexcept;

class Layer {
public:
    // Empty heads. Throws std::invalid_argument for a strategy name that
    // is_known_strategy refuses or parameters that do not fit it,
    // std::bad_alloc when out of memory.
    explicit Layer(LayerConfig config);
    // Heads restored from a saved state (see state_format.hpp).
    Layer(LayerConfig config, std::vector<KVCache> heads) noexcept;
    // A copy of every head.
    Layer(const Layer& other);
    Layer(Layer&&) noexcept = default;
    Layer& operator=(const Layer&) = delete;
    Layer& operator=(Layer&&) noexcept = default;

    const LayerConfig& config() const noexcept { return config_; }
    std::size_t n_heads() const noexcept { return heads_.size(); }
    KVCache& head(std::size_t index) noexcept { return heads_[index]; }
    const KVCache& head(std::size_t index) const noexcept { return heads_[index]; }

    // Every head under the strategy of `config`, whose n_heads, d_k and d_v
    // are this layer's (KVCache::recast).
    Layer recast(LayerConfig config) const;

    // A fresh strategy of this layer's kind, for a head.
    std::unique_ptr<CacheStrategy> make_head_strategy() const;

    // Room in every head for `tokens` appends, made before any append, so
    // that appending them cannot fail halfway for want of memory. What the
    // appends did not use goes back when the room goes.
    class AppendRoom {
    public:
        // Null when no head needed room.
        explicit AppendRoom(Layer* layer) noexcept : layer_(layer) {}
        ~AppendRoom() {
            if (layer_ != nullptr) layer_->give_back_spare_room();
        }
        AppendRoom(const AppendRoom&) = delete;
        AppendRoom& operator=(const AppendRoom&) = delete;

    private:
        Layer* layer_;
    };
    // Throws std::bad_alloc, leaving every head as it was.
    [[nodiscard]] AppendRoom reserve_for_appends(std::size_t tokens);

    // Appends `tokens` entries to head `index`: the key of token t is the
    // d_k floats at keys + t * key_stride, its value the d_v floats at
    // values + t * value_stride (strides in floats).
    void append_tokens(std::size_t index, const float* keys, std::size_t key_stride, const float* values,
                       std::size_t value_stride, std::size_t tokens);

    // Attention of `count` queries of d_k floats (consecutive rows at
    // `queries`) over head `index`, into `count` consecutive rows of d_v
    // floats at `out`, which must not overlap the queries. The head's
    // entries are read once for the whole group. With `weights`, row g of
    // weights_stride floats from weights + g * weights_stride gets query g's
    // softmax weights, zeros after them. For a strategy that scores by
    // attention the head keeps the scores aside until commit_scores, so
    // that a failure on any head leaves every head as it was.
    void attend_queries(std::size_t index, const float* queries, std::size_t count, float* out,
                        float* weights = nullptr, std::size_t weights_stride = 0);
    // After attend_queries has succeeded on every head.
    void commit_scores() noexcept;

    // Which entries of head `index` compress keeps (see compress_selection.hpp),
    // into kept[0 .. the head's length); `queries` are those of the head's
    // group, `count` of them. Throws std::bad_alloc, changing nothing.
    void select_for_compress(std::size_t index, const float* queries, std::size_t count, std::size_t window,
                             std::size_t keep, std::size_t pool, unsigned char* kept) const;

    // Keeps in head h the entries i with kept[h * stride + i] != 0, in order.
    void retain(const unsigned char* kept, std::size_t stride) noexcept;

    void clear() noexcept;

    // Settles every head (KVCache::settle): before the heads' keys and
    // values are read as rows, and before a state is written.
    void settle() noexcept;

    // Appends the heads can still count (see most_appends).
    std::uint64_t appends_left() const noexcept;

    // Entries held, summed over heads.
    std::uint64_t held() const noexcept;
    // The entries of the head that holds the most.
    std::size_t longest() const noexcept;
    // Bytes of key, value, span and score storage the heads hold, room for
    // growth included.
    std::uint64_t storage_bytes() const noexcept;
    // Roughly how many multiply-adds appending `tokens` tokens costs, for
    // deciding whether to spread the heads over threads: the copies, a
    // merging pass over every held entry when one may come due, and the
    // entries an eviction moves.
    std::uint64_t append_work(std::size_t tokens) const noexcept;
    // The same for attending `queries` queries (or compressing by them).
    std::uint64_t attend_work(std::size_t queries) const noexcept;

private:
    void give_back_spare_room() noexcept;

    LayerConfig config_;
    std::vector<KVCache> heads_;
};

}  // namespace marrowvale

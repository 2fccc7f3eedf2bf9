#include "layer/layer.hpp"

#include <algorithm>
#include <limits>
#include <span>
#include <stdexcept>

#include "cache/compress_selection.hpp"
#include "layer/messages.hpp"
#include "strategies/merge.hpp"

namespace marrowvale {
namespace {

// A token's keys (or values) over all heads stay below this many floats,
// so that byte counts of many tokens cannot overflow.
constexpr std::uint64_t kMaxTokenFloats = std::uint64_t{1} << 48;

}  // namespace

const char* dimensions_problem(std::uint64_t n_heads, std::uint64_t d_k, std::uint64_t d_v) {
    if (n_heads == 0) return messages::kHeadsMustBe;
    if (d_k == 0) return messages::kKeysMustBe;
    if (d_v == 0) return messages::kValuesMustBe;
    if (n_heads > kMaxTokenFloats || d_k > kMaxTokenFloats / n_heads) return messages::kKeysTooWide;
    if (d_v > kMaxTokenFloats / n_heads) return messages::kValuesTooWide;
    return nullptr;
}

std::uint64_t most_appends(std::uint64_t n_heads) noexcept {
    constexpr std::uint64_t kSignedLimit = (std::uint64_t{1} << 63) - 1;
    return std::min(kSignedLimit, std::numeric_limits<std::uint64_t>::max() / n_heads);
}

Layer::Layer(LayerConfig config) : config_(std::move(config)) {
    if (!is_known_strategy(config_.strategy)) throw std::invalid_argument("unknown strategy");
    if (!parameters_fit(config_.strategy, config_.parameters)) throw std::invalid_argument("parameters do not fit");
    heads_.reserve(static_cast<std::size_t>(config_.n_heads));
    for (std::uint64_t h = 0; h < config_.n_heads; ++h) {
        heads_.emplace_back(config_.d_k, config_.d_v, make_head_strategy(), true, config_.tier);
    }
}

Layer::Layer(LayerConfig config, std::vector<KVCache> heads) noexcept
    : config_(std::move(config)), heads_(std::move(heads)) {}

Layer::Layer(const Layer& other) : config_(other.config_) {
    heads_.reserve(other.heads_.size());
    for (const KVCache& head : other.heads_) heads_.emplace_back(head, make_head_strategy());
}

Layer Layer::recast(LayerConfig config) const {
    std::vector<KVCache> heads;
    heads.reserve(heads_.size());
    for (const KVCache& head : heads_) heads.push_back(KVCache::recast(head, make_strategy(config.strategy, config.parameters)));
    return Layer(std::move(config), std::move(heads));
}

std::unique_ptr<CacheStrategy> Layer::make_head_strategy() const {
    return make_strategy(config_.strategy, config_.parameters);
}

Layer::AppendRoom Layer::reserve_for_appends(std::size_t tokens) {
    // Most appends find room in every head: checked inline, head by head.
    bool reserved = false;
    try {
        for (KVCache& head : heads_) {
            if (head.has_room_for(tokens)) continue;
            reserved = true;
            head.reserve_for_appends(tokens);
        }
    } catch (...) {
        give_back_spare_room();
        throw;
    }
    return AppendRoom(reserved ? this : nullptr);
}

void Layer::give_back_spare_room() noexcept {
    for (KVCache& head : heads_) head.give_back_spare_room();
}

void Layer::append_tokens(std::size_t index, const float* keys, std::size_t key_stride, const float* values,
                          std::size_t value_stride, std::size_t tokens) {
    KVCache& cache = heads_[index];
    const auto d_k = static_cast<std::size_t>(config_.d_k);
    const auto d_v = static_cast<std::size_t>(config_.d_v);
    for (std::size_t t = 0; t < tokens; ++t) {
        cache.append(std::span<const float>(keys + t * key_stride, d_k),
                     std::span<const float>(values + t * value_stride, d_v));
    }
}

void Layer::attend_queries(std::size_t index, const float* queries, std::size_t count, float* out, float* weights,
                           std::size_t weights_stride) {
    KVCache::AttentionOutputs outputs;
    outputs.out = out;
    outputs.weights = weights;
    outputs.weights_stride = weights_stride;
    KVCache& head = heads_[index];
    if (head.keeps_scores()) {
        head.attend_for_scores(queries, count, outputs);
    } else {
        head.attend_rows(queries, count, outputs);
    }
}

void Layer::commit_scores() noexcept {
    for (KVCache& head : heads_) head.commit_scores();
}

void Layer::select_for_compress(std::size_t index, const float* queries, std::size_t count, std::size_t window,
                                std::size_t keep, std::size_t pool, unsigned char* kept) const {
    CompressRequest request;
    request.queries = queries;
    request.count = count;
    // One pass holds the weights of at most one query per query head of
    // the group: the group's heads, `count / window` of them.
    request.queries_per_pass = window == 0 ? 1 : std::max<std::size_t>(1, count / window);
    request.window = window;
    request.keep = keep;
    request.pool = pool;
    marrowvale::select_for_compress(heads_[index], request, kept);
}

void Layer::retain(const unsigned char* kept, std::size_t stride) noexcept {
    for (std::size_t h = 0; h < heads_.size(); ++h) heads_[h].retain(kept + h * stride);
}

void Layer::clear() noexcept {
    for (KVCache& head : heads_) head.clear();
}

void Layer::settle() noexcept {
    for (KVCache& head : heads_) head.settle();
}

std::size_t Layer::longest() const noexcept {
    std::size_t most = 0;
    for (const KVCache& head : heads_) most = std::max(most, head.length());
    return most;
}

std::uint64_t Layer::appends_left() const noexcept {
    // Every head sees every append.
    return most_appends(config_.n_heads) - heads_.front().total_appends();
}

std::uint64_t Layer::held() const noexcept {
    std::uint64_t total = 0;
    for (const KVCache& head : heads_) total += head.length();
    return total;
}

std::uint64_t Layer::storage_bytes() const noexcept {
    std::uint64_t total = 0;
    for (const KVCache& head : heads_) total += head.storage_bytes();
    return total;
}

std::uint64_t Layer::append_work(std::size_t tokens) const noexcept {
    const std::uint64_t width = config_.d_k + config_.d_v;
    std::uint64_t work = tokens * config_.n_heads * width;
    if (!heads_.empty() && heads_.front().strategy().merges()) {
        // A pass compares every held key with its neighbour (three dot
        // products) and may come with any of the appends.
        const std::uint64_t position = heads_.front().position();
        if (tokens > 1 || MergeStrategy::is_due(position, config_.parameters.merge_every)) {
            work += 3 * held() * config_.d_k;
        }
    }
    if (!heads_.empty() && heads_.front().keeps_scores()) {
        // Each append may evict: a look at every score, and the rows the
        // compactions move, about eight an eviction (vacated_rows.cpp).
        work += tokens * (held() + 8 * config_.n_heads * width);
    }
    return work;
}

std::uint64_t Layer::attend_work(std::size_t queries) const noexcept {
    if (heads_.empty()) return 0;
    return held() * (config_.d_k + config_.d_v) * (queries / heads_.size());
}

}  // namespace marrowvale

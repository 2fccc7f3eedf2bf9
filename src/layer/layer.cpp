#include "layer/layer.hpp"

#include <algorithm>
#include <limits>
#include <span>
#include <stdexcept>

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
    heads_.reserve(static_cast<std::size_t>(config_.n_heads));
    for (std::uint64_t h = 0; h < config_.n_heads; ++h) {
        heads_.emplace_back(config_.d_k, config_.d_v, make_head_strategy(), true);
    }
}

Layer::Layer(LayerConfig config, std::vector<KVCache> heads) noexcept
    : config_(std::move(config)), heads_(std::move(heads)) {}

Layer::Layer(const Layer& other) : config_(other.config_) {
    heads_.reserve(other.heads_.size());
    for (const KVCache& head : other.heads_) heads_.emplace_back(head, make_head_strategy());
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

void Layer::attend_queries(std::size_t index, const float* queries, std::size_t count, float* out) const {
    heads_[index].attend_group(queries, count, out);
}

void Layer::clear() noexcept {
    for (KVCache& head : heads_) head.clear();
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
    for (const KVCache& head : heads_) {
        total += head.keys().capacity() * head.d_k() * sizeof(float);
        total += head.values().capacity() * head.d_v() * sizeof(float);
        total += head.spans().capacity() * head.spans().width() * sizeof(std::int64_t);
    }
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
    return work;
}

std::uint64_t Layer::attend_work(std::size_t queries) const noexcept {
    if (heads_.empty()) return 0;
    return held() * (config_.d_k + config_.d_v) * (queries / heads_.size());
}

}  // namespace marrowvale

#include "cache/kv_cache.hpp"

#include <string>

#include "cache/precondition.hpp"

namespace marrowvale {

std::string equality_failure_message(const char* what, std::uint64_t left, std::uint64_t right) {
    std::string message = "assertion `left == right` failed: ";
    message += what;
    message += "\n  left: ";
    message += std::to_string(left);
    message += "\n right: ";
    message += std::to_string(right);
    return message;
}

KVCache::KVCache(std::uint64_t d_k, std::uint64_t d_v, std::unique_ptr<CacheStrategy> strategy) noexcept
    : keys_(d_k), values_(d_v), strategy_(std::move(strategy)), d_k_(d_k), d_v_(d_v) {}

void KVCache::append(std::span<const float> key, std::span<const float> value) {
    if (key.size() != d_k_) MARROWVALE_FAIL(equality_failure_message("key dim mismatch", key.size(), d_k_));
    if (value.size() != d_v_) MARROWVALE_FAIL(equality_failure_message("value dim mismatch", value.size(), d_v_));

    // Make room in both lists before writing either, so that running out of
    // memory leaves them equal in length.
    keys_.make_room_for_push();
    values_.make_room_for_push();
    keys_.push_back(key.data());
    values_.push_back(value.data());
    ++total_appends_;

    total_merges_ += strategy_->on_append(keys_, values_, position_);
    current_size_ = keys_.size();
    ++position_;
}

void KVCache::clear() noexcept {
    keys_.clear();
    values_.clear();
    position_ = 0;
}

}  // namespace marrowvale

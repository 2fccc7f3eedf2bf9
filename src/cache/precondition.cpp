#include "cache/precondition.hpp"

#include "cache/messages.hpp"

namespace marrowvale {

std::string equality_failure_message(const char* what, std::uint64_t left, std::uint64_t right) {
    std::string message = messages::kEqualityFailed;
    message += what;
    message += messages::kEqualityLeft;
    message += std::to_string(left);
    message += messages::kEqualityRight;
    message += std::to_string(right);
    return message;
}

}  // namespace marrowvale

#pragma once

#include <span>

namespace marrowvale {

// The eight-lane dot product of two vectors of equal length. Throws
// PreconditionFailure when the lengths differ.
float unrolled_dot(std::span<const float> x, std::span<const float> y);

}  // namespace marrowvale

// The texts of the cache core's broken preconditions, which the binding
// raises as PanicException. Kept verbatim, since callers match on them.
#pragma once

namespace marrowvale::messages {

// Followed by what was checked, then "\n  left: " and "\n right: " with the
// two sides.
inline constexpr char kEqualityFailed[] = "assertion `left == right` failed: ";
inline constexpr char kEqualityLeft[] = "\n  left: ";
inline constexpr char kEqualityRight[] = "\n right: ";
inline constexpr char kKeyDimMismatch[] = "key dim mismatch";
inline constexpr char kValueDimMismatch[] = "value dim mismatch";
// Restoring a cache from rows that do not fit it (the layer cache checks a
// saved state before it gets here).
inline constexpr char kSpanWidthMismatch[] = "span width mismatch";
inline constexpr char kValueCountMismatch[] = "value count mismatch";
inline constexpr char kSpanCountMismatch[] = "span count mismatch";
inline constexpr char kScoreWidthMismatch[] = "score width mismatch";
inline constexpr char kScoreCountMismatch[] = "score count mismatch";
// An int8 row holds finite values only (storage_tier.hpp).
inline constexpr char kInt8NotFinite[] = "int8 storage holds finite values only";
inline constexpr char kBadInt8Scale[] = "an int8 block's scale must be finite and not negative";
inline constexpr char kLengthMismatch[] = "assertion failed: self.len() == rhs.len()";

}  // namespace marrowvale::messages

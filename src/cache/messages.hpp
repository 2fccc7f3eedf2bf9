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
inline constexpr char kLengthMismatch[] = "assertion failed: self.len() == rhs.len()";

}  // namespace marrowvale::messages

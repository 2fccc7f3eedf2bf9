// The texts of the layer's own checks: why dimensions cannot make a layer,
// and why bytes are not a state. Kept verbatim, since callers match on them;
// the layer cache raises them as ValueError. Format strings take their
// arguments as noted.
#pragma once

namespace marrowvale::messages {

// ---- dimensions, from the constructor or a state ----

inline constexpr char kHeadsMustBe[] = "n_heads must be at least 1";
inline constexpr char kKeysMustBe[] = "d_k must be at least 1";
inline constexpr char kValuesMustBe[] = "d_v must be at least 1";
inline constexpr char kKeysTooWide[] = "n_heads * d_k must be below 2**48";
inline constexpr char kValuesTooWide[] = "n_heads * d_v must be below 2**48";

// ---- states: one of these follows "invalid LayerCache state: " ----

inline constexpr char kStateTruncatedIn[] = "truncated in ";  // then what was being read
inline constexpr char kStateWrongMagic[] = "not a LayerCache state (wrong magic bytes)";
// %u the state's version, %u the newest this build reads.
inline constexpr char kStateVersion[] = "unsupported version %u (this build reads versions 1 to %u)";
// %llu the most appends a head counts.
inline constexpr char kStateAppendsTooLarge[] = "total_appends is too large for the number of heads (at most %llu)";
inline constexpr char kStatePositionBeyondAppends[] = "more tokens since clear than appends";
inline constexpr char kStateHeldBeyondPosition[] = "holds more entries than tokens appended since clear";
inline constexpr char kStateSizeNotHeld[] = "current_size differs from the entries held";
inline constexpr char kStateSizeBeyondAppends[] = "current_size exceeds the appends";
inline constexpr char kStateMergesDoNotFit[] =
    "total_merges does not fit the appends, the entries held and total_evictions";
inline constexpr char kStateRecentNotBelowBudget[] = "recent is not below budget";
// %zu the bytes left over.
inline constexpr char kStateTrailingBytes[] = "%zu unexpected bytes after the last head";
// Before a head's own problem; %zu the head.
inline constexpr char kStateUnknownTier[] = "unknown storage tier %u (0 float32, 1 bfloat16, 2 int8)";
inline constexpr char kStateHead[] = "head %zu: ";
// %zu the entry, %lld and %lld its span, %llu the tokens since clear.
inline constexpr char kStateSpanOutOfOrder[] =
    "span %zu (%lld, %lld) is out of order or beyond the %llu tokens appended";
// What was being read when the state ended, after kStateTruncatedIn.
inline constexpr char kStatePartHeader[] = "the header";
inline constexpr char kStatePartName[] = "the strategy name";
inline constexpr char kStatePartParameters[] = "the parameters";
inline constexpr char kStatePartCounters[] = "the counters";
inline constexpr char kStatePartHeads[] = "the heads";
inline constexpr char kStatePartHeadCounters[] = "a head's counters";
inline constexpr char kStatePartEntries[] = "the entries";
inline constexpr char kStatePartKeys[] = "the keys";
inline constexpr char kStatePartValues[] = "the values";
inline constexpr char kStatePartSpans[] = "the spans";
inline constexpr char kStatePartScores[] = "the scores";

}  // namespace marrowvale::messages

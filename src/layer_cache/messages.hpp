// The texts marrowvale.LayerCache raises itself: arrays in and out,
// construction, heads and states. Kept verbatim, since callers match on
// them. Format strings take their arguments as noted.
#pragma once

#include "binding/recursion_guard.hpp"

namespace marrowvale::messages {

// ---- the module and the class ----

inline constexpr char kLayerSubInterpreters[] =
    "marrowvale._layer_cache does not support sub-interpreters: it can only be imported by the interpreter that "
    "imported it first";
inline constexpr char kLayerNotInitialised[] =
    "this LayerCache was not initialised: it was made without LayerCache's constructor, so it holds no cache";
// The interpreter's "maximum recursion depth exceeded" comes first.
inline constexpr RecursionMessages kLayerRecursion{
    " while calling a LayerCache method",
    "maximum recursion depth exceeded while calling a LayerCache method (the thread's stack is nearly full)"};

// ---- arrays in and out ----

// %s parameter, %s expected shape, %s shape found ("(4, 64)", "(T, 4, 64)").
inline constexpr char kWrongShape[] = "argument '%s': expected %s, got %s";
// %zd d_k, %zd n_heads, %zd rows found, %zd d_k.
inline constexpr char kQueriesNotGrouped[] =
    "argument 'q': expected (n_q, %zd) with n_q a multiple of n_heads (%zd), got (%zd, %zd)";
// %s the buffer's struct format.
inline constexpr char kNotNumbers[] = "cannot read elements of format '%s' as numbers";
// An output argument ('out', 'weights'): %s the parameter first.
// %U the type of what was given.
inline constexpr char kOutNotAnArray[] = "argument '%s': expected a float32 array, got '%U'";
inline constexpr char kOutNoFormat[] = "argument '%s': expected a float32 array";
// %zd rows, %zd columns, %s shape found.
inline constexpr char kOutWrongShape[] = "argument '%s': expected (%zd, %zd), got %s";
inline constexpr char kOutNotFloat32[] = "argument '%s': must have dtype float32";
inline constexpr char kOutReadOnly[] = "argument '%s': is read-only";
inline constexpr char kOutNotContiguous[] = "argument '%s': must be C-contiguous";
inline constexpr char kOutNotAligned[] = "argument '%s': must be aligned to 4 bytes";
inline constexpr char kWeightsOverlapOut[] = "argument 'weights': must not overlap 'out'";

// ---- compress and retain ----

// %zd d_k, %zd n_heads, %s shape found.
inline constexpr char kCompressQueriesNotGrouped[] =
    "argument 'queries': expected (n_q, w, %zd) with n_q a multiple of n_heads (%zd), got %s";
// %zd the queries per head (w), %llu keep.
inline constexpr char kKeepBelowWindow[] = "argument 'keep': must be at least w (%zd), the queries of each head, got %llu";
// %llu pool.
inline constexpr char kPoolNotOdd[] = "argument 'pool': must be odd, got %llu";
// %zu n_heads, %s what was given (its type's name).
inline constexpr char kRetainNotHeads[] =
    "argument 'index': expected a boolean mask (%zu, entries) or %zu index arrays, got %s";
// %zu n_heads, %zd the rows given.
inline constexpr char kRetainWrongHeads[] = "argument 'index': expected %zu heads, got %zd";
// %d dimensions found.
inline constexpr char kRetainNotTwoDimensions[] =
    "argument 'index': expected 2 dimensions (heads, entries) for an array, got %d";
// %zu head, %U the type of the item.
inline constexpr char kRetainHeadNotArray[] = "argument 'index': head %zu: expected indices or a mask, got '%U'";
// %zu head, %s the element type's format.
inline constexpr char kRetainNotIndices[] = "argument 'index': head %zu: expected integers or booleans, got format '%s'";
// %zu head, %U the type of the item.
inline constexpr char kRetainItemNotIndex[] = "argument 'index': head %zu: expected an integer or a boolean, got '%U'";
// %zu head, %d dimensions found.
inline constexpr char kRetainNotOneDimension[] = "argument 'index': head %zu: expected 1 dimension, got %d";
// %zu head, %zu entries held, %zu mask length.
inline constexpr char kRetainMaskLength[] = "argument 'index': head %zu holds %zu entries, its mask has %zu";
// %lld index, %zu head, %zu entries held.
inline constexpr char kRetainIndexOutOfRange[] =
    "argument 'index': index %lld out of range for head %zu, which holds %zu entries";
inline constexpr char kRetainIndexTooLarge[] = "argument 'index': head %zu: an index is out of range";
// %lld index, %zu head.
inline constexpr char kRetainIndexTwice[] = "argument 'index': index %lld given twice for head %zu";
// %s the strategy.
inline constexpr char kNoScores[] = "strategy '%s' keeps no scores";

// %llu the most appends a head counts.
inline constexpr char kTooManyAppends[] = "each head of a LayerCache counts at most %llu appends";

// ---- construction, heads and states ----

// %s parameter, %llu the least value, %R what was given.
inline constexpr char kCountOutOfRange[] = "argument '%s': must be an integer from %llu to 2**64 - 1, got %R";
// %s parameter, %llu the least value, %llu what was given.
inline constexpr char kCountTooSmall[] = "argument '%s': must be at least %llu, got %llu";
// The storage tier (PyUnicode_FromFormat: %R is the refused argument).
inline constexpr char kUnknownDtype[] = "argument 'dtype': must be 'float32', 'bfloat16' or 'int8', got %R";
inline constexpr char kDtypeNotAString[] = "argument 'dtype': must be str, not %U";
// An int8 cache refuses what no block scale can hold.
inline constexpr char kInt8NotFinite[] = "argument '%s': int8 storage holds finite values only";
inline constexpr char kStrategyArgument[] = "argument 'strategy': ";
// %llu budget, %llu recent.
inline constexpr char kRecentNotBelowBudget[] = "argument 'recent': must be below budget (%llu), got %llu";
// %U the type of what was given.
inline constexpr char kHeadNotAnInteger[] = "head index must be an integer, not '%U'";
// %R the index, %zu the heads.
inline constexpr char kHeadOutOfRange[] = "head index %R out of range for %zu heads";
// %s the type of what was given.
inline constexpr char kStateNotBytes[] = "argument 'data': expected a bytes-like object, got '%s'";
// Before why the bytes are not a state (the layer's texts).
inline constexpr char kInvalidState[] = "invalid LayerCache state: ";

}  // namespace marrowvale::messages

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
// %U the type of what was given.
inline constexpr char kOutNotAnArray[] = "argument 'out': expected a float32 array, got '%U'";
inline constexpr char kOutNoFormat[] = "argument 'out': expected a float32 array";
// %zd rows, %zd columns, %s shape found.
inline constexpr char kOutWrongShape[] = "argument 'out': expected (%zd, %zd), got %s";
inline constexpr char kOutNotFloat32[] = "argument 'out': must have dtype float32";
inline constexpr char kOutReadOnly[] = "argument 'out': is read-only";
inline constexpr char kOutNotContiguous[] = "argument 'out': must be C-contiguous";
inline constexpr char kOutNotAligned[] = "argument 'out': must be aligned to 4 bytes";

// %llu the most appends a head counts.
inline constexpr char kTooManyAppends[] = "each head of a LayerCache counts at most %llu appends";

// ---- construction, heads and states ----

// %s parameter, %llu the least value, %R what was given.
inline constexpr char kCountOutOfRange[] = "argument '%s': must be an integer from %llu to 2**64 - 1, got %R";
// %s parameter, %llu the least value, %llu what was given.
inline constexpr char kCountTooSmall[] = "argument '%s': must be at least %llu, got %llu";
inline constexpr char kStrategyArgument[] = "argument 'strategy': ";
// %U the type of what was given.
inline constexpr char kHeadNotAnInteger[] = "head index must be an integer, not '%U'";
// %R the index, %zu the heads.
inline constexpr char kHeadOutOfRange[] = "head index %R out of range for %zu heads";
// %s the type of what was given.
inline constexpr char kStateNotBytes[] = "argument 'data': expected a bytes-like object, got '%s'";
// Before why the bytes are not a state (the layer's texts).
inline constexpr char kInvalidState[] = "invalid LayerCache state: ";

}  // namespace marrowvale::messages

// Every text that callers see and match on: exception messages, the parts of
// the strategy list, the panic texts. Kept verbatim, since callers match on
// them. Plain constants with no Python in sight: they live beside the cache
// core, which raises its own two, and both native bindings include them.
// Format strings take their arguments as noted.
#pragma once

namespace marrowvale::messages {

// ---- the cache core's broken preconditions (raised as PanicException) ----

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
inline constexpr char kLengthMismatch[] = "assertion failed: self.len() == rhs.len()";

// ---- the panic type and its channel ----

inline constexpr char kPanicTypeName[] = "_marrowvale_runtime.PanicException";
inline constexpr char kPanicDoc[] =
    "The exception raised when native code called from Python fails.\n"
    "\n"
    "Like SystemExit, it derives from BaseException, so that it usually travels\n"
    "all the way up and ends the interpreter.";
inline constexpr char kUnwrappedPanic[] = "Unwrapped panic from Python code";
inline constexpr char kUnknownFailure[] = "unknown internal failure";
// The interpreter's own text for an error reported without one being set.
inline constexpr char kNoErrorSet[] = "attempted to fetch exception but none was set";

// ---- argument binding: the function's name comes first ----

// %s function, %zd parameters, %zd given, %s "was" or "were".
inline constexpr char kTooManyPositional[] = "%s() takes %zd positional arguments but %zd %s given";
// %s function, %zd required, %zd parameters, %zd given, %s "was" or "were".
inline constexpr char kTooManyOptional[] = "%s() takes from %zd to %zd positional arguments but %zd %s given";
// %s function, %S the keyword.
inline constexpr char kUnexpectedKeyword[] = "%s() got an unexpected keyword argument '%S'";
// %s function, %s parameter.
inline constexpr char kMultipleValues[] = "%s() got multiple values for argument '%s'";
// %s function, %zu count, %s "" or "s", %s the quoted names.
inline constexpr char kMissingArguments[] = "%s() missing %zu required positional argument%s: %s";

// ---- conversions: %U is the qualified name of the object's type ----

// %s parameter, %U the conversion's own message.
inline constexpr char kArgumentPrefix[] = "argument '%s': %U";
inline constexpr char kStrIsNotAVector[] = "Can't extract `str` to `Vec`";
inline constexpr char kNotASequence[] = "'%U' object cannot be converted to 'Sequence'";
inline constexpr char kNotAString[] = "'%U' object cannot be converted to 'PyString'";
inline constexpr char kNotAStringUnnamed[] = "'<failed to extract type name>' object cannot be converted to 'PyString'";

// ---- the class and its instances ----

// Before and after the refused name; the list of names follows "choose: ".
inline constexpr char kUnknownStrategy[] = "unknown strategy '";
inline constexpr char kStrategyChoices[] = "'. choose: ";
inline constexpr char kAlreadyBorrowed[] = "Already borrowed";
inline constexpr char kAlreadyMutablyBorrowed[] = "Already mutably borrowed";
inline constexpr char kNotInitialised[] =
    "this PyKVCache was not initialised: it was made without PyKVCache's constructor, so it holds no cache";
// Appended to "maximum recursion depth exceeded" by the interpreter.
inline constexpr char kRecursionWhere[] = " while calling a PyKVCache method";
inline constexpr char kStackNearlyFull[] =
    "maximum recursion depth exceeded while calling a PyKVCache method (the thread's stack is nearly full)";

// ---- the module ----

inline constexpr char kSubInterpreters[] =
    "_marrowvale does not support sub-interpreters: it can only be imported by the interpreter that imported it "
    "first";
inline constexpr char kLayerSubInterpreters[] =
    "marrowvale._layer_cache does not support sub-interpreters: it can only be imported by the interpreter that "
    "imported it first";

// ---- LayerCache: arrays in and out ----

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

// ---- LayerCache: construction, heads and states ----

// %s parameter, %llu the least value, %R what was given.
inline constexpr char kCountOutOfRange[] = "argument '%s': must be an integer from %llu to 2**64 - 1, got %R";
// %s parameter, %llu the least value, %llu what was given.
inline constexpr char kCountTooSmall[] = "argument '%s': must be at least %llu, got %llu";
inline constexpr char kStrategyArgument[] = "argument 'strategy': ";
inline constexpr char kKeysTooWide[] = "n_heads * d_k must be below 2**48";
inline constexpr char kValuesTooWide[] = "n_heads * d_v must be below 2**48";
// %U the type of what was given.
inline constexpr char kHeadNotAnInteger[] = "head index must be an integer, not '%U'";
// %R the index, %zu the heads.
inline constexpr char kHeadOutOfRange[] = "head index %R out of range for %zu heads";
// %s the type of what was given.
inline constexpr char kStateNotBytes[] = "argument 'data': expected a bytes-like object, got '%s'";
inline constexpr char kLayerNotInitialised[] =
    "this LayerCache was not initialised: it was made without LayerCache's constructor, so it holds no cache";
// Appended to "maximum recursion depth exceeded" by the interpreter.
inline constexpr char kLayerRecursionWhere[] = " while calling a LayerCache method";
inline constexpr char kLayerStackNearlyFull[] =
    "maximum recursion depth exceeded while calling a LayerCache method (the thread's stack is nearly full)";

// Why bytes are not a state: "invalid LayerCache state: " and one of the
// reasons after it.
inline constexpr char kInvalidState[] = "invalid LayerCache state: %s";
inline constexpr char kStateTruncatedIn[] = "truncated in ";  // then what was being read
inline constexpr char kStateWrongMagic[] = "not a LayerCache state (wrong magic bytes)";
// %u the state's version, %u the one this build reads.
inline constexpr char kStateVersion[] = "unsupported version %u (this build reads version %u)";
// The refused name in a state reads as in the constructor's message.
inline constexpr const auto& kStateUnknownStrategy = kUnknownStrategy;
inline constexpr char kStateHeadsMustBe[] = "n_heads must be at least 1";
inline constexpr char kStateKeysMustBe[] = "d_k must be at least 1";
inline constexpr char kStateValuesMustBe[] = "d_v must be at least 1";
inline constexpr char kStateAppendsTooLarge[] = "total_appends is too large for the number of heads";
inline constexpr char kStatePositionBeyondAppends[] = "more tokens since clear than appends";
inline constexpr char kStateHeldBeyondPosition[] = "holds more entries than tokens appended since clear";
inline constexpr char kStateSizeNotHeld[] = "current_size differs from the entries held";
inline constexpr char kStateSizeBeyondAppends[] = "current_size exceeds the appends";
inline constexpr char kStateMergesDoNotFit[] = "total_merges does not fit the appends and the entries held";
// %zu the bytes left over.
inline constexpr char kStateTrailingBytes[] = "%zu unexpected bytes after the last head";
// Before a head's own problem; %zu the head.
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

}  // namespace marrowvale::messages

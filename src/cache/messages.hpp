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

}  // namespace marrowvale::messages

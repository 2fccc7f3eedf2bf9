// The texts the binding itself raises, whichever module calls it: the panic
// type and its channel, argument binding, conversions and borrows. Kept
// verbatim, since callers match on them. Format strings take their
// arguments as noted.
#pragma once

namespace marrowvale::messages {

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
// What stands for "was" or "were" above when keyword-only arguments came
// too: %s "" or "s" (positional ones), %zd the keyword-only ones, %s "" or "s".
inline constexpr char kAndKeywordOnly[] = "positional argument%s (and %zd keyword-only argument%s) were";
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

// ---- borrows ----

inline constexpr char kAlreadyBorrowed[] = "Already borrowed";
inline constexpr char kAlreadyMutablyBorrowed[] = "Already mutably borrowed";

}  // namespace marrowvale::messages

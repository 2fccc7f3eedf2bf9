// Binding of call arguments to named parameters, with the messages Python
// gives for an equivalent `def`. One binder serves the constructors (a tuple
// and a keyword dict) and the methods (the fast-call array and its keyword
// names) of both classes.
#pragma once

#include "binding/py_ref.hpp"

#include <array>
#include <cstddef>
#include <span>

namespace marrowvale {

struct Signature {
    const char* function;                 // "PyKVCache.append", for messages
    std::span<const char* const> params;  // in positional order
    std::size_t required;                 // how many leading parameters must be given
    // Room for `params` as interned strings (null until the first call
    // fills it), so that keywords usually match by identity.
    std::span<PyObject*> interned;
    // How many of the last parameters are keyword-only (after `*`).
    std::size_t keyword_only = 0;

    std::size_t positional() const noexcept { return params.size() - keyword_only; }
};

// A C function as a method table holds it (a fast-call one has a type of
// its own); the table's flags say how the interpreter calls it.
template <typename Function>
PyCFunction as_method(Function function) noexcept {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// Fills `slots` (one per parameter, borrowed; null where not given) from a
// fast call. Throws PythonErrorSet with TypeError set on a binding error.
void bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   std::span<PyObject*> slots);

// The same for a tuple and an optional keyword dict. The bound objects are
// held with references of their own, since the dict is not ours.
void bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyRef> slots);

}  // namespace marrowvale

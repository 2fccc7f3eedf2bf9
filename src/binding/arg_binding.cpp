#include "binding/arg_binding.hpp"

#include <cstdio>
#include <string>

#include "binding/errors.hpp"
#include "binding/messages.hpp"

namespace marrowvale {
namespace {

// The parameter names as interned strings, made on the first call.
std::span<PyObject* const> interned_names(const Signature& signature) {
    for (std::size_t i = 0; i < signature.params.size(); ++i) {
        if (signature.interned[i] != nullptr) continue;
        // Kept for the life of the process, like the class.
        signature.interned[i] = PyUnicode_InternFromString(signature.params[i]);
        if (signature.interned[i] == nullptr) throw PythonErrorSet{};
    }
    return signature.interned;
}

// The parameter a keyword names, or -1. Keyword names written in the
// caller's source are interned, as ours are, and match by identity; a name
// built at run time matches by its text.
Py_ssize_t find_parameter(const Signature& signature, PyObject* key) {
    if (!PyUnicode_Check(key)) return -1;
    const std::span<PyObject* const> names = interned_names(signature);
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (key == names[i]) return static_cast<Py_ssize_t>(i);
    }
    for (std::size_t i = 0; i < signature.params.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(key, signature.params[i]) == 0) return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

// Refuses more positional arguments than the signature takes; as Python
// does, the message counts the keyword-only arguments given with them.
template <typename Keywords>
void check_positional_count(const Signature& signature, Py_ssize_t nargs, Keywords each_keyword) {
    const auto max = static_cast<Py_ssize_t>(signature.positional());
    if (nargs <= max) return;
    Py_ssize_t keyword_only = 0;
    each_keyword([&](PyObject* key) {
        keyword_only += find_parameter(signature, key) >= max;
    });
    char verb[96] = "were";
    if (keyword_only != 0) {
        std::snprintf(verb, sizeof(verb), messages::kAndKeywordOnly, nargs == 1 ? "" : "s", keyword_only,
                      keyword_only == 1 ? "" : "s");
    } else if (nargs == 1) {
        std::snprintf(verb, sizeof(verb), "was");
    }
    const auto min = static_cast<Py_ssize_t>(signature.required);
    if (min == max) {
        raise_type_error(PyUnicode_FromFormat(messages::kTooManyPositional, signature.function, max, nargs,
                                              verb));
    }
    raise_type_error(PyUnicode_FromFormat(messages::kTooManyOptional, signature.function, min, max, nargs,
                                          verb));
}

// Checks one keyword against the slots filled so far; returns its index.
Py_ssize_t keyword_slot(const Signature& signature, PyObject* key, bool already_filled_at(Py_ssize_t, void*),
                        void* context) {
    const Py_ssize_t index = find_parameter(signature, key);
    if (index < 0) {
        raise_type_error(PyUnicode_FromFormat(messages::kUnexpectedKeyword, signature.function, key));
    }
    if (already_filled_at(index, context)) {
        raise_type_error(PyUnicode_FromFormat(messages::kMultipleValues, signature.function,
                                              signature.params[static_cast<std::size_t>(index)]));
    }
    return index;
}

// Refuses a call that left required parameters without a value; a slot is
// a borrowed pointer or a PyRef, null where not given.
template <typename Slot>
void check_missing(const Signature& signature, std::span<Slot> slots) {
    std::string names;
    std::size_t missing = 0;
    std::size_t total = 0;
    for (std::size_t i = 0; i < signature.required; ++i) total += !slots[i];
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (slots[i]) continue;
        ++missing;
        if (missing > 1) names += (missing == total) ? (total > 2 ? ", and " : " and ") : ", ";
        names += "'";
        names += signature.params[i];
        names += "'";
    }
    if (missing == 0) return;
    raise_type_error(PyUnicode_FromFormat(messages::kMissingArguments, signature.function, missing,
                                          missing == 1 ? "" : "s", names.c_str()));
}

}  // namespace

void bind_fastcall(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   std::span<PyObject*> slots) {
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    check_positional_count(signature, nargs, [&](auto&& visit) {
        for (Py_ssize_t k = 0; k < nkw; ++k) visit(PyTuple_GET_ITEM(kwnames, k));
    });
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = args[i];
    auto filled = [](Py_ssize_t index, void* context) {
        return static_cast<PyObject**>(context)[index] != nullptr;
    };
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        const Py_ssize_t index = keyword_slot(signature, PyTuple_GET_ITEM(kwnames, k), filled, slots.data());
        slots[static_cast<std::size_t>(index)] = args[nargs + k];
    }
    check_missing(signature, slots);
}

void bind_tuple(const Signature& signature, PyObject* args, PyObject* kwargs, std::span<PyRef> slots) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    check_positional_count(signature, nargs, [&](auto&& visit) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (kwargs != nullptr && PyDict_Next(kwargs, &pos, &key, &value)) visit(key);
    });
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[static_cast<std::size_t>(i)] = PyRef::borrow(PyTuple_GET_ITEM(args, i));
    auto filled = [](Py_ssize_t index, void* context) { return bool(static_cast<PyRef*>(context)[index]); };
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (kwargs != nullptr && PyDict_Next(kwargs, &pos, &key, &value)) {
        const Py_ssize_t index = keyword_slot(signature, key, filled, slots.data());
        slots[static_cast<std::size_t>(index)] = PyRef::borrow(value);
    }
    check_missing(signature, slots);
}

}  // namespace marrowvale

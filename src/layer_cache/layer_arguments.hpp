// LayerCache's constructor arguments and head indexes, bound and converted
// with errors that name the parameter: ValueError for a wrong value,
// TypeError for a wrong type.
#pragma once

#include "binding/py_ref.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

#include "layer/layer.hpp"

namespace marrowvale {

// An integer of at least `minimum` (anything with __index__).
std::uint64_t count_argument(PyObject* object, const char* parameter, std::uint64_t minimum);

// The strategy and its parameters, in the constructor's order: strategy,
// window_size, static_k, recent_k, threshold, merge_every, budget, recent
// (null where not given), into `config`, whose other fields stay. Throws
// PythonErrorSet (ValueError, TypeError, OverflowError).
inline constexpr std::size_t kStrategySlots = 8;
void read_strategy(std::span<const PyRef> slots, LayerConfig& config);

struct ConstructorArguments {
    LayerConfig config;
    std::size_t threads;
};

// The arguments of LayerCache(n_heads, d_k, d_v, strategy="full", *,
// window_size=512, static_k=32, recent_k=128, threshold=0.9,
// merge_every=4, budget=512, recent=32, threads=None, dtype="float32"),
// bound as for that `def`.
ConstructorArguments constructor_arguments(PyObject* args, PyObject* kwargs);

// The storage tier a dtype names: "float32", "bfloat16" or "int8".
// Throws PythonErrorSet with TypeError (not a str) or ValueError set.
StorageTier tier_argument(PyObject* dtype);

// The threads a call may use: `threads` (None or null for the usable
// cores), at most one per head.
std::size_t thread_count(PyObject* threads, std::uint64_t n_heads);

// A head index, negative ones counted from the end as for a sequence.
// Throws PythonErrorSet with TypeError or IndexError set.
std::size_t head_index(PyObject* object, std::size_t n_heads);

}  // namespace marrowvale

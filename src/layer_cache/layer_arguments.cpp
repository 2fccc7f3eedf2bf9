#include "layer_cache/layer_arguments.hpp"

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <optional>
#include <span>
#include <string>

#include "binding/arg_binding.hpp"
#include "binding/conversions.hpp"
#include "binding/errors.hpp"
#include "binding/recursion_guard.hpp"
#include "layer_cache/messages.hpp"

namespace marrowvale {
namespace {

constexpr std::array<const char*, 13> kConstructorParams = {
    "n_heads",   "d_k",         "d_v",    "strategy", "window_size", "static_k",
    "recent_k",  "threshold",   "merge_every", "budget", "recent",  "threads", "dtype"};
std::array<PyObject*, kConstructorParams.size()> g_constructor_names{};

std::size_t usable_cores() {
    cpu_set_t cores;
    if (sched_getaffinity(0, sizeof(cores), &cores) == 0) return static_cast<std::size_t>(std::max(1, CPU_COUNT(&cores)));
    const long online = sysconf(_SC_NPROCESSORS_ONLN);
    return online > 0 ? static_cast<std::size_t>(online) : 1;
}

}  // namespace

std::uint64_t count_argument(PyObject* object, const char* parameter, std::uint64_t minimum) {
    std::uint64_t value;
    try {
        value = to_u64(object);
    } catch (const PythonErrorSet&) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) raise_argument_error(parameter);
        PyErr_Clear();
        raise_format(PyExc_ValueError, messages::kCountOutOfRange, parameter, static_cast<unsigned long long>(minimum),
                     object);
    }
    if (value < minimum) {
        raise_format(PyExc_ValueError, messages::kCountTooSmall, parameter, static_cast<unsigned long long>(minimum),
                     static_cast<unsigned long long>(value));
    }
    return value;
}

void read_strategy(std::span<const PyRef> slots, LayerConfig& config) {
    PyObject* strategy = slots[0].get();
    PyObject* window_size = slots[1].get();
    PyObject* static_k = slots[2].get();
    PyObject* recent_k = slots[3].get();
    PyObject* threshold = slots[4].get();
    PyObject* merge_every = slots[5].get();
    PyObject* budget = slots[6].get();
    PyObject* recent = slots[7].get();
    if (strategy != nullptr) {
        try {
            config.strategy = to_utf8(strategy);
        } catch (const PythonErrorSet&) {
            raise_argument_error("strategy");
        }
    }
    StrategyParameters& parameters = config.parameters;
    if (window_size != nullptr) parameters.window_size = count_argument(window_size, "window_size", 0);
    if (static_k != nullptr) parameters.static_k = count_argument(static_k, "static_k", 0);
    if (recent_k != nullptr) parameters.recent_k = count_argument(recent_k, "recent_k", 0);
    if (threshold != nullptr) {
        try {
            parameters.threshold = to_f32(threshold);
        } catch (const PythonErrorSet&) {
            raise_argument_error("threshold");
        }
    }
    if (merge_every != nullptr) parameters.merge_every = count_argument(merge_every, "merge_every", 0);
    if (budget != nullptr) parameters.budget = count_argument(budget, "budget", 0);
    if (recent != nullptr) parameters.recent = count_argument(recent, "recent", 0);
    if (!is_known_strategy(config.strategy)) {
        raise_value_error(messages::kStrategyArgument + unknown_strategy_message(config.strategy));
    }
    if (!parameters_fit(config.strategy, parameters)) {
        raise_format(PyExc_ValueError, messages::kRecentNotBelowBudget, static_cast<unsigned long long>(parameters.budget),
                     static_cast<unsigned long long>(parameters.recent));
    }
}

namespace {

// The configuration from the constructor's arguments in their order (null
// where not given).
LayerConfig layer_config(std::span<const PyRef> slots) {
    LayerConfig config;
    config.n_heads = count_argument(slots[0].get(), "n_heads", 1);
    config.d_k = count_argument(slots[1].get(), "d_k", 1);
    config.d_v = count_argument(slots[2].get(), "d_v", 1);
    if (const char* problem = dimensions_problem(config.n_heads, config.d_k, config.d_v)) raise_value_error(problem);
    read_strategy(slots.subspan(3, kStrategySlots), config);
    return config;
}

}  // namespace

ConstructorArguments constructor_arguments(PyObject* args, PyObject* kwargs) {
    static constexpr Signature signature{"LayerCache.__new__", kConstructorParams, 3, g_constructor_names, 9};
    std::array<PyRef, kConstructorParams.size()> slots;
    bind_tuple(signature, args, kwargs, slots);
    RecursionGuard depth(messages::kLayerRecursion);
    LayerConfig config = layer_config(slots);
    const std::size_t threads = thread_count(slots[11].get(), config.n_heads);
    if (slots[12]) config.tier = tier_argument(slots[12].get());
    return {std::move(config), threads};
}

StorageTier tier_argument(PyObject* dtype) {
    if (!PyUnicode_Check(dtype)) {
        PyRef name = type_qualname(dtype);
        if (!name) throw PythonErrorSet{};
        raise_format(PyExc_TypeError, messages::kDtypeNotAString, name.get());
    }
    std::string text;
    try {
        text = to_utf8(dtype);
    } catch (const PythonErrorSet&) {
        raise_argument_error("dtype");
    }
    const std::optional<StorageTier> tier = tier_from_name(text);
    if (!tier) raise_format(PyExc_ValueError, messages::kUnknownDtype, dtype);
    return *tier;
}

std::size_t thread_count(PyObject* threads, std::uint64_t n_heads) {
    const std::uint64_t wanted = threads == nullptr || threads == Py_None ? usable_cores()
                                                                           : count_argument(threads, "threads", 1);
    return static_cast<std::size_t>(std::min(wanted, n_heads));
}

std::size_t head_index(PyObject* object, std::size_t n_heads) {
    if (!PyIndex_Check(object)) {
        PyRef name = type_qualname(object);
        if (!name) throw PythonErrorSet{};
        raise_format(PyExc_TypeError, messages::kHeadNotAnInteger, name.get());
    }
    PyRef index = checked(PyNumber_Index(object));
    const Py_ssize_t value = PyLong_AsSsize_t(index.get());
    if (value == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw PythonErrorSet{};
        PyErr_Clear();
    } else {
        const auto heads = static_cast<Py_ssize_t>(n_heads);
        const Py_ssize_t resolved = value < 0 ? value + heads : value;
        if (resolved >= 0 && resolved < heads) return static_cast<std::size_t>(resolved);
    }
    raise_format(PyExc_IndexError, messages::kHeadOutOfRange, index.get(), n_heads);
}

}  // namespace marrowvale

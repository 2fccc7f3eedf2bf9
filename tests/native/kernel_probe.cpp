// _marrowvale_kernel_probe: a test-only module that calls every kernel set
// directly on caller-provided float32 buffers, so that the tests can place
// data at any offset with canaries around it, and that runs the C library's
// expf over a buffer for the exponential's tests and benchmark. Built only
// with -DMARROWVALE_KERNEL_PROBE=ON (the test scripts turn it on); never
// part of an installed package.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cmath>
#include <cstddef>
#include <new>
#include <optional>
#include <string_view>
#include <vector>

#include "binding/buffer_view.hpp"
#include "binding/py_ref.hpp"
#include "cache/entries.hpp"
#include "cache/kernels/kernels.hpp"
#include "cache/storage_tier.hpp"
#include "strategies/merge.hpp"

namespace marrowvale {
namespace {

// A buffer of float32 borrowed from an argument for the length of a call.
class Floats {
public:
    Floats(PyObject* object, bool writable) {
        const int flags = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0);
        if (!view_.acquire(object, flags)) throw PythonErrorSet{};
        const std::string_view format = view_->format == nullptr ? "B" : view_->format;
        if (view_->itemsize != 4 || (format != "f" && format != "<f" && format != "=f")) {
            PyErr_SetString(PyExc_TypeError, "buffers must hold float32");
            throw PythonErrorSet{};
        }
    }

    float* data() const noexcept { return static_cast<float*>(view_->buf); }
    std::size_t size() const noexcept { return static_cast<std::size_t>(view_->len) / 4; }

private:
    BufferView view_;
};

void require(bool condition, const char* message) {
    if (!condition) {
        PyErr_SetString(PyExc_ValueError, message);
        throw PythonErrorSet{};
    }
}

const Kernels& kernel_set(PyObject* name) {
    const char* text = PyUnicode_AsUTF8(name);
    if (text == nullptr) throw PythonErrorSet{};
    for (const Kernels* kernels : built_kernels()) {
        if (std::string_view(text) == kernels->name) {
            if (!kernels_supported(*kernels)) {
                PyErr_Format(PyExc_RuntimeError, "kernel set '%s' is not supported by this processor", text);
                throw PythonErrorSet{};
            }
            return *kernels;
        }
    }
    PyErr_Format(PyExc_ValueError, "unknown kernel set '%s'", text);
    throw PythonErrorSet{};
}

// Runs a function's body, turning C++ failures into Python errors.
template <typename Body>
PyObject* entry(Body&& body) noexcept {
    try {
        return body();
    } catch (const PythonErrorSet&) {
        return nullptr;
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
        return nullptr;
    }
}

float to_float(PyObject* number) {
    const double value = PyFloat_AsDouble(number);
    if (value == -1.0 && PyErr_Occurred()) throw PythonErrorSet{};
    return static_cast<float>(value);
}

std::size_t to_size(PyObject* number) {
    const std::size_t value = PyLong_AsSize_t(number);
    if (value == static_cast<std::size_t>(-1) && PyErr_Occurred()) throw PythonErrorSet{};
    return value;
}

void check_arguments(Py_ssize_t nargs, Py_ssize_t expected, const char* signature) {
    if (nargs != expected) {
        PyErr_Format(PyExc_TypeError, "expected %s", signature);
        throw PythonErrorSet{};
    }
}

// built() -> [(name, lanes, supported)] for every set in this binary.
PyObject* built(PyObject*, PyObject*) {
    return entry([]() -> PyObject* {
        PyRef list = checked(PyList_New(0));
        for (const Kernels* kernels : built_kernels()) {
            PyRef item = checked(Py_BuildValue("(snO)", kernels->name, static_cast<Py_ssize_t>(kernels->lanes),
                                               kernels_supported(*kernels) ? Py_True : Py_False));
            if (PyList_Append(list.get(), item.get()) < 0) throw PythonErrorSet{};
        }
        return list.release();
    });
}

// dot(set, x, y) -> float
PyObject* dot(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&]() -> PyObject* {
        check_arguments(nargs, 3, "dot(set, x, y)");
        const Kernels& kernels = kernel_set(args[0]);
        const Floats x(args[1], false), y(args[2], false);
        require(x.size() == y.size(), "x and y differ in length");
        return PyFloat_FromDouble(kernels.dot(x.data(), y.data(), x.size()));
    });
}

// sum(set, a) -> float
PyObject* sum(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&]() -> PyObject* {
        check_arguments(nargs, 2, "sum(set, a)");
        const Kernels& kernels = kernel_set(args[0]);
        const Floats a(args[1], false);
        return PyFloat_FromDouble(kernels.sum(a.data(), a.size()));
    });
}

// dot_rows(set, q, rows, scores, queries, gap=0): q holds `queries` queries
// of n floats, scores `queries` rows of count + gap floats (the scores, then
// `gap` the kernel leaves alone), rows count rows of n floats.
PyObject* dot_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&]() -> PyObject* {
        if (nargs != 5 && nargs != 6) check_arguments(nargs, 5, "dot_rows(set, q, rows, scores, queries, gap=0)");
        const Kernels& kernels = kernel_set(args[0]);
        const Floats q(args[1], false), rows(args[2], false), scores(args[3], true);
        const std::size_t queries = to_size(args[4]);
        const std::size_t gap = nargs == 6 ? to_size(args[5]) : 0;
        require(queries != 0 && q.size() % queries == 0 && scores.size() % queries == 0,
                "q and scores must hold `queries` rows each");
        const std::size_t n = q.size() / queries;
        const std::size_t stride = scores.size() / queries;
        require(gap <= stride, "scores must hold a row of at least `gap` floats per query");
        const std::size_t count = stride - gap;
        require(rows.size() == n * count, "rows must hold a row of n floats per score");
        kernels.dot_rows(q.data(), queries, rows.data(), n, count, scores.data(), stride);
        Py_RETURN_NONE;
    });
}

// divide_max(set, a, divisor) -> float
PyObject* divide_max(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&]() -> PyObject* {
        check_arguments(nargs, 3, "divide_max(set, a, divisor)");
        const Kernels& kernels = kernel_set(args[0]);
        const Floats a(args[1], true);
        const float divisor = to_float(args[2]);
        return PyFloat_FromDouble(kernels.divide_max(a.data(), a.size(), divisor));
    });
}

// weighted_sum_rows(set, out, rows, weights, outputs, gap=0): out holds
// `outputs` rows of width floats, weights `outputs` rows of count + gap
// floats (the weights, then `gap` the kernel does not read), rows count rows
// of width floats.
PyObject* weighted_sum_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&]() -> PyObject* {
        if (nargs != 5 && nargs != 6) {
            check_arguments(nargs, 5, "weighted_sum_rows(set, out, rows, weights, outputs, gap=0)");
        }
        const Kernels& kernels = kernel_set(args[0]);
        const Floats out(args[1], true), rows(args[2], false), weights(args[3], false);
        const std::size_t outputs = to_size(args[4]);
        const std::size_t gap = nargs == 6 ? to_size(args[5]) : 0;
        require(outputs != 0 && out.size() % outputs == 0 && weights.size() % outputs == 0,
                "out and weights must hold `outputs` rows each");
        const std::size_t width = out.size() / outputs;
        const std::size_t stride = weights.size() / outputs;
        require(gap <= stride, "weights must hold a row of at least `gap` floats per output");
        const std::size_t count = stride - gap;
        require(rows.size() == width * count, "rows must hold a row of width floats per weight");
        kernels.weighted_sum_rows(out.data(), outputs, rows.data(), weights.data(), count, width, stride);
        Py_RETURN_NONE;
    });
}

// blend(set, out, a, wa, b, wb); out may be a.
PyObject* blend(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&]() -> PyObject* {
        check_arguments(nargs, 6, "blend(set, out, a, wa, b, wb)");
        const Kernels& kernels = kernel_set(args[0]);
        const Floats out(args[1], true), a(args[2], false), b(args[4], false);
        require(a.size() == out.size() && b.size() == out.size(), "out, a and b differ in length");
        const float wa = to_float(args[3]);
        const float wb = to_float(args[5]);
        kernels.blend(out.data(), a.data(), wa, b.data(), wb, out.size());
        Py_RETURN_NONE;
    });
}

// exp_minus(set, a, top)
PyObject* exp_minus(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&]() -> PyObject* {
        check_arguments(nargs, 3, "exp_minus(set, a, top)");
        const Kernels& kernels = kernel_set(args[0]);
        const Floats a(args[1], true);
        const float top = to_float(args[2]);
        kernels.exp_minus(a.data(), a.size(), top);
        Py_RETURN_NONE;
    });
}

// norms_and_dots(set, rows, width, norms, dots): len(norms) rows, and one
// dot fewer (none for no rows).
PyObject* norms_and_dots(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&]() -> PyObject* {
        check_arguments(nargs, 5, "norms_and_dots(set, rows, width, norms, dots)");
        const Kernels& kernels = kernel_set(args[0]);
        const Floats rows(args[1], false), norms(args[3], true), dots(args[4], true);
        const std::size_t width = to_size(args[2]);
        const std::size_t count = norms.size();
        require(width == 0 || rows.size() / width == count, "rows must hold len(norms) rows of width floats");
        require(rows.size() == count * width, "rows must hold len(norms) rows of width floats");
        require(dots.size() == (count == 0 ? 0 : count - 1), "dots must be one shorter than norms");
        kernels.norms_and_dots(rows.data(), width, count, norms.data(), dots.data());
        Py_RETURN_NONE;
    });
}

// cosines(set, dots, norms, epsilon): len(norms) is len(dots) + 1.
PyObject* cosines(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&]() -> PyObject* {
        check_arguments(nargs, 4, "cosines(set, dots, norms, epsilon)");
        const Kernels& kernels = kernel_set(args[0]);
        const Floats dots(args[1], true), norms(args[2], true);
        require(norms.size() == dots.size() + 1, "norms must be one longer than dots");
        const float epsilon = to_float(args[3]);
        kernels.cosines(dots.data(), norms.data(), dots.size(), epsilon);
        Py_RETURN_NONE;
    });
}

// mark_above(set, a, threshold) -> int: the kernel's words as one integer,
// word k holding bits 64k to 64k + 63. A word past the last is watched for
// a stray write.
PyObject* mark_above(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&]() -> PyObject* {
        check_arguments(nargs, 3, "mark_above(set, a, threshold)");
        const Kernels& kernels = kernel_set(args[0]);
        const Floats a(args[1], false);
        const float threshold = to_float(args[2]);
        const std::size_t words = (a.size() + 63) / 64;
        constexpr std::uint64_t kWatch = 0x5A5A5A5A5A5A5A5Aull;
        std::vector<std::uint64_t> bits(words + 1, kWatch);
        kernels.mark_above(a.data(), a.size(), threshold, bits.data());
        if (bits[words] != kWatch) {
            PyErr_SetString(PyExc_AssertionError, "mark_above wrote past its last word");
            throw PythonErrorSet{};
        }
        PyRef result = checked(PyLong_FromLong(0));
        for (std::size_t word = words; word-- > 0;) {
            PyRef shift = checked(PyLong_FromLong(64));
            PyRef shifted = checked(PyNumber_Lshift(result.get(), shift.get()));
            PyRef part = checked(PyLong_FromUnsignedLongLong(bits[word]));
            result = checked(PyNumber_Or(shifted.get(), part.get()));
        }
        return result.release();
    });
}

// add_rows(set, total, rows, count, stride): count rows of len(total)
// floats, stride floats apart, added into total.
PyObject* add_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&]() -> PyObject* {
        check_arguments(nargs, 5, "add_rows(set, total, rows, count, stride)");
        const Kernels& kernels = kernel_set(args[0]);
        const Floats total(args[1], true), rows(args[2], false);
        const std::size_t count = to_size(args[3]);
        const std::size_t stride = to_size(args[4]);
        require(count == 0 || (stride >= total.size() && rows.size() >= (count - 1) * stride + total.size()),
                "rows must hold count rows of len(total) floats, stride apart");
        kernels.add_rows(total.data(), rows.data(), count, total.size(), stride);
        Py_RETURN_NONE;
    });
}

// lowest(set, a) -> int
PyObject* lowest(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&]() -> PyObject* {
        check_arguments(nargs, 2, "lowest(set, a)");
        const Kernels& kernels = kernel_set(args[0]);
        const Floats a(args[1], false);
        require(a.size() != 0, "a must not be empty");
        return PyLong_FromSize_t(kernels.lowest(a.data(), a.size()));
    });
}

// platform_expf(a): a[i] = expf(a[i]) with the C library's expf.
PyObject* platform_expf(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&]() -> PyObject* {
        check_arguments(nargs, 1, "platform_expf(a)");
        const Floats a(args[0], true);
        float* data = a.data();
        for (std::size_t i = 0; i < a.size(); ++i) data[i] = ::expf(data[i]);
        Py_RETURN_NONE;
    });
}

// merge_spans(keys, d_k, values, d_v, first, threshold) -> (count, keys,
// values, spans): one merging pass, with the active kernel set, over entries
// that each cover their own token, starting at entry `first`; the new rows
// as float32 bytes and the spans as (first token, last token) pairs.
PyObject* merge_spans(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&]() -> PyObject* {
        check_arguments(nargs, 6, "merge_spans(keys, d_k, values, d_v, first, threshold)");
        const Floats keys(args[0], false), values(args[2], false);
        const std::size_t d_k = to_size(args[1]);
        const std::size_t d_v = to_size(args[3]);
        const std::size_t first = to_size(args[4]);
        const float threshold = to_float(args[5]);
        require(d_k != 0 && d_v != 0, "d_k and d_v must be positive");
        const std::size_t n = keys.size() / d_k;
        require(keys.size() == n * d_k && values.size() == n * d_v, "keys and values must hold the same rows");
        EntryList key_rows(d_k), value_rows(d_v);
        SpanList spans(2);
        for (std::size_t i = 0; i < n; ++i) {
            key_rows.push_back(keys.data() + i * d_k);
            value_rows.push_back(values.data() + i * d_v);
            const std::int64_t token[2] = {static_cast<std::int64_t>(i), static_cast<std::int64_t>(i)};
            spans.push_back(token);
        }
        Entries entries(key_rows, value_rows, &spans);
        const std::uint64_t count = MergeStrategy::merge(entries, threshold, first);
        const std::size_t held = key_rows.size();
        PyRef key_bytes = checked(PyBytes_FromStringAndSize(
            held == 0 ? nullptr : reinterpret_cast<const char*>(key_rows.row(0)), static_cast<Py_ssize_t>(held * d_k * 4)));
        PyRef value_bytes = checked(PyBytes_FromStringAndSize(
            held == 0 ? nullptr : reinterpret_cast<const char*>(value_rows.row(0)), static_cast<Py_ssize_t>(held * d_v * 4)));
        PyRef span_list = checked(PyList_New(0));
        for (std::size_t i = 0; i < spans.size(); ++i) {
            PyRef pair = checked(Py_BuildValue("(LL)", static_cast<long long>(spans.row(i)[0]),
                                               static_cast<long long>(spans.row(i)[1])));
            if (PyList_Append(span_list.get(), pair.get()) < 0) throw PythonErrorSet{};
        }
        return Py_BuildValue("(KOOO)", static_cast<unsigned long long>(count), key_bytes.get(), value_bytes.get(),
                             span_list.get());
    });
}

// `groups` rows of `per_row` floats in `inputs` against `groups` rows of
// count + gap floats in `outputs` (the results, then `gap` left alone), as
// the row kernels take queries and scores, or outputs and weights.
struct Grid {
    std::size_t per_row;
    std::size_t stride;
    std::size_t count;
};

Grid grid(const Floats& inputs, const Floats& outputs, std::size_t groups, std::size_t gap) {
    require(groups != 0 && inputs.size() % groups == 0 && outputs.size() % groups == 0,
            "both buffers must hold a row per query (or output)");
    const std::size_t stride = outputs.size() / groups;
    require(gap <= stride, "a row must hold at least `gap` floats");
    return {inputs.size() / groups, stride, stride - gap};
}

// The storage tiers' kernels, on rows held in float32 buffers as a cache
// holds them (tier_row_floats floats a row); `tier` is "bfloat16" or "int8".

StorageTier narrow_tier(PyObject* name) {
    const char* text = PyUnicode_AsUTF8(name);
    if (text == nullptr) throw PythonErrorSet{};
    const std::optional<StorageTier> tier = tier_from_name(text);
    require(tier.has_value() && *tier != StorageTier::float32, "tier must be 'bfloat16' or 'int8'");
    return *tier;
}

unsigned char* bytes_of(const Floats& floats) { return reinterpret_cast<unsigned char*>(floats.data()); }

// to_bf16(set, x, out): out holds (len(x) + 1) // 2 floats.
PyObject* to_bf16(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&]() -> PyObject* {
        check_arguments(nargs, 3, "to_bf16(set, x, out)");
        const Kernels& kernels = kernel_set(args[0]);
        const Floats x(args[1], false), out(args[2], true);
        require(out.size() == tier_row_floats(StorageTier::bfloat16, x.size()), "out must hold (len(x) + 1) // 2 floats");
        kernels.bf16_from_floats(x.data(), x.size(), bytes_of(out));
        Py_RETURN_NONE;
    });
}

// to_int8(set, x, row) -> bool: row holds the int8 row's floats.
PyObject* to_int8(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&]() -> PyObject* {
        check_arguments(nargs, 3, "to_int8(set, x, row)");
        const Kernels& kernels = kernel_set(args[0]);
        const Floats x(args[1], false), row(args[2], true);
        require(row.size() == tier_row_floats(StorageTier::int8, x.size()), "row must hold an int8 row of len(x)");
        return PyBool_FromLong(kernels.int8_from_floats(x.data(), x.size(), bytes_of(row)));
    });
}

// tier_dot_rows(set, tier, q, rows, scores, queries, gap): as dot_rows.
PyObject* tier_dot_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&]() -> PyObject* {
        check_arguments(nargs, 7, "tier_dot_rows(set, tier, q, rows, scores, queries, gap)");
        const Kernels& kernels = kernel_set(args[0]);
        const StorageTier tier = narrow_tier(args[1]);
        const Floats q(args[2], false), rows(args[3], false), scores(args[4], true);
        const std::size_t queries = to_size(args[5]);
        const auto [n, stride, count] = grid(q, scores, queries, to_size(args[6]));
        const auto row_floats = static_cast<std::size_t>(tier_row_floats(tier, n));
        require(rows.size() == row_floats * count, "rows must hold a row per score");
        auto kernel = tier == StorageTier::bfloat16 ? kernels.dot_rows_bf16 : kernels.dot_rows_int8;
        kernel(q.data(), queries, bytes_of(rows), row_floats * 4, n, count, scores.data(), stride);
        Py_RETURN_NONE;
    });
}

// tier_weighted_sum_rows(set, tier, out, rows, weights, outputs, gap): as
// weighted_sum_rows.
PyObject* tier_weighted_sum_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    return entry([&]() -> PyObject* {
        check_arguments(nargs, 7, "tier_weighted_sum_rows(set, tier, out, rows, weights, outputs, gap)");
        const Kernels& kernels = kernel_set(args[0]);
        const StorageTier tier = narrow_tier(args[1]);
        const Floats out(args[2], true), rows(args[3], false), weights(args[4], false);
        const std::size_t outputs = to_size(args[5]);
        const auto [width, stride, count] = grid(out, weights, outputs, to_size(args[6]));
        const auto row_floats = static_cast<std::size_t>(tier_row_floats(tier, width));
        require(rows.size() == row_floats * count, "rows must hold a row per weight");
        auto kernel = tier == StorageTier::bfloat16 ? kernels.weighted_sum_rows_bf16 : kernels.weighted_sum_rows_int8;
        kernel(out.data(), outputs, bytes_of(rows), row_floats * 4, weights.data(), count, width, stride);
        Py_RETURN_NONE;
    });
}

#define PROBE_METHOD(name, doc) {#name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(name)), METH_FASTCALL, doc}

PyMethodDef kMethods[] = {
    {"built", built, METH_NOARGS, "built() -> [(name, lanes, supported)]"},
    PROBE_METHOD(dot, "dot(set, x, y) -> float"),
    PROBE_METHOD(sum, "sum(set, a) -> float"),
    PROBE_METHOD(dot_rows, "dot_rows(set, q, rows, scores, queries, gap=0)"),
    PROBE_METHOD(divide_max, "divide_max(set, a, divisor) -> float"),
    PROBE_METHOD(weighted_sum_rows, "weighted_sum_rows(set, out, rows, weights, outputs, gap=0)"),
    PROBE_METHOD(blend, "blend(set, out, a, wa, b, wb)"),
    PROBE_METHOD(exp_minus, "exp_minus(set, a, top)"),
    PROBE_METHOD(norms_and_dots, "norms_and_dots(set, rows, width, norms, dots)"),
    PROBE_METHOD(cosines, "cosines(set, dots, norms, epsilon)"),
    PROBE_METHOD(mark_above, "mark_above(set, a, threshold) -> int"),
    PROBE_METHOD(add_rows, "add_rows(set, total, rows, count, stride)"),
    PROBE_METHOD(lowest, "lowest(set, a) -> int"),
    PROBE_METHOD(to_bf16, "to_bf16(set, x, out)"),
    PROBE_METHOD(to_int8, "to_int8(set, x, row) -> bool"),
    PROBE_METHOD(tier_dot_rows, "tier_dot_rows(set, tier, q, rows, scores, queries, gap)"),
    PROBE_METHOD(tier_weighted_sum_rows, "tier_weighted_sum_rows(set, tier, out, rows, weights, outputs, gap)"),
    PROBE_METHOD(platform_expf, "platform_expf(a)"),
    PROBE_METHOD(merge_spans, "merge_spans(keys, d_k, values, d_v, first, threshold) -> (count, keys, values, spans)"),
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "_marrowvale_kernel_probe", "Calls the kernel sets directly (tests only).", -1, kMethods,
    nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace marrowvale

PyMODINIT_FUNC PyInit__marrowvale_kernel_probe() { return PyModule_Create(&marrowvale::kModule); }

/* The baseline of bench_cache.py: a bare extension type whose methods do
   the least any append or attend taking and returning lists can do.
   Compiled at run time with the C compiler Python was built with
   (cache_bench/baseline_reader.py). */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

/* Visible outside this file, so the compiler must keep the stores. */
float bench_baseline_sink[4096];

static int read_floats(PyObject *list) {
    if (!PyList_CheckExact(list)) {
        PyErr_SetString(PyExc_TypeError, "read() takes lists");
        return -1;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject *item = PyList_GET_ITEM(list, i);
        double value;
        if (PyFloat_CheckExact(item)) {
            value = PyFloat_AS_DOUBLE(item);
        } else {
            value = PyFloat_AsDouble(item);
            if (value == -1.0 && PyErr_Occurred()) return -1;
        }
        bench_baseline_sink[i & 4095] = (float)value;
    }
    return 0;
}

static PyObject *reader_read(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    (void)self;
    if (nargs != 2) {
        PyErr_SetString(PyExc_TypeError, "read() takes two lists");
        return NULL;
    }
    if (read_floats(args[0]) < 0 || read_floats(args[1]) < 0) return NULL;
    Py_RETURN_NONE;
}

/* Reads q like read() and returns a new list of as many floats: the least
   an attend that takes and returns a list can do. */
static PyObject *reader_echo(PyObject *self, PyObject *q) {
    (void)self;
    if (read_floats(q) < 0) return NULL;
    Py_ssize_t n = PyList_GET_SIZE(q);
    PyObject *out = PyList_New(n);
    if (out == NULL) return NULL;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject *item = PyFloat_FromDouble(bench_baseline_sink[i & 4095]);
        if (item == NULL) {
            Py_DECREF(out);
            return NULL;
        }
        PyList_SET_ITEM(out, i, item);
    }
    return out;
}

static PyMethodDef reader_methods[] = {
    {"read", (PyCFunction)(void (*)(void))reader_read, METH_FASTCALL, "read(k, v)"},
    {"echo", (PyCFunction)(void (*)(void))reader_echo, METH_O, "echo(q)"},
    {NULL, NULL, 0, NULL},
};

static PyTypeObject reader_type = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "_bench_baseline.Reader",
    .tp_basicsize = sizeof(PyObject),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_methods = reader_methods,
    .tp_new = PyType_GenericNew,
};

static struct PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_bench_baseline", NULL, -1, NULL, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit__bench_baseline(void) {
    if (PyType_Ready(&reader_type) < 0) return NULL;
    PyObject *module = PyModule_Create(&module_def);
    if (module == NULL) return NULL;
    if (PyModule_AddObjectRef(module, "Reader", (PyObject *)&reader_type) < 0) {
        Py_DECREF(module);
        return NULL;
    }
    return module;
}

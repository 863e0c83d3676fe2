/*
 * _bench_bare: the smallest C code that does what the benchmarks compare
 * the helpers against. Built by bench/bare/build.py for the interpreter that
 * runs the benchmarks; never installed.
 *
 *   iadd_walk(start, items)   start += item for every item of an exact list,
 *                             by index, with PyNumber_InPlaceAdd only: the
 *                             floor for quicksum's loop.
 *   call_loop(n, f, args, kwnames, swallow)
 *                             call f n times through vectorcall; the last
 *                             len(kwnames) entries of args are keyword values.
 *                             With swallow true an exception is cleared and
 *                             the loop goes on (error-path timings).
 *   first(*args)              returns its first argument.
 *   noop(*args, **kw)         does nothing and returns None: the floor that
 *                             a per-call count is measured above.
 *   Stub()                    a callable returning its first argument (None
 *                             without one), with an instance __dict__ so that
 *                             class-like attributes can be hung on it.
 *   compose(f, g, *extra)     a callable x -> f(g(x, *extra)).
 *
 * Under valgrind, call_loop with a label zeroes the callgrind counters, counts
 * only the loop and dumps them under that label.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stddef.h>

#ifdef BARE_CALLGRIND
#include <valgrind/callgrind.h>
#endif

static PyObject *
iadd_walk(PyObject *Py_UNUSED(mod), PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs != 2 || !PyList_CheckExact(args[1])) {
        PyErr_SetString(PyExc_TypeError, "iadd_walk(start, list)");
        return NULL;
    }
    PyObject *result = Py_NewRef(args[0]);
    PyObject *items = args[1];
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items); i++) {
        PyObject *sum = PyNumber_InPlaceAdd(result, PyList_GET_ITEM(items, i));
        Py_DECREF(result);
        if (sum == NULL) {
            return NULL;
        }
        result = sum;
    }
    return result;
}

static PyObject *
call_loop(PyObject *Py_UNUSED(mod), PyObject *const *args, Py_ssize_t nargs)
{
    if (nargs < 5 || nargs > 6 || !PyTuple_Check(args[2])
        || (args[3] != Py_None && !PyTuple_Check(args[3]))) {
        PyErr_SetString(PyExc_TypeError,
                        "call_loop(n, f, args, kwnames, swallow[, label])");
        return NULL;
    }
    Py_ssize_t n = PyLong_AsSsize_t(args[0]);
    if (n == -1 && PyErr_Occurred()) {
        return NULL;
    }
    PyObject *f = args[1];
    PyObject *callargs = args[2];
    PyObject *kwnames = args[3] == Py_None ? NULL : args[3];
    int swallow = PyObject_IsTrue(args[4]);
    if (swallow < 0) {
        return NULL;
    }
    Py_ssize_t total = PyTuple_GET_SIZE(callargs);
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw > total) {
        PyErr_SetString(PyExc_ValueError, "more keyword names than values");
        return NULL;
    }
    PyObject *const *stack = &PyTuple_GET_ITEM(callargs, 0);
    size_t npos = (size_t)(total - nkw);
    Py_ssize_t failures = 0;
#ifdef BARE_CALLGRIND
    const char *label = NULL;
    if (nargs == 6 && args[5] != Py_None) {
        label = PyUnicode_AsUTF8(args[5]);
        if (label == NULL) {
            return NULL;
        }
        CALLGRIND_ZERO_STATS;
        CALLGRIND_TOGGLE_COLLECT;
    }
#endif
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *r = PyObject_Vectorcall(f, stack, npos, kwnames);
        if (r == NULL) {
            if (!swallow) {
                return NULL;
            }
            PyErr_Clear();
            failures++;
            continue;
        }
        Py_DECREF(r);
    }
#ifdef BARE_CALLGRIND
    if (label != NULL) {
        CALLGRIND_TOGGLE_COLLECT;
        CALLGRIND_DUMP_STATS_AT(label);
    }
#endif
    return PyLong_FromSsize_t(failures);
}

static PyObject *
first(PyObject *Py_UNUSED(mod), PyObject *const *args, Py_ssize_t nargs)
{
    return Py_NewRef(nargs > 0 ? args[0] : Py_None);
}

static PyObject *
noop(PyObject *Py_UNUSED(mod), PyObject *const *Py_UNUSED(args),
     Py_ssize_t Py_UNUSED(nargs), PyObject *Py_UNUSED(kwnames))
{
    Py_RETURN_NONE;
}

/* Stub: identity callable with an instance dictionary. */
typedef struct {
    PyObject_HEAD
    PyObject *dict;
    vectorcallfunc vectorcall;
} StubObject;

static PyObject *
stub_vectorcall(PyObject *Py_UNUSED(self), PyObject *const *args, size_t nargsf,
                PyObject *Py_UNUSED(kwnames))
{
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    return Py_NewRef(nargs > 0 ? args[0] : Py_None);
}

static PyObject *
stub_new(PyTypeObject *type, PyObject *Py_UNUSED(args), PyObject *Py_UNUSED(kw))
{
    StubObject *self = (StubObject *)type->tp_alloc(type, 0);
    if (self != NULL) {
        self->dict = NULL;
        self->vectorcall = stub_vectorcall;
    }
    return (PyObject *)self;
}

static void
stub_dealloc(PyObject *op)
{
    StubObject *self = (StubObject *)op;
    Py_CLEAR(self->dict);
    Py_TYPE(op)->tp_free(op);
}

static PyTypeObject StubType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "_bench_bare.Stub",
    .tp_basicsize = sizeof(StubObject),
    .tp_dealloc = stub_dealloc,
    .tp_vectorcall_offset = offsetof(StubObject, vectorcall),
    .tp_call = PyVectorcall_Call,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_setattro = PyObject_GenericSetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL,
    .tp_dictoffset = offsetof(StubObject, dict),
    .tp_new = stub_new,
};

/* compose(f, g, *extra): x -> f(g(x, *extra)). */
typedef struct {
    PyObject_HEAD
    PyObject *f;
    PyObject *g;
    PyObject *extra;
    vectorcallfunc vectorcall;
} ComposeObject;

static PyObject *
compose_vectorcall(PyObject *op, PyObject *const *args, size_t nargsf,
                   PyObject *kwnames)
{
    ComposeObject *self = (ComposeObject *)op;
    if (PyVectorcall_NARGS(nargsf) != 1 || kwnames != NULL) {
        PyErr_SetString(PyExc_TypeError, "compose takes one argument");
        return NULL;
    }
    PyObject *stack[8];
    Py_ssize_t nextra = PyTuple_GET_SIZE(self->extra);
    stack[0] = args[0];
    for (Py_ssize_t i = 0; i < nextra; i++) {
        stack[i + 1] = PyTuple_GET_ITEM(self->extra, i);
    }
    PyObject *inner = PyObject_Vectorcall(self->g, stack, 1 + nextra, NULL);
    if (inner == NULL) {
        return NULL;
    }
    PyObject *outer = PyObject_CallOneArg(self->f, inner);
    Py_DECREF(inner);
    return outer;
}

static PyObject *
compose_new(PyTypeObject *type, PyObject *args, PyObject *kw)
{
    Py_ssize_t n = PyTuple_GET_SIZE(args);
    if (n < 2 || n > 9 || (kw != NULL && PyDict_GET_SIZE(kw) != 0)) {
        PyErr_SetString(PyExc_TypeError, "compose(f, g, *extra) with at most 7 extra");
        return NULL;
    }
    ComposeObject *self = (ComposeObject *)type->tp_alloc(type, 0);
    if (self == NULL) {
        return NULL;
    }
    self->f = Py_NewRef(PyTuple_GET_ITEM(args, 0));
    self->g = Py_NewRef(PyTuple_GET_ITEM(args, 1));
    self->extra = PyTuple_GetSlice(args, 2, n);
    self->vectorcall = compose_vectorcall;
    if (self->extra == NULL) {
        Py_DECREF(self);
        return NULL;
    }
    return (PyObject *)self;
}

static void
compose_dealloc(PyObject *op)
{
    ComposeObject *self = (ComposeObject *)op;
    Py_XDECREF(self->f);
    Py_XDECREF(self->g);
    Py_XDECREF(self->extra);
    Py_TYPE(op)->tp_free(op);
}

static PyTypeObject ComposeType = {
    PyVarObject_HEAD_INIT(NULL, 0)
    .tp_name = "_bench_bare.compose",
    .tp_basicsize = sizeof(ComposeObject),
    .tp_dealloc = compose_dealloc,
    .tp_vectorcall_offset = offsetof(ComposeObject, vectorcall),
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL,
    .tp_new = compose_new,
};

static PyMethodDef bare_methods[] = {
    {"iadd_walk", (PyCFunction)(void (*)(void))iadd_walk, METH_FASTCALL, NULL},
    {"call_loop", (PyCFunction)(void (*)(void))call_loop, METH_FASTCALL, NULL},
    {"first", (PyCFunction)(void (*)(void))first, METH_FASTCALL, NULL},
    {"noop", (PyCFunction)(void (*)(void))noop, METH_FASTCALL | METH_KEYWORDS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef bare_module = {
    PyModuleDef_HEAD_INIT, "_bench_bare", NULL, -1, bare_methods, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC
PyInit__bench_bare(void)
{
    if (PyType_Ready(&StubType) < 0 || PyType_Ready(&ComposeType) < 0) {
        return NULL;
    }
    PyObject *m = PyModule_Create(&bare_module);
    if (m == NULL) {
        return NULL;
    }
    if (PyModule_AddObjectRef(m, "Stub", (PyObject *)&StubType) < 0
        || PyModule_AddObjectRef(m, "compose", (PyObject *)&ComposeType) < 0) {
        Py_DECREF(m);
        return NULL;
    }
#ifdef BARE_CALLGRIND
    PyModule_AddIntConstant(m, "CALLGRIND", 1);
#else
    PyModule_AddIntConstant(m, "CALLGRIND", 0);
#endif
    return m;
}

// Argument binding: every call reaches a body through `function_vectorcall`,
// which matches positional and keyword arguments to the parameters.
#include "shell/binding.hpp"

#include "shell/cpython_compat.hpp"
#include "shell/traceback.hpp"

namespace tarvel {

namespace {

PyObject* count_error(const FunctionDef& def, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 def.call_name, "exactly", static_cast<Py_ssize_t>(def.nparams),
                 def.nparams == 1 ? "" : "s", given);
    return nullptr;
}

// 1 when `keyword` equals parameter name `name` by value, 0 when not, -1 on
// error. Identity has been tested already.
int equal_by_value(const FunctionDef& def, PyObject* keyword, PyObject* name) {
    if (PyUnicode_CheckExact(keyword)) {
        return compat::unicode_equal(keyword, name);
    }
    if (PyUnicode_Check(keyword)) {
        return PyObject_RichCompareBool(keyword, name, Py_EQ);
    }
    PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", def.call_name);
    return -1;
}

// Index of the parameter in [first, last) that `keyword` names, by identity
// first and then by value; -1 when none does, -2 on error.
int find_parameter(const FunctionDef& def, PyObject* keyword, int first, int last) {
    for (int i = first; i < last; ++i) {
        if (keyword == str(def.varnames[i])) {
            return i;
        }
    }
    for (int i = first; i < last; ++i) {
        int rc = equal_by_value(def, keyword, str(def.varnames[i]));
        if (rc < 0) {
            return -2;
        }
        if (rc > 0) {
            return i;
        }
    }
    return -1;
}

// Whether the keywords are, by identity, the names of the parameters after
// the positional ones, in parameter order: the common keyword call, which
// the general matching below would bind the same way.
bool keywords_in_order(const FunctionDef& def, PyObject* kwnames, Py_ssize_t nargs) {
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) {
        if (PyTuple_GET_ITEM(kwnames, k) != str(def.varnames[nargs + k])) {
            return false;
        }
    }
    return true;
}

// Binds a call that passes keywords into `bound`; false with an exception set
// when it cannot.
bool bind_keywords(const FunctionDef& def, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** bound) {
    const int n = static_cast<int>(nargs);
    for (int i = 0; i < def.nparams; ++i) {
        bound[i] = i < n ? args[i] : nullptr;
    }
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        int index = find_parameter(def, keyword, n, def.nparams);
        if (index == -2) {
            return false;
        }
        if (index >= 0 && bound[index] == nullptr) {
            bound[index] = args[nargs + k];
            continue;
        }
        if (index < 0) {
            index = find_parameter(def, keyword, 0, n);
            if (index == -2) {
                return false;
            }
        }
        if (index >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         def.call_name, keyword);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         def.call_name, keyword);
        }
        return false;
    }
    for (int i = n; i < def.nparams; ++i) {
        if (bound[i] == nullptr) {
            count_error(def, i);
            return false;
        }
    }
    return true;
}

// Every call that is not exactly the parameters by position.
[[gnu::noinline]] PyObject* bind_and_call(FunctionObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
    const FunctionDef& def = *self->def;
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (nkw == 0) {
        if (nargs == def.nparams) {
            return def.body(self, args);
        }
        count_error(def, nargs);
    } else if (nargs + nkw == def.nparams && keywords_in_order(def, kwnames, nargs)) {
        // Positional and keyword values then lie in parameter order.
        return def.body(self, args);
    } else if (nargs > def.nparams) {
        count_error(def, nargs);
    } else {
        PyObject* bound[max_parameters];
        if (bind_keywords(def, args, nargs, kwnames, bound)) {
            return def.body(self, bound);
        }
    }
    add_traceback(state.binding_entry_codes[static_cast<int>(def.code)], def.frame_name, def.def_line);
    return nullptr;
}

}  // namespace

PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    auto* self = reinterpret_cast<FunctionObject*>(callable);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    return inside_recursion_check([&] {
        return kwnames == nullptr && nargs == self->def->nparams ? self->def->body(self, args)
                                                                 : bind_and_call(self, args, nargs, kwnames);
    });
}

PyObject* fail(FunctionObject* self, int line) {
    // A C-level slot of a called object (an in-place addition, an attribute
    // hook) may report failure without an exception; the interpreter's own
    // eval loop raises this in that case, and so does the module.
    if (!PyErr_Occurred()) [[unlikely]] {
        PyErr_SetString(PyExc_SystemError, "error return without exception set");
    }
    add_traceback(self->def->frame_name, line);
    return nullptr;
}

}  // namespace tarvel

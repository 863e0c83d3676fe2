// Python-facing attributes of the function objects: the introspection
// surface of a Python function, with the same write rules.
#include "shell/function.hpp"

namespace tarvel {

namespace {

FunctionObject* as_function(PyObject* obj) { return reinterpret_cast<FunctionObject*>(obj); }

void replace(PyObject*& slot, PyObject* value) {
    PyObject* old = slot;
    slot = Py_XNewRef(value);
    Py_XDECREF(old);
}

PyObject* get_doc(PyObject* obj, void*) {
    FunctionObject* f = as_function(obj);
    if (f->doc == nullptr) {
        if (f->def->doc == nullptr) {
            f->doc = Py_NewRef(Py_None);
        } else {
            f->doc = PyUnicode_FromString(f->def->doc);
            if (f->doc == nullptr) {
                return nullptr;
            }
        }
    }
    return Py_NewRef(f->doc);
}

int set_doc(PyObject* obj, PyObject* value, void*) {
    replace(as_function(obj)->doc, value != nullptr ? value : Py_None);
    return 0;
}

PyObject* get_name(PyObject* obj, void*) {
    FunctionObject* f = as_function(obj);
    if (f->name == nullptr) {
        f->name = Py_NewRef(str(f->def->name));
    }
    return Py_NewRef(f->name);
}

int set_name(PyObject* obj, PyObject* value, void*) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    replace(as_function(obj)->name, value);
    return 0;
}

PyObject* get_qualname(PyObject* obj, void*) { return Py_NewRef(as_function(obj)->qualname); }

int set_qualname(PyObject* obj, PyObject* value, void*) {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    replace(as_function(obj)->qualname, value);
    return 0;
}

PyObject* get_module(PyObject* obj, void*) {
    PyObject* module = as_function(obj)->module;
    return Py_NewRef(module != nullptr ? module : Py_None);
}

int set_module(PyObject* obj, PyObject* value, void*) {
    replace(as_function(obj)->module, value);
    return 0;
}

PyObject* get_globals(PyObject* obj, void*) {
    PyObject* globals = as_function(obj)->globals;
    return Py_NewRef(globals != nullptr ? globals : Py_None);
}

PyObject* get_closure(PyObject*, void*) { Py_RETURN_NONE; }

PyObject* get_code(PyObject* obj, void*) { return Py_NewRef(as_function(obj)->code); }

PyObject* get_defaults(PyObject* obj, void*) {
    PyObject* defaults = as_function(obj)->defaults;
    return Py_NewRef(defaults != nullptr ? defaults : Py_None);
}

PyObject* get_kwdefaults(PyObject* obj, void*) {
    PyObject* kwdefaults = as_function(obj)->kwdefaults;
    return Py_NewRef(kwdefaults != nullptr ? kwdefaults : Py_None);
}

// Stored defaults are reported back but never used by calls, and the
// assignment says so.
int set_unused_defaults(PyObject*& slot, PyObject* value, bool acceptable, const char* type_error,
                        const char* warning) {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !acceptable) {
        PyErr_SetString(PyExc_TypeError, type_error);
        return -1;
    }
    if (PyErr_WarnEx(PyExc_RuntimeWarning, warning, 1) < 0) {
        return -1;
    }
    replace(slot, value);
    return 0;
}

int set_defaults(PyObject* obj, PyObject* value, void*) {
    return set_unused_defaults(as_function(obj)->defaults, value, value != nullptr && PyTuple_Check(value),
                               "__defaults__ must be set to a tuple object",
                               "changes to " TARVEL_FUNCTION_SHORT_NAME
                               ".__defaults__ will not currently affect the values used in function calls");
}

int set_kwdefaults(PyObject* obj, PyObject* value, void*) {
    return set_unused_defaults(as_function(obj)->kwdefaults, value, value != nullptr && PyDict_Check(value),
                               "__kwdefaults__ must be set to a dict object",
                               "changes to " TARVEL_FUNCTION_SHORT_NAME
                               ".__kwdefaults__ will not currently affect the values used in function calls");
}

PyObject* get_annotations(PyObject* obj, void*) {
    FunctionObject* f = as_function(obj);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
        if (f->annotations == nullptr) {
            return nullptr;
        }
    }
    return Py_NewRef(f->annotations);
}

int set_annotations(PyObject* obj, PyObject* value, void*) {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    replace(as_function(obj)->annotations, value);
    return 0;
}

// No function of this module is a coroutine.
PyObject* get_is_coroutine(PyObject* obj, void*) {
    FunctionObject* f = as_function(obj);
    if (f->is_coroutine == nullptr) {
        f->is_coroutine = Py_NewRef(Py_False);
    }
    return Py_NewRef(f->is_coroutine);
}

}  // namespace

PyGetSetDef function_getset[] = {
    {"__doc__", get_doc, set_doc, nullptr, nullptr},
    {"func_doc", get_doc, set_doc, nullptr, nullptr},
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"func_name", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__module__", get_module, set_module, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"func_dict", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"func_globals", get_globals, nullptr, nullptr, nullptr},
    {"__closure__", get_closure, nullptr, nullptr, nullptr},
    {"func_closure", get_closure, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {"func_code", get_code, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, set_defaults, nullptr, nullptr},
    {"func_defaults", get_defaults, set_defaults, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, set_kwdefaults, nullptr, nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace tarvel

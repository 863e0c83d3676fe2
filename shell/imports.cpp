#include "shell/imports.hpp"

#include "shell/identifiers.hpp"
#include "shell/state.hpp"

namespace tarvel {

namespace {

// The module table's entry for `name`, if present and not None (None marks a
// blocked import, which only the import system may report). Returns false
// with an exception set on error.
bool loaded_module(PyObject* name, Ref& module) {
    module.reset(PyImport_GetModule(name));
    if (!module) {
        return !PyErr_Occurred();
    }
    if (module.get() == Py_None) {
        module.reset();
    }
    return true;
}

// Whether `module` already has every from-list name (-1 on error).
int has_all_names(PyObject* module, PyObject* const* fromlist, Py_ssize_t size) {
    for (Py_ssize_t i = 0; i < size; ++i) {
        int rc = PyObject_HasAttrWithError(module, fromlist[i]);
        if (rc <= 0) {
            return rc;
        }
    }
    return 1;
}

Ref run_import_system(PyObject* name, PyObject* const* fromlist, Py_ssize_t size) {
    Ref locals{PyDict_New()};
    if (!locals) {
        return Ref();
    }
    Ref list;
    if (fromlist != nullptr) {
        list.reset(PyList_New(size));
        if (!list) {
            return Ref();
        }
        for (Py_ssize_t i = 0; i < size; ++i) {
            PyList_SET_ITEM(list.get(), i, Py_NewRef(fromlist[i]));
        }
    }
    return Ref(PyImport_ImportModuleLevelObject(name, state.ns, locals.get(), list.get(), 0));
}

}  // namespace

Ref import_module(PyObject* name, PyObject* const* fromlist, Py_ssize_t fromlist_size) {
    Ref module;
    if (!loaded_module(name, module)) {
        return Ref();
    }
    if (module) {
        if (fromlist != nullptr) {
            int rc = has_all_names(module.get(), fromlist, fromlist_size);
            if (rc < 0) {
                return Ref();
            }
            if (rc > 0) {
                return module;
            }
        } else {
            Py_ssize_t dot = PyUnicode_FindChar(name, '.', 0, PyUnicode_GET_LENGTH(name), 1);
            if (dot == -2) {
                return Ref();
            }
            if (dot == -1) {
                return module;
            }
            Ref top{PyUnicode_Substring(name, 0, dot)};
            if (!top) {
                return Ref();
            }
            Ref package;
            if (!loaded_module(top.get(), package)) {
                return Ref();
            }
            if (package) {
                return package;
            }
        }
    }
    return run_import_system(name, fromlist, fromlist_size);
}

Ref import_name(PyObject* module, PyObject* name) {
    Ref value{PyObject_GetAttr(module, name)};
    if (value) {
        return value;
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        // A submodule that is loaded but not yet bound on its package.
        Ref module_name{PyObject_GetAttr(module, str(Id::dunder_name))};
        if (module_name) {
            Ref dotted{PyUnicode_FromFormat("%S.%S", module_name.get(), name)};
            if (dotted) {
                Ref submodule{PyImport_GetModule(dotted.get())};
                if (submodule && submodule.get() != Py_None) {
                    return submodule;
                }
            }
        }
    }
    PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    return Ref();
}

}  // namespace tarvel

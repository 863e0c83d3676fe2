#include "shell/namespace.hpp"

#include "shell/state.hpp"

#include <cstdint>

namespace tarvel {

namespace {

// Values found in the module namespace, valid while the namespace is
// unchanged: a dictionary watcher moves the generation on before any change
// to it, so a rebound or deleted name is seen by the very next lookup and a
// stale (borrowed) value is never handed out.
struct LookupCache {
    uint64_t generation = 1;
    int watcher = -1;
    uint64_t entry_generation[identifier_count] = {};
    PyObject* entry_value[identifier_count] = {};
};

LookupCache lookup_cache;

int namespace_changed(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++lookup_cache.generation;
    return 0;
}

}  // namespace

int watch_namespace(PyObject* ns) {
    ++lookup_cache.generation;
    if (lookup_cache.watcher < 0) {
        lookup_cache.watcher = PyDict_AddWatcher(namespace_changed);
        if (lookup_cache.watcher < 0) {
            return -1;
        }
    }
    return PyDict_Watch(lookup_cache.watcher, ns);
}

Ref lookup_global(Id name) {
    const int index = static_cast<int>(name);
    if (lookup_cache.entry_generation[index] == lookup_cache.generation) {
        return Ref::borrow(lookup_cache.entry_value[index]);
    }
    PyObject* key = str(name);
    // The interned key carries the hash computed when the module was
    // executed, so the dictionary lookup hashes nothing.
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(state.ns, key, &found) > 0) {
        lookup_cache.entry_value[index] = found;
        lookup_cache.entry_generation[index] = lookup_cache.generation;
        return Ref(found);
    }
    PyErr_Clear();
    PyObject* builtin = nullptr;
    int rc = PyObject_GetOptionalAttr(state.builtins, key, &builtin);
    if (rc > 0) {
        return Ref(builtin);
    }
    if (rc == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", key);
    }
    return Ref();
}

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

namespace tarvel {

namespace {

// Types whose `__class__` attribute is known to be object's own, keyed by
// type and version tag: a change to the type or its bases gives it a new
// tag, and tags are never reused, so an entry cannot go stale.
struct PlainClassMemo {
    static constexpr int size = 16;
    PyTypeObject* type[size] = {};
    unsigned int version[size] = {};

    static int slot(PyTypeObject* t) { return static_cast<int>((reinterpret_cast<uintptr_t>(t) >> 6) % size); }
};

PlainClassMemo plain_class_memo;

// Whether `__class__`, found along the MRO of `type` as attribute access
// finds it, is object's own descriptor. False on error, with the error
// cleared: the caller then takes the interpreter's full instance test.
bool class_attribute_is_objects(PyTypeObject* type) {
    PyObject* mro = type->tp_mro;
    if (mro == nullptr) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        Ref dict{PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i)))};
        if (!dict) {
            PyErr_Clear();
            return false;
        }
        PyObject* found = nullptr;
        const int rc = PyDict_GetItemRef(dict.get(), str(Id::dunder_class), &found);
        Ref value{found};
        if (rc < 0) {
            PyErr_Clear();
            return false;
        }
        if (rc > 0) {
            return value.get() == state.object_class_attribute;
        }
    }
    return false;
}

// Whether reading `__class__` from an instance of `type` gives `type`.
bool has_plain_class_attribute(PyTypeObject* type) {
    if (type->tp_getattro != PyObject_GenericGetAttr) {
        return false;
    }
    const int slot = PlainClassMemo::slot(type);
    if (type->tp_version_tag != 0 && plain_class_memo.type[slot] == type &&
        plain_class_memo.version[slot] == type->tp_version_tag) {
        return true;
    }
    if (!class_attribute_is_objects(type)) {
        return false;
    }
    if (type->tp_version_tag != 0) {
        plain_class_memo.type[slot] = type;
        plain_class_memo.version[slot] = type->tp_version_tag;
    }
    return true;
}

}  // namespace

int is_instance(PyObject* obj, PyObject* cls) {
    PyTypeObject* type = Py_TYPE(obj);
    if (reinterpret_cast<PyObject*>(type) == cls) {
        return 1;
    }
    // A class whose metaclass is exactly `type` has the default instance
    // check: a subtype test, then the same test on `obj.__class__`. That
    // attribute is the object's own type unless its class changes attribute
    // access or overrides `__class__`, and then it cannot change the answer.
    if (PyType_CheckExact(cls)) {
        if (PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(cls))) {
            return 1;
        }
        if (has_plain_class_attribute(type)) {
            return 0;
        }
    }
    return PyObject_IsInstance(obj, cls);
}

int is_instance_of_named(PyObject* obj, const Id* class_names, int count) {
    constexpr int max_classes = 4;
    Ref classes[max_classes];
    for (int i = 0; i < count && i < max_classes; ++i) {
        classes[i] = lookup_global(class_names[i]);
        if (!classes[i]) {
            return -1;
        }
    }
    for (int i = 0; i < count && i < max_classes; ++i) {
        int rc = is_instance(obj, classes[i].get());
        if (rc != 0) {
            return rc;
        }
    }
    return 0;
}

}  // namespace tarvel

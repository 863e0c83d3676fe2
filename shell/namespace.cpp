#include "shell/namespace.hpp"

#include "shell/state.hpp"

namespace tarvel {

LookupCache lookup_cache;

namespace {

int namespace_changed(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++lookup_cache.generation;
    return 0;
}

}  // namespace

int watch_namespace(PyObject* ns) {
    ++lookup_cache.generation;
    if constexpr (!caches_enabled) {
        return 0;
    }
    if (lookup_cache.watcher < 0) {
        lookup_cache.watcher = PyDict_AddWatcher(namespace_changed);
        if (lookup_cache.watcher < 0) {
            return -1;
        }
    }
    return PyDict_Watch(lookup_cache.watcher, ns);
}

Ref lookup_global_uncached(Id name) {
    const int index = static_cast<int>(name);
    PyObject* key = str(name);
    // The interned key carries the hash computed when the module was
    // executed, so the dictionary lookup hashes nothing.
    // The value is kept only if the namespace did not change during the
    // lookup itself (a key's __eq__ may run code).
    const uint64_t generation = lookup_cache.generation;
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(state.ns, key, &found) > 0) {
        if (lookup_cache.generation == generation) {
            lookup_cache.entry_value[index] = found;
            lookup_cache.entry_generation[index] = generation;
        }
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

}  // namespace tarvel

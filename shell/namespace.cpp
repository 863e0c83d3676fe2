#include "shell/namespace.hpp"

#include "shell/state.hpp"

namespace tarvel {

LookupCache lookup_cache;

namespace {

// Drops the values kept for an older generation; with `only_unfreeable`,
// only those that something else still holds, whose drop cannot free them
// and so runs no code. Otherwise a drop may run a finaliser that changes the
// namespace again: the loop re-reads the generation each time.
void release_stale_values(bool only_unfreeable) {
    for (int i = 0; i < identifier_count; ++i) {
        PyObject* value = lookup_cache.entry_value[i].get();
        if (value != nullptr && lookup_cache.entry_generation[i] != lookup_cache.generation &&
            (!only_unfreeable || Py_REFCNT(value) > 1)) {
            Ref stale = lookup_cache.entry_value[i].exchange(nullptr);
        }
    }
}

// Every kept value is stale from here on. Those the namespace (while it is
// watched) still holds are released at once, so that each dies with its
// binding as it would without the cache; the callback must run no code, so
// a value only the cache still holds waits for the next lookup's sweep.
int namespace_changed(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++lookup_cache.generation;
    release_stale_values(true);
    return 0;
}

}  // namespace

void watch_namespace(PyObject* ns) {
    ++lookup_cache.generation;
    lookup_cache.watching = false;
    if constexpr (!caches_enabled) {
        return;
    }
    if (lookup_cache.watcher < 0) {
        // Another extension may hold every id the interpreter offers.
        lookup_cache.watcher = PyDict_AddWatcher(namespace_changed);
        if (lookup_cache.watcher < 0) {
            PyErr_Clear();
            return;
        }
    }
    if (PyDict_Watch(lookup_cache.watcher, ns) < 0) {
        PyErr_Clear();
        return;
    }
    lookup_cache.watching = true;
}

Ref lookup_global_uncached(Id name) {
    // A change made by a finaliser during the sweep leaves `swept` behind,
    // for the next lookup to sweep again.
    if (lookup_cache.swept != lookup_cache.generation) [[unlikely]] {
        lookup_cache.swept = lookup_cache.generation;
        release_stale_values(false);
    }
    const int index = static_cast<int>(name);
    PyObject* key = str(name);
    // The interned key carries the hash computed when the module was
    // executed, so the dictionary lookup hashes nothing.
    const uint64_t generation = lookup_cache.generation;
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(state.ns, key, &found) > 0) {
        if (caches_enabled && lookup_cache.watching && lookup_cache.generation == generation) {
            // The old value is dropped only after the entry is consistent.
            Ref old = lookup_cache.entry_value[index].exchange(Py_NewRef(found));
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

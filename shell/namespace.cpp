#include "shell/namespace.hpp"

#include "shell/state.hpp"

namespace tarvel {

LookupCache lookup_cache;

namespace {

// Every kept value is stale from here on. Each one that something else
// still holds (the namespace, while it is watched) is released at once, so
// that it dies with its binding as it would without the cache: that drop
// cannot free it, so no code runs inside the callback, which must run none.
// A value only the cache still holds waits for the next lookup's sweep.
int namespace_changed(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    ++lookup_cache.generation;
    for (KeptRef& kept : lookup_cache.entry_value) {
        PyObject* value = kept.get();
        if (value != nullptr && Py_REFCNT(value) > 1) {
            Ref released = kept.exchange(nullptr);
        }
    }
    return 0;
}

// Drops the values kept for an older generation. A dropped value may run
// code (a finaliser) that changes the namespace again; the loop re-reads the
// generation, and a change made meanwhile leaves `swept` behind for the next
// lookup to sweep again.
[[gnu::noinline]] void release_stale_values() {
    lookup_cache.swept = lookup_cache.generation;
    for (int i = 0; i < identifier_count; ++i) {
        if (lookup_cache.entry_generation[i] != lookup_cache.generation && lookup_cache.entry_value[i].get()) {
            Ref stale = lookup_cache.entry_value[i].exchange(nullptr);
        }
    }
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
    if (lookup_cache.swept != lookup_cache.generation) {
        release_stale_values();
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

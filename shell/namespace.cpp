#include "shell/namespace.hpp"

#include "shell/cpython_compat.hpp"
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

// Forgets every announced change: the whole namespace is as it is now.
void settle_all() {
    lookup_cache.bulk = LookupCache::Bulk::none;
    lookup_cache.aliased = false;
    for (auto& announced : lookup_cache.announced) {
        announced = {};
    }
}

// Whether no clear or copy is announced that has not landed (and settles
// all when one has): a clear empties the namespace, a copy fills the empty
// one. Runs no code.
bool bulk_settled(PyObject* ns) {
    const auto bulk = lookup_cache.bulk;
    const Py_ssize_t size = PyDict_Size(ns);
    if ((bulk == LookupCache::Bulk::cleared && size == 0) || (bulk == LookupCache::Bulk::copied && size > 0)) {
        settle_all();
    }
    return lookup_cache.bulk == LookupCache::Bulk::none;
}

// The module name spelt by an exact str key, or -1. Runs no code: an exact
// str hashes and compares without any. The names are made by the exec step
// after it starts watching; changes before that concern none of them.
int identifier_index(PyObject* key) {
    const Py_hash_t hash = PyObject_Hash(key);
    for (int i = 0; i < identifier_count; ++i) {
        PyObject* name = identifier_strings[i];
        if (name != nullptr && (name == key || (PyObject_Hash(name) == hash && compat::unicode_equal(name, key)))) {
            return i;
        }
    }
    return -1;
}

// Every kept value is stale from here on. Those the namespace (while it is
// watched) still holds are released at once, so that each dies with its
// binding as it would without the cache; the callback must run no code, so
// a value only the cache still holds waits for the next lookup's sweep.
int namespace_changed(PyDict_WatchEvent event, PyObject* dict, PyObject* key, PyObject* new_value) {
    ++lookup_cache.generation;
    if (dict == state.ns) {
        // A change announced inside a clear's or a copy's window lands
        // before it and is then undone: nothing is kept until the next
        // clear or copy lands.
        if (!bulk_settled(dict)) {
            lookup_cache.bulk = LookupCache::Bulk::unprovable;
        }
        switch (event) {
            case PyDict_EVENT_ADDED:
            case PyDict_EVENT_MODIFIED:
            case PyDict_EVENT_DELETED:
                if (PyUnicode_CheckExact(key)) {
                    if (const int name = identifier_index(key); name >= 0) {
                        lookup_cache.announced[name] = {true, event == PyDict_EVENT_DELETED ? nullptr : new_value};
                    }
                } else if (event != PyDict_EVENT_ADDED) {
                    // Equal to a name without being an exact str, perhaps:
                    // which binding it changes cannot be told without
                    // running its code. (A new key changes none.)
                    lookup_cache.aliased = true;
                }
                break;
            case PyDict_EVENT_CLEARED:
                // Clearing an empty namespace leaves nothing to see it land by.
                lookup_cache.bulk =
                    PyDict_Size(dict) > 0 ? LookupCache::Bulk::cleared : LookupCache::Bulk::unprovable;
                break;
            case PyDict_EVENT_CLONED:
                lookup_cache.bulk = LookupCache::Bulk::copied;
                break;
            default:
                break;
        }
    }
    release_stale_values(true);
    return 0;
}

// Whether a value just found for `name` may be kept: every announced change
// that may concern the name has landed (see namespace.hpp). Settles the
// name's announced change when it has.
bool keepable(int name, PyObject* found) {
    if (!lookup_cache.watching || !bulk_settled(state.ns) || lookup_cache.aliased) {
        return false;
    }
    auto& announced = lookup_cache.announced[name];
    if (announced.pending && announced.value != found) {
        return false;
    }
    announced.pending = false;
    return true;
}

// A lazy import bound in the namespace (3.15) means what it means to Python
// code: the object it imports, with the errors the import raises. No C API
// resolves one; its `resolve` method is the type's documented way. The
// binding is left as it is (the interpreter replaces it on the first read
// by Python code): the module writes nothing to its namespace, because a
// store made from code that runs inside another change's window (which the
// module cannot always see: a str-subclass key, no watcher, a neighbour
// that unwatched the namespace) makes CPython release twice the value that
// change read before announcing it. Placeholders are never kept.
Ref resolve_lazy_import(PyObject* placeholder) {
    return Ref(PyObject_CallMethodNoArgs(placeholder, str(Id::resolve)));
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
    settle_all();
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
        Ref value{found};
        if (compat::is_lazy_import(found)) [[unlikely]] {
            return resolve_lazy_import(found);
        }
        if (caches_enabled && lookup_cache.generation == generation && keepable(index, found)) {
            // The old value is dropped only after the entry is consistent.
            Ref old = lookup_cache.entry_value[index].exchange(Py_NewRef(found));
            lookup_cache.entry_generation[index] = generation;
        }
        return value;
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

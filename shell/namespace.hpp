// Late-bound module-level names: every body reads the names it uses at the
// moment of use, from the module namespace first and then from `builtins`.
#pragma once

#include <Python.h>

#include <cstdint>

#include "shell/identifiers.hpp"
#include "shell/plain_paths.hpp"
#include "shell/ref.hpp"

namespace tarvel {

// Values found in the module namespace, kept so that a lookup need not read
// the dictionary. The module's dictionary watcher is told of every change
// before it lands, and moves the generation on then; a kept value answers
// only in the generation it was kept in.
//
// Code may run between the announcement and the change (a neighbour's
// watcher that reports an error runs sys.unraisablehook; a watcher may
// format the new value), and a module call made there reads the binding
// that is about to be replaced. So the watcher notes, per name, the value
// the announced change binds (null for an unbinding), and a lookup keeps
// what it found only if it is that value, that is, once the change has
// landed. Until the next announcement nothing then changes the name. A
// change whose key is no exact str may alias any name (it equals one
// without being one), and a clear or a copy into the namespace changes
// every name: after either, nothing is kept until a clear or copy is seen
// to have landed (by the namespace's size) with no change announced in its
// window. So: a value is kept only once every announced change of its name
// has landed, and then answers until the next announcement; in between it
// is the value the namespace holds.
//
// This takes one announced change of a name at a time, as CPython itself
// does: a change of the same key, a new key, or a clear, made inside another
// change's window leaves the dictionary inconsistent (the first change then
// stores into, and releases, what it read before announcing; a new key may
// resize the table or take its last free entry), so the cache does not
// defend against that; the module itself never writes to the namespace.
//
// Kept values are strong references: a neighbour that unwatches the
// namespace (PyDict_Unwatch, PyDict_ClearWatcher with this id) can at worst
// make one stale, never freed. Without a watcher (no id free) nothing is
// kept. Names found only in builtins are never kept. A change releases the
// kept values at once where that cannot free them, and the first uncached
// lookup after it releases the rest.
struct LookupCache {
    // One name's last announced change, until a lookup finds it landed.
    // `value` is compared by address only: the value the change binds, or
    // null for an unbinding.
    struct Pending {
        bool pending = false;
        const PyObject* value = nullptr;
    };

    // A clear or a copy into the (empty) namespace announced and not yet
    // seen to land; `unprovable` when its landing cannot be seen.
    enum class Bulk { none, cleared, copied, unprovable };

    uint64_t generation = 1;
    uint64_t swept = 0;  // the generation whose stale values were released
    int watcher = -1;
    bool watching = false;  // the current namespace is watched
    bool aliased = false;   // a change by a key that is no exact str
    Bulk bulk = Bulk::none;
    uint64_t entry_generation[identifier_count] = {};
    KeptRef entry_value[identifier_count] = {};
    Pending announced[identifier_count] = {};
};

extern LookupCache lookup_cache;

// The namespace's current generation: equal values mean an unchanged
// namespace in between (while it is watched).
inline uint64_t namespace_generation() noexcept { return lookup_cache.generation; }

// Whether `name` is bound in the namespace of the current generation and
// its value kept by the cache (so also not found in builtins).
inline bool cached_in_namespace(Id name) noexcept {
    return caches_enabled && lookup_cache.entry_generation[static_cast<int>(name)] == lookup_cache.generation;
}

[[gnu::noinline]] Ref lookup_global_uncached(Id name);

// Reads a module-level name at call time: the module namespace first, then
// `builtins`, else NameError.
inline Ref lookup_global(Id name) {
    if (cached_in_namespace(name)) [[likely]] {
        // A kept value is never null.
        return Ref(Py_NewRef(lookup_cache.entry_value[static_cast<int>(name)].get()));
    }
    return lookup_global_uncached(name);
}

// Starts watching a (new) module namespace. The cache is an optimisation:
// when no watcher can be had, lookups simply stay uncached.
void watch_namespace(PyObject* ns);

}  // namespace tarvel

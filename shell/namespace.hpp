// Late-bound module-level names: every body reads the names it uses at the
// moment of use, from the module namespace first and then from `builtins`.
#pragma once

#include <Python.h>

#include <cstdint>

#include "shell/identifiers.hpp"
#include "shell/plain_paths.hpp"
#include "shell/ref.hpp"

namespace tarvel {

// Values found in the module namespace, valid while the namespace is
// unchanged. A dictionary watcher moves the generation on before any change
// to the namespace, so a rebound or deleted name is seen by the very next
// lookup. A value is kept only if the generation did not move during the
// lookup that found it (a key's __eq__ may run code). Kept values are strong
// references: a neighbour that unwatches the namespace (PyDict_Unwatch,
// PyDict_ClearWatcher with this id) can at worst make one stale, never
// freed. Without a watcher (no id free) nothing is kept and every lookup
// reads the dictionary. Names found only in builtins are never kept. A
// change releases the kept values at once where that cannot free them, and
// the first uncached lookup after it releases the rest.
struct LookupCache {
    uint64_t generation = 1;
    uint64_t swept = 0;  // the generation whose stale values were released
    int watcher = -1;
    bool watching = false;  // the current namespace is watched
    uint64_t entry_generation[identifier_count] = {};
    KeptRef entry_value[identifier_count] = {};
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

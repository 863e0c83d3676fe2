// Instance tests of one object against module-level classes, with the
// interpreter's isinstance() semantics.
#pragma once

#include <Python.h>

#include <cstdint>

#include "shell/identifiers.hpp"
#include "shell/namespace.hpp"
#include "shell/plain_paths.hpp"

namespace tarvel {

// One statement of a body that looks up N class names, all before the first
// test, and then tests one object against them in order, stopping at the
// first match.
//
// Where the answer follows from the object's type alone, it is remembered
// per type: every class was found in the module namespace and has `type`
// itself as its metaclass (so no __instancecheck__ hook, and `type` refuses
// to give a class another metaclass), and each test was decided by the
// type's MRO, or by the type reading `__class__` through object's own
// descriptor (so `obj.__class__` is the type). The answer then depends on
// the classes' identities and the type's MRO and attributes alone. It
// changes only when the namespace changes (its generation: the same names
// then still hold the same classes) or the object's type or one of its
// bases changes (the type's version tag, which every change to the type, its
// MRO or a base's attributes resets). Version tags are never reused, so an
// entry cannot match a later type at the same address. One gap is
// CPython's own: when a base changes, the subclasses lose their tags first,
// then the base's type watchers run (and sys.unraisablehook, when one
// fails), and only then the base loses its own tag. A module call made from
// there gives a subclass a fresh tag while the base still has its old
// attributes, and an answer kept under that tag outlives the change, just
// as the interpreter's own type attribute cache does for lookups made
// there.
//
// Every key is taken before the lookups and tests run, and the answer is
// stored only if all keys are unchanged after them: the tests may run code
// (a class-dictionary key's __eq__, a hook that removes itself) that changes
// what the answer describes. Nothing here is dereferenced on the remembered
// path except the object's own type, so an unseen namespace change (a
// neighbour that unwatched the namespace) can make an answer stale, never
// read freed memory.
template <int N>
struct ClassTests {
    static constexpr int memo_size = 8;

    struct Entry {
        PyTypeObject* type = nullptr;  // not owned: compared by identity and version tag
        unsigned int version = 0;      // never 0 for a filled entry
        int answer = 0;
    };

    Id names[N];
    // The namespace generation and the classes the entries are valid for
    // (generation 0: none yet). The classes are compared by identity only.
    uint64_t generation = 0;
    PyObject* classes[N] = {};
    Entry entries[memo_size] = {};

    static int slot(PyTypeObject* type) noexcept {
        return static_cast<int>((reinterpret_cast<uintptr_t>(type) >> 5) % memo_size);
    }
};

// The full lookups and tests; kept out of line so that the remembered path
// stays small.
template <int N>
[[gnu::noinline]] int first_instance_uncached(ClassTests<N>& tests, PyObject* obj);

// 1 + the index of the first class that `obj` is an instance of, 0 when it
// is an instance of none; -1 with an exception set when a lookup or a test
// fails.
template <int N>
inline int first_instance(ClassTests<N>& tests, PyObject* obj) {
    if (caches_enabled && tests.generation == namespace_generation()) [[likely]] {
        PyTypeObject* type = Py_TYPE(obj);
        const auto& entry = tests.entries[ClassTests<N>::slot(type)];
        if (entry.type == type && entry.version == type->tp_version_tag) [[likely]] {
            return entry.answer;
        }
    }
    return first_instance_uncached(tests, obj);
}

}  // namespace tarvel

#include "shell/instance_tests.hpp"

#include "shell/cpython_compat.hpp"
#include "shell/state.hpp"

namespace tarvel {

namespace {

// A version tag for `type`, assigned now if it has none; 0 when the type
// cannot have one (then nothing about it is remembered). Assigning runs no
// code.
unsigned int version_of(PyTypeObject* type) {
    if (type->tp_version_tag == 0) {
        compat::assign_version_tag(type);
    }
    return type->tp_version_tag;
}

// Types whose `__class__` attribute is known to be object's own, keyed by
// type and version tag: a change to the type or its bases gives it a new
// tag, and tags are never reused, so an entry cannot go stale.
struct PlainClassMemo {
    static constexpr int size = 16;
    PyTypeObject* type[size] = {};  // not owned: compared by identity and version tag
    unsigned int version[size] = {};

    static int slot(PyTypeObject* t) { return static_cast<int>((reinterpret_cast<uintptr_t>(t) >> 6) % size); }
};

PlainClassMemo plain_class_memo;

// Whether `__class__`, found along the MRO of `type` as attribute access
// finds it, is object's own descriptor. False on error, with the error
// cleared: the caller then takes the interpreter's full instance test.
//
// A class dictionary may hold keys with their own __eq__, so each lookup
// may run code, which may even give the type new bases and free its old
// MRO tuple. The tuple is therefore held for the walk, as the interpreter's
// own attribute lookup does: the walk finishes on the MRO it started with.
bool class_attribute_is_objects(PyTypeObject* type) {
    Ref mro = Ref::borrow(type->tp_mro);
    if (!mro) {
        return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
        Ref dict{PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.get(), i)))};
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
    // The key is taken before the walk, which may run code that changes or
    // frees the type; the type is held, and the answer is kept only if the
    // type still has the tag it had before.
    Ref held = Ref::borrow(reinterpret_cast<PyObject*>(type));
    const unsigned int version = version_of(type);
    if (!class_attribute_is_objects(type)) {
        return false;
    }
    if (version != 0 && type->tp_version_tag == version) {
        plain_class_memo.type[slot] = type;
        plain_class_memo.version[slot] = version;
    }
    return true;
}

// isinstance(obj, cls) with the interpreter's semantics, answering the
// common cases without reading `obj.__class__`. `by_type` tells whether the
// answer followed from the object's type alone (its bases, or a type whose
// `__class__` is object's own) rather than from a hook.
int test_instance(PyObject* obj, PyObject* cls, bool& by_type) {
    by_type = false;
    if constexpr (!caches_enabled) {
        return PyObject_IsInstance(obj, cls);
    }
    PyTypeObject* type = Py_TYPE(obj);
    if (reinterpret_cast<PyObject*>(type) == cls) {
        by_type = true;
        return 1;
    }
    // A class whose metaclass is exactly `type` has the default instance
    // check: a subtype test, then the same test on `obj.__class__`. That
    // attribute is the object's own type unless its class changes attribute
    // access or overrides `__class__`, and then it cannot change the answer.
    if (PyType_CheckExact(cls)) {
        if (PyType_IsSubtype(type, reinterpret_cast<PyTypeObject*>(cls))) {
            by_type = true;
            return 1;
        }
        if (has_plain_class_attribute(type)) {
            by_type = true;
            return 0;
        }
    }
    return PyObject_IsInstance(obj, cls);
}

// Keys of one remembered answer, taken before the lookups and tests ran.
template <int N>
struct MemoKeys {
    uint64_t generation;
    PyTypeObject* type;
    unsigned int type_version;
    PyObject* classes[N];  // held by the caller

    // Whether nothing the answer depends on changed while the tests ran.
    bool unchanged(PyObject* obj) const {
        return namespace_generation() == generation && Py_TYPE(obj) == type && type->tp_version_tag == type_version;
    }
};

template <int N>
void remember(ClassTests<N>& tests, const MemoKeys<N>& keys, int answer) {
    bool same_classes = tests.generation == keys.generation;
    for (int i = 0; i < N && same_classes; ++i) {
        same_classes = tests.classes[i] == keys.classes[i];
    }
    if (!same_classes) {
        for (auto& entry : tests.entries) {
            entry = {};
        }
        for (int i = 0; i < N; ++i) {
            tests.classes[i] = keys.classes[i];
        }
        tests.generation = keys.generation;
    }
    tests.entries[ClassTests<N>::slot(keys.type)] = {keys.type, keys.type_version, answer};
}

}  // namespace

template <int N>
int first_instance_uncached(ClassTests<N>& tests, PyObject* obj) {
    MemoKeys<N> keys;
    keys.generation = namespace_generation();
    keys.type = Py_TYPE(obj);
    // Held while the tests run: code they run may give `obj` another class,
    // and the type's address must not be reused meanwhile.
    Ref held_type = Ref::borrow(reinterpret_cast<PyObject*>(keys.type));
    keys.type_version = caches_enabled ? version_of(keys.type) : 0;
    bool rememberable = keys.type_version != 0;

    Ref classes[N];
    for (int i = 0; i < N; ++i) {
        classes[i] = lookup_global(tests.names[i]);
        if (!classes[i]) {
            return -1;
        }
        keys.classes[i] = classes[i].get();
        rememberable = rememberable && cached_in_namespace(tests.names[i]) && PyType_CheckExact(classes[i].get());
    }

    int answer = 0;
    for (int i = 0; i < N; ++i) {
        // Each test must be of the type the answer is kept for: code run by
        // the lookups or an earlier test may have given `obj` another class.
        rememberable = rememberable && Py_TYPE(obj) == keys.type;
        bool by_type = false;
        const int rc = test_instance(obj, classes[i].get(), by_type);
        if (rc < 0) {
            return -1;
        }
        rememberable = rememberable && by_type;
        if (rc > 0) {
            answer = i + 1;
            break;
        }
    }
    if (rememberable && keys.unchanged(obj)) {
        remember(tests, keys, answer);
    }
    return answer;
}

template int first_instance_uncached(ClassTests<1>&, PyObject*);
template int first_instance_uncached(ClassTests<3>&, PyObject*);
template int first_instance_uncached(ClassTests<4>&, PyObject*);

}  // namespace tarvel

#include "shell/instance_tests.hpp"

#include "shell/cpython_compat.hpp"
#include "shell/state.hpp"

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
    if constexpr (!caches_enabled) {
        return PyObject_IsInstance(obj, cls);
    }
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

namespace {

// A version tag for `type`, assigned now if it has none; 0 when the type
// cannot have one (then nothing about it is remembered).
unsigned int version_of(PyTypeObject* type) {
    if (type->tp_version_tag == 0) {
        compat::assign_version_tag(type);
    }
    return type->tp_version_tag;
}

template <int N>
void remember(ClassTests<N>& tests, PyTypeObject* const* classes, uint64_t generation, PyTypeObject* type,
              int answer) {
    const unsigned int type_version = version_of(type);
    if (type_version == 0 || !has_plain_class_attribute(type)) {
        return;
    }
    unsigned int class_versions[N];
    for (int i = 0; i < N; ++i) {
        class_versions[i] = version_of(classes[i]);
        if (class_versions[i] == 0) {
            return;
        }
    }
    bool same_classes = tests.generation == generation;
    for (int i = 0; i < N && same_classes; ++i) {
        same_classes = tests.classes[i] == classes[i] && tests.class_versions[i] == class_versions[i];
    }
    if (!same_classes) {
        for (auto& entry : tests.entries) {
            entry = {};
        }
        for (int i = 0; i < N; ++i) {
            tests.classes[i] = classes[i];
            tests.class_versions[i] = class_versions[i];
        }
        tests.generation = generation;
    }
    tests.entries[ClassTests<N>::slot(type)] = {type, type_version, answer};
}

}  // namespace

template <int N>
int first_instance_uncached(ClassTests<N>& tests, PyObject* obj) {
    const uint64_t generation = namespace_generation();
    Ref classes[N];
    bool rememberable = true;
    for (int i = 0; i < N; ++i) {
        classes[i] = lookup_global(tests.names[i]);
        if (!classes[i]) {
            return -1;
        }
        rememberable = rememberable && cached_in_namespace(tests.names[i]) && PyType_CheckExact(classes[i].get());
    }
    int answer = 0;
    for (int i = 0; i < N; ++i) {
        const int rc = is_instance(obj, classes[i].get());
        if (rc < 0) {
            return -1;
        }
        if (rc > 0) {
            answer = i + 1;
            break;
        }
    }
    // Nothing is remembered if the namespace changed while the names were
    // looked up or the tests ran.
    if (rememberable && namespace_generation() == generation) {
        PyTypeObject* types[N];
        for (int i = 0; i < N; ++i) {
            types[i] = reinterpret_cast<PyTypeObject*>(classes[i].get());
        }
        remember(tests, types, generation, Py_TYPE(obj), answer);
    }
    return answer;
}

template int first_instance_uncached(ClassTests<1>&, PyObject*);
template int first_instance_uncached(ClassTests<3>&, PyObject*);
template int first_instance_uncached(ClassTests<4>&, PyObject*);

}  // namespace tarvel

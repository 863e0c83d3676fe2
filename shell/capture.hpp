// Capture records: the state an element function reads, one per call of
// `_apply_nlfunc` or `signpow`, recycled through a short free list.
#pragma once

#include <Python.h>

#include "shell/ref.hpp"

namespace tarvel {

enum class CaptureKind : int { apply_nlfunc, signpow };

struct CaptureRecord {
    PyObject_HEAD
    PyObject* value;  // `nl_func` or `tree2`; null until the owner fills it
};

// Records given back by deallocation, ready for reuse by the same type.
struct RecyclingList {
    static constexpr int limit = 8;
    PyObject* items[limit];
    int count = 0;
};

extern PyTypeObject capture_types[2];
extern RecyclingList recycled_captures[2];

// The value an element function reads from its record `closure`, held;
// None when the value or the record itself is missing (a cleared record, or
// a cleared function object that no longer has one).
inline Ref captured_value(PyObject* closure) {
    PyObject* value = closure != nullptr ? reinterpret_cast<CaptureRecord*>(closure)->value : nullptr;
    return Ref::borrow(value != nullptr ? value : Py_None);
}

// Readies both record types. Returns -1 with an exception set on failure.
int ready_capture_types();

// A newly allocated record, for when the recycling list is empty.
[[gnu::noinline]] CaptureRecord* allocate_capture(PyTypeObject* type);

// A new, empty record of the kind, registered with the garbage collector;
// null with an exception set when memory runs out.
inline CaptureRecord* new_capture(CaptureKind kind) {
    const int index = static_cast<int>(kind);
    RecyclingList& list = recycled_captures[index];
    if (list.count > 0) [[likely]] {
        PyObject* obj = list.items[--list.count];
        reinterpret_cast<CaptureRecord*>(obj)->value = nullptr;
        PyObject_Init(obj, &capture_types[index]);
        PyObject_GC_Track(obj);
        return reinterpret_cast<CaptureRecord*>(obj);
    }
    return allocate_capture(&capture_types[index]);
}

}  // namespace tarvel

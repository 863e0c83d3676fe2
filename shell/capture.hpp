// Capture records: the state an element function reads, one per call of
// `_apply_nlfunc` or `signpow`, recycled through a short free list.
#pragma once

#include <Python.h>

namespace tarvel {

enum class CaptureKind : int { apply_nlfunc, signpow };

struct CaptureRecord {
    PyObject_HEAD
    PyObject* value;  // `nl_func` or `tree2`; null until the owner fills it
};

// Readies both record types. Returns -1 with an exception set on failure.
int ready_capture_types();

// A new, empty record of the kind (taken from the free list when possible).
CaptureRecord* new_capture(CaptureKind kind);

}  // namespace tarvel

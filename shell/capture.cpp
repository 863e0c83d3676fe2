#include "shell/capture.hpp"

namespace tarvel {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
PyTypeObject capture_types[2] = {
    {PyVarObject_HEAD_INIT(nullptr, 0)},
    {PyVarObject_HEAD_INIT(nullptr, 0)},
};
#pragma GCC diagnostic pop

RecyclingList recycled_captures[2];

CaptureRecord* allocate_capture(PyTypeObject* type) {
    return reinterpret_cast<CaptureRecord*>(type->tp_alloc(type, 0));
}

namespace {

// The recycling list of a record type; null for any other type.
RecyclingList* recycling_list_of(PyTypeObject* type) {
    if (type == &capture_types[0]) {
        return &recycled_captures[0];
    }
    if (type == &capture_types[1]) {
        return &recycled_captures[1];
    }
    return nullptr;
}

// tp_new of the record types: as new_capture, for whichever type asks.
PyObject* capture_alloc(PyTypeObject* type, PyObject*, PyObject*) {
    if (RecyclingList* list = recycling_list_of(type)) {
        return reinterpret_cast<PyObject*>(new_capture(static_cast<CaptureKind>(list - recycled_captures)));
    }
    return type->tp_alloc(type, 0);
}

void capture_dealloc(PyObject* obj) {
    PyObject_GC_UnTrack(obj);
    Py_CLEAR(reinterpret_cast<CaptureRecord*>(obj)->value);
    RecyclingList* list = recycling_list_of(Py_TYPE(obj));
    if (list != nullptr && list->count < RecyclingList::limit) {
        list->items[list->count++] = obj;
        return;
    }
    Py_TYPE(obj)->tp_free(obj);
}

int capture_traverse(PyObject* obj, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<CaptureRecord*>(obj)->value);
    return 0;
}

int capture_clear(PyObject* obj) {
    auto* record = reinterpret_cast<CaptureRecord*>(obj);
    if (record->value != nullptr) {
        PyObject* old = record->value;
        record->value = Py_NewRef(Py_None);
        Py_DECREF(old);
    }
    return 0;
}

void init_capture_type(PyTypeObject& type, const char* name) {
    type.tp_name = name;
    type.tp_basicsize = sizeof(CaptureRecord);
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    type.tp_new = capture_alloc;
    type.tp_dealloc = capture_dealloc;
    type.tp_traverse = capture_traverse;
    type.tp_clear = capture_clear;
}

}  // namespace

int ready_capture_types() {
    const char* names[2] = {"tarvelpy._helpers._apply_nlfunc_capture", "tarvelpy._helpers.signpow_capture"};
    for (int i = 0; i < 2; ++i) {
        PyTypeObject& type = capture_types[i];
        if (type.tp_flags & Py_TPFLAGS_READY) {
            continue;
        }
        init_capture_type(type, names[i]);
        if (PyType_Ready(&type) < 0) {
            return -1;
        }
    }
    return 0;
}

}  // namespace tarvel

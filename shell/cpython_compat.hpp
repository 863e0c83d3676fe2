// The module's only uses of CPython API outside the stable public surface,
// and every difference between the supported versions, gathered here so that
// a new interpreter version is checked in one place. Everything else the
// module calls is public, documented C API, the same in all three.
//
// Inventory:                      3.13            3.14            3.15
//   module slot numbers           1, 2            1, 2            84, 85 (1, 2 accepted)
//   PyUnstable_Code_New...        same signature in all three
//   PyUnstable_Type_Assign...     same in all three
//   unicode_equal                 PyUnicode_Compare  PyUnicode_Equal (weak)
//   next_item                     inline, in all three (3.14 and 3.15 also
//                                 have PyIter_NextItem, which 3.13 lacks)
//   is_lazy_import                never           never           PyLazyImport_Type (weak)
//
// A build for one version must load into another far enough to report the
// mismatch (the exec step's version check), so a symbol that an older
// runtime lacks is referenced weakly: it is null there, and its absence is
// tested before use.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030D0000
#error "tarvelpy._helpers needs CPython 3.13 or newer"
#endif

#if PY_VERSION_HEX >= 0x030E0000
extern "C" [[gnu::weak]] int PyUnicode_Equal(PyObject*, PyObject*);
#endif
// 3.15's lazy imports bind a placeholder of this type until first use. No
// header outside CPython's internal ones declares it and no C API tests for
// it, but the interpreter exports it under this public name.
#if PY_VERSION_HEX >= 0x030F0000
extern "C" [[gnu::weak]] PyTypeObject PyLazyImport_Type;
#endif

namespace tarvel::compat {

// Module-definition slots, by the numbers that every supported runtime reads.
// 3.15 renumbered the slots (Py_mod_create 1 -> 84, Py_mod_exec 2 -> 85) and
// still accepts the old numbers; 3.13 and 3.14 know only the old ones. With
// the old numbers a build for one version that is loaded by another gets as far as
// the exec step's version check, which names the mismatch, instead of
// stopping at "unknown slot ID".
inline constexpr int module_create_slot = 1;
inline constexpr int module_exec_slot = 2;
#if PY_VERSION_HEX < 0x030F0000
static_assert(Py_mod_create == module_create_slot && Py_mod_exec == module_exec_slot);
#endif

// Code objects that describe the functions (parameters, locals, first line)
// for introspection. The only constructor taking all of that is the
// unstable PyUnstable_Code_NewWithPosOnlyArgs; its signature is the same in
// 3.13, 3.14 and 3.15. A version that changes it changes only this wrapper.
// `body` gives the instructions, their line table and the stack size they
// need (see code_objects.cpp).
struct CodeBody {
    PyObject* instructions;
    PyObject* line_table;
    int stack_size;
};

inline PyObject* new_code(int argcount, int nlocals, int flags, const CodeBody& body, PyObject* empty_bytes,
                          PyObject* empty_tuple, PyObject* varnames, PyObject* filename, PyObject* name,
                          int first_line) {
    return reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, body.stack_size, flags, body.instructions, empty_tuple, empty_tuple, varnames,
        empty_tuple, empty_tuple, filename, name, name, first_line, body.line_table, empty_bytes));
}

// Gives a type a version tag if it has none, so that facts about the type
// can be remembered under (type, tag). Tags are what the interpreter's own
// caches key on; a type has none until its first cached attribute lookup,
// and none again after a change until the next one. Unstable API, the same
// in 3.13, 3.14 and 3.15; 0 means the type cannot get one (too many
// changes), and then nothing about it is remembered.
inline void assign_version_tag(PyTypeObject* type) { (void)PyUnstable_Type_AssignVersionTag(type); }

// Equality by value of two exact strings; cannot fail. PyUnicode_Equal on
// 3.14 and 3.15. 3.13 has none: there PyUnicode_Compare, which for two
// strings cannot fail either and gives 0 exactly when they are equal.
inline int unicode_equal(PyObject* a, PyObject* b) {
#if PY_VERSION_HEX >= 0x030E0000
    if (&PyUnicode_Equal != nullptr) [[likely]] {
        return PyUnicode_Equal(a, b);
    }
#endif
    return PyUnicode_Compare(a, b) == 0;
}

// The next item of an iterator from its next slot `next` (never null), as a
// new reference, or null: exhausted when no exception is pending afterwards
// (a pending StopIteration or subclass also means exhausted, and is
// cleared), failed when one is. This and the next are PyIter_NextItem of
// 3.14 and 3.15 without the out-parameter and the status, inline for the
// summation loop, where the call through the library costs as much as the
// loop's own work per item; 3.13 has no PyIter_NextItem at all.
inline PyObject* next_item(PyObject* iterator, iternextfunc next) {
    PyObject* item = next(iterator);
    if (item == nullptr && PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_StopIteration)) [[unlikely]] {
        PyErr_Clear();
    }
    return item;
}

// The same from the slot the iterator's class has now, read on every call
// as the interpreter's own loops do, with PyIter_NextItem's TypeError when
// it has none (its class may have been changed to one without).
inline PyObject* next_item(PyObject* iterator) {
    const iternextfunc next = Py_TYPE(iterator)->tp_iternext;
    if (next == nullptr) [[unlikely]] {
        PyErr_Format(PyExc_TypeError, "expected an iterator, got '%T'", iterator);
        return nullptr;
    }
    return next_item(iterator, next);
}

// Whether `value` is a lazy-import placeholder; never on 3.13 and 3.14,
// which have none.
inline bool is_lazy_import([[maybe_unused]] PyObject* value) {
#if PY_VERSION_HEX >= 0x030F0000
    return &PyLazyImport_Type != nullptr && Py_IS_TYPE(value, &PyLazyImport_Type);
#else
    return false;
#endif
}

}  // namespace tarvel::compat

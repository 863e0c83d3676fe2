// The module's only uses of CPython API outside the stable public surface,
// gathered here so that a new interpreter version is checked in one place.
// Everything else the module calls is public, documented C API.
#pragma once

#include <Python.h>

#if PY_VERSION_HEX < 0x030E0000
#error "tarvelpy._helpers needs CPython 3.14 or newer"
#endif

namespace tarvel::compat {

// Module-definition slots, by the numbers that every supported runtime reads.
// 3.15 renumbered the slots (Py_mod_create 1 -> 84, Py_mod_exec 2 -> 85) and
// still accepts the old numbers; 3.14 knows only the old ones. With the old
// numbers a build for one version that is loaded by the other gets as far as
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
// 3.14 and 3.15. A version that changes it changes only this wrapper.
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
// in 3.14 and 3.15; 0 means the type cannot get one (too many changes), and
// then nothing about it is remembered.
inline void assign_version_tag(PyTypeObject* type) { (void)PyUnstable_Type_AssignVersionTag(type); }

}  // namespace tarvel::compat

// Process-wide state of the module: filled when the module is executed and
// kept until the process ends (the module refuses a second interpreter, so a
// single instance is enough).
#pragma once

#include <Python.h>

#include <cstdint>

#include "shell/identifiers.hpp"

namespace tarvel {

// Code objects, one per registered function and one per element function.
enum class CodeIndex : int {
    quicksum,
    multidict,
    apply_nlfunc,
    sqrt,
    sin,
    cos,
    tan,
    exp,
    log,
    log2,
    log10,
    logistic,
    tanh,
    square,
    signpow,
    apply_lambda,
    signpow_lambda,
    count
};

inline constexpr int code_count = static_cast<int>(CodeIndex::count);

struct ModuleState {
    PyObject* executed_module = nullptr;  // strong; cleared if its exec step fails
    int64_t owner_interpreter = -1;
    PyObject* ns = nullptr;        // the module namespace (strong)
    PyObject* builtins = nullptr;  // the builtins module (strong)
    PyObject* zip = nullptr;       // builtins.zip as it was at initialisation
    PyObject* codes[code_count] = {};
    PyObject* binding_entry_codes[code_count] = {};  // traceback entries at each def line
    PyTypeObject* function_type = nullptr;
    PyObject* zero = nullptr;                 // the `axis` value of `sum(axis=0)`
    PyObject* axis_kwnames = nullptr;         // ("axis",)
    PyObject* tupledict_warning = nullptr;    // quicksum's deprecation message
    PyObject* object_class_attribute = nullptr;  // object.__dict__["__class__"]
};

extern ModuleState state;

inline PyObject* code_object(CodeIndex index) noexcept {
    return state.codes[static_cast<int>(index)];
}

}  // namespace tarvel

// Steps shared by `_apply_nlfunc` and `signpow`.
#pragma once

#include <Python.h>

#include "shell/identifiers.hpp"
#include "shell/namespace.hpp"
#include "shell/ref.hpp"

namespace tarvel {

// Whether `arg` is matrix-shaped: an instance of MVar, MLinExpr, MQuadExpr
// or MNLExpr as currently bound in the module (-1 with an exception set).
int is_matrix_operand(PyObject* arg);

// Looks up the class `class_name`, fetches its attribute `attribute` and
// calls it with `arg`.
inline Ref call_class_attribute(Id class_name, Id attribute, PyObject* arg) {
    Ref cls = lookup_global(class_name);
    if (!cls) {
        return Ref();
    }
    Ref method{PyObject_GetAttr(cls.get(), str(attribute))};
    if (!method) {
        return Ref();
    }
    return Ref(PyObject_CallOneArg(method.get(), arg));
}

// `np.vectorize(element_function)`, as a method call on the module.
Ref vectorize(PyObject* np, PyObject* element_function);

// Looks up MNLExpr, maps the tree array and wraps the mapped array.
PyObject* map_to_mnlexpr(PyObject* map_nl_func, PyObject* tree_array);

}  // namespace tarvel

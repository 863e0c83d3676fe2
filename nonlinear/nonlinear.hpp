// Nonlinear expression constructors.
#pragma once

#include "shell/function.hpp"

namespace tarvel {

PyObject* apply_nlfunc_body(FunctionObject* self, PyObject* const* args);
PyObject* apply_nlfunc_element_body(FunctionObject* self, PyObject* const* args);
PyObject* unary_body(FunctionObject* self, PyObject* const* args);
PyObject* signpow_body(FunctionObject* self, PyObject* const* args);
PyObject* signpow_element_body(FunctionObject* self, PyObject* const* args);

}  // namespace tarvel

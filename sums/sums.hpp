// Summation and dictionary helpers.
#pragma once

#include "shell/function.hpp"

namespace tarvel {

PyObject* quicksum_body(FunctionObject* self, PyObject* const* args);
PyObject* multidict_body(FunctionObject* self, PyObject* const* args);

}  // namespace tarvel

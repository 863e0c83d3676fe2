#pragma once

#include <Python.h>

#include "shell/function.hpp"

namespace tarvel {

// The vectorcall entry of every function object.
PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames);

}  // namespace tarvel

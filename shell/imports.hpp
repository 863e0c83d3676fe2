// The module import routine and `from module import name`.
#pragma once

#include <Python.h>

#include "shell/ref.hpp"

namespace tarvel {

// Absolute import of a dotted module name that reuses a module already in
// sys.modules. `fromlist` may be null.
Ref import_module(PyObject* name, PyObject* const* fromlist, Py_ssize_t fromlist_size);

// `from module import name`: ImportError "cannot import name %S" on failure.
Ref import_name(PyObject* module, PyObject* name);

}  // namespace tarvel

// Services every function body uses: late-bound module-level names and the
// module import routine.
#pragma once

#include <Python.h>

#include "shell/identifiers.hpp"
#include "shell/ref.hpp"

namespace tarvel {

// Reads a module-level name at call time: the module namespace first, then
// `builtins`, else NameError.
Ref lookup_global(Id name);

// Starts watching a (new) module namespace, so that lookups may keep what
// they found there until the namespace next changes. Returns -1 with an
// exception set on failure.
int watch_namespace(PyObject* ns);

// isinstance(obj, cls) with the interpreter's semantics, answering the
// common cases without reading `obj.__class__`.
int is_instance(PyObject* obj, PyObject* cls);

// Absolute import of a dotted module name that reuses a module already in
// sys.modules. `fromlist` may be null.
Ref import_module(PyObject* name, PyObject* const* fromlist, Py_ssize_t fromlist_size);

// `from module import name`: ImportError "cannot import name %S" on failure.
Ref import_name(PyObject* module, PyObject* name);

}  // namespace tarvel

namespace tarvel {

// Looks up every class name first, then tests `obj` against them in order
// (subclasses and instance-check hooks count): 1 at the first match, 0 for
// none, -1 with an exception set on error.
int is_instance_of_named(PyObject* obj, const Id* class_names, int count);

}  // namespace tarvel

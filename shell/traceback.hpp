// Traceback entries for failures inside the module's compiled functions.
#pragma once

#include <Python.h>

namespace tarvel {

// Adds a frame named `function_name` at `line` of the module's source file to
// the pending exception's traceback.
void add_traceback(const char* function_name, int line);

// As above, for a site of its own (argument binding of one function) whose
// code object is kept in `code_slot` instead of the shared table.
void add_traceback(PyObject*& code_slot, const char* function_name, int line);

inline constexpr const char* source_file = "src/tarvelpy/_helpers";

}  // namespace tarvel

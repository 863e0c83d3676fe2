// Traceback entries for failures inside the module's compiled functions.
#pragma once

#include <Python.h>

namespace tarvel {

// Adds a frame named `function_name` at `line` of the module's source file to
// the pending exception's traceback.
void add_traceback(const char* function_name, int line);

inline constexpr const char* source_file = "src/tarvelpy/_helpers";

}  // namespace tarvel

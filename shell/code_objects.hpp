#pragma once

namespace tarvel {

// Makes the seventeen code objects into the module state (kept on a retried
// initialisation). Returns -1 with an exception set on failure.
int make_code_objects();

}  // namespace tarvel

// Whether the module's memos, caches and fast paths are built in.
//
// Configuring with TARVELPY_NO_CACHES=ON defines TARVELPY_NO_CACHES, and the
// same sources then take the plain C-API path everywhere: every module-level
// name is looked up in the namespace dictionary, every instance test is
// PyObject_IsInstance, an iterator's next slot is read for every item, and
// the module's own functions call each other through PyObject_Vectorcall.
// That build is the reference a differential test compares the normal build
// with: whatever a cache remembers must give exactly what the plain path
// gives at that moment.
#pragma once

namespace tarvel {

#ifdef TARVELPY_NO_CACHES
inline constexpr bool caches_enabled = false;
#else
inline constexpr bool caches_enabled = true;
#endif

}  // namespace tarvel

#include "shell/traceback.hpp"

#include <frameobject.h>

#include <cstring>

#include "shell/ref.hpp"
#include "shell/state.hpp"

namespace tarvel {

namespace {

// Code objects of traceback entries, keyed by function name and line, made
// once and kept for the life of the process.
struct EntryCode {
    const char* function_name;
    int line;
    PyObject* code;
};

struct EntryCodeTable {
    EntryCode* items = nullptr;
    Py_ssize_t size = 0;
    Py_ssize_t capacity = 0;

    PyObject* find(const char* function_name, int line) const {
        for (Py_ssize_t i = 0; i < size; ++i) {
            const EntryCode& e = items[i];
            if (e.line == line &&
                (e.function_name == function_name || std::strcmp(e.function_name, function_name) == 0)) {
                return e.code;
            }
        }
        return nullptr;
    }

    // Takes over `code`. On allocation failure the code object is simply
    // not cached.
    void insert(const char* function_name, int line, PyObject* code) {
        if (size == capacity) {
            Py_ssize_t grown = capacity ? capacity * 2 : 32;
            auto* more = static_cast<EntryCode*>(PyMem_RawRealloc(items, grown * sizeof(EntryCode)));
            if (more == nullptr) {
                Py_DECREF(code);
                return;
            }
            items = more;
            capacity = grown;
        }
        items[size++] = EntryCode{function_name, line, code};
    }
};

EntryCodeTable entry_codes;

// The entry's code object (borrowed from the table when cached, else owned
// by `holder`). Keeps the pending exception unless making the code fails.
PyObject* entry_code(const char* function_name, int line, Ref& holder) {
    if (PyObject* cached = entry_codes.find(function_name, line)) {
        return cached;
    }
    PyObject* pending = PyErr_GetRaisedException();
    PyCodeObject* code = PyCode_NewEmpty(source_file, function_name, line);
    if (code == nullptr) {
        Py_XDECREF(pending);
        return nullptr;
    }
    PyErr_SetRaisedException(pending);
    holder.reset(Py_NewRef(reinterpret_cast<PyObject*>(code)));
    entry_codes.insert(function_name, line, reinterpret_cast<PyObject*>(code));
    return holder.get();
}

}  // namespace

void add_traceback(const char* function_name, int line) {
    Ref holder;
    PyObject* code = entry_code(function_name, line, holder);
    if (code == nullptr) {
        return;
    }
    PyObject* pending = PyErr_GetRaisedException();
    Ref frame{reinterpret_cast<PyObject*>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), state.ns, nullptr))};
    if (!frame) {
        Py_XDECREF(pending);
        return;
    }
    PyErr_SetRaisedException(pending);
    // On failure the interpreter leaves its own error pending, chained to
    // the original one; there is nothing more to undo here.
    (void)PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
}

}  // namespace tarvel

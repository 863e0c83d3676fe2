#include "shell/traceback.hpp"

#include <frameobject.h>

#include <cstdint>

#include "shell/ref.hpp"
#include "shell/state.hpp"

namespace tarvel {

namespace {

// Code objects of traceback entries, keyed by function name and line, made
// once and kept for the life of the process. Every function name comes from
// a function's static definition (or the initialisation's own constant), so
// the name's address identifies it; lookups hash address and line, and cost
// the same however many failure sites the process has seen.
struct EntryCode {
    const char* function_name;
    int line;
    PyObject* code;
};

struct EntryCodeTable {
    EntryCode* slots = nullptr;  // open addressing; a null name marks a free slot
    Py_ssize_t capacity = 0;     // a power of two, or 0
    Py_ssize_t size = 0;

    static size_t hash(const char* function_name, int line) {
        const auto bits = reinterpret_cast<uintptr_t>(function_name) ^ (static_cast<uintptr_t>(line) * 0x9E3779B97F4A7C15u);
        return static_cast<size_t>(bits ^ (bits >> 29));
    }

    PyObject* find(const char* function_name, int line) const {
        if (capacity == 0) {
            return nullptr;
        }
        const size_t mask = static_cast<size_t>(capacity) - 1;
        for (size_t i = hash(function_name, line) & mask;; i = (i + 1) & mask) {
            const EntryCode& e = slots[i];
            if (e.function_name == nullptr) {
                return nullptr;
            }
            if (e.function_name == function_name && e.line == line) {
                return e.code;
            }
        }
    }

    void place(const EntryCode& entry) {
        const size_t mask = static_cast<size_t>(capacity) - 1;
        size_t i = hash(entry.function_name, entry.line) & mask;
        while (slots[i].function_name != nullptr) {
            i = (i + 1) & mask;
        }
        slots[i] = entry;
    }

    // Takes over `code`. On allocation failure the code object is simply
    // not cached.
    void insert(const char* function_name, int line, PyObject* code) {
        if (2 * (size + 1) > capacity) {
            const Py_ssize_t grown = capacity ? capacity * 2 : 64;
            auto* more = static_cast<EntryCode*>(PyMem_RawCalloc(static_cast<size_t>(grown), sizeof(EntryCode)));
            if (more == nullptr) {
                Py_DECREF(code);
                return;
            }
            EntryCode* old = slots;
            const Py_ssize_t old_capacity = capacity;
            slots = more;
            capacity = grown;
            for (Py_ssize_t i = 0; i < old_capacity; ++i) {
                if (old[i].function_name != nullptr) {
                    place(old[i]);
                }
            }
            PyMem_RawFree(old);
        }
        place(EntryCode{function_name, line, code});
        ++size;
    }
};

EntryCodeTable entry_codes;

// A new code object for an entry; keeps the pending exception unless
// making the code fails, whose error then replaces it.
PyObject* new_entry_code(const char* function_name, int line) {
    PyObject* pending = PyErr_GetRaisedException();
    PyCodeObject* code = PyCode_NewEmpty(source_file, function_name, line);
    if (code == nullptr) {
        Py_XDECREF(pending);
        return nullptr;
    }
    PyErr_SetRaisedException(pending);
    return reinterpret_cast<PyObject*>(code);
}

// Adds a frame of `code` to the pending exception's traceback.
void push_frame(PyObject* code) {
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

}  // namespace

void add_traceback(const char* function_name, int line) {
    if (PyObject* cached = entry_codes.find(function_name, line)) [[likely]] {
        push_frame(cached);
        return;
    }
    Ref code{new_entry_code(function_name, line)};
    if (!code) {
        return;
    }
    entry_codes.insert(function_name, line, Py_NewRef(code.get()));
    push_frame(code.get());
}

void add_traceback(PyObject*& code_slot, const char* function_name, int line) {
    if (code_slot == nullptr) [[unlikely]] {
        code_slot = new_entry_code(function_name, line);
        if (code_slot == nullptr) {
            return;
        }
    }
    push_frame(code_slot);
}

}  // namespace tarvel

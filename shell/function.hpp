// The module's function-object type: the fifteen module-level functions and
// the per-call element functions are all instances of it.
#pragma once

#include <Python.h>

#include "shell/identifiers.hpp"
#include "shell/plain_paths.hpp"
#include "shell/state.hpp"

namespace tarvel {

struct FunctionObject;

// A body receives its parameters already bound, in parameter order.
using Body = PyObject* (*)(FunctionObject* self, PyObject* const* args);

inline constexpr int max_parameters = 2;
inline constexpr int max_varnames = 8;

// Static description of one function.
struct FunctionDef {
    const char* call_name;   // used in argument-error messages
    const char* frame_name;  // function name of traceback entries
    Body body;
    const char* doc;  // nullptr: no docstring
    int def_line;
    int nparams;
    int nvarnames;
    Id varnames[max_varnames];  // parameters first, then further locals
    Id name;                    // interned call name, for __name__
    Id qualname;
    Id code_name;
    CodeIndex code;
    // Used by the unary nonlinear functions only.
    Id tree_attr = Id::count;
    int call_line = 0;
};

struct FunctionObject {
    PyObject_HEAD
    const FunctionDef* def;
    PyObject* module;       // __module__
    PyObject* weakreflist;
    vectorcallfunc vectorcall;
    PyObject* name;         // __name__, made on first read
    PyObject* qualname;
    PyObject* doc;          // __doc__, made on first read
    PyObject* globals;
    PyObject* code;
    PyObject* closure;      // capture record of element functions
    PyObject* defaults;
    PyObject* kwdefaults;
    PyObject* annotations;
    PyObject* is_coroutine;
    PyObject* dict;
};

// The definitions of the module-level functions and of the element
// functions, each made next to the body it names.
extern const FunctionDef quicksum_def;
extern const FunctionDef multidict_def;
extern const FunctionDef apply_nlfunc_def;
extern const FunctionDef sqrt_def;
extern const FunctionDef sin_def;
extern const FunctionDef cos_def;
extern const FunctionDef tan_def;
extern const FunctionDef exp_def;
extern const FunctionDef log_def;
extern const FunctionDef log2_def;
extern const FunctionDef log10_def;
extern const FunctionDef logistic_def;
extern const FunctionDef tanh_def;
extern const FunctionDef square_def;
extern const FunctionDef signpow_def;
extern const FunctionDef apply_lambda_def;
extern const FunctionDef signpow_lambda_def;

// The module-level functions in registration order.
extern const FunctionDef* const registered_functions[15];

// Makes (once) the function-object type into state.function_type.
int make_function_type();

// A new function object for a definition; `closure` may be null.
PyObject* new_function(const FunctionDef& def, PyObject* closure);

// Every entry into a function of the module takes the interpreter's
// recursion check first, as the interpreter's own call paths do: a call
// cycle made only of the module's functions and other C callables would
// otherwise never meet it and overflow the C stack. A call refused here
// never began and adds no traceback entry.
template <typename Run>
inline PyObject* inside_recursion_check(Run run) {
    if (Py_EnterRecursiveCall(" while calling a Python object") != 0) [[unlikely]] {
        return nullptr;
    }
    PyObject* result = run();
    Py_LeaveRecursiveCall();
    return result;
}

// Calls `callable` with positional arguments only. One of the module's own
// functions (exactly of the function type) is entered as its vectorcall
// entry would enter it with that many arguments, without the generic
// dispatch: its body when the count matches, the entry itself otherwise.
inline PyObject* call_positional(PyObject* callable, PyObject* const* args, Py_ssize_t nargs) {
    if (caches_enabled && Py_TYPE(callable) == state.function_type) {
        auto* function = reinterpret_cast<FunctionObject*>(callable);
        if (nargs == function->def->nparams) {
            return inside_recursion_check([&] { return function->def->body(function, args); });
        }
    }
    return PyObject_Vectorcall(callable, args, static_cast<size_t>(nargs), nullptr);
}

// Adds the traceback entry of `self` at `line` to the pending exception and
// returns null, so that a body can `return fail(self, line);`.
PyObject* fail(FunctionObject* self, int line);

// The attribute table of the type.
extern PyGetSetDef function_getset[];

// Short name of the type, used in its repr and in warning texts.
#define TARVEL_FUNCTION_SHORT_NAME "helpers_function"
inline constexpr const char* function_type_short_name = TARVEL_FUNCTION_SHORT_NAME;

}  // namespace tarvel

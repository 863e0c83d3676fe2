// Code objects of the functions: they describe each function's parameters,
// locals and first line for introspection.
#include "shell/code_objects.hpp"

#include "shell/cpython_compat.hpp"
#include "shell/function.hpp"
#include "shell/ref.hpp"
#include "shell/traceback.hpp"

namespace tarvel {

namespace {

constexpr int optimized_new_locals = CO_OPTIMIZED | CO_NEWLOCALS;

// The instructions are never meant to run, but a code object can be run
// from Python (types.FunctionType(f.__code__, {})()), and the eval loop
// trusts its instructions. So they are those of PyCode_NewEmpty, which
// raise AssertionError at the first line whatever the interpreter version's
// instruction set: its instruction bytes, line table and stack size. They
// use no constants, names, locals or exception handlers; a version whose
// body needs any of them fails the module's initialisation here rather
// than give the eval loop instructions that read past empty tables.
struct RaisingBody {
    Ref instructions;
    Ref line_table;
    int stack_size = 0;

    bool make() {
        Ref sample{reinterpret_cast<PyObject*>(PyCode_NewEmpty(source_file, "<raising>", 1))};
        if (!sample) {
            return false;
        }
        instructions.reset(PyObject_GetAttrString(sample.get(), "co_code"));
        line_table.reset(PyObject_GetAttrString(sample.get(), "co_linetable"));
        Ref stack_size_obj{PyObject_GetAttrString(sample.get(), "co_stacksize")};
        if (!instructions || !line_table || !stack_size_obj) {
            return false;
        }
        stack_size = PyLong_AsInt(stack_size_obj.get());
        if (stack_size == -1 && PyErr_Occurred()) {
            return false;
        }
        for (const char* table : {"co_consts", "co_names", "co_exceptiontable"}) {
            Ref value{PyObject_GetAttrString(sample.get(), table)};
            if (!value) {
                return false;
            }
            const Py_ssize_t size = PyObject_Length(value.get());
            if (size < 0) {
                return false;
            }
            if (size != 0) {
                PyErr_Format(PyExc_SystemError, "PyCode_NewEmpty gives a body with a non-empty %s", table);
                return false;
            }
        }
        return true;
    }
};

PyObject* make_code(const FunctionDef& def, const RaisingBody& body, PyObject* empty_bytes, PyObject* empty_tuple,
                    PyObject* filename) {
    Ref varnames{PyTuple_New(def.nvarnames)};
    if (!varnames) {
        return nullptr;
    }
    for (int i = 0; i < def.nvarnames; ++i) {
        PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(str(def.varnames[i])));
    }
    PyObject* name = str(def.code_name);
    const compat::CodeBody code_body{body.instructions.get(), body.line_table.get(), body.stack_size};
    return compat::new_code(def.nparams, def.nvarnames, optimized_new_locals, code_body, empty_bytes, empty_tuple,
                            varnames.get(), filename, name, def.def_line);
}

}  // namespace

int make_code_objects() {
    Ref empty_bytes{PyBytes_FromStringAndSize(nullptr, 0)};
    Ref empty_tuple{PyTuple_New(0)};
    Ref filename{PyUnicode_FromString(source_file)};
    if (!empty_bytes || !empty_tuple || !filename) {
        return -1;
    }
    const FunctionDef* defs[code_count];
    for (int i = 0; i < 15; ++i) {
        defs[i] = registered_functions[i];
    }
    defs[static_cast<int>(CodeIndex::apply_lambda)] = &apply_lambda_def;
    defs[static_cast<int>(CodeIndex::signpow_lambda)] = &signpow_lambda_def;
    // The line table holds lines relative to the first line, so one body
    // serves every function.
    RaisingBody body;
    if (!body.make()) {
        return -1;
    }
    for (const FunctionDef* def : defs) {
        PyObject*& slot = state.codes[static_cast<int>(def->code)];
        if (slot != nullptr) {
            continue;
        }
        slot = make_code(*def, body, empty_bytes.get(), empty_tuple.get(), filename.get());
        if (slot == nullptr) {
            return -1;
        }
    }
    return 0;
}

}  // namespace tarvel

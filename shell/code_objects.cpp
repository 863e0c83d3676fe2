// Code objects of the functions: they describe each function's parameters,
// locals and first line for introspection and are never executed.
#include "shell/code_objects.hpp"

#include "shell/cpython_compat.hpp"
#include "shell/function.hpp"
#include "shell/ref.hpp"
#include "shell/traceback.hpp"

namespace tarvel {

namespace {

constexpr int optimized_new_locals = CO_OPTIMIZED | CO_NEWLOCALS;

PyObject* make_code(const FunctionDef& def, PyObject* empty_bytes, PyObject* empty_tuple, PyObject* filename) {
    Ref varnames{PyTuple_New(def.nvarnames)};
    if (!varnames) {
        return nullptr;
    }
    for (int i = 0; i < def.nvarnames; ++i) {
        PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(str(def.varnames[i])));
    }
    PyObject* name = str(def.code_name);
    return compat::new_code(def.nparams, def.nvarnames, optimized_new_locals, empty_bytes, empty_tuple,
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
    for (const FunctionDef* def : defs) {
        PyObject*& slot = state.codes[static_cast<int>(def->code)];
        if (slot != nullptr) {
            continue;
        }
        slot = make_code(*def, empty_bytes.get(), empty_tuple.get(), filename.get());
        if (slot == nullptr) {
            return -1;
        }
    }
    return 0;
}

}  // namespace tarvel

// Entry point and initialisation of the module.
//
// The module keeps process-wide state and therefore lives in one
// interpreter only; once executed, every later import (after removal from
// sys.modules, or a reload) gets the very same module object back.
#include <cstdio>
#include <iterator>

#include "shell/capture.hpp"
#include "shell/code_objects.hpp"
#include "shell/cpython_compat.hpp"
#include "shell/function.hpp"
#include "shell/imports.hpp"
#include "shell/namespace.hpp"
#include "shell/ref.hpp"
#include "shell/state.hpp"
#include "shell/traceback.hpp"

namespace tarvel {

ModuleState state;

namespace {

constexpr const char* init_frame_name = "init tarvelpy._helpers";

int init_failure(int line) {
    add_traceback(init_frame_name, line);
    return -1;
}

void replace(PyObject*& slot, PyObject* stolen) {
    PyObject* old = slot;
    slot = stolen;
    Py_XDECREF(old);
}

// The module's state belongs to the interpreter that first created the
// module, and lives as long as the process. An application that embeds the
// interpreter may finalise it and initialise a new one, whose main
// interpreter has the same id again while the state's objects are gone; so
// the owner is also marked in its interpreter dictionary, which dies with
// it. Nothing of the module's state may be touched before this check: the
// marker key is made from C text each time.
constexpr const char* owner_mark = "tarvelpy._helpers: owner of the module state";

// 1 when `interp` carries the owner's mark, 0 when not, -1 with an
// exception set when its dictionary cannot be had.
int owner_marked(PyInterpreterState* interp, bool set_mark) {
    PyObject* dict = PyInterpreterState_GetDict(interp);
    if (dict == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_NoMemory();
        }
        return -1;
    }
    if (set_mark) {
        return PyDict_SetItemString(dict, owner_mark, Py_True) < 0 ? -1 : 1;
    }
    return PyDict_ContainsString(dict, owner_mark);
}

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    PyInterpreterState* interp = PyInterpreterState_Get();
    int64_t id = PyInterpreterState_GetID(interp);
    if (id == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    const bool first = state.owner_interpreter == -1;
    const int marked = first || state.owner_interpreter == id ? owner_marked(interp, first) : 0;
    if (marked < 0) {
        return nullptr;
    }
    if (first) {
        state.owner_interpreter = id;
    } else if (marked == 0) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (state.executed_module != nullptr) {
        return Py_NewRef(state.executed_module);
    }
    Ref name{PyObject_GetAttrString(spec, "name")};
    if (!name) {
        return nullptr;
    }
    Ref module{PyModule_NewObject(name.get())};
    if (!module) {
        return nullptr;
    }
    PyObject* module_dict = PyModule_GetDict(module.get());
    struct Copy {
        const char* from;
        const char* to;
        bool skip_none;
    };
    const Copy copies[] = {
        {"loader", "__loader__", false},
        {"origin", "__file__", false},
        {"parent", "__package__", false},
        {"submodule_search_locations", "__path__", true},
    };
    for (const Copy& copy : copies) {
        PyObject* raw = nullptr;
        int rc = PyObject_GetOptionalAttrString(spec, copy.from, &raw);
        Ref value{raw};
        if (rc < 0) {
            return nullptr;
        }
        if (rc == 0 || (copy.skip_none && value.get() == Py_None)) {
            continue;
        }
        if (PyDict_SetItemString(module_dict, copy.to, value.get()) < 0) {
            return nullptr;
        }
    }
    return module.release();
}

// Warns when the interpreter running the module is not the minor version
// whose headers it was compiled against; patch level and release bits are
// ignored.
int check_runtime_version() {
    const unsigned long version = Py_Version;
    constexpr unsigned long compiled = (PY_MAJOR_VERSION << 8) | PY_MINOR_VERSION;
    if ((version >> 16) == compiled) {
        return 0;
    }
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", PY_MAJOR_VERSION,
                  PY_MINOR_VERSION, "tarvelpy._helpers", "does not match", static_cast<int>((version >> 24) & 0xFF),
                  static_cast<int>((version >> 16) & 0xFF));
    return PyErr_WarnEx(nullptr, message, 1);
}

// Fills `slot` once with a new object from `make`; kept on a retried
// initialisation. Returns -1 with an exception set when `make` fails.
template <typename Make>
int make_once(PyObject*& slot, Make make) {
    if (slot == nullptr) {
        slot = make();
    }
    return slot != nullptr ? 0 : -1;
}

int make_constants() {
    if (make_identifiers() < 0) {
        return -1;
    }
    if (make_once(state.zero, [] { return PyLong_FromLong(0); }) < 0 ||
        make_once(state.axis_kwnames, [] { return PyTuple_Pack(1, str(Id::axis)); }) < 0 ||
        make_once(state.tupledict_warning, [] {
            return PyUnicode_InternFromString("Calling quicksum on a tupledict is deprecated, use .sum() instead.");
        }) < 0) {
        return -1;
    }
    // The attribute that answers `obj.__class__` for ordinary objects.
    return make_once(state.object_class_attribute, [] {
        Ref object_dict{PyType_GetDict(&PyBaseObject_Type)};
        PyObject* descriptor = nullptr;
        if (object_dict && PyDict_GetItemRef(object_dict.get(), str(Id::dunder_class), &descriptor) == 0) {
            PyErr_SetString(PyExc_SystemError, "object has no __class__ attribute");
        }
        return descriptor;
    });
}

int register_in_sys_modules(PyObject* module) {
    // Held across the presence test, whose key comparisons may run code.
    Ref modules = Ref::borrow(PyImport_GetModuleDict());
    int present = PyMapping_HasKeyWithError(modules.get(), str(Id::module_name));
    if (present < 0) {
        return -1;
    }
    if (present == 0 && PyObject_SetItem(modules.get(), str(Id::module_name), module) < 0) {
        return -1;
    }
    return 0;
}

int cache_zip() {
    PyObject* zip = nullptr;
    int rc = PyObject_GetOptionalAttr(state.builtins, str(Id::zip), &zip);
    if (rc < 0) {
        return -1;
    }
    if (rc == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", str(Id::zip));
        return -1;
    }
    replace(state.zip, zip);
    return 0;
}

int bind(Id name, PyObject* value) { return PyDict_SetItem(state.ns, str(name), value); }

// Imports `names` from a sibling module and binds each under its own name.
int import_names(Id module_name, const Id* names, Py_ssize_t count) {
    PyObject* fromlist[8];
    for (Py_ssize_t i = 0; i < count; ++i) {
        fromlist[i] = str(names[i]);
    }
    Ref module = import_module(str(module_name), fromlist, count);
    if (!module) {
        return -1;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref value = import_name(module.get(), fromlist[i]);
        if (!value || bind(names[i], value.get()) < 0) {
            return -1;
        }
    }
    return 0;
}

int run_exec_steps(PyObject* module) {
    PyObject* ns = PyModule_GetDict(module);
    if (ns == nullptr) {
        return -1;
    }
    replace(state.ns, Py_NewRef(ns));
    watch_namespace(ns);
    PyObject* builtins = PyImport_ImportModule("builtins");
    if (builtins == nullptr) {
        return -1;
    }
    replace(state.builtins, builtins);
    if (PyObject_SetAttrString(module, "__builtins__", builtins) < 0) {
        return -1;
    }
    if (check_runtime_version() < 0 || make_constants() < 0) {
        return -1;
    }
    if (make_function_type() < 0 || register_in_sys_modules(module) < 0 || cache_zip() < 0 ||
        make_code_objects() < 0 || ready_capture_types() < 0) {
        return init_failure(1);
    }
    Ref warnings = import_module(str(Id::warnings), nullptr, 0);
    if (!warnings || bind(Id::warnings, warnings.get()) < 0) {
        return init_failure(4);
    }
    const Id core_names[] = {Id::Var, Id::LinExpr, Id::QuadExpr, Id::NLExpr, Id::ExprTree, Id::tupledict,
                             Id::tuplelist};
    if (import_names(Id::core_module, core_names, std::size(core_names)) < 0) {
        return init_failure(6);
    }
    const Id matrix_names[] = {Id::MVar, Id::MLinExpr, Id::MQuadExpr, Id::MNLExpr};
    if (import_names(Id::matrixapi_module, matrix_names, std::size(matrix_names)) < 0) {
        return init_failure(9);
    }
    for (const FunctionDef* def : registered_functions) {
        Ref function{new_function(*def, nullptr)};
        if (!function || bind(def->name, function.get()) < 0) {
            return init_failure(def->def_line);
        }
    }
    Ref test_dict{PyDict_New()};
    if (!test_dict || bind(Id::test_dict, test_dict.get()) < 0) {
        return init_failure(1);
    }
    return 0;
}

int exec_module(PyObject* module) {
    if (state.executed_module != nullptr) {
        if (state.executed_module == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module '_helpers' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    state.executed_module = Py_NewRef(module);
    if (run_exec_steps(module) < 0) {
        Py_CLEAR(state.executed_module);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {compat::module_create_slot, reinterpret_cast<void*>(create_module)},
    {compat::module_exec_slot, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_helpers",
    nullptr,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace tarvel

PyMODINIT_FUNC PyInit__helpers(void) { return PyModuleDef_Init(&tarvel::module_def); }

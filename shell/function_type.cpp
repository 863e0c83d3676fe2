// The function-object type: creation, garbage-collector support, descriptor
// behaviour, representation and pickling.
#include <cstddef>

#include "shell/binding.hpp"
#include "shell/function.hpp"
#include "shell/ref.hpp"

namespace tarvel {

namespace {

FunctionObject* as_function(PyObject* obj) { return reinterpret_cast<FunctionObject*>(obj); }

int function_traverse(PyObject* obj, visitproc visit, void* arg) {
    FunctionObject* f = as_function(obj);
    Py_VISIT(f->module);
    Py_VISIT(f->name);
    Py_VISIT(f->qualname);
    Py_VISIT(f->doc);
    Py_VISIT(f->globals);
    Py_VISIT(f->code);
    Py_VISIT(f->closure);
    Py_VISIT(f->defaults);
    Py_VISIT(f->kwdefaults);
    Py_VISIT(f->annotations);
    Py_VISIT(f->is_coroutine);
    Py_VISIT(f->dict);
    return 0;
}

// Leaves the object readable, as the interpreter's own function type does:
// the code object is kept (it refers to nothing that could close a cycle)
// and the names become empty strings, so repr, __reduce__ and the attribute
// getters never meet a null. The remaining fields read as None when null,
// and an element function without its record reads its captured value as
// None, as a cleared record gives it.
int function_clear(PyObject* obj) {
    FunctionObject* f = as_function(obj);
    Py_CLEAR(f->module);
    Py_XSETREF(f->name, Py_GetConstant(Py_CONSTANT_EMPTY_STR));
    Py_XSETREF(f->qualname, Py_GetConstant(Py_CONSTANT_EMPTY_STR));
    Py_CLEAR(f->doc);
    Py_CLEAR(f->globals);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->defaults);
    Py_CLEAR(f->kwdefaults);
    Py_CLEAR(f->annotations);
    Py_CLEAR(f->is_coroutine);
    Py_CLEAR(f->dict);
    return 0;
}

void function_dealloc(PyObject* obj) {
    PyObject_GC_UnTrack(obj);
    FunctionObject* f = as_function(obj);
    if (f->weakreflist != nullptr) {
        PyObject_ClearWeakRefs(obj);
    }
    function_clear(obj);
    Py_CLEAR(f->name);
    Py_CLEAR(f->qualname);
    Py_CLEAR(f->code);
    Py_TYPE(obj)->tp_free(obj);
}

PyObject* function_repr(PyObject* obj) {
    return PyUnicode_FromFormat("<%s %U at %p>", function_type_short_name, as_function(obj)->qualname, obj);
}

// Through an instance the function binds as a method; through a class (or
// with no instance) it is itself.
PyObject* function_descr_get(PyObject* func, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) {
        return Py_NewRef(func);
    }
    return PyMethod_New(func, instance);
}

// Pickled by reference: the qualified name within the module of __module__.
PyObject* function_reduce(PyObject* obj, PyObject*) { return Py_NewRef(as_function(obj)->qualname); }

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"
// A static type, so that the type's own __module__ and __doc__ come from its
// name and documentation rather than from the instance attributes of the
// same names.
PyTypeObject function_type = {PyVarObject_HEAD_INIT(nullptr, 0)};
#pragma GCC diagnostic pop

}  // namespace

int make_function_type() {
    if (state.function_type != nullptr) {
        return 0;
    }
    PyTypeObject& type = function_type;
    type.tp_name = "tarvelpy._helpers." TARVEL_FUNCTION_SHORT_NAME;
    type.tp_doc = "Function of the compiled module tarvelpy._helpers.";
    type.tp_basicsize = sizeof(FunctionObject);
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_IMMUTABLETYPE |
                    Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_METHOD_DESCRIPTOR |
                    Py_TPFLAGS_HAVE_VECTORCALL;
    type.tp_dealloc = function_dealloc;
    type.tp_traverse = function_traverse;
    type.tp_clear = function_clear;
    type.tp_repr = function_repr;
    type.tp_call = PyVectorcall_Call;
    type.tp_descr_get = function_descr_get;
    type.tp_methods = function_methods;
    type.tp_getset = function_getset;
    type.tp_weaklistoffset = offsetof(FunctionObject, weakreflist);
    type.tp_dictoffset = offsetof(FunctionObject, dict);
    type.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    if (PyType_Ready(&type) < 0) {
        return -1;
    }
    state.function_type = &type;
    return 0;
}

PyObject* new_function(const FunctionDef& def, PyObject* closure) {
    PyTypeObject* type = state.function_type;
    Ref obj{type->tp_alloc(type, 0)};
    if (!obj) {
        return nullptr;
    }
    FunctionObject* f = as_function(obj.get());
    f->def = &def;
    f->vectorcall = function_vectorcall;
    f->module = Py_NewRef(str(Id::module_name));
    f->qualname = Py_NewRef(str(def.qualname));
    f->globals = Py_NewRef(state.ns);
    f->code = Py_NewRef(code_object(def.code));
    f->closure = Py_XNewRef(closure);
    return obj.release();
}

}  // namespace tarvel

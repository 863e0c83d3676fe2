#include "nonlinear/operands.hpp"

#include "shell/namespace.hpp"

namespace tarvel {

int is_matrix_operand(PyObject* arg) {
    const Id matrix_classes[] = {Id::MVar, Id::MLinExpr, Id::MQuadExpr, Id::MNLExpr};
    return is_instance_of_named(arg, matrix_classes, 4);
}

Ref call_class_attribute(Id class_name, Id attribute, PyObject* arg) {
    Ref cls = lookup_global(class_name);
    if (!cls) {
        return Ref();
    }
    Ref method{PyObject_GetAttr(cls.get(), str(attribute))};
    if (!method) {
        return Ref();
    }
    return Ref(PyObject_CallOneArg(method.get(), arg));
}

Ref vectorize(PyObject* np, PyObject* element_function) {
    PyObject* args[] = {np, element_function};
    return Ref(PyObject_VectorcallMethod(str(Id::vectorize), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

PyObject* map_to_mnlexpr(PyObject* map_nl_func, PyObject* tree_array) {
    // The class is fetched before the mapping runs.
    Ref mnlexpr = lookup_global(Id::MNLExpr);
    if (!mnlexpr) {
        return nullptr;
    }
    Ref mapped{PyObject_CallOneArg(map_nl_func, tree_array)};
    if (!mapped) {
        return nullptr;
    }
    return PyObject_CallOneArg(mnlexpr.get(), mapped.get());
}

}  // namespace tarvel

#include "nonlinear/operands.hpp"

#include "shell/instance_tests.hpp"
#include "shell/namespace.hpp"

namespace tarvel {

namespace {

ClassTests<4> matrix_classes{{Id::MVar, Id::MLinExpr, Id::MQuadExpr, Id::MNLExpr}};

}  // namespace

int is_matrix_operand(PyObject* arg) {
    const int found = first_instance(matrix_classes, arg);
    return found > 0 ? 1 : found;
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

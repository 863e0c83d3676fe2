// _apply_nlfunc(arg, nl_func): applies a tree constructor to a scalar
// operand, or to every element of a matrix operand through numpy.vectorize.
#include "nonlinear/nonlinear.hpp"
#include "nonlinear/operands.hpp"
#include "shell/capture.hpp"
#include "shell/imports.hpp"
#include "shell/namespace.hpp"

namespace tarvel {

PyObject* apply_nlfunc_body(FunctionObject* self, PyObject* const* args) {
    PyObject* arg = args[0];
    PyObject* nl_func = args[1];

    Ref record{reinterpret_cast<PyObject*>(new_capture(CaptureKind::apply_nlfunc))};
    if (!record) {
        return fail(self, 72);
    }
    reinterpret_cast<CaptureRecord*>(record.get())->value = Py_NewRef(nl_func);

    int is_matrix = is_matrix_operand(arg);
    if (is_matrix < 0) {
        return fail(self, 76);
    }
    if (is_matrix) {
        Ref np = import_module(str(Id::numpy), nullptr, 0);
        if (!np) {
            return fail(self, 77);
        }
        Ref tree_array = call_class_attribute(Id::MNLExpr, Id::coerce_to_exprtree_array, arg);
        if (!tree_array) {
            return fail(self, 81);
        }
        Ref element{new_function(apply_lambda_def, record.get())};
        if (!element) {
            return fail(self, 85);
        }
        Ref map_nl_func = vectorize(np.get(), element.get());
        if (!map_nl_func) {
            return fail(self, 85);
        }
        PyObject* result = map_to_mnlexpr(map_nl_func.get(), tree_array.get());
        return result != nullptr ? result : fail(self, 86);
    }

    Ref root = call_class_attribute(Id::NLExpr, Id::coerce_to_exprtree, arg);
    if (!root) {
        return fail(self, 89);
    }
    Ref nlexpr = lookup_global(Id::NLExpr);
    if (!nlexpr) {
        return fail(self, 90);
    }
    Ref tree{PyObject_CallOneArg(nl_func, root.get())};
    if (!tree) {
        return fail(self, 90);
    }
    PyObject* result = PyObject_CallOneArg(nlexpr.get(), tree.get());
    return result != nullptr ? result : fail(self, 90);
}

// The element function: NLExpr(nl_func(x)) with the captured nl_func.
PyObject* apply_nlfunc_element_body(FunctionObject* self, PyObject* const* args) {
    Ref nlexpr = lookup_global(Id::NLExpr);
    if (!nlexpr) {
        return fail(self, 85);
    }
    Ref nl_func = captured_value(self->closure);
    Ref tree{PyObject_CallOneArg(nl_func.get(), args[0])};
    if (!tree) {
        return fail(self, 85);
    }
    PyObject* result = PyObject_CallOneArg(nlexpr.get(), tree.get());
    return result != nullptr ? result : fail(self, 85);
}

}  // namespace tarvel

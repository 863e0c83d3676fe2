// signpow(base, exponent): the signed power of a scalar or of every element
// of a matrix base, with the exponent converted once per call.
#include "nonlinear/nonlinear.hpp"
#include "nonlinear/operands.hpp"
#include "shell/capture.hpp"
#include "shell/imports.hpp"
#include "shell/namespace.hpp"

namespace tarvel {

namespace {

// _ExprTree._from_signpow(tree1, tree2), looked up anew.
Ref signpow_node(PyObject* tree1, PyObject* tree2) {
    Ref expr_tree = lookup_global(Id::ExprTree);
    if (!expr_tree) {
        return Ref();
    }
    Ref constructor{PyObject_GetAttr(expr_tree.get(), str(Id::from_signpow))};
    if (!constructor) {
        return Ref();
    }
    PyObject* call_args[] = {tree1, tree2};
    return Ref(PyObject_Vectorcall(constructor.get(), call_args, 2, nullptr));
}

}  // namespace

PyObject* signpow_body(FunctionObject* self, PyObject* const* args) {
    PyObject* base = args[0];
    PyObject* exponent = args[1];

    Ref record{reinterpret_cast<PyObject*>(new_capture(CaptureKind::signpow))};
    if (!record) {
        return fail(self, 353);
    }
    PyObject*& tree2 = reinterpret_cast<CaptureRecord*>(record.get())->value;

    int is_matrix = is_matrix_operand(base);
    if (is_matrix < 0) {
        return fail(self, 378);
    }
    if (is_matrix) {
        Ref np = import_module(str(Id::numpy), nullptr, 0);
        if (!np) {
            return fail(self, 379);
        }
        Ref tree1_array = call_class_attribute(Id::MNLExpr, Id::coerce_to_exprtree_array, base);
        if (!tree1_array) {
            return fail(self, 383);
        }
        tree2 = call_class_attribute(Id::NLExpr, Id::coerce_to_exprtree, exponent).release();
        if (tree2 == nullptr) {
            return fail(self, 386);
        }
        Ref element{new_function(signpow_lambda_def, record.get())};
        if (!element) {
            return fail(self, 391);
        }
        Ref map_nl_func = vectorize(np.get(), element.get());
        if (!map_nl_func) {
            return fail(self, 390);
        }
        PyObject* result = map_to_mnlexpr(map_nl_func.get(), tree1_array.get());
        return result != nullptr ? result : fail(self, 393);
    }

    Ref tree1 = call_class_attribute(Id::NLExpr, Id::coerce_to_exprtree, base);
    if (!tree1) {
        return fail(self, 396);
    }
    tree2 = call_class_attribute(Id::NLExpr, Id::coerce_to_exprtree, exponent).release();
    if (tree2 == nullptr) {
        return fail(self, 397);
    }
    Ref root = signpow_node(tree1.get(), tree2);
    if (!root) {
        return fail(self, 398);
    }
    Ref nlexpr = lookup_global(Id::NLExpr);
    if (!nlexpr) {
        return fail(self, 399);
    }
    PyObject* result = PyObject_CallOneArg(nlexpr.get(), root.get());
    return result != nullptr ? result : fail(self, 399);
}

// The element function: NLExpr(_ExprTree._from_signpow(tree1, tree2)).
PyObject* signpow_element_body(FunctionObject* self, PyObject* const* args) {
    Ref nlexpr = lookup_global(Id::NLExpr);
    if (!nlexpr) {
        return fail(self, 391);
    }
    Ref tree2 = captured_value(self->closure);
    Ref node = signpow_node(args[0], tree2.get());
    if (!node) {
        return fail(self, 391);
    }
    PyObject* result = PyObject_CallOneArg(nlexpr.get(), node.get());
    return result != nullptr ? result : fail(self, 391);
}

}  // namespace tarvel

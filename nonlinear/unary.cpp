// The unary nonlinear functions (sqrt, sin, ... square): each hands its
// argument and its tree constructor of _ExprTree to _apply_nlfunc.
#include "nonlinear/nonlinear.hpp"
#include "shell/namespace.hpp"

namespace tarvel {

PyObject* unary_body(FunctionObject* self, PyObject* const* args) {
    const FunctionDef& def = *self->def;
    Ref apply = lookup_global(Id::apply_nlfunc);
    if (!apply) {
        return fail(self, def.call_line);
    }
    Ref expr_tree = lookup_global(Id::ExprTree);
    if (!expr_tree) {
        return fail(self, def.call_line);
    }
    Ref tree_constructor{PyObject_GetAttr(expr_tree.get(), str(def.tree_attr))};
    if (!tree_constructor) {
        return fail(self, def.call_line);
    }
    PyObject* call_args[] = {args[0], tree_constructor.get()};
    PyObject* result = call_positional(apply.get(), call_args, 2);
    return result != nullptr ? result : fail(self, def.call_line);
}

}  // namespace tarvel

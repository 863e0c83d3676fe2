// quicksum(list): sums terms by in-place addition into an empty LinExpr.
#include "shell/instance_tests.hpp"
#include "shell/namespace.hpp"
#include "shell/ref.hpp"
#include "sums/sums.hpp"

namespace tarvel {

namespace {

ClassTests<1> tupledict_class{{Id::tupledict}};
ClassTests<3> matrix_classes{{Id::MVar, Id::MLinExpr, Id::MQuadExpr}};

// Adds `term` in place to the (held) running sum; the result replaces it.
bool add_term(Ref& result, PyObject* term) {
    PyObject* sum = PyNumber_InPlaceAdd(result.get(), term);
    if (sum == nullptr) {
        return false;
    }
    result.replace(sum);
    return true;
}

// Walks an exact list by index. The length is re-read before every item,
// because an addition may change the list; each item is held while it is
// added, because an addition may also remove it from the list.
bool add_list_items(Ref& result, PyObject* list) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        Ref term{Py_NewRef(PyList_GET_ITEM(list, i))};
        if (!add_term(result, term.get())) {
            return false;
        }
    }
    return true;
}

// Walks an exact tuple by index. Its items need no holding: a tuple never
// changes, and the caller holds the tuple for the whole call.
bool add_tuple_items(Ref& result, PyObject* tuple) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i) {
        if (!add_term(result, PyTuple_GET_ITEM(tuple, i))) {
            return false;
        }
    }
    return true;
}

}  // namespace

PyObject* quicksum_body(FunctionObject* self, PyObject* const* args) {
    PyObject* list = args[0];

    const int is_tupledict = first_instance(tupledict_class, list);
    if (is_tupledict < 0) {
        return fail(self, 31);
    }
    if (is_tupledict) {
        Ref warnings = lookup_global(Id::warnings);
        if (!warnings) {
            return fail(self, 32);
        }
        Ref warn{PyObject_GetAttr(warnings.get(), str(Id::warn))};
        if (!warn) {
            return fail(self, 32);
        }
        PyObject* warn_args[] = {state.tupledict_warning, PyExc_DeprecationWarning};
        Ref warned{PyObject_Vectorcall(warn.get(), warn_args, 2, nullptr)};
        if (!warned) {
            return fail(self, 32);
        }
        Ref quicksum = lookup_global(Id::quicksum);
        if (!quicksum) {
            return fail(self, 36);
        }
        Ref values{PyObject_CallMethodNoArgs(list, str(Id::values))};
        if (!values) {
            return fail(self, 36);
        }
        PyObject* total = PyObject_CallOneArg(quicksum.get(), values.get());
        return total != nullptr ? total : fail(self, 36);
    }

    const int is_matrix = first_instance(matrix_classes, list);
    if (is_matrix < 0) {
        return fail(self, 37);
    }
    if (is_matrix) {
        PyObject* sum_args[] = {list, state.zero};
        PyObject* total = PyObject_VectorcallMethod(str(Id::sum), sum_args, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                    state.axis_kwnames);
        return total != nullptr ? total : fail(self, 38);
    }

    Ref linexpr = lookup_global(Id::LinExpr);
    if (!linexpr) {
        return fail(self, 40);
    }
    Ref result{PyObject_CallNoArgs(linexpr.get())};
    if (!result) {
        return fail(self, 40);
    }

    if (PyList_CheckExact(list) || PyTuple_CheckExact(list)) {
        const bool added = PyList_CheckExact(list) ? add_list_items(result, list) : add_tuple_items(result, list);
        return added ? result.release() : fail(self, 42);
    }

    Ref iterator{PyObject_GetIter(list)};
    if (!iterator) {
        return fail(self, 41);
    }
    // The iterator's next slot is read anew for every item, as the
    // interpreter's own loops do: an addition may give the iterator another
    // class. A pending StopIteration (or subclass) ends the walk too.
    for (;;) {
        PyObject* item = nullptr;
        const int rc = PyIter_NextItem(iterator.get(), &item);
        Ref term{item};
        if (rc <= 0) {
            return rc == 0 ? result.release() : fail(self, 41);
        }
        if (!add_term(result, term.get())) {
            return fail(self, 42);
        }
    }
}

}  // namespace tarvel

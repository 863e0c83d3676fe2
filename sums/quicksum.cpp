// quicksum(list): sums terms by in-place addition into an empty LinExpr.
#include "shell/cpython_compat.hpp"
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

// Whether the next slot of an iterator of `type` is the same for the whole
// walk: every type on its MRO (the type first) is immutable, so no slot of it can change,
// and it is no module type, so no instance of it can be given another
// class. True for the built-in iterators.
bool next_slot_cannot_change(PyTypeObject* type) {
    PyObject* mro = type->tp_mro;  // read without running any code
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        if (!PyType_HasFeature(base, Py_TPFLAGS_IMMUTABLETYPE) || base == &PyModule_Type) {
            return false;
        }
    }
    return true;
}

// The last type found to have a fixed next slot, by identity and version
// tag. Such a type's slots never change; PyType_Modified may still clear its
// tag, which only makes the entry miss. Tags are handed out once and never
// reused, so the entry cannot match a later type at the same address.
struct FixedNextSlotMemo {
    PyTypeObject* type = nullptr;  // not owned
    unsigned int version = 0;      // never 0 for a filled entry
};

FixedNextSlotMemo fixed_next_slot_memo;

bool has_fixed_next_slot(PyTypeObject* type) {
    if (type == fixed_next_slot_memo.type && type->tp_version_tag == fixed_next_slot_memo.version) [[likely]] {
        return true;
    }
    if (!next_slot_cannot_change(type)) {
        return false;
    }
    if (type->tp_version_tag == 0) {
        compat::assign_version_tag(type);  // runs no code
    }
    if (type->tp_version_tag != 0) {
        fixed_next_slot_memo = {type, type->tp_version_tag};
    }
    return true;
}

// Walks an iterator. Every item comes from the next slot of the class the
// iterator has at that moment, as in the interpreter's own loops: an
// addition may give the iterator another class, or its class another slot.
// Where neither can happen the slot is read once. A pending StopIteration
// (or subclass) ends the walk too. Returns 0, or on failure the source line
// of the failing statement.
template <bool fixed_slot>
int add_iterated_items(Ref& result, PyObject* iterator) {
    const iternextfunc fixed_next = Py_TYPE(iterator)->tp_iternext;
    for (;;) {
        Ref term{fixed_slot ? compat::next_item(iterator, fixed_next) : compat::next_item(iterator)};
        if (!term) [[unlikely]] {
            return PyErr_Occurred() ? 41 : 0;
        }
        if (!add_term(result, term.get())) {
            return 42;
        }
    }
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

    if (PyTuple_CheckExact(list) || PyList_CheckExact(list)) {
        const bool added = PyList_CheckExact(list) ? add_list_items(result, list) : add_tuple_items(result, list);
        return added ? result.release() : fail(self, 42);
    }

    Ref iterator{PyObject_GetIter(list)};
    if (!iterator) {
        return fail(self, 41);
    }
    const int failed_line = caches_enabled && has_fixed_next_slot(Py_TYPE(iterator.get()))
                                ? add_iterated_items<true>(result, iterator.get())
                                : add_iterated_items<false>(result, iterator.get());
    return failed_line == 0 ? result.release() : fail(self, failed_line);
}

}  // namespace tarvel

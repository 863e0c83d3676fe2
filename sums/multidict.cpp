// multidict(data): splits a dictionary of lists into the shared keys and one
// tupledict per value position.
#include "shell/namespace.hpp"
#include "shell/ref.hpp"
#include "sums/sums.hpp"

namespace tarvel {

namespace {

// Builds one tupledict per tuple that zip yields over the values, then adds
// them to `dicts` in one step, so that a failure part-way leaves `dicts`
// untouched. False with an exception set when anything fails.
bool split_values(PyObject* d, PyObject* keys, PyObject* dicts) {
    // Made on the first tupledict: values that cannot be split (the common
    // fallback) then never allocate it.
    Ref new_dicts;
    Ref values{PyObject_CallMethodNoArgs(d, str(Id::values))};
    if (!values) {
        return false;
    }
    Ref value_tuple{PySequence_Tuple(values.get())};
    if (!value_tuple) {
        return false;
    }
    Ref zipped{PyObject_Call(state.zip, value_tuple.get(), nullptr)};
    if (!zipped) {
        return false;
    }
    Ref iterator{PyObject_GetIter(zipped.get())};
    if (!iterator) {
        return false;
    }
    for (;;) {
        Ref v{PyIter_Next(iterator.get())};
        if (!v) {
            if (PyErr_Occurred()) {
                return false;
            }
            return !new_dicts || Ref(PyNumber_InPlaceAdd(dicts, new_dicts.get()));
        }
        Ref tupledict = lookup_global(Id::tupledict);
        if (!tupledict) {
            return false;
        }
        PyObject* zip_args[] = {keys, v.get()};
        Ref pairs{PyObject_Vectorcall(state.zip, zip_args, 2, nullptr)};
        if (!pairs) {
            return false;
        }
        Ref split{PyObject_CallOneArg(tupledict.get(), pairs.get())};
        if (!split) {
            return false;
        }
        if (!new_dicts) {
            new_dicts.reset(PyList_New(0));
            if (!new_dicts) {
                return false;
            }
        }
        if (PyList_Append(new_dicts.get(), split.get()) < 0) {
            return false;
        }
    }
}

}  // namespace

PyObject* multidict_body(FunctionObject* self, PyObject* const* args) {
    PyObject* data = args[0];

    Ref tupledict = lookup_global(Id::tupledict);
    if (!tupledict) {
        return fail(self, 62);
    }
    Ref d{PyObject_CallOneArg(tupledict.get(), data)};
    if (!d) {
        return fail(self, 62);
    }
    Ref keys{PyObject_CallMethodNoArgs(d.get(), str(Id::keys))};
    if (!keys) {
        return fail(self, 63);
    }
    Ref tuplelist = lookup_global(Id::tuplelist);
    if (!tuplelist) {
        return fail(self, 64);
    }
    Ref key_list{PyObject_CallOneArg(tuplelist.get(), keys.get())};
    if (!key_list) {
        return fail(self, 64);
    }
    Ref dicts{PyList_New(1)};
    if (!dicts) {
        return fail(self, 64);
    }
    PyList_SET_ITEM(dicts.get(), 0, key_list.release());

    if (split_values(d.get(), keys.get(), dicts.get())) {
        return dicts.release();
    }
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
        return fail(self, 66);
    }
    // Values that cannot be split: the keys and the whole dictionary.
    PyErr_Clear();
    if (PyList_Append(dicts.get(), d.get()) < 0) {
        return fail(self, 68);
    }
    return dicts.release();
}

}  // namespace tarvel

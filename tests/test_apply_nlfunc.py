"""_apply_nlfunc: the dispatcher behind the unary nonlinear constructors.

A scalar argument becomes NLExpr(nl_func(root)); a matrix argument is
converted to an array of trees and mapped element by element through
numpy.vectorize with a per-call element function.
"""

import gc
import traceback
import weakref

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tarvelpy._helpers as h
from tarvelpy._core import LinExpr, NLExpr, QuadExpr, Var, _ExprTree
from tarvelpy._matrixapi import MLinExpr, MNLExpr, MVar

from support import (
    CHILD_BLOCK_NUMPY, CHILD_FRAMES, HELPERS_FILE, MATRIX_KINDS,
    allocation_growth, capture_record, count_error, element_function,
    matrix_builder, module_entries, run_child, scalar_kinds, tree_text)

APPLY = "tarvelpy._helpers._apply_nlfunc"
LAMBDA = "tarvelpy._helpers._apply_nlfunc.lambda"


# ---------------------------------------------------------------- helpers

class Recorder:
    """A tree constructor that remembers every tree it was given."""

    def __init__(self, op="f"):
        self.op = op
        self.calls = []

    def __call__(self, tree):
        self.calls.append(tree)
        return _ExprTree(self.op, (tree,))


make_matrix = matrix_builder(
    "x",
    linear=lambda v: 2.0 * v + 1.0,
    quadratic=lambda v: v * v + v,
    nonlinear=_ExprTree._from_exp)


SCALARS = scalar_kinds(
    3, -2.5, numpy_real=np.float64(0.25),
    linear=lambda x: 3.0 * x - 1.0,
    quadratic=lambda x, y: x * y + 2.0 * x,
    nonlinear=_ExprTree._from_log)


def call_error(obj):
    """The message the interpreter gives when ``obj`` is called."""
    with pytest.raises(TypeError) as info:
        obj(None)
    return str(info.value)


# ---------------------------------------------------------- scalar path

@pytest.mark.parametrize("arg", SCALARS)
def test_scalar_argument_gives_nlexpr_of_nl_func_tree(arg):
    rec = Recorder("g")
    result = h._apply_nlfunc(arg, rec)
    assert type(result) is NLExpr
    assert len(rec.calls) == 1
    assert result.tree.op == "g"
    assert result.tree.children == (rec.calls[0],)
    assert repr(rec.calls[0]) == tree_text(arg)


def test_nlexpr_argument_passes_its_own_tree():
    x = Var("x")
    arg = NLExpr(_ExprTree._from_sqrt(NLExpr._coerce_to_exprtree(x)))
    rec = Recorder()
    h._apply_nlfunc(arg, rec)
    assert rec.calls[0] is arg.tree


def test_nl_func_result_is_wrapped_unchanged():
    tree = _ExprTree("marker")
    result = h._apply_nlfunc(1.0, lambda root: tree)
    assert result.tree is tree


def test_scalar_path_accepts_keywords():
    x = Var("x")
    a = h._apply_nlfunc(x, nl_func=_ExprTree._from_cos)
    b = h._apply_nlfunc(nl_func=_ExprTree._from_cos, arg=x)
    assert repr(a) == repr(b) == repr(NLExpr(_ExprTree._from_cos(
        NLExpr._coerce_to_exprtree(x))))


@pytest.mark.parametrize("arg", [
    pytest.param("abc", id="str"),
    pytest.param([Var("x")], id="list"),
    pytest.param(np.array([Var("x")], dtype=object), id="ndarray"),
    pytest.param(True, id="bool"),
    pytest.param(object(), id="object"),
])
def test_unsupported_scalar_refused_by_coerce_at_line_89(arg):
    with pytest.raises(TypeError) as expected:
        NLExpr._coerce_to_exprtree(arg)
    rec = Recorder()
    with pytest.raises(TypeError) as info:
        h._apply_nlfunc(arg, rec)
    assert str(info.value) == str(expected.value)
    assert module_entries(info.value) == [(APPLY, 89)]
    assert rec.calls == []


def test_non_callable_nl_func_fails_at_line_90():
    with pytest.raises(TypeError) as info:
        h._apply_nlfunc(Var("x"), 42)
    assert str(info.value) == call_error(42)
    assert module_entries(info.value) == [(APPLY, 90)]


def test_nl_func_exception_passes_through_at_line_90():
    class Boom(Exception):
        pass

    def nl_func(tree):
        raise Boom("bad tree")

    with pytest.raises(Boom, match="^bad tree$") as info:
        h._apply_nlfunc(2.0, nl_func)
    assert module_entries(info.value) == [(APPLY, 90)]


def test_scalar_path_does_not_use_numpy_or_make_element_function(
        monkeypatch, vectorize_calls):
    h._apply_nlfunc(Var("x"), Recorder())
    assert vectorize_calls == []


# ---------------------------------------------------------- matrix path

@pytest.mark.parametrize("cls", MATRIX_KINDS, ids=lambda c: c.__name__)
@pytest.mark.parametrize("shape", [(1,), (3,), (2, 3)], ids=str)
def test_matrix_argument_gives_mnlexpr_per_element(cls, shape):
    arg = make_matrix(cls, shape)
    rec = Recorder("g")
    result = h._apply_nlfunc(arg, rec)
    assert type(result) is MNLExpr
    assert result.shape == shape
    elements = list(arg.array.flat)
    out = list(result.array.flat)
    assert all(type(e) is NLExpr for e in out)
    assert [repr(e.tree) for e in out] == [
        f"g({tree_text(e)})" for e in elements]
    # numpy probes the output type on the first element, then maps them all
    assert len(rec.calls) == len(elements) + 1
    assert rec.calls[0] is rec.calls[1]
    assert [repr(t) for t in rec.calls[1:]] == [tree_text(e) for e in elements]


def test_matrix_of_nlexpr_hands_over_element_trees():
    arg = make_matrix(MNLExpr, (3,))
    rec = Recorder()
    h._apply_nlfunc(arg, rec)
    trees = [e.tree for e in arg.array.flat]
    assert [id(t) for t in rec.calls] == [id(t) for t in [trees[0], *trees]]


@settings(max_examples=30, deadline=None)
@given(shape=st.lists(st.integers(1, 3), min_size=1, max_size=3).map(tuple),
       kind=st.sampled_from(MATRIX_KINDS))
def test_matrix_result_keeps_shape_and_order(shape, kind):
    arg = make_matrix(kind, shape)
    rec = Recorder("k")
    result = h._apply_nlfunc(arg, rec)
    assert type(result) is MNLExpr
    assert result.shape == shape
    for idx in np.ndindex(*shape):
        assert repr(result.array[idx].tree) == (
            f"k({tree_text(arg.array[idx])})")
    assert len(rec.calls) == result.size + 1


@pytest.mark.parametrize("shape", [(0,), (2, 0)], ids=str)
def test_empty_matrix_refused_by_vectorize_at_line_86(shape):
    with pytest.raises(ValueError) as expected:
        np.vectorize(lambda t: t)(np.empty(shape, dtype=object))
    rec = Recorder()
    with pytest.raises(ValueError) as info:
        h._apply_nlfunc(MVar.named("x", shape), rec)
    assert str(info.value) == str(expected.value)
    assert module_entries(info.value) == [(APPLY, 86)]
    assert rec.calls == []


def test_non_callable_nl_func_fails_in_element_function():
    with pytest.raises(TypeError) as info:
        h._apply_nlfunc(MVar.named("x", (2,)), "not callable")
    assert str(info.value) == call_error("not callable")
    assert module_entries(info.value) == [(APPLY, 86), (LAMBDA, 85)]


def test_element_failure_on_later_element_keeps_both_entries():
    class Boom(Exception):
        pass

    seen = []

    def nl_func(tree):
        seen.append(tree)
        if len(seen) == 3:
            raise Boom("third")
        return _ExprTree("ok", (tree,))

    with pytest.raises(Boom) as info:
        h._apply_nlfunc(MVar.named("x", (4,)), nl_func)
    assert module_entries(info.value) == [(APPLY, 86), (LAMBDA, 85)]
    # numpy's own frames lie between the two entries
    names = [fs.name for fs in traceback.extract_tb(info.value.__traceback__)]
    assert names.index(APPLY) < names.index(LAMBDA)


def test_coerce_array_failure_at_line_81():
    arg = MVar.named("x", (2,))
    arg.array[1] = "junk"
    with pytest.raises(TypeError) as info:
        h._apply_nlfunc(arg, Recorder())
    assert "str" in str(info.value)
    assert module_entries(info.value) == [(APPLY, 81)]


def test_missing_vectorize_fails_at_line_85(monkeypatch):
    monkeypatch.delattr(np, "vectorize")
    with pytest.raises(AttributeError, match="vectorize") as info:
        h._apply_nlfunc(MVar.named("x", (2,)), Recorder())
    assert module_entries(info.value) == [(APPLY, 85)]


def test_mnlexpr_result_failure_at_line_86(monkeypatch):
    class Refusing(MNLExpr):
        __slots__ = ()

        def __init__(self, array):
            raise RuntimeError("no result")

    monkeypatch.setattr(h, "MNLExpr", Refusing)
    with pytest.raises(RuntimeError, match="^no result$") as info:
        h._apply_nlfunc(MVar.named("x", (2,)), Recorder())
    assert module_entries(info.value) == [(APPLY, 86)]


# ------------------------------------------------------ element function

def test_element_function_attributes(vectorize_calls):
    h._apply_nlfunc(MVar.named("x", (2,)), Recorder())
    f = element_function(vectorize_calls)
    assert type(f) is type(h._apply_nlfunc)
    assert f.__name__ == "lambda"
    assert f.__qualname__ == "_apply_nlfunc.<locals>.<lambda>"
    assert f.__module__ == "tarvelpy._helpers"
    assert f.__doc__ is None
    assert f.__closure__ is None
    assert f.__globals__ is vars(h)
    code = f.__code__
    assert code.co_name == "<lambda>"
    assert code.co_firstlineno == 85
    assert code.co_filename == HELPERS_FILE
    assert code.co_varnames == ("x",)
    assert code.co_argcount == 1
    assert code.co_nlocals == 1


def test_each_matrix_call_makes_a_new_element_function(vectorize_calls):
    arg = MVar.named("x", (2,))
    h._apply_nlfunc(arg, Recorder())
    first = element_function(vectorize_calls)
    h._apply_nlfunc(arg, Recorder())
    second = element_function(vectorize_calls)
    assert first is not second


def test_element_function_applies_its_own_nl_func(vectorize_calls):
    rec = Recorder("mine")
    h._apply_nlfunc(MVar.named("x", (1,)), rec)
    f = element_function(vectorize_calls)
    # still usable after the call that made it has returned
    tree = NLExpr._coerce_to_exprtree(Var("z"))
    out = f(tree)
    assert type(out) is NLExpr
    assert out.tree.op == "mine" and out.tree.children == (tree,)
    assert rec.calls[-1] is tree
    assert f(x=tree).tree.children == (tree,)


def test_element_function_count_error(vectorize_calls):
    h._apply_nlfunc(MVar.named("x", (1,)), Recorder())
    f = element_function(vectorize_calls)
    with pytest.raises(TypeError) as info:
        f(1, 2)
    assert str(info.value) == (
        "lambda() takes exactly 1 positional argument (2 given)")
    assert module_entries(info.value) == [(LAMBDA, 85)]
    with pytest.raises(TypeError, match=r"^lambda\(\) takes exactly 1 "
                       r"positional argument \(0 given\)$"):
        f()


# ------------------------------------------------------ name look-ups

@pytest.mark.parametrize("name", ["MVar", "MLinExpr", "MQuadExpr", "MNLExpr"])
@pytest.mark.parametrize("arg", [1.0, Var("x"), "text"], ids=repr)
def test_missing_matrix_class_fails_at_line_76_even_for_scalars(
        monkeypatch, name, arg):
    monkeypatch.delattr(h, name)
    rec = Recorder()
    with pytest.raises(NameError) as info:
        h._apply_nlfunc(arg, rec)
    assert str(info.value) == f"name '{name}' is not defined"
    assert module_entries(info.value) == [(APPLY, 76)]
    assert rec.calls == []


def test_missing_matrix_class_fails_for_matrix_argument(monkeypatch):
    monkeypatch.delattr(h, "MQuadExpr")
    with pytest.raises(NameError, match="^name 'MQuadExpr' is not defined$"):
        h._apply_nlfunc(MVar.named("x", (2,)), Recorder())


def test_missing_name_is_found_in_builtins(monkeypatch):
    import builtins
    monkeypatch.setattr(builtins, "MLinExpr", MLinExpr, raising=False)
    monkeypatch.delattr(h, "MLinExpr")
    result = h._apply_nlfunc(make_matrix(MLinExpr, (2,)), Recorder())
    assert type(result) is MNLExpr


class RecordingMeta(type):
    log = []

    def __instancecheck__(cls, obj):
        RecordingMeta.log.append(cls.__name__)
        return cls.__name__ in getattr(obj, "matches", ())


def recording_classes():
    return {name: RecordingMeta(name, (), {})
            for name in ("MVar", "MLinExpr", "MQuadExpr", "MNLExpr")}


def test_instance_tests_run_in_order_and_stop_at_first_match(monkeypatch):
    classes = recording_classes()
    for name, cls in classes.items():
        monkeypatch.setattr(h, name, cls)
    RecordingMeta.log.clear()

    class Plain:
        matches = ()

    # no match: all four tested, then the scalar path refuses the object
    with pytest.raises(TypeError):
        h._apply_nlfunc(Plain(), Recorder())
    assert RecordingMeta.log == ["MVar", "MLinExpr", "MQuadExpr", "MNLExpr"]

    # a match on the third class stops the tests there
    RecordingMeta.log.clear()

    class Third:
        matches = ("MQuadExpr",)

    with pytest.raises(AttributeError) as info:
        # the recording MNLExpr has no _coerce_to_exprtree_array
        h._apply_nlfunc(Third(), Recorder())
    assert RecordingMeta.log == ["MVar", "MLinExpr", "MQuadExpr"]
    assert module_entries(info.value) == [(APPLY, 81)]


def test_all_matrix_names_looked_up_before_any_instance_test(monkeypatch):
    classes = recording_classes()
    for name in ("MVar", "MLinExpr", "MQuadExpr"):
        monkeypatch.setattr(h, name, classes[name])
    monkeypatch.delattr(h, "MNLExpr")
    RecordingMeta.log.clear()
    with pytest.raises(NameError, match="^name 'MNLExpr' is not defined$"):
        h._apply_nlfunc(1.0, Recorder())
    assert RecordingMeta.log == []


def test_raising_instance_check_fails_at_line_76(monkeypatch):
    class Meta(type):
        def __instancecheck__(cls, obj):
            raise LookupError("check refused")

    monkeypatch.setattr(h, "MLinExpr", Meta("MLinExpr", (), {}))
    with pytest.raises(LookupError, match="^check refused$") as info:
        h._apply_nlfunc(1.0, Recorder())
    assert module_entries(info.value) == [(APPLY, 76)]


def test_rebound_nlexpr_is_used_on_both_paths(monkeypatch):
    made = []

    class MyNL(NLExpr):
        __slots__ = ()

        def __init__(self, tree):
            made.append(tree)
            super().__init__(tree)

    monkeypatch.setattr(h, "NLExpr", MyNL)
    assert type(h._apply_nlfunc(Var("x"), Recorder())) is MyNL
    assert len(made) == 1
    result = h._apply_nlfunc(MVar.named("x", (3,)), Recorder())
    assert all(type(e) is MyNL for e in result.array.flat)
    # the probe call makes one extra element
    assert len(made) == 1 + 4


def test_nlexpr_looked_up_before_nl_func_is_called(monkeypatch):
    """At line 90 the wrapper class is fetched before nl_func runs."""
    class Vanishing(NLExpr):
        __slots__ = ()

        @staticmethod
        def _coerce_to_exprtree(obj):
            delattr(h, "NLExpr")
            return NLExpr._coerce_to_exprtree(obj)

    monkeypatch.setattr(h, "NLExpr", Vanishing)
    rec = Recorder()
    with pytest.raises(NameError, match="^name 'NLExpr' is not defined$") \
            as info:
        h._apply_nlfunc(Var("x"), rec)
    assert module_entries(info.value) == [(APPLY, 90)]
    assert rec.calls == []


def test_element_function_looks_up_nlexpr_before_nl_func(monkeypatch):
    class Vanishing(MNLExpr):
        __slots__ = ()

        @staticmethod
        def _coerce_to_exprtree_array(obj):
            delattr(h, "NLExpr")
            return MNLExpr._coerce_to_exprtree_array(obj)

    monkeypatch.setattr(h, "NLExpr", NLExpr)  # restored after the test
    monkeypatch.setattr(h, "MNLExpr", Vanishing)
    rec = Recorder()
    with pytest.raises(NameError, match="^name 'NLExpr' is not defined$") \
            as info:
        h._apply_nlfunc(MVar.named("x", (2,)), rec)
    assert module_entries(info.value) == [(APPLY, 86), (LAMBDA, 85)]
    assert rec.calls == []


def test_mnlexpr_looked_up_before_mapping_runs(monkeypatch):
    class Vanishing(MNLExpr):
        __slots__ = ()

        @staticmethod
        def _coerce_to_exprtree_array(obj):
            delattr(h, "MNLExpr")
            return MNLExpr._coerce_to_exprtree_array(obj)

    monkeypatch.setattr(h, "MNLExpr", Vanishing)
    rec = Recorder()
    with pytest.raises(NameError, match="^name 'MNLExpr' is not defined$") \
            as info:
        h._apply_nlfunc(MVar.named("x", (2,)), rec)
    assert module_entries(info.value) == [(APPLY, 86)]
    assert rec.calls == []


def test_missing_nlexpr_on_scalar_path_fails_at_line_89(monkeypatch):
    monkeypatch.delattr(h, "NLExpr")
    with pytest.raises(NameError, match="^name 'NLExpr' is not defined$") \
            as info:
        h._apply_nlfunc(1.0, Recorder())
    assert module_entries(info.value) == [(APPLY, 89)]


# ----------------------------------------------------------- binding

@pytest.mark.parametrize("args, kwargs, given", [
    ((1.0,), {}, 1),
    ((1.0, Recorder(), 3), {}, 3),
    ((), {}, 0),
    ((), {"nl_func": Recorder()}, 0),
    ((), {"arg": 1.0}, 1),
    ((1.0,), {"arg": 2.0}, None),
])
def test_binding_errors(args, kwargs, given):
    with pytest.raises(TypeError) as info:
        h._apply_nlfunc(*args, **kwargs)
    if given is None:
        assert str(info.value) == (
            "_apply_nlfunc() got multiple values for keyword argument 'arg'")
    else:
        assert str(info.value) == count_error("_apply_nlfunc", 2, given)
    assert module_entries(info.value) == [(APPLY, 72)]


# ---------------------------------------------------- capture records

def test_capture_record_holds_nl_func(vectorize_calls):
    rec = Recorder()
    h._apply_nlfunc(MVar.named("x", (2,)), rec)
    record = capture_record(element_function(vectorize_calls))
    assert gc.is_tracked(record)
    referents = gc.get_referents(record)
    assert len(referents) == 1 and referents[0] is rec
    kind = type(record)
    assert kind not in vars(h).values()
    assert kind.__doc__ is None
    with pytest.raises(TypeError):
        type("Sub", (kind,), {})


def test_cycle_through_function_dict_is_collected(vectorize_calls):
    h._apply_nlfunc(MVar.named("x", (2,)), Recorder())
    f = element_function(vectorize_calls)
    f.me = f
    ref = weakref.ref(f)
    del f
    gc.collect()
    assert ref() is None


def test_cycle_through_capture_record_is_collected(vectorize_calls):
    class Holder:
        def __call__(self, tree):
            return _ExprTree._from_sin(tree)

    nl_func = Holder()
    h._apply_nlfunc(MVar.named("x", (2,)), nl_func)
    f = element_function(vectorize_calls)
    # element function -> record -> nl_func -> list -> element function
    nl_func.keep = [f]
    ref = weakref.ref(f)
    holder_ref = weakref.ref(nl_func)
    del f, nl_func
    gc.collect()
    assert ref() is None
    assert holder_ref() is None


def test_nl_func_released_after_calls():
    class Holder:
        def __call__(self, tree):
            return _ExprTree._from_sin(tree)

    nl_func = Holder()
    ref = weakref.ref(nl_func)
    h._apply_nlfunc(MVar.named("x", (2,)), nl_func)
    h._apply_nlfunc(1.0, nl_func)
    with pytest.raises(TypeError):
        h._apply_nlfunc("bad", nl_func)
    del nl_func
    # no cycle involved: the reference must go without a collection
    assert ref() is None


# ------------------------------------------------------ subprocesses

def test_numpy_absent_fails_only_matrix_calls_at_line_77():
    code = CHILD_FRAMES + CHILD_BLOCK_NUMPY + """
import types
assert "numpy" not in sys.modules

# matrix classes that need no numpy, standing in for the sibling module
stub = types.ModuleType("tarvelpy._matrixapi")
for name in ("MVar", "MLinExpr", "MQuadExpr", "MNLExpr"):
    setattr(stub, name, type(name, (), {}))
import tarvelpy
sys.modules["tarvelpy._matrixapi"] = stub
from tarvelpy import _helpers as h
from tarvelpy._core import Var, _ExprTree

calls = []
def nl_func(tree):
    calls.append(repr(tree))
    return _ExprTree._from_sin(tree)

out = {"scalar": repr(h._apply_nlfunc(Var("x"), nl_func)),
       "sin": repr(h.sin(2.0))}
errors = []
for cls in (stub.MVar, stub.MNLExpr):
    for _ in range(2):   # the import is tried again on every call
        try:
            h._apply_nlfunc(cls(), nl_func)
        except ImportError as e:
            errors.append([type(e).__name__, str(e), frames(e)])
try:
    h.sin(stub.MLinExpr())
except ImportError as e:
    errors.append([type(e).__name__, str(e), frames(e)])
out["errors"] = errors
out["calls"] = calls
out["numpy_loaded"] = "numpy" in sys.modules
print(json.dumps(out))
"""
    out = run_child(code)
    assert out["scalar"] == "<NLExpr: sin(x)>"
    assert out["sin"] == "<NLExpr: sin(2.0)>"
    assert out["calls"] == ["x"]
    assert out["numpy_loaded"] is False
    entry = ["ImportError", "numpy is not available here",
             [[APPLY, 77]]]
    assert out["errors"] == [entry] * 4 + [
        ["ImportError", "numpy is not available here",
         [["tarvelpy._helpers.sin", 136], [APPLY, 77]]]]


def test_numpy_blocked_in_sys_modules_fails_at_line_77():
    code = CHILD_FRAMES + """
from tarvelpy import _helpers as h
from tarvelpy._core import Var, _ExprTree
from tarvelpy._matrixapi import MVar

X = MVar.named("x", (2,))
calls = []
def nl_func(tree):
    calls.append(repr(tree))
    return _ExprTree._from_sin(tree)

sys.modules["numpy"] = None
out = {"scalar": repr(h._apply_nlfunc(Var("x"), nl_func))}
try:
    h._apply_nlfunc(X, nl_func)
except ImportError as e:
    out["error"] = [type(e).__name__, str(e), frames(e)]
out["calls"] = calls
print(json.dumps(out))
"""
    out = run_child(code)
    assert out["scalar"] == "<NLExpr: sin(x)>"
    assert out["calls"] == ["x"]
    assert out["error"] == ["ModuleNotFoundError",
                            "import of numpy halted; None in sys.modules",
                            [[APPLY, 77]]]


def test_memory_stays_flat_over_many_calls():
    code = """
import gc, json, sys
from tarvelpy import _helpers as h
from tarvelpy._core import Var, _ExprTree
from tarvelpy._matrixapi import MVar

X = MVar.named("x", (2,))
x = Var("x")
f = _ExprTree._from_sin

def run(n):
    for _ in range(n):
        h._apply_nlfunc(X, f)
        h._apply_nlfunc(x, f)
    for _ in range(n // 10):
        try:
            h._apply_nlfunc(X, 5)
        except TypeError:
            pass
        try:
            h._apply_nlfunc("bad", f)
        except TypeError:
            pass
"""
    growth = allocation_growth(code)
    # one leaked object per call would show as tens of thousands of blocks
    assert growth < 2000

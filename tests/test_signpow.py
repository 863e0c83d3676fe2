"""signpow(base, exponent): the two-operand sibling of _apply_nlfunc.

The exponent is converted once per call and shared by every element node;
the base decides between the scalar and the matrix path.
"""

import gc
import weakref

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tarvelpy._helpers as h
from tarvelpy._core import NLExpr, Var, _ExprTree
from tarvelpy._matrixapi import MNLExpr, MVar

from support import (
    CHILD_BLOCK_NUMPY, CHILD_FRAMES, HELPERS_FILE, MATRIX_KINDS,
    allocation_growth, capture_record, count_error, element_function,
    matrix_builder, module_entries, run_child, scalar_kinds, tree_text)

SIGNPOW = "tarvelpy._helpers.signpow"
LAMBDA1 = "tarvelpy._helpers.signpow.lambda1"


make_matrix = matrix_builder(
    "b",
    linear=lambda v: 4.0 * v - 1.0,
    quadratic=lambda v: v * Var("w"),
    nonlinear=_ExprTree._from_log)


def exponent_nlexpr():
    return NLExpr(_ExprTree._from_sqrt(NLExpr._coerce_to_exprtree(3.0)))


class Log:
    """A shared list of events, for checking the order of calls."""

    def __init__(self):
        self.events = []


@pytest.fixture
def log(monkeypatch):
    """Bind recording NLExpr, MNLExpr and _ExprTree into the module."""
    log = Log()

    class RecNLExpr(NLExpr):
        __slots__ = ()

        @staticmethod
        def _coerce_to_exprtree(obj):
            log.events.append(("coerce", obj))
            return NLExpr._coerce_to_exprtree(obj)

    class RecMNLExpr(MNLExpr):
        __slots__ = ()

        @staticmethod
        def _coerce_to_exprtree_array(obj):
            log.events.append(("coerce_array", obj))
            return MNLExpr._coerce_to_exprtree_array(obj)

    class RecExprTree(_ExprTree):
        __slots__ = ()

        @classmethod
        def _from_signpow(cls, base, exponent):
            log.events.append(("node", base, exponent))
            return _ExprTree._from_signpow(base, exponent)

    monkeypatch.setattr(h, "NLExpr", RecNLExpr)
    monkeypatch.setattr(h, "MNLExpr", RecMNLExpr)
    monkeypatch.setattr(h, "_ExprTree", RecExprTree)
    log.NLExpr, log.MNLExpr, log.ExprTree = RecNLExpr, RecMNLExpr, RecExprTree
    return log


class Refused:
    """An operand the package classes do not accept."""


class AlsoRefused:
    pass


# ------------------------------------------------------------ scalar path

SCALAR_BASES = scalar_kinds(
    -3, 1.5,
    linear=lambda x: 2.0 * x - 5.0,
    quadratic=lambda x, y: x * y + 1.0,
    nonlinear=_ExprTree._from_cos)
EXPONENTS = [
    pytest.param(2.0, id="2.0"),
    pytest.param(3, id="int3"),
    pytest.param(0.5, id="below-one"),
    pytest.param(Var("a"), id="Var"),
    pytest.param(exponent_nlexpr(), id="NLExpr"),
]


@pytest.mark.parametrize("exponent", EXPONENTS)
@pytest.mark.parametrize("base", SCALAR_BASES)
def test_scalar_base_gives_nlexpr(base, exponent):
    result = h.signpow(base, exponent)
    assert type(result) is NLExpr
    assert result.tree.op == "signpow"
    assert repr(result.tree) == (
        f"signpow({tree_text(base)}, {tree_text(exponent)})")


def test_scalar_nlexpr_operands_pass_their_own_trees():
    base, exponent = SCALAR_BASES[-1].values[0], exponent_nlexpr()
    result = h.signpow(base, exponent)
    assert result.tree.children[0] is base.tree
    assert result.tree.children[1] is exponent.tree


@pytest.mark.parametrize("args, kwargs", [
    ((Var("x"),), {"exponent": 2.0}),
    ((), {"base": Var("x"), "exponent": 2.0}),
    ((), {"exponent": 2.0, "base": Var("x")}),
])
def test_keywords_accepted(args, kwargs):
    assert repr(h.signpow(*args, **kwargs)) == repr(h.signpow(Var("x"), 2.0))


def test_scalar_call_order(log):
    x = Var("x")
    result = h.signpow(x, 2.0)
    assert type(result) is log.NLExpr
    kinds = [e[0] for e in log.events]
    assert kinds == ["coerce", "coerce", "node"]
    assert log.events[0][1] is x and log.events[1][1] == 2.0
    assert result.tree.children == log.events[2][1:]


def test_scalar_path_makes_no_element_function(vectorize_calls):
    h.signpow(Var("x"), 2.0)
    assert vectorize_calls == []


# ------------------------------------------------------------ matrix path

@pytest.mark.parametrize("cls", MATRIX_KINDS, ids=lambda c: c.__name__)
def test_matrix_base_gives_mnlexpr_sharing_one_exponent_tree(cls):
    base = make_matrix(cls, (2, 3))
    exponent = exponent_nlexpr()
    result = h.signpow(base, exponent)
    assert type(result) is MNLExpr
    assert result.shape == (2, 3)
    for idx in np.ndindex(2, 3):
        element = result.array[idx]
        assert type(element) is NLExpr
        assert repr(element.tree) == (
            f"signpow({tree_text(base.array[idx])}, {tree_text(exponent)})")
        assert element.tree.children[1] is exponent.tree


def test_numeric_exponent_converted_once_and_shared():
    result = h.signpow(MVar.named("x", (4,)), 2.0)
    exponents = {id(e.tree.children[1]) for e in result.array.flat}
    assert len(exponents) == 1


@settings(max_examples=30, deadline=None)
@given(shape=st.lists(st.integers(1, 3), min_size=1, max_size=3).map(tuple),
       kind=st.sampled_from(MATRIX_KINDS),
       exponent=st.floats(1.0, 10.0) | st.integers(1, 9))
def test_matrix_property(shape, kind, exponent):
    base = make_matrix(kind, shape)
    result = h.signpow(base, exponent)
    assert result.shape == shape
    expected_exp = tree_text(exponent)
    assert [repr(e.tree) for e in result.array.flat] == [
        f"signpow({tree_text(b)}, {expected_exp})" for b in base.array.flat]


def test_matrix_call_order_and_probe(log):
    base = MVar.named("x", (3,))
    result = h.signpow(base, 2.0)
    assert type(result) is log.MNLExpr
    kinds = [e[0] for e in log.events]
    # base array, then exponent, then the probe on the first element and
    # one node per element
    assert kinds == ["coerce_array", "coerce"] + ["node"] * 4
    assert log.events[0][1] is base and log.events[1][1] == 2.0
    nodes = log.events[2:]
    assert nodes[0][1] is nodes[1][1]
    assert [repr(n[1]) for n in nodes[1:]] == [
        tree_text(v) for v in base.array.flat]
    tree2 = nodes[0][2]
    assert all(n[2] is tree2 for n in nodes)
    assert all(type(e) is log.NLExpr for e in result.array.flat)


@pytest.mark.parametrize("shape", [(0,), (3, 0)], ids=str)
def test_empty_matrix_fails_at_393_after_exponent_conversion(log, shape):
    with pytest.raises(ValueError) as expected:
        np.vectorize(lambda t: t)(np.empty(shape, dtype=object))
    with pytest.raises(ValueError) as info:
        h.signpow(MVar.named("x", shape), 2.0)
    assert str(info.value) == str(expected.value)
    assert module_entries(info.value) == [(SIGNPOW, 393)]
    assert [e[0] for e in log.events] == ["coerce_array", "coerce"]


# -------------------------------------------------------------- refusals

def refusal_message(obj):
    with pytest.raises(TypeError) as info:
        NLExpr._coerce_to_exprtree(obj)
    return str(info.value)


def bad_matrix():
    base = MVar.named("x", (2,))
    base.array[1] = "junk"   # refused by the element conversion
    return base


def test_scalar_base_refused_at_396():
    with pytest.raises(TypeError) as info:
        h.signpow(Refused(), 2.0)
    assert str(info.value) == refusal_message(Refused())
    assert module_entries(info.value) == [(SIGNPOW, 396)]


def test_scalar_exponent_refused_at_397():
    with pytest.raises(TypeError) as info:
        h.signpow(Var("x"), AlsoRefused())
    assert str(info.value) == refusal_message(AlsoRefused())
    assert module_entries(info.value) == [(SIGNPOW, 397)]


def test_both_refused_reports_base_on_scalar_path():
    with pytest.raises(TypeError) as info:
        h.signpow(Refused(), AlsoRefused())
    assert str(info.value) == refusal_message(Refused())
    assert module_entries(info.value) == [(SIGNPOW, 396)]


def test_matrix_base_refused_at_383():
    with pytest.raises(TypeError) as info:
        h.signpow(bad_matrix(), 2.0)
    assert str(info.value) == refusal_message("junk")
    assert module_entries(info.value) == [(SIGNPOW, 383)]


@pytest.mark.parametrize("exponent", [
    pytest.param(AlsoRefused(), id="object"),
    pytest.param(MVar.named("e", (2,)), id="matrix"),
])
def test_matrix_exponent_refused_at_386(exponent):
    with pytest.raises(TypeError) as info:
        h.signpow(MVar.named("x", (2,)), exponent)
    assert str(info.value) == refusal_message(exponent)
    assert module_entries(info.value) == [(SIGNPOW, 386)]


def test_matrix_exponent_refused_on_scalar_path_at_397():
    exponent = MVar.named("e", (2,))
    with pytest.raises(TypeError) as info:
        h.signpow(1.0, exponent)
    assert str(info.value) == refusal_message(exponent)
    assert module_entries(info.value) == [(SIGNPOW, 397)]


def test_both_refused_reports_base_on_matrix_path():
    with pytest.raises(TypeError) as info:
        h.signpow(bad_matrix(), AlsoRefused())
    assert str(info.value) == refusal_message("junk")
    assert module_entries(info.value) == [(SIGNPOW, 383)]


def broken_nlexpr():
    """An NLExpr whose tree the node constructor will not accept."""
    expr = NLExpr.__new__(NLExpr)
    expr.tree = "not a tree"
    return expr


def node_refusal():
    with pytest.raises(TypeError) as info:
        _ExprTree._from_signpow(NLExpr._coerce_to_exprtree(1.0), "not a tree")
    return str(info.value)


def test_node_refused_at_398():
    with pytest.raises(TypeError) as info:
        h.signpow(Var("x"), broken_nlexpr())
    assert str(info.value) == node_refusal()
    assert module_entries(info.value) == [(SIGNPOW, 398)]


def test_node_refused_in_element_function():
    with pytest.raises(TypeError) as info:
        h.signpow(MVar.named("x", (2,)), broken_nlexpr())
    assert str(info.value) == node_refusal()
    assert module_entries(info.value) == [(SIGNPOW, 393), (LAMBDA1, 391)]


def test_nlexpr_result_failure_at_399(monkeypatch):
    class Refusing(NLExpr):
        __slots__ = ()

        def __init__(self, tree):
            raise OverflowError("no result")

    monkeypatch.setattr(h, "NLExpr", Refusing)
    with pytest.raises(OverflowError, match="^no result$") as info:
        h.signpow(Var("x"), 2.0)
    assert module_entries(info.value) == [(SIGNPOW, 399)]


# ------------------------------------------------------- name look-ups

@pytest.mark.parametrize("name", ["MVar", "MLinExpr", "MQuadExpr", "MNLExpr"])
@pytest.mark.parametrize("base", [2.0, Var("x"), Refused()],
                         ids=["float", "Var", "refused"])
def test_missing_matrix_class_fails_at_378(monkeypatch, name, base):
    monkeypatch.delattr(h, name)
    with pytest.raises(NameError) as info:
        h.signpow(base, Refused())
    assert str(info.value) == f"name '{name}' is not defined"
    assert module_entries(info.value) == [(SIGNPOW, 378)]


class RecordingMeta(type):
    log = []

    def __instancecheck__(cls, obj):
        RecordingMeta.log.append(cls.__name__)
        return False


def test_matrix_names_looked_up_before_instance_tests(monkeypatch):
    for name in ("MVar", "MLinExpr", "MQuadExpr"):
        monkeypatch.setattr(h, name, RecordingMeta(name, (), {}))
    monkeypatch.delattr(h, "MNLExpr")
    RecordingMeta.log.clear()
    with pytest.raises(NameError, match="^name 'MNLExpr' is not defined$"):
        h.signpow(1.0, 2.0)
    assert RecordingMeta.log == []


def test_instance_tests_in_order(monkeypatch):
    for name in ("MVar", "MLinExpr", "MQuadExpr", "MNLExpr"):
        monkeypatch.setattr(h, name, RecordingMeta(name, (), {}))
    RecordingMeta.log.clear()
    assert repr(h.signpow(Var("x"), 2.0)) == "<NLExpr: signpow(x, 2.0)>"
    assert RecordingMeta.log == ["MVar", "MLinExpr", "MQuadExpr", "MNLExpr"]


def test_raising_instance_check_fails_at_378(monkeypatch):
    class Meta(type):
        def __instancecheck__(cls, obj):
            raise LookupError("check refused")

    monkeypatch.setattr(h, "MQuadExpr", Meta("MQuadExpr", (), {}))
    with pytest.raises(LookupError) as info:
        h.signpow(1.0, 2.0)
    assert module_entries(info.value) == [(SIGNPOW, 378)]


def test_element_function_looks_up_nlexpr_before_node(monkeypatch, log):
    class Vanishing(log.NLExpr):
        __slots__ = ()

        @staticmethod
        def _coerce_to_exprtree(obj):
            log.events.append(("coerce", obj))
            delattr(h, "NLExpr")
            return NLExpr._coerce_to_exprtree(obj)

    monkeypatch.setattr(h, "NLExpr", Vanishing)
    with pytest.raises(NameError, match="^name 'NLExpr' is not defined$") \
            as info:
        h.signpow(MVar.named("x", (2,)), 2.0)
    assert module_entries(info.value) == [(SIGNPOW, 393), (LAMBDA1, 391)]
    assert [e[0] for e in log.events] == ["coerce_array", "coerce"]


def test_scalar_node_built_before_nlexpr_lookup_at_399(monkeypatch, log):
    class Vanishing(log.NLExpr):
        __slots__ = ()

        @staticmethod
        def _coerce_to_exprtree(obj):
            log.events.append(("coerce", obj))
            if len(log.events) == 2:   # the exponent, the second conversion
                delattr(h, "NLExpr")
            return NLExpr._coerce_to_exprtree(obj)

    monkeypatch.setattr(h, "NLExpr", Vanishing)
    with pytest.raises(NameError, match="^name 'NLExpr' is not defined$") \
            as info:
        h.signpow(Var("x"), 2.0)
    assert module_entries(info.value) == [(SIGNPOW, 399)]
    assert [e[0] for e in log.events] == ["coerce", "coerce", "node"]


def test_mnlexpr_looked_up_before_mapping(monkeypatch, log):
    class Vanishing(log.NLExpr):
        __slots__ = ()

        @staticmethod
        def _coerce_to_exprtree(obj):
            log.events.append(("coerce", obj))
            delattr(h, "MNLExpr")
            return NLExpr._coerce_to_exprtree(obj)

    monkeypatch.setattr(h, "NLExpr", Vanishing)
    with pytest.raises(NameError, match="^name 'MNLExpr' is not defined$") \
            as info:
        h.signpow(MVar.named("x", (2,)), 2.0)
    assert module_entries(info.value) == [(SIGNPOW, 393)]
    assert [e[0] for e in log.events] == ["coerce_array", "coerce"]


@pytest.mark.parametrize("name, line", [("_ExprTree", 398), ("NLExpr", 396)])
def test_missing_scalar_names(monkeypatch, name, line):
    monkeypatch.delattr(h, name)
    with pytest.raises(NameError) as info:
        h.signpow(Var("x"), 2.0)
    assert str(info.value) == f"name '{name}' is not defined"
    assert module_entries(info.value) == [(SIGNPOW, line)]


def test_missing_from_signpow_in_element_function(monkeypatch):
    monkeypatch.setattr(h, "_ExprTree", type("Bare", (), {}))
    with pytest.raises(AttributeError, match="_from_signpow") as info:
        h.signpow(MVar.named("x", (2,)), 2.0)
    assert module_entries(info.value) == [(SIGNPOW, 393), (LAMBDA1, 391)]


def test_missing_vectorize_fails_at_390(monkeypatch):
    monkeypatch.delattr(np, "vectorize")
    with pytest.raises(AttributeError) as info:
        h.signpow(MVar.named("x", (2,)), 2.0)
    assert module_entries(info.value) == [(SIGNPOW, 390)]


# ----------------------------------------------------- element function

def test_element_function_attributes(vectorize_calls):
    h.signpow(MVar.named("x", (2,)), 2.0)
    f = element_function(vectorize_calls)
    assert type(f) is type(h.signpow)
    assert f.__name__ == "lambda1"
    assert f.__qualname__ == "signpow.<locals>.<lambda>"
    assert f.__module__ == "tarvelpy._helpers"
    assert f.__doc__ is None
    assert f.__closure__ is None
    assert f.__globals__ is vars(h)
    code = f.__code__
    assert code.co_name == "<lambda>"
    assert code.co_firstlineno == 391
    assert code.co_varnames == ("tree1",)
    assert code.co_argcount == 1
    assert code.co_filename == HELPERS_FILE


def test_element_function_uses_captured_exponent(vectorize_calls):
    exponent = exponent_nlexpr()
    h.signpow(MVar.named("x", (1,)), exponent)
    f = element_function(vectorize_calls)
    tree = NLExpr._coerce_to_exprtree(Var("z"))
    out = f(tree1=tree)
    assert type(out) is NLExpr
    assert out.tree.children[0] is tree
    assert out.tree.children[1] is exponent.tree


def test_element_function_count_error(vectorize_calls):
    h.signpow(MVar.named("x", (1,)), 2.0)
    f = element_function(vectorize_calls)
    with pytest.raises(TypeError) as info:
        f(1, 2)
    assert str(info.value) == (
        "lambda1() takes exactly 1 positional argument (2 given)")
    assert module_entries(info.value) == [(LAMBDA1, 391)]


# --------------------------------------------------------------- binding

@pytest.mark.parametrize("args, kwargs, given", [
    ((1.0,), {}, 1),
    ((1.0, 2.0, 3.0), {}, 3),
    ((1.0, 2.0, 3.0), {"base": 1.0}, 3),
    ((), {"exponent": 2.0}, 0),
    ((), {"base": 1.0}, 1),
])
def test_count_errors(args, kwargs, given):
    with pytest.raises(TypeError) as info:
        h.signpow(*args, **kwargs)
    assert str(info.value) == count_error("signpow", 2, given)
    assert module_entries(info.value) == [(SIGNPOW, 353)]


def test_code_object_and_names():
    code = h.signpow.__code__
    assert code.co_argcount == 2
    assert code.co_varnames == ("base", "exponent", "np", "tree1_array",
                                "tree2", "map_nl_func", "tree1", "root")
    assert code.co_firstlineno == 353
    assert h.signpow.__name__ == h.signpow.__qualname__ == "signpow"


def test_docstring():
    expected = "\n".join([
        "",
        "    ROUTINE:",
        "      signpow(base, exponent)",
        "",
        "    PURPOSE:",
        "      Return an expression representing the signed power function "
        "of the",
        "      arguments. The signed power function is defined as",
        "",
        "        signpow(x, a) = sign(x) * abs(x) ** a",
        "",
        "    ARGUMENTS:",
        "      base: A tarvelpy modeling object or numeric value.",
        "      exponent: A scalar numeric value >= 1",
        "",
        "    RETURN VALUE:",
        "      If ``base`` is a term-based modeling object or numeric value, "
        "returns",
        "      an NLExpr. If ``base`` is a matrix-friendly modeling object, "
        "returns an",
        "      MNLExpr.",
        "",
        "    EXAMPLE:",
        "      x = model.addVar()",
        "      nlexpr = nlfunc.signpow(x, 2.0)",
        "    ",
    ])
    assert h.signpow.__doc__ == expected


# ------------------------------------------------------- capture records

def test_capture_record_holds_exponent_tree(vectorize_calls):
    exponent = exponent_nlexpr()
    h.signpow(MVar.named("x", (2,)), exponent)
    record = capture_record(element_function(vectorize_calls))
    assert gc.is_tracked(record)
    referents = gc.get_referents(record)
    assert len(referents) == 1 and referents[0] is exponent.tree
    kind = type(record)
    assert kind not in vars(h).values()
    assert kind.__doc__ is None
    with pytest.raises(TypeError):
        type("Sub", (kind,), {})
    # _apply_nlfunc's records are of a type of their own
    h._apply_nlfunc(MVar.named("x", (1,)), _ExprTree._from_sin)
    other = capture_record(element_function(vectorize_calls))
    assert type(other) is not kind
    assert gc.is_tracked(other)


def test_cycle_through_captured_exponent_is_collected(vectorize_calls):
    exponent = exponent_nlexpr()
    h.signpow(MVar.named("x", (2,)), exponent)
    f = element_function(vectorize_calls)
    # element function -> record -> tree2 -> list -> element function
    exponent.tree.value = [f]
    ref = weakref.ref(f)
    del f, exponent
    gc.collect()
    assert ref() is None


def test_cycle_through_function_dict_is_collected(vectorize_calls):
    h.signpow(MVar.named("x", (2,)), 2.0)
    f = element_function(vectorize_calls)
    f.__dict__["me"] = f
    ref = weakref.ref(f)
    del f
    gc.collect()
    assert ref() is None


# ---------------------------------------------------------- subprocesses

RECORDING = """
from tarvelpy import _helpers as h
from tarvelpy._core import NLExpr, Var

events = []
class RecNLExpr(NLExpr):
    __slots__ = ()
    @staticmethod
    def _coerce_to_exprtree(obj):
        events.append("coerce " + type(obj).__name__)
        return NLExpr._coerce_to_exprtree(obj)
h.NLExpr = RecNLExpr
"""


def test_numpy_absent_fails_matrix_base_before_conversion():
    code = CHILD_FRAMES + CHILD_BLOCK_NUMPY + """
import types
stub = types.ModuleType("tarvelpy._matrixapi")
class Matrix:
    pass
for name in ("MVar", "MLinExpr", "MQuadExpr", "MNLExpr"):
    setattr(stub, name, type(name, (Matrix,), {}))
class ArrayCoerce:
    @staticmethod
    def _coerce_to_exprtree_array(obj):
        events.append("coerce_array")
        raise AssertionError("must not be reached")
stub.MNLExpr._coerce_to_exprtree_array = ArrayCoerce._coerce_to_exprtree_array
import tarvelpy
sys.modules["tarvelpy._matrixapi"] = stub
""" + RECORDING + """
out = {"scalar": repr(h.signpow(Var("x"), 2.0))}
errors = []
for cls in (stub.MVar, stub.MQuadExpr):
    try:
        h.signpow(cls(), 2.0)
    except ImportError as e:
        errors.append([type(e).__name__, str(e), frames(e)])
out["errors"] = errors
out["events"] = events
out["numpy_loaded"] = "numpy" in sys.modules
print(json.dumps(out))
"""
    out = run_child(code)
    assert out["scalar"] == "<NLExpr: signpow(x, 2.0)>"
    # only the scalar call converted anything
    assert out["events"] == ["coerce Var", "coerce float"]
    assert out["numpy_loaded"] is False
    assert out["errors"] == [
        ["ImportError", "numpy is not available here", [[SIGNPOW, 379]]]] * 2


def test_numpy_blocked_in_sys_modules_fails_at_379():
    code = CHILD_FRAMES + RECORDING + """
from tarvelpy._matrixapi import MVar
X = MVar.named("x", (2,))
sys.modules["numpy"] = None
out = {"scalar": repr(h.signpow(Var("x"), 2.0))}
events.clear()
try:
    h.signpow(X, 2.0)
except ImportError as e:
    out["error"] = [type(e).__name__, str(e), frames(e)]
out["events"] = events
print(json.dumps(out))
"""
    out = run_child(code)
    assert out["scalar"] == "<NLExpr: signpow(x, 2.0)>"
    assert out["events"] == []
    assert out["error"] == ["ModuleNotFoundError",
                            "import of numpy halted; None in sys.modules",
                            [[SIGNPOW, 379]]]


def test_memory_stays_flat_over_many_calls():
    code = """
import gc, json, sys
from tarvelpy import _helpers as h
from tarvelpy._core import Var
from tarvelpy._matrixapi import MVar

X = MVar.named("x", (2,))
x = Var("x")

def run(n):
    for _ in range(n):
        h.signpow(X, 2.0)
        h.signpow(x, 3.0)
    for _ in range(n // 10):
        try:
            h.signpow(X, "bad")
        except TypeError:
            pass
        try:
            h.signpow(x, "bad")
        except TypeError:
            pass
"""
    growth = allocation_growth(code)
    assert growth < 2000

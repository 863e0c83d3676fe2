"""The eleven unary nonlinear constructors (sqrt, sin, ..., square).

Each one hands its argument and the matching tree constructor of
_ExprTree to _apply_nlfunc, looked up afresh on every call.
"""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tarvelpy
import tarvelpy._helpers as h
from tarvelpy._core import NLExpr, Var, _ExprTree
from tarvelpy._matrixapi import MNLExpr, MVar

from support import (
    HELPERS_FILE, MATRIX_KINDS, count_error, frame, matrix_builder,
    module_entries, scalar_kinds, tree_text)

APPLY = "tarvelpy._helpers._apply_nlfunc"

# name, definition line, call line, purpose text lines
FUNCTIONS = [
    ("sqrt", 93, 113,
     ["Return an expression representing the square root of the argument."]),
    ("sin", 116, 136,
     ["Return an expression representing the sine of the argument."]),
    ("cos", 139, 159,
     ["Return an expression representing the cosine of the argument."]),
    ("tan", 162, 183,
     ["Return an expression representing the tangent function of the",
      "argument."]),
    ("exp", 186, 207,
     ["Return an expression representing e raised to the power of the",
      "argument."]),
    ("log", 210, 231,
     ["Return an expression representing the natural logorithm of the",
      "argument."]),
    ("log2", 234, 255,
     ["Return an expression representing the base 2 logorithm of the",
      "argument."]),
    ("log10", 258, 279,
     ["Return an expression representing the base 10 logorithm of the",
      "argument."]),
    ("logistic", 282, 303,
     ["Return an expression representing the logistic function of the",
      "argument."]),
    ("tanh", 306, 327,
     ["Return an expression representing the hyperbolic tangent function",
      "of the argument."]),
    ("square", 330, 350,
     ["Return an expression representing the square of the argument."]),
]
NAMES = [row[0] for row in FUNCTIONS]
DEF_LINE = {row[0]: row[1] for row in FUNCTIONS}
CALL_LINE = {row[0]: row[2] for row in FUNCTIONS}
PURPOSE = {row[0]: row[3] for row in FUNCTIONS}


def expected_doc(name):
    lines = [
        "",
        "    ROUTINE:",
        f"      {name}(expr)",
        "",
        "    PURPOSE:",
        *["      " + text for text in PURPOSE[name]],
        "",
        "    ARGUMENTS:",
        "      expr: A tarvelpy modeling object or numeric value.",
        "",
        "    RETURN VALUE:",
        "      If the argument is a term-based modeling object or numeric "
        "value,",
        "      returns an NLExpr. If the argument is a matrix-friendly "
        "modeling",
        "      object, returns an MNLExpr.",
        "",
        "    EXAMPLE:",
        "      x = model.addVar()",
        f"      nlexpr = nlfunc.{name}(x)",
        "    ",
    ]
    return "\n".join(lines)


make_matrix = matrix_builder(
    "v",
    linear=lambda v: 1.0 - v,
    quadratic=lambda v: v * v,
    nonlinear=_ExprTree._from_tanh)


SCALARS = scalar_kinds(
    7, 0.5,
    linear=lambda x: 2.0 * x + 3.0,
    quadratic=lambda x, y: x * y,
    nonlinear=_ExprTree._from_exp)


# ------------------------------------------------------------- results

@pytest.mark.parametrize("arg", SCALARS)
@pytest.mark.parametrize("name", NAMES)
def test_scalar_gives_nlexpr_with_the_function_node(name, arg):
    result = getattr(h, name)(arg)
    assert type(result) is NLExpr
    expected = getattr(_ExprTree, f"_from_{name}")(
        NLExpr._coerce_to_exprtree(arg))
    assert result.tree.op == expected.op
    assert repr(result.tree) == repr(expected)


def test_nlexpr_argument_tree_becomes_the_child():
    arg = SCALARS[-1].values[0]
    assert h.sqrt(arg).tree.children[0] is arg.tree


@pytest.mark.parametrize("cls", MATRIX_KINDS, ids=lambda c: c.__name__)
@pytest.mark.parametrize("name", NAMES)
def test_matrix_gives_mnlexpr_per_element(name, cls):
    arg = make_matrix(cls, (2, 2))
    result = getattr(h, name)(arg)
    assert type(result) is MNLExpr
    assert result.shape == (2, 2)
    for idx in np.ndindex(2, 2):
        element = result.array[idx]
        assert type(element) is NLExpr
        assert element.tree.op == name
        assert repr(element.tree) == f"{name}({tree_text(arg.array[idx])})"


@settings(max_examples=25, deadline=None)
@given(shape=st.lists(st.integers(1, 4), min_size=1, max_size=3).map(tuple),
       name=st.sampled_from(NAMES),
       kind=st.sampled_from(MATRIX_KINDS))
def test_matrix_shape_and_trees_property(shape, name, kind):
    arg = make_matrix(kind, shape)
    result = getattr(h, name)(arg)
    assert result.shape == shape
    texts = [repr(e.tree) for e in result.array.flat]
    assert texts == [f"{name}({tree_text(e)})" for e in arg.array.flat]


@pytest.mark.parametrize("name", NAMES)
def test_keyword_argument_accepted(name):
    x = Var("x")
    assert repr(getattr(h, name)(expr=x)) == repr(getattr(h, name)(x))


def test_package_exposes_the_same_function_objects():
    for name in NAMES:
        assert getattr(tarvelpy, name) is getattr(h, name)


# ----------------------------------------------------------- failures

@pytest.mark.parametrize("name", NAMES)
def test_unsupported_scalar_refused_inside_apply_nlfunc(name):
    with pytest.raises(TypeError) as expected:
        NLExpr._coerce_to_exprtree("text")
    with pytest.raises(TypeError) as info:
        getattr(h, name)("text")
    assert str(info.value) == str(expected.value)
    assert module_entries(info.value) == [
        (frame(name), CALL_LINE[name]), (APPLY, 89)]


@pytest.mark.parametrize("name", NAMES)
def test_empty_matrix_fails_at_line_86_inside(name):
    with pytest.raises(ValueError) as info:
        getattr(h, name)(MVar.named("x", (0,)))
    assert module_entries(info.value) == [
        (frame(name), CALL_LINE[name]), (APPLY, 86)]


def test_element_failure_has_three_entries(monkeypatch):
    class Failing(_ExprTree):
        __slots__ = ()

        @classmethod
        def _from_sin(cls, tree):
            raise ArithmeticError("no sine here")

    monkeypatch.setattr(h, "_ExprTree", Failing)
    with pytest.raises(ArithmeticError, match="^no sine here$") as info:
        h.sin(MVar.named("x", (3,)))
    assert module_entries(info.value) == [
        ("tarvelpy._helpers.sin", 136), (APPLY, 86),
        ("tarvelpy._helpers._apply_nlfunc.lambda", 85)]
    # and the scalar path reports line 90
    with pytest.raises(ArithmeticError) as info:
        h.sin(1.0)
    assert module_entries(info.value) == [
        ("tarvelpy._helpers.sin", 136), (APPLY, 90)]


@pytest.mark.parametrize("name", NAMES)
def test_missing_apply_nlfunc_is_a_name_error_at_call_line(monkeypatch, name):
    monkeypatch.delattr(h, "_apply_nlfunc")
    with pytest.raises(NameError) as info:
        getattr(h, name)(Var("x"))
    assert str(info.value) == "name '_apply_nlfunc' is not defined"
    assert module_entries(info.value) == [(frame(name), CALL_LINE[name])]


@pytest.mark.parametrize("name", NAMES)
def test_missing_exprtree_is_a_name_error_at_call_line(monkeypatch, name):
    monkeypatch.delattr(h, "_ExprTree")
    with pytest.raises(NameError) as info:
        getattr(h, name)(1.0)
    assert str(info.value) == "name '_ExprTree' is not defined"
    assert module_entries(info.value) == [(frame(name), CALL_LINE[name])]


def test_apply_nlfunc_looked_up_before_exprtree(monkeypatch):
    monkeypatch.delattr(h, "_ExprTree")
    monkeypatch.delattr(h, "_apply_nlfunc")
    with pytest.raises(NameError, match="^name '_apply_nlfunc' is not "
                       "defined$"):
        h.cos(1.0)


@pytest.mark.parametrize("name", NAMES)
def test_missing_tree_constructor_is_attribute_error(monkeypatch, name):
    class Bare:
        pass

    monkeypatch.setattr(h, "_ExprTree", Bare)
    with pytest.raises(AttributeError) as expected:
        getattr(Bare, f"_from_{name}")
    called = []
    monkeypatch.setattr(h, "_apply_nlfunc", lambda *a: called.append(a))
    with pytest.raises(AttributeError) as info:
        getattr(h, name)(Var("x"))
    assert str(info.value) == str(expected.value)
    assert module_entries(info.value) == [(frame(name), CALL_LINE[name])]
    assert called == []


def test_exception_from_replacement_gets_call_line_entry(monkeypatch):
    def replacement(arg, nl_func):
        raise KeyError("replaced")

    monkeypatch.setattr(h, "_apply_nlfunc", replacement)
    with pytest.raises(KeyError) as info:
        h.log10(1.0)
    assert module_entries(info.value) == [("tarvelpy._helpers.log10", 279)]


# ------------------------------------------------------------ rebinding

@pytest.mark.parametrize("name", NAMES)
def test_replacement_apply_nlfunc_receives_arg_and_constructor(
        monkeypatch, name):
    seen = []
    marker = object()

    def replacement(*args, **kwargs):
        seen.append((args, kwargs))
        return marker

    monkeypatch.setattr(h, "_apply_nlfunc", replacement)
    arg = object()
    assert getattr(h, name)(arg) is marker
    ((args, kwargs),) = seen
    assert kwargs == {}
    assert args[0] is arg
    assert args[1] == getattr(_ExprTree, f"_from_{name}")


@pytest.mark.parametrize("name", NAMES)
def test_rebound_exprtree_supplies_the_constructor(monkeypatch, name):
    sentinel = object()
    fake = type("FakeTree", (), {f"_from_{name}": sentinel})
    seen = []
    monkeypatch.setattr(h, "_ExprTree", fake)
    monkeypatch.setattr(h, "_apply_nlfunc",
                        lambda arg, nl_func: seen.append(nl_func) or arg)
    assert getattr(h, name)(5) == 5
    # the attribute is passed on exactly as the class yields it
    assert seen == [sentinel] and seen[0] is sentinel


def test_rebound_exprtree_reaches_the_real_dispatcher(monkeypatch):
    class Tagging(_ExprTree):
        __slots__ = ()

        @classmethod
        def _from_exp(cls, tree):
            return _ExprTree("tagged_exp", (tree,))

    monkeypatch.setattr(h, "_ExprTree", Tagging)
    assert repr(h.exp(Var("x"))) == "<NLExpr: tagged_exp(x)>"
    result = h.exp(MVar.named("x", (2,)))
    assert [e.tree.op for e in result.array.flat] == ["tagged_exp"] * 2


def test_rebinding_is_seen_by_later_calls_only(monkeypatch):
    before = h.tanh(Var("x"))
    monkeypatch.setattr(h, "_apply_nlfunc", lambda arg, f: "replaced")
    assert h.tanh(Var("x")) == "replaced"
    monkeypatch.undo()
    assert repr(h.tanh(Var("x"))) == repr(before)


def test_apply_nlfunc_found_in_builtins(monkeypatch):
    import builtins
    monkeypatch.setattr(builtins, "_apply_nlfunc",
                        lambda arg, f: ("builtin", arg), raising=False)
    monkeypatch.delattr(h, "_apply_nlfunc")
    assert h.square(3) == ("builtin", 3)


# -------------------------------------------------- binding and objects

@pytest.mark.parametrize("name", NAMES)
def test_count_errors_carry_def_line(name):
    func = getattr(h, name)
    for args, given in [((), 0), ((1.0, 2.0), 2)]:
        with pytest.raises(TypeError) as info:
            func(*args)
        assert str(info.value) == count_error(name, 1, given)
        assert module_entries(info.value) == [(frame(name), DEF_LINE[name])]


@pytest.mark.parametrize("kwargs, message", [
    ({"x": 1.0}, "sin() got an unexpected keyword argument 'x'"),
    ({"expr": 1.0, "other": 2},
     "sin() got an unexpected keyword argument 'other'"),
])
def test_keyword_errors(kwargs, message):
    with pytest.raises(TypeError) as info:
        h.sin(**kwargs)
    assert str(info.value) == message
    assert module_entries(info.value) == [("tarvelpy._helpers.sin", 116)]


def test_expr_given_twice():
    with pytest.raises(TypeError) as info:
        h.sqrt(1.0, expr=2.0)
    assert str(info.value) == (
        "sqrt() got multiple values for keyword argument 'expr'")
    assert module_entries(info.value) == [("tarvelpy._helpers.sqrt", 93)]


@pytest.mark.parametrize("name", NAMES)
def test_docstring_matches_template(name):
    doc = getattr(h, name).__doc__
    assert doc == expected_doc(name)


def test_docstring_shape_of_sin():
    doc = h.sin.__doc__
    assert doc.startswith("\n    ROUTINE:\n      sin(expr)\n")
    assert doc.endswith("\n      nlexpr = nlfunc.sin(x)\n    ")


@pytest.mark.parametrize("name", NAMES)
def test_code_object(name):
    func = getattr(h, name)
    code = func.__code__
    assert code.co_name == name
    assert code.co_varnames == ("expr",)
    assert code.co_argcount == 1
    assert code.co_firstlineno == DEF_LINE[name]
    assert code.co_filename == HELPERS_FILE
    assert func.__name__ == func.__qualname__ == name
    assert func.__module__ == "tarvelpy._helpers"

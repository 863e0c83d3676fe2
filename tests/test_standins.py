"""The package's sibling modules that the compiled helpers build on."""

import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from tarvelpy._core import (
    LinExpr, NLExpr, QuadExpr, Var, _ExprTree, tupledict, tuplelist)
from tarvelpy._matrixapi import MLinExpr, MNLExpr, MQuadExpr, MVar

from support import UNARY, lin

x, y, z = Var("x"), Var("y"), Var("z")


def quad(expr):
    return lin(expr.linear), tuple(
        (c, a.name, b.name) for c, a, b in expr.quad_terms)


# -- linear and quadratic expressions ---------------------------------------

@pytest.mark.parametrize("operand, expected", [
    (2.5, (2.5, ())),
    (3, (3.0, ())),
    (x, (0.0, ((1.0, "x"),))),
    (4 * y + 1, (1.0, ((4.0, "y"),))),
])
def test_linexpr_iadd_is_in_place(operand, expected):
    running = LinExpr()
    before = id(running)
    running += operand
    assert id(running) == before
    assert lin(running) == expected


@pytest.mark.parametrize("operand", [2.5, x, 4 * y + 1])
def test_linexpr_add_returns_new_and_leaves_operands(operand):
    left = LinExpr(z)
    result = left + operand
    assert result is not left
    assert lin(left) == (0.0, ((1.0, "z"),))
    assert result.size() == 1 + (0 if isinstance(operand, float) else 1)


def test_added_term_is_not_aliased_by_running_sum():
    term = 2 * x
    running = LinExpr()
    running += term
    running += y
    running += 5
    assert lin(term) == (0.0, ((2.0, "x"),))
    assert lin(running) == (5.0, ((2.0, "x"), (1.0, "y")))


def test_iadd_of_quadexpr_changes_class_and_keeps_linear_sum():
    running = LinExpr()
    running += 3 * x
    original = running
    running += x * y
    assert type(running) is QuadExpr
    assert running is not original
    assert lin(original) == (0.0, ((3.0, "x"),))
    assert quad(running) == ((0.0, ((3.0, "x"),)), ((1.0, "x", "y"),))
    # Once quadratic, the running sum grows in place again.
    again = running
    running += z
    running += y * y
    assert running is again
    assert quad(running) == ((0.0, ((3.0, "x"), (1.0, "z"))),
                             ((1.0, "x", "y"), (1.0, "y", "y")))


def test_builtin_sum_works_through_radd():
    total = sum([x, 2 * y, x * z, 1.5])
    assert type(total) is QuadExpr
    assert quad(total) == ((1.5, ((1.0, "x"), (2.0, "y"))),
                           ((1.0, "x", "z"),))


@pytest.mark.parametrize("expr, text", [
    (LinExpr(), "<LinExpr: 0.0>"),
    (2 * x + y + 1, "<LinExpr: 2.0 x + y + 1.0>"),
    (x - 3 * y - 0.5, "<LinExpr: x - 3.0 y - 0.5>"),
    (x * x + x * y + 2 * z, "<QuadExpr: 2.0 z + x ^ 2 + x * y>"),
])
def test_reprs(expr, text):
    assert repr(expr) == text


operands = st.one_of(
    st.integers(-5, 5),
    st.sampled_from([x, y, z]),
    st.builds(lambda c, v: c * v, st.integers(-3, 3), st.sampled_from([x, y, z])),
)


@given(st.lists(operands, max_size=12))
def test_in_place_running_sum_matches_plain_addition(items):
    running = LinExpr()
    plain = LinExpr()
    for item in items:
        running += item
        plain = plain + item
    assert lin(running) == lin(plain)
    assert running.constant == sum(i for i in items if isinstance(i, int))


# -- nonlinear coercion and trees --------------------------------------------

@pytest.mark.parametrize("operand, op, text", [
    (2, "constant", "2.0"),
    (-1.25, "constant", "-1.25"),
    (np.float64(0.5), "constant", "0.5"),
    (x, "variable", "x"),
    (2 * x + 1, "linear", "2.0 x + 1.0"),
    (x * y, "quadratic", "x * y"),
])
def test_coerce_to_exprtree_accepts_scalars(operand, op, text):
    tree = NLExpr._coerce_to_exprtree(operand)
    assert isinstance(tree, _ExprTree)
    assert tree.op == op
    assert repr(tree) == text


def test_coerce_of_nlexpr_is_its_tree():
    expr = NLExpr(_ExprTree._from_sin(NLExpr._coerce_to_exprtree(x)))
    assert NLExpr._coerce_to_exprtree(expr) is expr.tree


def test_tree_leaf_is_not_changed_by_later_in_place_addition():
    expr = LinExpr(x)
    tree = NLExpr._coerce_to_exprtree(expr)
    expr += y
    assert repr(tree) == "x"


@pytest.mark.parametrize("operand", [
    True, "x", None, [1.0], 1 + 2j, object(), MVar.named("m", 2),
])
def test_coerce_to_exprtree_refuses(operand):
    with pytest.raises(TypeError, match=type(operand).__name__):
        NLExpr._coerce_to_exprtree(operand)


@pytest.mark.parametrize("name", UNARY)
def test_unary_tree_constructors(name):
    leaf = NLExpr._coerce_to_exprtree(x)
    tree = getattr(_ExprTree, "_from_" + name)(leaf)
    assert tree.op == name
    assert tree.children == (leaf,)
    assert repr(NLExpr(tree)) == f"<NLExpr: {name}(x)>"


def test_signpow_tree_keeps_operand_order():
    base = NLExpr._coerce_to_exprtree(x)
    exponent = NLExpr._coerce_to_exprtree(2.0)
    tree = _ExprTree._from_signpow(base, exponent)
    assert tree.children == (base, exponent)
    assert repr(tree) == "signpow(x, 2.0)"


@pytest.mark.parametrize("bad", [x, 1.0, NLExpr(NLExpr._coerce_to_exprtree(x))])
def test_tree_constructors_and_nlexpr_need_trees(bad):
    with pytest.raises(TypeError):
        _ExprTree._from_sin(bad)
    with pytest.raises(TypeError):
        _ExprTree._from_signpow(NLExpr._coerce_to_exprtree(x), bad)
    with pytest.raises(TypeError):
        NLExpr(bad)


# -- matrix objects ----------------------------------------------------------

def make_matrix(kind, shape):
    v = MVar.named("v", shape)
    if kind is MVar:
        return v
    if kind is MLinExpr:
        return MLinExpr(np.vectorize(lambda e: 2 * e + 1, otypes=[object])(v.array))
    if kind is MQuadExpr:
        return MQuadExpr(np.vectorize(lambda e: e * e, otypes=[object])(v.array))
    return MNLExpr(np.vectorize(
        lambda e: NLExpr(_ExprTree._from_exp(NLExpr._coerce_to_exprtree(e))),
        otypes=[object])(v.array))


@pytest.mark.parametrize("kind", [MVar, MLinExpr, MQuadExpr, MNLExpr])
@pytest.mark.parametrize("shape", [(3,), (2, 3), (2, 1, 2)])
def test_coerce_to_exprtree_array_keeps_shape(kind, shape):
    matrix = make_matrix(kind, shape)
    trees = MNLExpr._coerce_to_exprtree_array(matrix)
    assert isinstance(trees, np.ndarray)
    assert trees.dtype == object
    assert trees.shape == shape
    for idx in np.ndindex(shape):
        assert isinstance(trees[idx], _ExprTree)
        expected = NLExpr._coerce_to_exprtree(matrix.array[idx])
        assert repr(trees[idx]) == repr(expected)


@pytest.mark.parametrize("bad", [x, 2 * x, np.array([x, y], dtype=object)])
def test_coerce_to_exprtree_array_refuses_non_matrices(bad):
    with pytest.raises(TypeError):
        MNLExpr._coerce_to_exprtree_array(bad)


def test_vectorized_mapping_builds_mnlexpr():
    w = MVar.named("w", (2, 2))
    mapped = np.vectorize(lambda t: NLExpr(_ExprTree._from_cos(t)))(
        MNLExpr._coerce_to_exprtree_array(w))
    result = MNLExpr(mapped)
    assert result.shape == (2, 2)
    assert repr(result[1, 0]) == "<NLExpr: cos(w[1,0])>"


@pytest.mark.parametrize("kind, array", [
    (MVar, [x, 2 * y]),
    (MLinExpr, [x, y]),
    (MNLExpr, [x]),
])
def test_matrix_constructors_check_elements(kind, array):
    with pytest.raises(TypeError):
        kind(np.array(array, dtype=object))


def test_matrix_classes_are_distinct_for_instance_tests():
    kinds = [MVar, MLinExpr, MQuadExpr, MNLExpr]
    for kind in kinds:
        obj = make_matrix(kind, (2,))
        assert [isinstance(obj, k) for k in kinds] == [k is kind for k in kinds]


def test_sum_axis0_of_vector_is_scalar():
    v = MVar.named("v", 3)
    total = v.sum(axis=0)
    assert type(total) is LinExpr
    assert lin(total) == (0.0, ((1.0, "v[0]"), (1.0, "v[1]"), (1.0, "v[2]")))


@pytest.mark.parametrize("kind, result_kind", [
    (MVar, MLinExpr), (MLinExpr, MLinExpr), (MQuadExpr, MQuadExpr)])
def test_sum_axis0_of_matrix_sums_columns(kind, result_kind):
    matrix = make_matrix(kind, (3, 2))
    total = matrix.sum(axis=0)
    assert type(total) is result_kind
    assert total.shape == (2,)
    for j in range(2):
        expected = LinExpr() if kind is not MQuadExpr else QuadExpr()
        for i in range(3):
            expected += matrix.array[i, j]
        assert repr(total[j]) == repr(expected)


def test_sum_axis0_of_empty_first_axis():
    empty = MVar(np.empty((0, 2), dtype=object))
    total = empty.sum(axis=0)
    assert total.shape == (2,)
    assert all(lin(e) == (0.0, ()) for e in total.array)


# -- keyed containers ----------------------------------------------------------

@pytest.mark.parametrize("source", [
    {("a", 1): 2, ("b", 2): 3},
    iter([(("a", 1), 2), (("b", 2), 3)]),
])
def test_tupledict_from_mapping_or_pairs(source):
    td = tupledict(source)
    assert dict(td) == {("a", 1): 2, ("b", 2): 3}
    assert list(td.keys()) == list(td.keys())


@pytest.mark.parametrize("source", [iter([1, 2]), iter([None])])
def test_tupledict_pair_form_refuses_non_pairs_with_type_error(source):
    with pytest.raises(TypeError):
        tupledict(source)


def test_tupledict_sum_and_tuplelist():
    td = tupledict({"a": x, "b": 2 * y, "c": 1})
    assert lin(td.sum()) == (1.0, ((1.0, "x"), (2.0, "y")))
    keys = tuplelist(td.keys())
    assert isinstance(keys, list)
    assert keys == ["a", "b", "c"]


# -- the package namespace -----------------------------------------------------

def run_python(code):
    return subprocess.run(
        [sys.executable, "-P", "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=60)


def test_package_import_is_lazy_and_reexports_classes():
    proc = run_python("""
        import sys
        import tarvelpy
        assert "tarvelpy._helpers" not in sys.modules, "imported eagerly"
        from tarvelpy import Var, MNLExpr
        import tarvelpy._core, tarvelpy._matrixapi
        assert Var is tarvelpy._core.Var
        assert MNLExpr is tarvelpy._matrixapi.MNLExpr
        assert "tarvelpy._helpers" not in sys.modules
        try:
            tarvelpy.no_such_name
        except AttributeError:
            pass
        else:
            raise AssertionError("no AttributeError")
    """)
    assert proc.returncode == 0, proc.stderr

"""quicksum: summing modeling terms into one expression."""

import builtins
import types
import warnings

import pytest
from hypothesis import given
from hypothesis import strategies as st

import tarvelpy._helpers as helpers
from tarvelpy._core import LinExpr, QuadExpr, Var, tupledict
from tarvelpy._matrixapi import MLinExpr, MQuadExpr, MVar

from support import Boom, lin, module_entries

quicksum = helpers.quicksum

FRAME = "tarvelpy._helpers.quicksum"
MESSAGE = "Calling quicksum on a tupledict is deprecated, use .sum() instead."

x, y, z = Var("x"), Var("y"), Var("z")


def assert_fails_at(excinfo, line):
    assert module_entries(excinfo.value) == [(FRAME, line)]


def hooked_class(log, label, answer=False, error=None):
    """A class whose instance test is recorded in ``log``.

    The hook answers ``answer`` for anything that is not a real instance,
    or raises ``error`` when given.
    """
    class Meta(type):
        def __instancecheck__(cls, obj):
            log.append(("isinstance", label))
            if error is not None:
                raise error
            return answer or type.__instancecheck__(cls, obj)

    return Meta(label, (), {})


class Running:
    """A running sum that records every in-place addition made into it."""

    def __init__(self, log, tag, fresh=False):
        self.log = log
        self.tag = tag
        self.fresh = fresh

    def __iadd__(self, term):
        self.log.append(("iadd", self.tag, term))
        if self.fresh:
            return Running(self.log, self.tag + 1, fresh=True)
        return self


def recording_linexpr(log, make=LinExpr):
    """A stand-in for the module-level ``LinExpr`` that records its calls."""
    made = []

    def factory(*args, **kwargs):
        log.append(("LinExpr", args, kwargs))
        obj = make()
        made.append(obj)
        return obj

    factory.made = made
    return factory


# ---------------------------------------------------------------- interface

DOC_LINES = [
    "",
    "  ROUTINE:",
    "    quicksum(list)",
    "",
    "  PURPOSE:",
    "    A quicker version of the Python built-in 'sum' function for building",
    "    Tarvel expressions.",
    "",
    "  ARGUMENTS:",
    "    list: A list of terms.",
    "",
    "  RETURN VALUE:",
    "    An expression that represents the sum of the input arguments.",
    "",
    "  EXAMPLE:",
    "    expr = quicksum([x, y, z])",
    "    expr = quicksum([1.0, 2*y, 3*z*z])",
    "  ",
]


def test_docstring_is_exact():
    assert quicksum.__doc__ == "\n".join(DOC_LINES)


def test_argument_by_keyword():
    assert lin(quicksum(list=[x, 2])) == (2.0, ((1.0, "x"),))


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "quicksum() takes exactly 1 positional argument (0 given)"),
    (([x], [y]), {},
     "quicksum() takes exactly 1 positional argument (2 given)"),
    (([x],), {"list": [y]},
     "quicksum() got multiple values for keyword argument 'list'"),
    (([x],), {"terms": [y]},
     "quicksum() got an unexpected keyword argument 'terms'"),
    ((), {"terms": [y]},
     "quicksum() got an unexpected keyword argument 'terms'"),
])
def test_binding_errors_report_def_line(args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        quicksum(*args, **kwargs)
    assert str(excinfo.value) == message
    assert_fails_at(excinfo, 12)


# ------------------------------------------------------------ general case

def test_docstring_examples():
    assert lin(quicksum([x, y, z])) == (
        0.0, ((1.0, "x"), (1.0, "y"), (1.0, "z")))
    result = quicksum([1.0, 2 * y, 3 * (z * z)])
    # 3*z*z is not linear: the running sum turns into a QuadExpr.
    assert type(result) is QuadExpr
    assert lin(result.linear) == (1.0, ((2.0, "y"),))
    assert [(c, a.name, b.name) for c, a, b in result.quad_terms] == [
        (3.0, "z", "z")]


@pytest.mark.parametrize("make", [
    lambda: [],
    lambda: (),
    lambda: (t for t in ()),
    lambda: iter([]),
    lambda: set(),
    lambda: {},
], ids=["list", "tuple", "generator", "list-iterator", "set", "dict"])
def test_empty_input_gives_new_empty_linexpr(make):
    first = quicksum(make())
    second = quicksum(make())
    assert type(first) is LinExpr
    assert lin(first) == (0.0, ())
    assert first is not second


def test_exhausted_generator_gives_empty_linexpr():
    gen = (t for t in [x, y])
    list(gen)
    result = quicksum(gen)
    assert type(result) is LinExpr and lin(result) == (0.0, ())


def test_empty_input_returns_what_linexpr_made(monkeypatch):
    log = []
    factory = recording_linexpr(log)
    monkeypatch.setattr(helpers, "LinExpr", factory)
    result = quicksum([])
    assert log == [("LinExpr", (), {})]
    assert result is factory.made[0]


def test_generator_consumed_once_in_order():
    pulled = []

    def gen():
        for term in (x, 1, y, 2.5, z):
            pulled.append(term)
            yield term

    g = gen()
    result = quicksum(g)
    assert pulled == [x, 1, y, 2.5, z]
    assert lin(result) == (3.5, ((1.0, "x"), (1.0, "y"), (1.0, "z")))
    with pytest.raises(StopIteration):
        next(g)


@pytest.mark.parametrize("terms, expected", [
    ([x, y, x, 3], [x, y, x, 3]),
    ((x, y, x, 3), [x, y, x, 3]),
    (iter([x, y, x, 3]), [x, y, x, 3]),
    ({x: 0, y: 0}.keys(), [x, y]),
], ids=["list", "tuple", "iterator", "dict-keys"])
def test_terms_added_in_order(terms, expected, monkeypatch):
    log = []
    running = Running(log, 0)
    monkeypatch.setattr(helpers, "LinExpr", lambda: running)
    assert quicksum(terms) is running
    assert log == [("iadd", 0, term) for term in expected]


def test_number_fails_at_walk_after_linexpr_made(monkeypatch):
    log = []
    monkeypatch.setattr(helpers, "LinExpr", recording_linexpr(log))
    with pytest.raises(TypeError) as excinfo:
        quicksum(5)
    assert str(excinfo.value) == "'int' object is not iterable"
    assert log == [("LinExpr", (), {})]
    assert_fails_at(excinfo, 41)


@pytest.mark.parametrize("base", [list, tuple])
def test_sequence_subclass_walked_through_its_iterator(base):
    class Seq(base):
        def __iter__(self):
            return iter([y, 7])

    result = quicksum(Seq([x, x, x]))
    assert lin(result) == (7.0, ((1.0, "y"),))


def test_exact_list_sums_items_appended_during_walk():
    terms = []

    class Grower:
        """A term that appends one more term to the list being summed."""

        def __init__(self, name, extra):
            self.var = Var(name)
            self.extra = extra

        def __radd__(self, running):
            if self.extra is not None:
                terms.append(self.extra)
            running += self.var
            return running

    terms.extend([Grower("a", Grower("c", None)), Grower("b", 5)])
    result = quicksum(terms)
    assert lin(result) == (5.0, ((1.0, "a"), (1.0, "b"), (1.0, "c")))
    assert len(terms) == 4


def test_exact_list_walk_stops_at_current_length():
    terms = []

    class Shrinker:
        def __radd__(self, running):
            del terms[1:]
            running += x
            return running

    terms.extend([Shrinker(), y, z])
    result = quicksum(terms)
    assert lin(result) == (0.0, ((1.0, "x"),))


def test_running_sum_kept_when_iadd_returns_self(monkeypatch):
    log = []
    factory = recording_linexpr(log)
    monkeypatch.setattr(helpers, "LinExpr", factory)
    result = quicksum([x, 2, y])
    assert result is factory.made[0]
    assert lin(result) == (2.0, ((1.0, "x"), (1.0, "y")))


def test_running_sum_replaced_by_every_addition(monkeypatch):
    log = []
    monkeypatch.setattr(helpers, "LinExpr",
                        lambda: Running(log, 0, fresh=True))
    result = quicksum(["a", "b", "c"])
    assert log == [("iadd", 0, "a"), ("iadd", 1, "b"), ("iadd", 2, "c")]
    assert type(result) is Running and result.tag == 3


def test_running_sum_may_change_class():
    result = quicksum([x, x * y, z, 4])
    assert type(result) is QuadExpr
    assert lin(result.linear) == (4.0, ((1.0, "x"), (1.0, "z")))
    assert [(a.name, b.name) for _, a, b in result.quad_terms] == [("x", "y")]


@pytest.mark.parametrize("term", [x, 3, LinExpr(y), x * y],
                         ids=["var", "number", "linexpr", "quadexpr"])
def test_single_term_is_added_into_empty_linexpr(term):
    result = quicksum([term])
    assert result is not term
    expected = LinExpr()
    expected += term
    assert type(result) is type(expected)
    assert repr(result) == repr(expected)


def test_single_linexpr_term_leaves_term_unchanged(monkeypatch):
    term = LinExpr(x)
    log = []
    factory = recording_linexpr(log)
    monkeypatch.setattr(helpers, "LinExpr", factory)
    result = quicksum([term])
    assert result is factory.made[0] and result is not term
    assert lin(term) == (0.0, ((1.0, "x"),))


def test_rebinding_linexpr_changes_start_value(monkeypatch):
    monkeypatch.setattr(helpers, "LinExpr", lambda: LinExpr(10))
    assert lin(quicksum([x])) == (10.0, ((1.0, "x"),))
    assert lin(quicksum([])) == (10.0, ())


def test_linexpr_found_among_builtins(monkeypatch):
    monkeypatch.delattr(helpers, "LinExpr")
    monkeypatch.setattr(builtins, "LinExpr", lambda: LinExpr(-1),
                        raising=False)
    assert lin(quicksum([x])) == (-1.0, ((1.0, "x"),))


@pytest.mark.parametrize("terms", [(t for t in (x, 1.5, y, -2)),
                                   [x, 1.5, y, -2], (x, 1.5, y, -2)],
                         ids=["generator", "list", "tuple"])
def test_numbers_and_vars(terms):
    assert lin(quicksum(terms)) == (-0.5, ((1.0, "x"), (1.0, "y")))


# ------------------------------------------------------------ the iterator

class StopHere(StopIteration):
    pass


class Terms:
    """An iterable whose iterator gives ``items`` and then ends with ``end``
    (an exception instance raised from ``__next__``)."""

    def __init__(self, items, end):
        self.items = list(items)
        self.end = end
        self.pulled = 0

    def __iter__(self):
        return self

    def __next__(self):
        if self.pulled < len(self.items):
            self.pulled += 1
            return self.items[self.pulled - 1]
        self.pulled += 1
        raise self.end


@pytest.mark.parametrize("end", [StopIteration(), StopHere(),
                                 StopIteration("value")])
def test_stop_iteration_and_subclasses_end_the_walk(end):
    terms = Terms([x, 2], end)
    result = quicksum(terms)
    assert lin(result) == (2.0, ((1.0, "x"),))
    assert terms.pulled == 3


@pytest.mark.parametrize("error", [Boom("next"), ValueError("v"),
                                   TypeError("t"), KeyError("k")])
def test_other_exceptions_from_next_fail_at_walk(error):
    with pytest.raises(type(error)) as excinfo:
        quicksum(Terms([x, y], error))
    assert excinfo.value is error
    assert_fails_at(excinfo, 41)


def test_iter_raising_fails_at_walk():
    error = Boom("iter")

    class BadIter:
        def __iter__(self):
            raise error

    with pytest.raises(Boom) as excinfo:
        quicksum(BadIter())
    assert excinfo.value is error
    assert_fails_at(excinfo, 41)


def test_iter_returning_non_iterator_fails_at_walk():
    class BadIter:
        def __iter__(self):
            return 3

    with pytest.raises(TypeError) as excinfo:
        quicksum(BadIter())
    assert_fails_at(excinfo, 41)


class NoNext:
    pass


class Reclassing:
    def __iter__(self):
        return self

    def __next__(self):
        return self

    def __radd__(self, running):
        self.__class__ = NoNext
        return running


def test_an_iterator_given_a_class_without_next_during_the_walk():
    # Its first item, once added, makes it a NoNext: no next item, as in a for loop.
    with pytest.raises(TypeError, match="^'NoNext' object is not iterable$") as excinfo:
        quicksum(Reclassing())
    assert_fails_at(excinfo, 41)


# ------------------------------------------------------------ the additions

def test_unsupported_term_fails_at_addition():
    with pytest.raises(TypeError) as excinfo:
        quicksum([x, "text"])
    assert "LinExpr" in str(excinfo.value) and "str" in str(excinfo.value)
    assert_fails_at(excinfo, 42)


def test_addition_error_passes_through_after_earlier_terms():
    error = Boom("add")
    added = []

    class Bad:
        def __radd__(self, running):
            raise error

    class Good:
        def __radd__(self, running):
            added.append(self)
            return running

    good = Good()
    with pytest.raises(Boom) as excinfo:
        quicksum([good, Bad(), Good()])
    assert excinfo.value is error
    assert added == [good]
    assert_fails_at(excinfo, 42)


# ------------------------------------------------------ the tupledict case

def test_tupledict_warns_and_sums_its_values():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = quicksum(tupledict({(1, 2): x, (3,): 2, "k": y}))
    assert lin(result) == (2.0, ((1.0, "x"), (1.0, "y")))
    assert len(caught) == 1
    assert caught[0].category is DeprecationWarning
    assert str(caught[0].message) == MESSAGE
    # No stack level is given: the warning points at the caller of quicksum.
    assert caught[0].filename == __file__


def test_tupledict_subclass_takes_the_deprecated_path():
    class Sub(tupledict):
        pass

    with pytest.warns(DeprecationWarning, match="use .sum"):
        result = quicksum(Sub({1: x}))
    assert lin(result) == (0.0, ((1.0, "x"),))


def test_empty_tupledict_sums_to_empty_linexpr():
    with pytest.warns(DeprecationWarning):
        result = quicksum(tupledict())
    assert type(result) is LinExpr and lin(result) == (0.0, ())


def test_warn_called_with_message_and_category_only(monkeypatch):
    calls = []

    def warn(*args, **kwargs):
        calls.append((args, kwargs))
        return "ignored"

    monkeypatch.setattr(helpers, "warnings", types.SimpleNamespace(warn=warn))
    result = quicksum(tupledict({1: x}))
    assert calls == [((MESSAGE, DeprecationWarning), {})]
    assert type(calls[0][0][0]) is str
    assert lin(result) == (0.0, ((1.0, "x"),))


def test_tupledict_path_order_and_arguments(monkeypatch):
    log = []
    values_result = object()
    sentinel = object()

    class Recorded(tupledict):
        def values(self, *args, **kwargs):
            log.append(("values", args, kwargs))
            return values_result

    def inner(*args, **kwargs):
        log.append(("quicksum", args, kwargs))
        return sentinel

    monkeypatch.setattr(helpers, "warnings", types.SimpleNamespace(
        warn=lambda *a: log.append(("warn",))))
    monkeypatch.setattr(helpers, "quicksum", inner)
    monkeypatch.setattr(helpers, "LinExpr", recording_linexpr(log))
    result = quicksum(Recorded({1: x}))
    assert result is sentinel
    assert log == [("warn",), ("values", (), {}),
                   ("quicksum", (values_result,), {})]


def test_tupledict_path_looks_up_quicksum_before_values(monkeypatch):
    first, second = object(), object()

    class Rebinding(tupledict):
        def values(self):
            # Rebinding now must not change the function already looked up.
            helpers.quicksum = lambda terms: second
            return super().values()

    monkeypatch.setattr(helpers, "quicksum", lambda terms: first)
    with pytest.warns(DeprecationWarning):
        assert quicksum(Rebinding({1: x})) is first


def test_tupledict_inner_call_is_the_current_binding(monkeypatch):
    seen = []
    with pytest.warns(DeprecationWarning):
        quicksum(tupledict({1: x}))
    monkeypatch.setattr(helpers, "quicksum",
                        lambda terms: seen.append(list(terms)) or "rebound")
    with pytest.warns(DeprecationWarning):
        assert quicksum(tupledict({1: x, 2: y})) == "rebound"
    assert seen == [[x, y]]


def test_warnings_as_errors_fail_before_values(monkeypatch):
    called = []

    class Recorded(tupledict):
        def values(self):
            called.append(True)
            return super().values()

    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(DeprecationWarning) as excinfo:
            quicksum(Recorded({1: x}))
    assert str(excinfo.value) == MESSAGE
    assert called == []
    assert_fails_at(excinfo, 32)


def test_warn_raising_fails_at_32(monkeypatch):
    error = Boom("warn")

    def warn(*args):
        raise error

    monkeypatch.setattr(helpers, "warnings", types.SimpleNamespace(warn=warn))
    with pytest.raises(Boom) as excinfo:
        quicksum(tupledict({1: x}))
    assert excinfo.value is error
    assert_fails_at(excinfo, 32)


def test_missing_warnings_fails_at_32(monkeypatch):
    monkeypatch.delattr(helpers, "warnings")
    with pytest.raises(NameError) as excinfo:
        quicksum(tupledict({1: x}))
    assert str(excinfo.value) == "name 'warnings' is not defined"
    assert_fails_at(excinfo, 32)


def test_warnings_without_warn_fails_at_32(monkeypatch):
    monkeypatch.setattr(helpers, "warnings", types.SimpleNamespace())
    with pytest.raises(AttributeError) as excinfo:
        quicksum(tupledict({1: x}))
    assert_fails_at(excinfo, 32)


def test_missing_quicksum_fails_at_36_before_values(monkeypatch):
    called = []

    class Recorded(tupledict):
        def values(self):
            called.append(True)
            return super().values()

    monkeypatch.delattr(helpers, "quicksum")
    with pytest.warns(DeprecationWarning):
        with pytest.raises(NameError) as excinfo:
            quicksum(Recorded({1: x}))
    assert str(excinfo.value) == "name 'quicksum' is not defined"
    assert called == []
    assert_fails_at(excinfo, 36)


def test_values_raising_fails_at_36():
    error = Boom("values")

    class Bad(tupledict):
        def values(self):
            raise error

    with pytest.warns(DeprecationWarning):
        with pytest.raises(Boom) as excinfo:
            quicksum(Bad())
    assert excinfo.value is error
    assert_fails_at(excinfo, 36)


@pytest.mark.parametrize("data, values, inner_line", [
    ({1: x, 2: "text"}, None, 42),
    ({}, 5, 41),
], ids=["addition", "walk"])
def test_inner_failure_shows_outer_then_inner_entry(data, values, inner_line):
    class Td(tupledict):
        def values(self):
            return super().values() if values is None else values

    with pytest.warns(DeprecationWarning):
        with pytest.raises(TypeError) as excinfo:
            quicksum(Td(data))
    assert module_entries(excinfo.value) == [(FRAME, 36), (FRAME, inner_line)]


def test_missing_tupledict_fails_at_31(monkeypatch):
    monkeypatch.delattr(helpers, "tupledict")
    with pytest.raises(NameError) as excinfo:
        quicksum([x])
    assert str(excinfo.value) == "name 'tupledict' is not defined"
    assert_fails_at(excinfo, 31)


def test_tupledict_instance_hook_raising_fails_at_31(monkeypatch):
    error = Boom("hook")
    monkeypatch.setattr(helpers, "tupledict",
                        hooked_class([], "tupledict", error=error))
    with pytest.raises(Boom) as excinfo:
        quicksum([x])
    assert excinfo.value is error
    assert_fails_at(excinfo, 31)


def test_tupledict_instance_hook_is_honoured(monkeypatch):
    sentinel = object()

    class Values:
        def values(self):
            return "values"

    monkeypatch.setattr(helpers, "tupledict",
                        hooked_class([], "tupledict", answer=True))
    monkeypatch.setattr(helpers, "quicksum", lambda terms: (terms, sentinel))
    with pytest.warns(DeprecationWarning):
        assert quicksum(Values()) == ("values", sentinel)


def test_instance_tests_in_order_then_linexpr(monkeypatch):
    log = []
    for name in ("tupledict", "MVar", "MLinExpr", "MQuadExpr"):
        monkeypatch.setattr(helpers, name, hooked_class(log, name))
    monkeypatch.setattr(helpers, "LinExpr", recording_linexpr(log))
    quicksum([])
    assert log == [("isinstance", "tupledict"), ("isinstance", "MVar"),
                   ("isinstance", "MLinExpr"), ("isinstance", "MQuadExpr"),
                   ("LinExpr", (), {})]


# --------------------------------------------------------- the matrix case

def recording_matrix(base, log, result):
    class Recorded(base):
        def sum(self, *args, **kwargs):
            log.append(("sum", args, kwargs))
            return result

    return Recorded


@pytest.mark.parametrize("base", [MVar, MLinExpr, MQuadExpr])
def test_matrix_object_returns_its_sum_axis_0(base, monkeypatch):
    log = []
    sentinel = object()
    monkeypatch.setattr(helpers, "LinExpr", recording_linexpr(log))
    # The element check of the real constructor is not what is tested here.
    obj = object.__new__(recording_matrix(base, log, sentinel))
    assert quicksum(obj) is sentinel
    assert log == [("sum", (), {"axis": 0})]
    assert type(log[0][2]["axis"]) is int


@pytest.mark.parametrize("shape", [(3,), (2, 3)])
def test_real_matrix_variable_sums_over_first_axis(shape):
    mv = MVar.named("v", shape)
    expected = mv.sum(axis=0)
    result = quicksum(mv)
    assert type(result) is type(expected)
    assert repr(result) == repr(expected)


def test_real_matrix_expressions():
    ml = MLinExpr([LinExpr(x), LinExpr(3)])
    assert lin(quicksum(ml)) == (3.0, ((1.0, "x"),))
    mq = MQuadExpr([[x * y], [QuadExpr(z)]])
    result = quicksum(mq)
    assert type(result) is MQuadExpr and result.shape == (1,)


def test_matrix_tests_stop_at_first_success(monkeypatch):
    log = []
    sentinel = object()

    class Summable:
        def sum(self, **kwargs):
            log.append(("sum", kwargs))
            return sentinel

    monkeypatch.setattr(helpers, "MVar", hooked_class(log, "MVar"))
    monkeypatch.setattr(helpers, "MLinExpr",
                        hooked_class(log, "MLinExpr", answer=True))
    monkeypatch.setattr(helpers, "MQuadExpr", hooked_class(log, "MQuadExpr"))
    assert quicksum(Summable()) is sentinel
    assert log == [("isinstance", "MVar"), ("isinstance", "MLinExpr"),
                   ("sum", {"axis": 0})]


@pytest.mark.parametrize("missing", ["MVar", "MLinExpr", "MQuadExpr"])
def test_matrix_names_all_looked_up_before_any_test(missing, monkeypatch):
    monkeypatch.delattr(helpers, missing)
    with pytest.raises(NameError) as excinfo:
        quicksum(MVar.named("v", 2))
    assert str(excinfo.value) == f"name '{missing}' is not defined"
    assert_fails_at(excinfo, 37)


@pytest.mark.parametrize("name", ["MVar", "MLinExpr", "MQuadExpr"])
def test_matrix_instance_hook_raising_fails_at_37(name, monkeypatch):
    error = Boom(name)
    log = []
    for other in ("MVar", "MLinExpr", "MQuadExpr"):
        monkeypatch.setattr(helpers, other, hooked_class(
            log, other, error=error if other == name else None))
    with pytest.raises(Boom) as excinfo:
        quicksum([x])
    assert excinfo.value is error
    assert_fails_at(excinfo, 37)


def test_matrix_sum_failure_fails_at_38():
    error = Boom("sum")

    class Bad(MVar):
        def sum(self, axis=None):
            raise error

    with pytest.raises(Boom) as excinfo:
        quicksum(Bad([x, y]))
    assert excinfo.value is error
    assert_fails_at(excinfo, 38)


def test_matrix_sum_refusing_the_keyword_fails_at_38():
    class NoAxis(MLinExpr):
        def sum(self):
            return "unreachable"

    with pytest.raises(TypeError) as excinfo:
        quicksum(NoAxis([LinExpr(x)]))
    assert "axis" in str(excinfo.value)
    assert_fails_at(excinfo, 38)


def test_list_of_matrix_objects_summed_term_by_term():
    log = []

    class Mv(MVar):
        def sum(self, *args, **kwargs):
            log.append(("sum", self))
            return "whole"

        def __radd__(self, running):
            log.append(("radd", self))
            return running

    a, b = Mv([x]), Mv([y])
    result = quicksum([a, b])
    assert type(result) is LinExpr
    assert log == [("radd", a), ("radd", b)]


# ----------------------------------------------------- linexpr failures

def test_missing_linexpr_fails_at_40(monkeypatch):
    monkeypatch.delattr(helpers, "LinExpr")
    with pytest.raises(NameError) as excinfo:
        quicksum([x])
    assert str(excinfo.value) == "name 'LinExpr' is not defined"
    assert_fails_at(excinfo, 40)


def test_linexpr_raising_fails_at_40_before_walk(monkeypatch):
    error = Boom("LinExpr")
    pulled = []

    def gen():
        pulled.append(True)
        yield x

    def bad():
        raise error

    monkeypatch.setattr(helpers, "LinExpr", bad)
    with pytest.raises(Boom) as excinfo:
        quicksum(gen())
    assert excinfo.value is error
    assert pulled == []
    assert_fails_at(excinfo, 40)


# ---------------------------------------------------------------- properties

numbers = st.one_of(
    st.integers(min_value=-10**6, max_value=10**6),
    st.floats(allow_nan=False, allow_infinity=False, width=32))
terms = st.lists(st.one_of(numbers, st.sampled_from([x, y, z])), max_size=20)


@given(terms)
def test_matches_builtin_sum(items):
    expected = sum(items, LinExpr())
    assert lin(quicksum(items)) == lin(expected)
    assert lin(quicksum(tuple(items))) == lin(expected)
    assert lin(quicksum(iter(items))) == lin(expected)

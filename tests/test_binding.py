"""Argument binding of the module's functions and their traceback entries."""

import functools
import operator
import sys
import traceback

import pytest

import tarvelpy._core as core
import tarvelpy._helpers as helpers
import tarvelpy._matrixapi as matrixapi

from support import (
    HELPERS_FILE, capture_element_functions, count_error, module_entries,
    multiple_values, unexpected_keyword)

UNARY_LINES = dict(zip(
    ("sqrt", "sin", "cos", "tan", "exp", "log", "log2", "log10", "logistic",
     "tanh", "square"),
    (93, 116, 139, 162, 186, 210, 234, 258, 282, 306, 330)))

# name -> (parameter names, def line)
MODULE_FUNCTIONS = {
    "quicksum": (("list",), 12),
    "multidict": (("data",), 46),
    "_apply_nlfunc": (("arg", "nl_func"), 72),
    **{name: (("expr",), line) for name, line in UNARY_LINES.items()},
    "signpow": (("base", "exponent"), 353),
}

# element function -> (call name, parameter names, frame name, def line)
ELEMENT_FUNCTIONS = {
    "apply_element": ("lambda", ("x",),
                      "tarvelpy._helpers._apply_nlfunc.lambda", 85),
    "signpow_element": ("lambda1", ("tree1",),
                        "tarvelpy._helpers.signpow.lambda1", 391),
}


class Target:
    """Call name, parameters, frame name and def line of one function."""

    def __init__(self, func, call_name, params, frame, line):
        self.func = func
        self.call_name = call_name
        self.params = params
        self.frame = frame
        self.line = line

    def count_error(self, given):
        return count_error(self.call_name, len(self.params), given)

    def multiple_values(self, keyword):
        return multiple_values(self.call_name, keyword)

    def unexpected(self, keyword):
        return unexpected_keyword(self.call_name, keyword)


@pytest.fixture(scope="module")
def element_functions():
    """The element functions of one _apply_nlfunc and one signpow call."""
    return dict(zip(("apply_element", "signpow_element"),
                    capture_element_functions(matrixapi.MVar.named("x", 1))))


ALL_TARGETS = [*MODULE_FUNCTIONS, *ELEMENT_FUNCTIONS]


def make_target(name, element_functions):
    if name in MODULE_FUNCTIONS:
        params, line = MODULE_FUNCTIONS[name]
        return Target(getattr(helpers, name), name, params,
                      f"tarvelpy._helpers.{name}", line)
    call_name, params, frame, line = ELEMENT_FUNCTIONS[name]
    return Target(element_functions[name], call_name, params, frame, line)


@pytest.fixture(params=ALL_TARGETS)
def target(request, element_functions):
    return make_target(request.param, element_functions)


def raises_binding(target, message, *args, **kwargs):
    """Call target.func and check the TypeError and its one entry."""
    with pytest.raises(TypeError) as info:
        target.func(*args, **kwargs)
    assert str(info.value) == message
    assert module_entries(info.value) == [(target.frame, target.line)]
    return info.value


# ---------------------------------------------------------------------------
# Count errors, for every function


def test_no_arguments(target):
    raises_binding(target, target.count_error(0))


def test_one_too_many(target):
    n = len(target.params)
    raises_binding(target, target.count_error(n + 1), *range(n + 1))


def test_far_too_many(target):
    raises_binding(target, target.count_error(5), *range(5))


def test_too_many_with_keyword_counts_positionals(target):
    # The count check comes before any keyword is looked at, so even a
    # keyword naming a parameter is not reported.
    n = len(target.params)
    raises_binding(target, target.count_error(n + 1), *range(n + 1),
                   **{target.params[0]: 1})
    raises_binding(target, target.count_error(n + 1), *range(n + 1), foo=1)


def test_unexpected_keyword(target):
    n = len(target.params)
    raises_binding(target, target.unexpected("foo"), *range(n), foo=1)


def test_unexpected_keyword_alone(target):
    raises_binding(target, target.unexpected("bogus"), bogus=1)


def test_multiple_values(target):
    n = len(target.params)
    first = target.params[0]
    raises_binding(target, target.multiple_values(first), *range(n),
                   **{first: 1})


def test_first_bad_keyword_reported(target):
    n = len(target.params)
    raises_binding(target, target.unexpected("foo"), *range(n), foo=1, bar=2)
    raises_binding(target, target.unexpected("bar"), *range(n), bar=2, foo=1)
    # A multiple-values keyword before an unknown one decides the error ...
    raises_binding(target, target.multiple_values(target.params[0]),
                   *range(n), **{target.params[0]: 1, "foo": 2})
    # ... and an unknown one before it does too.
    raises_binding(target, target.unexpected("foo"),
                   *range(n), **{"foo": 2, target.params[0]: 1})


def test_empty_keyword_dict_is_no_keywords(target):
    raises_binding(target, target.count_error(0), **{})
    n = len(target.params)
    raises_binding(target, target.count_error(n + 1), *range(n + 1), **{})


def test_keyword_dict_with_non_string_key(target):
    # Refused by the interpreter's call protocol before the function runs:
    # no entry of the module is added.
    with pytest.raises(TypeError) as info:
        target.func(**{1: 2})
    assert str(info.value) == "keywords must be strings"
    assert module_entries(info.value) == []


def test_partial_with_non_string_keyword(target):
    # functools.partial stores its keywords in a dict. Up to 3.14 its call
    # refuses a non-string key itself; from 3.15 on it hands the key on as a
    # keyword name and the function's own binding refuses it.
    with pytest.raises(TypeError) as info:
        functools.partial(target.func, **{1: 2})()
    if sys.version_info >= (3, 15):
        assert str(info.value) == f"{target.call_name}() keywords must be strings"
        assert module_entries(info.value) == [(target.frame, target.line)]
    else:
        assert str(info.value) == "keywords must be strings"
        assert module_entries(info.value) == []


def test_binding_failure_does_not_run_body(monkeypatch):
    made = []
    monkeypatch.setattr(helpers, "LinExpr", lambda: made.append(1))
    monkeypatch.setattr(helpers, "tupledict", lambda d: made.append(2))
    for call in (lambda: helpers.quicksum([], foo=1),
                 lambda: helpers.quicksum([], []),
                 lambda: helpers.multidict({}, data={}),
                 lambda: helpers.multidict()):
        with pytest.raises(TypeError):
            call()
    assert made == []


# ---------------------------------------------------------------------------
# Specific messages


@pytest.mark.parametrize("call, message", [
    (lambda: helpers.multidict(),
     "multidict() takes exactly 1 positional argument (0 given)"),
    (lambda: helpers.sqrt(1, 2),
     "sqrt() takes exactly 1 positional argument (2 given)"),
    (lambda: helpers._apply_nlfunc(1),
     "_apply_nlfunc() takes exactly 2 positional arguments (1 given)"),
    (lambda: helpers.signpow(1, 2, 3),
     "signpow() takes exactly 2 positional arguments (3 given)"),
    (lambda: helpers.signpow(1, 2, 3, base=1),
     "signpow() takes exactly 2 positional arguments (3 given)"),
    (lambda: helpers.signpow(exponent=2.0),
     "signpow() takes exactly 2 positional arguments (0 given)"),
    (lambda: helpers.signpow(base=2.0),
     "signpow() takes exactly 2 positional arguments (1 given)"),
    (lambda: helpers._apply_nlfunc(nl_func=core._ExprTree._from_sin),
     "_apply_nlfunc() takes exactly 2 positional arguments (0 given)"),
    (lambda: helpers._apply_nlfunc(arg=2.0),
     "_apply_nlfunc() takes exactly 2 positional arguments (1 given)"),
    (lambda: helpers._apply_nlfunc(2.0, arg=2.0),
     "_apply_nlfunc() got multiple values for keyword argument 'arg'"),
    (lambda: helpers.signpow(2.0, base=2.0, exponent=1.0),
     "signpow() got multiple values for keyword argument 'base'"),
    (lambda: helpers.signpow(2.0, exponent=1.0, base=2.0),
     "signpow() got multiple values for keyword argument 'base'"),
    (lambda: helpers.signpow(2.0, exponent=1.0, foo=2.0),
     "signpow() got an unexpected keyword argument 'foo'"),
    (lambda: helpers.multidict({}, data={}),
     "multidict() got multiple values for keyword argument 'data'"),
    (lambda: helpers.multidict({}, foo=1),
     "multidict() got an unexpected keyword argument 'foo'"),
    (lambda: helpers.multidict(**{}),
     "multidict() takes exactly 1 positional argument (0 given)"),
    (lambda: helpers.quicksum(List=[]),
     "quicksum() got an unexpected keyword argument 'List'"),
])
def test_message(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert len(module_entries(info.value)) == 1


# ---------------------------------------------------------------------------
# Successful binding


def test_keywords_bind_like_positionals():
    tree = core._ExprTree._from_sin
    assert repr(helpers._apply_nlfunc(2.0, nl_func=tree)) == "<NLExpr: sin(2.0)>"
    assert repr(helpers._apply_nlfunc(arg=2.0, nl_func=tree)) == "<NLExpr: sin(2.0)>"
    assert repr(helpers._apply_nlfunc(nl_func=tree, arg=2.0)) == "<NLExpr: sin(2.0)>"
    expected = "<NLExpr: signpow(2.0, 3.0)>"
    assert repr(helpers.signpow(2.0, 3.0)) == expected
    assert repr(helpers.signpow(2.0, exponent=3.0)) == expected
    assert repr(helpers.signpow(base=2.0, exponent=3.0)) == expected
    assert repr(helpers.signpow(exponent=3.0, base=2.0)) == expected
    assert repr(helpers.sqrt(expr=4.0)) == "<NLExpr: sqrt(4.0)>"


def test_keyword_dict_behaves_as_positional():
    data = {"a": [1, 2], "b": [3, 4]}
    assert helpers.multidict(**{"data": data}) == helpers.multidict(data)
    assert helpers.multidict(data, **{}) == helpers.multidict(data)
    x = core.Var("x")
    assert repr(helpers.quicksum(**{"list": [x, 1]})) == "<LinExpr: x + 1.0>"


@pytest.mark.parametrize("name", ALL_TARGETS)
def test_keyword_binding_for_every_function(name, element_functions):
    target = make_target(name, element_functions)
    args = {
        "quicksum": ([1.0],),
        "multidict": ({"a": [1]},),
        "_apply_nlfunc": (1.0, core._ExprTree._from_log),
        "signpow": (1.0, 2.0),
        "apply_element": (core.NLExpr._coerce_to_exprtree(1.0),),
        "signpow_element": (core.NLExpr._coerce_to_exprtree(1.0),),
    }.get(name, (1.0,))
    positional = target.func(*args)
    by_keyword = target.func(**dict(zip(target.params, args)))
    assert repr(by_keyword) == repr(positional)


def test_element_functions_work(element_functions):
    one = core.NLExpr._coerce_to_exprtree(1.0)
    assert repr(element_functions["apply_element"](one)) == "<NLExpr: sin(1.0)>"
    assert repr(element_functions["signpow_element"](tree1=one)) == \
        "<NLExpr: signpow(1.0, 2.0)>"


class Name(str):
    """A keyword name of a str subclass; hashes like the str."""

    __hash__ = str.__hash__


class BadName(str):
    """A keyword name whose comparison fails."""

    __hash__ = str.__hash__

    def __eq__(self, other):
        raise ZeroDivisionError(f"cannot compare {str(self)!r}")


def test_str_subclass_keyword_binds():
    data = {"a": [1, 2]}
    assert helpers.multidict(**{Name("data"): data}) == helpers.multidict(data)
    expected = "<NLExpr: signpow(2.0, 3.0)>"
    assert repr(helpers.signpow(**{Name("exponent"): 3.0,
                                   Name("base"): 2.0})) == expected


def test_str_subclass_keyword_errors():
    with pytest.raises(TypeError) as info:
        helpers.multidict({}, **{Name("data"): {}})
    assert str(info.value) == \
        "multidict() got multiple values for keyword argument 'data'"
    with pytest.raises(TypeError) as info:
        helpers.multidict({}, **{Name("other"): {}})
    assert str(info.value) == \
        "multidict() got an unexpected keyword argument 'other'"


@pytest.mark.parametrize("call", [
    lambda: helpers.multidict(**{BadName("data"): {}}),
    lambda: helpers.signpow(2.0, **{BadName("exponent"): 1.0}),
])
def test_str_subclass_keyword_comparison_error_propagates(call):
    with pytest.raises(ZeroDivisionError) as info:
        call()
    assert str(info.value).startswith("cannot compare ")
    assert len(module_entries(info.value)) == 1


# ---------------------------------------------------------------------------
# Traceback entries: binding versus body


@pytest.mark.parametrize("call, frame, line", [
    (lambda: helpers.multidict(5), "tarvelpy._helpers.multidict", 62),
    (lambda: helpers.quicksum(5), "tarvelpy._helpers.quicksum", 41),
    (lambda: helpers.signpow("a", 2.0), "tarvelpy._helpers.signpow", 396),
])
def test_body_failure_shows_only_body_line(call, frame, line):
    with pytest.raises(TypeError) as info:
        call()
    assert module_entries(info.value) == [(frame, line)]


def test_repeated_failure_same_entry():
    # Each failure adds its own single entry; repeating it changes nothing.
    for _ in range(3):
        with pytest.raises(TypeError) as info:
            helpers.multidict()
        entries = [fs for fs in traceback.extract_tb(info.value.__traceback__)
                   if fs.filename == HELPERS_FILE]
        assert [(fs.name, fs.lineno) for fs in entries] == \
            [("tarvelpy._helpers.multidict", 46)]


def test_nested_binding_failure_entries(monkeypatch):
    # A binding failure of an inner call, reached from a body, keeps its own
    # entry after the outer one.
    monkeypatch.setattr(helpers, "LinExpr", helpers.multidict)
    with pytest.raises(TypeError) as info:
        helpers.quicksum([])
    assert str(info.value) == \
        "multidict() takes exactly 1 positional argument (0 given)"
    assert module_entries(info.value) == [
        ("tarvelpy._helpers.quicksum", 40),
        ("tarvelpy._helpers.multidict", 46)]


# ---------------------------------------------------------------------------
# Other call routes


def test_partial():
    expected = "<NLExpr: signpow(2.0, 3.0)>"
    assert repr(functools.partial(helpers.signpow, 2.0)(3.0)) == expected
    assert repr(functools.partial(helpers.signpow, 2.0)(exponent=3.0)) == expected
    assert repr(functools.partial(helpers.signpow, exponent=3.0)(2.0)) == expected
    with pytest.raises(TypeError) as info:
        functools.partial(helpers.signpow, 2.0)(base=1.0)
    assert str(info.value) == \
        "signpow() got multiple values for keyword argument 'base'"
    assert module_entries(info.value) == [("tarvelpy._helpers.signpow", 353)]
    with pytest.raises(TypeError) as info:
        functools.partial(helpers.multidict, {})({})
    assert str(info.value) == \
        "multidict() takes exactly 1 positional argument (2 given)"


def test_map():
    assert [repr(r) for r in map(helpers.sqrt, [1.0, 4.0])] == \
        ["<NLExpr: sqrt(1.0)>", "<NLExpr: sqrt(4.0)>"]
    assert [repr(r) for r in map(helpers.signpow, [1.0], [2.0])] == \
        ["<NLExpr: signpow(1.0, 2.0)>"]
    with pytest.raises(TypeError) as info:
        list(map(helpers.multidict, [{}], [{}]))
    assert str(info.value) == \
        "multidict() takes exactly 1 positional argument (2 given)"
    assert module_entries(info.value) == [("tarvelpy._helpers.multidict", 46)]


def test_operator_call():
    assert repr(operator.call(helpers.signpow, 2.0, exponent=3.0)) == \
        "<NLExpr: signpow(2.0, 3.0)>"
    with pytest.raises(TypeError) as info:
        operator.call(helpers.multidict)
    assert str(info.value) == \
        "multidict() takes exactly 1 positional argument (0 given)"
    with pytest.raises(TypeError) as info:
        operator.call(helpers.quicksum, [], lst=1)
    assert str(info.value) == \
        "quicksum() got an unexpected keyword argument 'lst'"


class Number(float):
    """A float whose methods are module functions: the instance is bound."""

    root = helpers.sqrt
    power = helpers.signpow


def test_method_binding():
    four = Number(4.0)
    assert repr(four.root()) == "<NLExpr: sqrt(4.0)>"
    assert repr(four.power(3.0)) == "<NLExpr: signpow(4.0, 3.0)>"
    assert repr(four.power(exponent=3.0)) == "<NLExpr: signpow(4.0, 3.0)>"
    for call, message in [
        (lambda: four.root(1.0),
         "sqrt() takes exactly 1 positional argument (2 given)"),
        (lambda: four.root(expr=1.0),
         "sqrt() got multiple values for keyword argument 'expr'"),
        (lambda: four.power(),
         "signpow() takes exactly 2 positional arguments (1 given)"),
        (lambda: four.power(base=1.0),
         "signpow() got multiple values for keyword argument 'base'"),
    ]:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message
        assert len(module_entries(info.value)) == 1


def test_call_through_class_is_plain_function():
    assert Number.root is helpers.sqrt
    assert repr(Number.root(4.0)) == "<NLExpr: sqrt(4.0)>"

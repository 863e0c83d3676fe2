"""Hostile input: argument binding against a model, and objects that fight back.

Every function of the module runs user code (instance-check hooks, in-place
additions, iterators, keyword comparisons, numpy callbacks). Whatever that
code does - raise, return nonsense, mutate what is being walked, remove
module globals, call back into the module - the call must end in a result
or a clean exception with its one traceback entry, never in a crash.
"""

import subprocess
import sys
import textwrap
import weakref

import numpy
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tarvelpy._helpers as helpers
from tarvelpy._core import LinExpr, NLExpr, Var, _ExprTree, tupledict, tuplelist
from tarvelpy._matrixapi import MLinExpr, MNLExpr, MVar

from support import (
    CHILD_FRAMES, FREED_MEMORY_SHOWS, UNARY, Boom, capture_element_functions,
    count_error, element_functions_of, frame, module_entries, multiple_values,
    run_child, unexpected_keyword)

DEF_LINES = {
    "quicksum": 12, "multidict": 46, "_apply_nlfunc": 72,
    **dict(zip(UNARY, (93, 116, 139, 162, 186, 210, 234, 258, 282, 306, 330))),
    "signpow": 353,
}
CALL_LINES = dict(zip(UNARY, (113, 136, 159, 183, 207, 231, 255, 279, 303, 327, 350)))
PARAMS = {
    "quicksum": ("list",), "multidict": ("data",), "_apply_nlfunc": ("arg", "nl_func"),
    **{name: ("expr",) for name in UNARY}, "signpow": ("base", "exponent"),
}
# A value per parameter name that lets the body succeed.
GOOD = {
    "list": [], "data": {}, "arg": 1.5, "nl_func": _ExprTree._from_sin,
    "expr": 1.5, "base": 1.5, "exponent": 2.0,
}

x, y, z = Var("x"), Var("y"), Var("z")


# ---------------------------------------------------------------------------
# Argument binding against a model of the rules

def binding_model(call_name, params, npos, kwnames):
    """The TypeError message a call must raise, or None when it binds."""
    n_params = len(params)

    def count(given):
        return count_error(call_name, n_params, given)

    if not kwnames:
        return None if npos == n_params else count(npos)
    if npos > n_params:
        return count(npos)
    bound = [i < npos for i in range(n_params)]
    for kw in kwnames:
        if kw in params[npos:] and not bound[params.index(kw)]:
            bound[params.index(kw)] = True
        elif kw in params:
            return multiple_values(call_name, kw)
        else:
            return unexpected_keyword(call_name, kw)
    for i in range(npos, n_params):
        if not bound[i]:
            return count(i)
    return None


@st.composite
def calls(draw):
    name = draw(st.sampled_from(sorted(PARAMS)))
    params = PARAMS[name]
    npos = draw(st.integers(0, 3))
    pool = list(params) + ["foo", "x", "list_", "Data", "expr", "base"]
    kwnames = draw(st.lists(st.sampled_from(pool), unique=True, max_size=3))
    return name, npos, kwnames


@settings(max_examples=400, deadline=None)
@given(calls())
def test_binding_matches_model(call):
    name, npos, kwnames = call
    params = PARAMS[name]
    fn = getattr(helpers, name)
    args = [GOOD[params[i]] if i < len(params) else object() for i in range(npos)]
    kwargs = {kw: GOOD.get(kw, object()) for kw in kwnames}
    expected = binding_model(name, params, npos, kwnames)
    if expected is None:
        assert fn(*args, **kwargs) is not None
        return
    with pytest.raises(TypeError) as excinfo:
        fn(*args, **kwargs)
    assert str(excinfo.value) == expected
    assert module_entries(excinfo.value) == [(frame(name), DEF_LINES[name])]


@pytest.fixture(scope="module")
def element_functions():
    """The element functions of _apply_nlfunc and signpow, caught on their way
    into numpy.vectorize."""
    return dict(zip(("lambda", "lambda1"),
                    capture_element_functions(MVar.named("m", 2))))


@settings(max_examples=100, deadline=None)
@given(npos=st.integers(0, 3),
       kwnames=st.lists(st.sampled_from(["x", "tree1", "y", "foo"]), unique=True, max_size=2),
       which=st.sampled_from(["lambda", "lambda1"]))
def test_element_function_binding_matches_model(element_functions, npos, kwnames, which):
    fn = element_functions[which]
    param = "x" if which == "lambda" else "tree1"
    tree = NLExpr._coerce_to_exprtree(x)
    args = [tree] * npos
    kwargs = {kw: tree for kw in kwnames}
    expected = binding_model(which, (param,), npos, kwnames)
    if expected is None:
        assert isinstance(fn(*args, **kwargs), NLExpr)
        return
    with pytest.raises(TypeError) as excinfo:
        fn(*args, **kwargs)
    assert str(excinfo.value) == expected
    line = 85 if which == "lambda" else 391
    qual = "_apply_nlfunc.lambda" if which == "lambda" else "signpow.lambda1"
    assert module_entries(excinfo.value) == [(frame(qual), line)]


def test_non_string_keyword_refused_by_call_protocol():
    with pytest.raises(TypeError, match="keywords must be strings"):
        helpers.multidict(**{1: 2})


# ---------------------------------------------------------------------------
# Keyword names that are str subclasses

class RaisingEq(str):
    def __eq__(self, other):
        raise Boom("eq")

    __hash__ = str.__hash__


class EqualsAll(str):
    def __eq__(self, other):
        return True

    __hash__ = str.__hash__


class BadBool:
    def __bool__(self):
        raise Boom("bool")


class BadBoolEq(str):
    def __eq__(self, other):
        return BadBool()

    __hash__ = str.__hash__


@pytest.mark.parametrize("name", sorted(PARAMS))
@pytest.mark.parametrize("kwtype", [RaisingEq, BadBoolEq])
def test_keyword_whose_comparison_raises(name, kwtype):
    params = PARAMS[name]
    args = [GOOD[p] for p in params[:-1]]
    kw = kwtype(params[-1])
    with pytest.raises(Boom) as excinfo:
        getattr(helpers, name)(*args, **{kw: GOOD[params[-1]]})
    assert module_entries(excinfo.value) == [(frame(name), DEF_LINES[name])]


@pytest.mark.parametrize("name", sorted(PARAMS))
def test_keyword_subclass_equal_by_value_binds(name):
    params = PARAMS[name]

    class Plain(str):
        pass

    kwargs = {Plain(p): GOOD[p] for p in params}
    assert getattr(helpers, name)(**kwargs) is not None


def test_keyword_equal_to_everything_binds_first_free_parameter():
    result = helpers.signpow(**{EqualsAll("anything"): 3.0, "exponent": 2.0})
    assert repr(result.tree) == "signpow(3.0, 2.0)"


def test_keyword_equal_to_everything_after_positional_is_multiple_values():
    with pytest.raises(TypeError, match="got multiple values for keyword argument 'zzz'"):
        helpers.quicksum([], **{EqualsAll("zzz"): 1})


# ---------------------------------------------------------------------------
# Instance-check hooks

def hooked(behaviour, name="Hooked"):
    class Meta(type):
        def __instancecheck__(cls, obj):
            return behaviour(obj)
    return Meta(name, (), {})


def raising(obj):
    raise Boom("instancecheck")


def bad_bool(obj):
    return BadBool()


# (module name rebound, function, arguments, failing line)
INSTANCE_SITES = [
    ("tupledict", "quicksum", ([x],), 31),
    ("MVar", "quicksum", ([x],), 37),
    ("MQuadExpr", "quicksum", ([x],), 37),
    *[(cls, "_apply_nlfunc", (x, _ExprTree._from_sin), 76)
      for cls in ("MVar", "MLinExpr", "MQuadExpr", "MNLExpr")],
    *[(cls, "signpow", (x, 2.0), 378) for cls in ("MVar", "MNLExpr")],
]


@pytest.mark.parametrize("behaviour", [raising, bad_bool])
@pytest.mark.parametrize("site", INSTANCE_SITES, ids=lambda s: f"{s[1]}-{s[0]}")
def test_instance_check_that_fails(monkeypatch, site, behaviour):
    cls_name, fn_name, args, line = site
    monkeypatch.setattr(helpers, cls_name, hooked(behaviour))
    with pytest.raises(Boom) as excinfo:
        getattr(helpers, fn_name)(*args)
    assert module_entries(excinfo.value) == [(frame(fn_name), line)]


@pytest.mark.parametrize("answer", [0, "", (), None, 0.0])
def test_instance_check_returning_falsy_non_bool(monkeypatch, answer):
    monkeypatch.setattr(helpers, "tupledict", hooked(lambda obj: answer))
    assert helpers.quicksum([x]).terms == ((1.0, x),)


def test_unary_functions_reach_instance_check_hook(monkeypatch):
    seen = []

    def record(obj):
        seen.append(obj)
        raise Boom("mvar")

    monkeypatch.setattr(helpers, "MVar", hooked(record))
    for name in UNARY:
        with pytest.raises(Boom) as excinfo:
            getattr(helpers, name)(x)
        assert module_entries(excinfo.value) == [(frame(name), CALL_LINES[name]),
                                                 (frame("_apply_nlfunc"), 76)]
    assert seen == [x] * len(UNARY)


def _call_quicksum():
    return helpers.quicksum([x, y])


def _call_apply_scalar():
    return helpers._apply_nlfunc(x, _ExprTree._from_sin)


def _call_apply_matrix():
    return helpers._apply_nlfunc(MVar.named("m", 2), _ExprTree._from_sin)


def _call_signpow_scalar():
    return helpers.signpow(x, 2.0)


def _call_signpow_matrix():
    return helpers.signpow(MVar.named("m", 2), 2.0)


# (call, hooked class, global removed by the hook, failing line or None
# when the call no longer needs the name)
DELETIONS = [
    (_call_quicksum, "tupledict", "LinExpr", 40),
    (_call_quicksum, "tupledict", "MVar", 37),
    (_call_quicksum, "tupledict", "MQuadExpr", 37),
    (_call_quicksum, "tupledict", "quicksum", None),
    (_call_quicksum, "MVar", "LinExpr", 40),
    (_call_quicksum, "MVar", "MQuadExpr", None),
    (_call_apply_scalar, "MVar", "NLExpr", 89),
    (_call_apply_scalar, "MVar", "MNLExpr", None),
    (_call_apply_scalar, "MVar", "_apply_nlfunc", None),
    (_call_apply_matrix, "MVar", "MNLExpr", 81),
    (_call_apply_matrix, "MVar", "NLExpr", 86),
    (_call_signpow_scalar, "MVar", "NLExpr", 396),
    (_call_signpow_scalar, "MVar", "_ExprTree", 398),
    (_call_signpow_scalar, "MVar", "signpow", None),
    (_call_signpow_matrix, "MVar", "MNLExpr", 383),
    (_call_signpow_matrix, "MVar", "NLExpr", 386),
    (_call_signpow_matrix, "MVar", "_ExprTree", 393),
]


@pytest.mark.parametrize("call, hooked_name, victim, line", DELETIONS,
                         ids=lambda v: getattr(v, "__name__", str(v)))
def test_instance_check_deleting_module_globals(monkeypatch, call, hooked_name, victim, line):
    """The hook of a class tested early removes a global that the rest of the
    call still needs: NameError at the step that needs it."""
    real = getattr(helpers, hooked_name)
    monkeypatch.setattr(helpers, victim, getattr(helpers, victim))

    def behaviour(obj):
        if victim in vars(helpers):
            delattr(helpers, victim)
        return isinstance(obj, real)

    monkeypatch.setattr(helpers, hooked_name, hooked(behaviour))
    fn_name = call.__name__.split("_")[2]
    fn_name = {"apply": "_apply_nlfunc"}.get(fn_name, fn_name)
    if line is None:
        assert call() is not None
        assert victim not in vars(helpers)
        return
    with pytest.raises(NameError) as excinfo:
        call()
    assert str(excinfo.value) == f"name '{victim}' is not defined"
    found = module_entries(excinfo.value)
    assert found[0] == (frame(fn_name), line)
    if line in (86, 393):   # raised inside the element function
        assert len(found) == 2 and found[1][0].startswith(frame(fn_name) + ".")
    else:
        assert len(found) == 1


def test_instance_check_reentering_module(monkeypatch):
    depth = []

    def reenter(obj):
        if len(depth) < 5:
            depth.append(obj)
            inner = helpers.quicksum([x, 1.0])
            assert inner.constant == 1.0
            assert isinstance(helpers.sin(MVar.named("r", 2)), MNLExpr)
        return isinstance(obj, tupledict)

    monkeypatch.setattr(helpers, "tupledict", hooked(reenter))
    assert helpers.quicksum([y]).terms == ((1.0, y),)
    assert len(depth) == 5


# ---------------------------------------------------------------------------
# In-place additions

class Running:
    """A stand-in running sum whose += runs a callback."""

    def __init__(self, on_add, log=None):
        self.on_add = on_add
        self.log = [] if log is None else log

    def __iadd__(self, other):
        self.log.append(other)
        return self.on_add(self, other)


def starting_with(running):
    return type("Start", (), {"__new__": lambda cls: running})


@pytest.mark.parametrize("result, expected", [
    (lambda s, o: 7, TypeError),            # int += next term
    (lambda s, o: None, TypeError),
    (lambda s, o: NotImplemented, TypeError),
    (lambda s, o: (_ for _ in ()).throw(Boom()), Boom),
])
def test_iadd_returning_wrong_types_or_raising(monkeypatch, result, expected):
    monkeypatch.setattr(helpers, "LinExpr", starting_with(Running(result)))
    with pytest.raises(expected) as excinfo:
        helpers.quicksum([object(), object()])
    assert module_entries(excinfo.value) == [(frame("quicksum"), 42)]


def test_iadd_result_of_another_class_becomes_running_sum(monkeypatch):
    monkeypatch.setattr(helpers, "LinExpr", starting_with(Running(lambda s, o: o)))
    # The first += hands over to a str; str + str then carries the sum.
    assert helpers.quicksum(["a", "b", "c"]) == "abc"


class Term:
    pass


@pytest.mark.parametrize("container", [list, tuple])
def test_iadd_clearing_the_list_mid_walk(monkeypatch, container):
    """The walked sequence is only referenced by the call; += clears the
    list after the second term, freeing every remaining term."""
    terms = [Term() for _ in range(6)]
    refs = [weakref.ref(t) for t in terms]
    victim = container(terms)
    del terms
    backing = victim if container is list else None

    def clear(s, o):
        if len(s.log) == 2 and backing is not None:
            backing.clear()
        return s

    running = Running(clear)
    monkeypatch.setattr(helpers, "LinExpr", starting_with(running))
    assert helpers.quicksum(victim) is running
    assert len(running.log) == (2 if container is list else 6)
    assert all(isinstance(t, Term) for t in running.log)
    del victim, backing
    running.log.clear()
    assert all(r() is None for r in refs)


def test_iadd_dropping_last_reference_to_current_term(monkeypatch):
    """The list holds the only reference to each term; += removes the term
    from the list before using it."""
    victim = [Term(), Term(), Term()]
    seen = []

    def drop(s, o):
        if victim:
            del victim[0]
        seen.append(type(o).__name__)
        return s

    monkeypatch.setattr(helpers, "LinExpr", starting_with(Running(drop)))
    helpers.quicksum(victim)
    assert seen == ["Term", "Term"]


def test_iadd_dropping_the_term_it_refuses():
    """+= removes the term from the list, which held its only reference,
    and returns NotImplemented: the term's own addition is tried next, so
    the call must still hold the term."""
    seen = run_child(CHILD_FRAMES + """
import tarvelpy._helpers as h

class Term:
    pass

victim = [Term() for _ in range(3)]

class Start:
    def __iadd__(self, other):
        victim.remove(other)
        return NotImplemented

h.LinExpr = Start
try:
    h.quicksum(victim)
    out = None
except TypeError as exc:
    out = [str(exc), frames(exc)]
print(json.dumps(out))
""", env=FREED_MEMORY_SHOWS)
    assert seen == ["unsupported operand type(s) for +=: 'Start' and 'Term'",
                    [["tarvelpy._helpers.quicksum", 42]]]


def test_iadd_slot_failing_without_an_exception():
    """A sibling's C-level in-place addition returns NULL and sets no
    exception: the call fails with the interpreter's SystemError and the
    entry of the failing line."""
    seen = run_child(CHILD_FRAMES + """
import ctypes
import tarvelpy._helpers as h

class Slot(ctypes.Structure):
    _fields_ = [("slot", ctypes.c_int), ("pfunc", ctypes.c_void_p)]

class Spec(ctypes.Structure):
    _fields_ = [("name", ctypes.c_char_p), ("basicsize", ctypes.c_int),
                ("itemsize", ctypes.c_int), ("flags", ctypes.c_uint),
                ("slots", ctypes.POINTER(Slot))]

Py_nb_inplace_add = 14
binaryfunc = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p)
null_add = binaryfunc(lambda left, right: None)
slots = (Slot * 2)(Slot(Py_nb_inplace_add, ctypes.cast(null_add, ctypes.c_void_p)),
                   Slot(0, None))
spec = Spec(b"sibling.NullAdd", 0, 0, 0, slots)
from_spec = ctypes.pythonapi.PyType_FromSpec
from_spec.restype = ctypes.py_object
from_spec.argtypes = [ctypes.POINTER(Spec)]
h.LinExpr = from_spec(ctypes.byref(spec))
try:
    h.quicksum([1.0])
    out = None
except SystemError as exc:
    out = [str(exc), frames(exc)]
print(json.dumps(out))
""")
    assert seen == ["error return without exception set",
                    [["tarvelpy._helpers.quicksum", 42]]]


def test_iadd_appending_to_the_list_is_walked(monkeypatch):
    victim = [1]

    def grow(s, o):
        if len(victim) < 50:
            victim.append(o + 1)
        return s

    running = Running(grow)
    monkeypatch.setattr(helpers, "LinExpr", starting_with(running))
    helpers.quicksum(victim)
    assert running.log == list(range(1, 51))


def test_iadd_replacing_items_of_the_list(monkeypatch):
    victim = [Term() for _ in range(4)]

    def replace(s, o):
        victim[:] = [str(len(s.log))] * len(victim)
        return s

    running = Running(replace)
    monkeypatch.setattr(helpers, "LinExpr", starting_with(running))
    helpers.quicksum(victim)
    assert isinstance(running.log[0], Term)
    assert running.log[1:] == ["1", "2", "3"]


def test_iadd_reentering_quicksum():
    class Nested:
        def __radd__(self, other):
            return helpers.quicksum([other, x, 2.0])

    result = helpers.quicksum([y, Nested(), Nested()])
    assert result.constant == 4.0
    assert result.terms == ((1.0, y), (1.0, x), (1.0, x))


RECURSION_SCRIPT = textwrap.dedent("""
    import sys
    import tarvelpy._helpers as h

    class Deep:
        def __iadd__(self, other):
            return h.quicksum([other])

    h.LinExpr = Deep
    try:
        h.quicksum([1])
    except RecursionError as exc:
        print("RecursionError", type(exc).__name__)
    else:
        print("no error")
    h.LinExpr = sys.modules["tarvelpy._core"].LinExpr
    print(h.quicksum([1, 2]).constant)
""")


@pytest.mark.parametrize("limit", [None, 200, 100000])
def test_recursion_through_iadd_ends_in_recursion_error(limit):
    script = RECURSION_SCRIPT
    if limit is not None:
        script = f"import sys; sys.setrecursionlimit({limit})\n" + script
    proc = subprocess.run([sys.executable, "-P", "-c", script],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["RecursionError", "RecursionError", "3.0"]


RECURSION_SCRIPTS = {
    "nl_func": """
        def nl(tree):
            return h._apply_nlfunc(1.0, nl)
        h._apply_nlfunc(1.0, nl)
    """,
    "element": """
        import numpy
        m = sys.modules["tarvelpy._matrixapi"].MVar.named("m", 2)
        def nl(tree):
            return h._apply_nlfunc(m, nl)
        h._apply_nlfunc(m, nl)
    """,
    "instancecheck": """
        class Meta(type):
            def __instancecheck__(cls, obj):
                return h.signpow(obj, 2.0)
        h.MVar = Meta("MVar", (), {})
        h.signpow(1.0, 2.0)
    """,
}


@pytest.mark.parametrize("kind", sorted(RECURSION_SCRIPTS))
def test_recursion_through_callbacks_ends_in_recursion_error(kind):
    body = textwrap.indent(textwrap.dedent(RECURSION_SCRIPTS[kind]), "    ")
    script = ("import sys\nimport tarvelpy._helpers as h\ntry:\n" + body
              + "\nexcept RecursionError:\n    print('RecursionError')\n"
              + "else:\n    print('no error')\n")
    proc = subprocess.run([sys.executable, "-P", "-c", script],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == ["RecursionError"]


# A class attribute that is itself a module function (or a partial of one)
# closes a cycle of C calls with no Python frame in it. Each setup binds
# NLExpr; the pattern is the module's traceback entries that repeat, one per
# running body, outermost first.
C_CYCLES = {
    "sin": ("h.sin", "h.sin(1.0)",
            [["tarvelpy._helpers.sin", 136], ["tarvelpy._helpers._apply_nlfunc", 89]]),
    "sin-keyword": ("h.sin", "h.sin(expr=1.0)",
                    [["tarvelpy._helpers.sin", 136], ["tarvelpy._helpers._apply_nlfunc", 89]]),
    "signpow-keywords": ("staticmethod(functools.partial(h.signpow, exponent=2.0))",
                         "h.signpow(1.0, 2.0)", [["tarvelpy._helpers.signpow", 396]]),
}


@pytest.mark.parametrize("kind", sorted(C_CYCLES))
def test_recursion_through_c_calls_only_ends_in_recursion_error(kind):
    coerce, call, pattern = C_CYCLES[kind]
    seen = run_child(CHILD_FRAMES + f"""
import functools
import tarvelpy._helpers as h

h.NLExpr = type("FakeNLExpr", (), {{"_coerce_to_exprtree": {coerce}}})
try:
    {call}
    out = None
except RecursionError as exc:
    out = [str(exc), frames(exc)]
print(json.dumps(out))
""")
    assert seen is not None
    message, entries = seen
    assert message.endswith(" while calling a Python object")
    # The refused call never began: no entry of its own, so every entry is
    # that of a running body at its failing line.
    assert len(entries) > len(pattern)
    assert entries == [pattern[i % len(pattern)] for i in range(len(entries))]


# ---------------------------------------------------------------------------
# Iterators

class IterRaises:
    def __iter__(self):
        raise Boom("iter")


class IterNotIterator:
    def __iter__(self):
        return 5


class NextRaises:
    def __init__(self, after, error):
        self.after, self.error, self.n = after, error, 0

    def __iter__(self):
        return self

    def __next__(self):
        self.n += 1
        if self.n > self.after:
            raise self.error
        return float(self.n)


class MyStop(StopIteration):
    pass


@pytest.mark.parametrize("obj, error", [
    (IterRaises(), Boom),
    (IterNotIterator(), TypeError),
    (NextRaises(2, Boom("next")), Boom),
    (NextRaises(0, ValueError("v")), ValueError),
    (5, TypeError),
    (None, TypeError),
])
def test_iteration_that_fails(obj, error):
    with pytest.raises(error) as excinfo:
        helpers.quicksum(obj)
    assert module_entries(excinfo.value) == [(frame("quicksum"), 41)]


@pytest.mark.parametrize("stop", [StopIteration(), MyStop(), StopIteration("value")])
def test_stop_iteration_subclasses_end_the_walk(stop):
    assert helpers.quicksum(NextRaises(3, stop)).constant == 6.0


def test_list_subclass_mutated_by_its_iterator():
    class Shrinking(list):
        def __iter__(self):
            while self:
                yield self.pop()

    assert helpers.quicksum(Shrinking([1.0, 2.0, 4.0])).constant == 7.0


# ---------------------------------------------------------------------------
# tupledict and multidict hooks

class HostileDict(tupledict):
    """A tupledict whose keys/values misbehave as configured."""
    keys_result = None
    values_result = None

    def keys(self):
        r = type(self).keys_result
        return r(self) if callable(r) else super().keys()

    def values(self):
        r = type(self).values_result
        return r(self) if callable(r) else super().values()


def raise_(error_type, *args):
    """A callable that raises a fresh error_type(*args) on every call."""
    def f(*a):
        raise error_type(*args)
    return f


@pytest.mark.parametrize("values, error", [
    (raise_(Boom, "values"), Boom),
    (lambda d: 5, TypeError),
    (lambda d: iter([x, NextRaises(0, Boom())]), None),
])
def test_quicksum_of_hostile_tupledict(values, error, monkeypatch):
    cls = type("H", (HostileDict,), {"values_result": staticmethod(values)})
    d = cls({1: x})
    with pytest.warns(DeprecationWarning):
        if error is None:
            with pytest.raises(TypeError) as excinfo:  # LinExpr += iterator object
                helpers.quicksum(d)
            assert module_entries(excinfo.value)[0] == (frame("quicksum"), 36)
            return
        with pytest.raises(error) as excinfo:
            helpers.quicksum(d)
    assert module_entries(excinfo.value)[0] == (frame("quicksum"), 36)


def test_quicksum_tupledict_when_warn_deletes_quicksum(monkeypatch):
    class FakeWarnings:
        @staticmethod
        def warn(message, category):
            del helpers.quicksum

    monkeypatch.setattr(helpers, "quicksum", helpers.quicksum)
    monkeypatch.setattr(helpers, "warnings", FakeWarnings)
    fn = helpers.quicksum
    with pytest.raises(NameError, match="name 'quicksum' is not defined") as excinfo:
        fn(tupledict({1: x}))
    assert module_entries(excinfo.value) == [(frame("quicksum"), 36)]


def test_quicksum_tupledict_warn_returning_nonsense(monkeypatch):
    class FakeWarnings:
        warn = staticmethod(lambda message, category: BadBool())

    monkeypatch.setattr(helpers, "warnings", FakeWarnings)
    assert helpers.quicksum(tupledict({1: x, 2: 2.0})).constant == 2.0


def multidict_with(monkeypatch, **behaviour):
    cls = type("H", (HostileDict,), {k: staticmethod(v) for k, v in behaviour.items()})
    monkeypatch.setattr(helpers, "tupledict", cls)
    return cls


@pytest.mark.parametrize("behaviour, error, line", [
    ({"keys_result": raise_(Boom)}, Boom, 63),
    ({"keys_result": raise_(TypeError, "k")}, TypeError, 63),
    ({"values_result": raise_(Boom)}, Boom, 66),
    ({"values_result": lambda d: iter([[1, 2], NextRaises(0, ValueError())])}, ValueError, 66),
    ({"values_result": lambda d: NextRaises(1, Boom())}, Boom, 66),
])
def test_multidict_hostile_keys_values(monkeypatch, behaviour, error, line):
    multidict_with(monkeypatch, **behaviour)
    with pytest.raises(error) as excinfo:
        helpers.multidict({"a": [1, 2], "b": [3, 4]})
    assert module_entries(excinfo.value) == [(frame("multidict"), line)]


@pytest.mark.parametrize("values", [
    lambda d: 5,                                   # not iterable: fallback
    lambda d: [1, 2],                              # items not iterable: fallback
    lambda d: NextRaises(1, TypeError("t")),       # TypeError mid-iteration: fallback
])
def test_multidict_values_type_errors_fall_back(monkeypatch, values):
    cls = multidict_with(monkeypatch, values_result=values)
    result = helpers.multidict({"a": [1, 2], "b": [3, 4]})
    assert len(result) == 2
    assert type(result[0]) is tuplelist and list(result[0]) == ["a", "b"]
    assert type(result[1]) is cls


def test_multidict_keys_one_shot_iterator(monkeypatch):
    multidict_with(monkeypatch, keys_result=lambda d: iter(list(dict.keys(d))))
    keys, *dicts = helpers.multidict({"a": [1, 2], "b": [3, 4]})
    assert list(keys) == ["a", "b"]
    # The iterator was used up by tuplelist: zip pairs nothing.
    assert [dict(d) for d in dicts] == [{}, {}]


def test_multidict_values_mutating_data(monkeypatch):
    data = {"a": [1, 2], "b": [3, 4]}

    def values(d):
        data.clear()
        return [[1, 2], [3, 4]]

    multidict_with(monkeypatch, values_result=values)
    keys, *dicts = helpers.multidict(data)
    assert list(keys) == ["a", "b"]
    assert [dict(d) for d in dicts] == [{"a": 1, "b": 3}, {"a": 2, "b": 4}]


def test_multidict_tupledict_deleted_during_values(monkeypatch):
    def values(d):
        delattr(helpers, "tupledict")
        return [[1, 2]]

    multidict_with(monkeypatch, values_result=values)
    with pytest.raises(NameError, match="name 'tupledict' is not defined") as excinfo:
        helpers.multidict({"a": [1, 2]})
    assert module_entries(excinfo.value) == [(frame("multidict"), 66)]


class CollidingKey:
    def __init__(self, raise_eq):
        self.raise_eq = raise_eq

    def __hash__(self):
        return 1

    def __eq__(self, other):
        if self.raise_eq:
            raise Boom("key eq")
        return self is other


def test_multidict_keys_with_raising_eq():
    data = {CollidingKey(False): [1], CollidingKey(False): [2]}
    keys, d1 = helpers.multidict(data)
    assert len(keys) == 2 and sorted(d1.values()) == [1, 2]
    with pytest.raises(Boom) as excinfo:
        helpers.multidict(_colliding_pairs())
    assert module_entries(excinfo.value) == [(frame("multidict"), 62)]


def _colliding_pairs():
    # A list of pairs: the tupledict constructor compares the keys itself.
    return [(CollidingKey(True), [1]), (CollidingKey(True), [2])]


def test_multidict_reentering_from_values(monkeypatch):
    calls = []

    depth = []

    def values(d):
        if len(depth) < 3:
            depth.append(1)
            calls.append(helpers.multidict({"z": [len(depth)]}))
        return dict.values(d)

    multidict_with(monkeypatch, values_result=values)
    keys, d1 = helpers.multidict({"a": [7]})
    assert dict(d1) == {"a": 7}
    assert len(calls) == 3


# ---------------------------------------------------------------------------
# Nonlinear functions: hostile nl_func, numpy.vectorize and package classes

def test_nl_func_deleting_nlexpr_mid_matrix(monkeypatch):
    monkeypatch.setattr(helpers, "NLExpr", NLExpr)
    seen = []

    def nl(tree):
        seen.append(tree)
        if len(seen) == 2:
            delattr(helpers, "NLExpr")
        return _ExprTree._from_sin(tree)

    with pytest.raises(NameError, match="name 'NLExpr' is not defined") as excinfo:
        helpers._apply_nlfunc(MVar.named("m", 3), nl)
    assert module_entries(excinfo.value) == [(frame("_apply_nlfunc"), 86),
                                             (frame("_apply_nlfunc.lambda"), 85)]


@pytest.mark.parametrize("result", [None, 5, "tree", BadBool()])
def test_nl_func_returning_wrong_types(result):
    with pytest.raises(TypeError) as excinfo:
        helpers._apply_nlfunc(x, lambda t: result)
    assert module_entries(excinfo.value) == [(frame("_apply_nlfunc"), 90)]
    with pytest.raises(TypeError) as excinfo:
        helpers._apply_nlfunc(MVar.named("m", 2), lambda t: result)
    assert module_entries(excinfo.value) == [(frame("_apply_nlfunc"), 86),
                                             (frame("_apply_nlfunc.lambda"), 85)]


def test_nl_func_reentering_every_function():
    def nl(tree):
        helpers.quicksum([x, y])
        helpers.multidict({"a": [1]})
        helpers.signpow(MVar.named("q", 2), 2.0)
        for name in UNARY:
            getattr(helpers, name)(1.0)
        return _ExprTree._from_cos(tree)

    result = helpers._apply_nlfunc(MVar.named("m", (2, 2)), nl)
    assert isinstance(result, MNLExpr)
    assert [repr(e.tree) for e in result.array.flat] == [
        "cos(m[0,0])", "cos(m[0,1])", "cos(m[1,0])", "cos(m[1,1])"]


def test_element_function_outlives_its_call():
    kept = element_functions_of(
        lambda: helpers._apply_nlfunc(MVar.named("m", 1), _ExprTree._from_exp),
        lambda: helpers.signpow(MVar.named("m", 1), 3.0))
    # Churn the capture-record free lists before using the kept functions.
    for _ in range(20):
        helpers._apply_nlfunc(MVar.named("c", 1), _ExprTree._from_sin)
        helpers.signpow(MVar.named("c", 1), 5.0)
    tree = NLExpr._coerce_to_exprtree(y)
    assert repr(kept[0](tree).tree) == "exp(y)"
    assert repr(kept[1](tree).tree) == "signpow(y, 3.0)"
    assert repr(kept[1](tree1=tree).tree) == "signpow(y, 3.0)"


def _arity(n):
    return lambda f: (lambda arr: f(*[arr[0]] * n))


@pytest.mark.parametrize("fake, error, inner", [
    (lambda f: 5, "'int' object is not callable", False),
    (_arity(2), "{name}() takes exactly 1 positional argument (2 given)", True),
    (_arity(0), "{name}() takes exactly 1 positional argument (0 given)", True),
    (lambda f: (lambda arr: f(x=arr[0], tree1=arr[0])),
     "{name}() got an unexpected keyword argument '{other}'", True),
    (lambda f: (_ for _ in ()).throw(Boom("vectorize")), "vectorize", None),
])
def test_hostile_vectorize(monkeypatch, fake, error, inner):
    monkeypatch.setattr(numpy, "vectorize", fake)
    cases = [(_call_apply_matrix, "_apply_nlfunc", "lambda", "tree1", 85, 86, 85),
             (_call_signpow_matrix, "signpow", "lambda1", "x", 390, 393, 391)]
    for call, outer, name, other, vec_line, map_line, elem_line in cases:
        with pytest.raises(Exception) as excinfo:
            call()
        assert str(excinfo.value) == error.format(name=name, other=other)
        found = module_entries(excinfo.value)
        if inner is None:
            assert found == [(frame(outer), vec_line)]
        elif inner:
            assert found == [(frame(outer), map_line),
                             (frame(f"{outer}.{name}"), elem_line)]
        else:
            assert found == [(frame(outer), map_line)]


def test_vectorize_calling_element_function_recursively(monkeypatch):
    real = numpy.vectorize
    depth = []

    def nesting(f):
        mapped = real(f)

        def run(arr):
            if len(depth) < 4:
                depth.append(1)
                helpers._apply_nlfunc(MVar.named("n", 2), _ExprTree._from_tan)
            return mapped(arr)
        return run

    monkeypatch.setattr(numpy, "vectorize", nesting)
    result = helpers.sin(MVar.named("m", 3))
    assert [repr(e.tree) for e in result.array.flat] == ["sin(m[0])", "sin(m[1])", "sin(m[2])"]
    assert len(depth) == 4


@pytest.mark.parametrize("name", UNARY)
def test_unary_with_expr_tree_attribute_misbehaving(monkeypatch, name):
    class Tree:
        pass

    monkeypatch.setattr(helpers, "_ExprTree", Tree)
    with pytest.raises(AttributeError) as excinfo:
        getattr(helpers, name)(x)
    assert module_entries(excinfo.value) == [(frame(name), CALL_LINES[name])]
    setattr(Tree, "_from_" + name, property(raise_(Boom)))
    monkeypatch.setattr(helpers, "_ExprTree", Tree())
    with pytest.raises(Boom) as excinfo:
        getattr(helpers, name)(x)
    assert module_entries(excinfo.value) == [(frame(name), CALL_LINES[name])]


@pytest.mark.parametrize("name", UNARY)
def test_unary_when_apply_nlfunc_rebound_to_hostile(monkeypatch, name):
    def hostile(arg, nl_func):
        delattr(helpers, "_apply_nlfunc")
        return getattr(helpers, name)(arg)

    monkeypatch.setattr(helpers, "_apply_nlfunc", hostile)
    with pytest.raises(NameError, match="name '_apply_nlfunc' is not defined") as excinfo:
        getattr(helpers, name)(x)
    assert module_entries(excinfo.value) == [(frame(name), CALL_LINES[name])] * 2


def test_signpow_coerce_raising_on_exponent_only(monkeypatch):
    class Picky(NLExpr):
        @staticmethod
        def _coerce_to_exprtree(obj):
            if obj == "bad":
                raise Boom()
            return NLExpr._coerce_to_exprtree(obj)

    monkeypatch.setattr(helpers, "NLExpr", Picky)
    for base, line in [(x, 397), (MVar.named("m", 2), 386)]:
        with pytest.raises(Boom) as excinfo:
            helpers.signpow(base, "bad")
        assert module_entries(excinfo.value) == [(frame("signpow"), line)]

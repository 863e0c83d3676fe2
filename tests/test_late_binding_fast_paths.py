"""Late binding and instance tests stay exact although the module answers
repeated name lookups and common instance tests without asking again.

Every change to the module namespace must be seen by the very next lookup,
whichever way the namespace is changed, and an instance test must honour a
`__class__` that differs from the object's type, also when the class changes
after the module has already seen its instances.
"""

import functools
import gc
import sys
import warnings
import weakref

import pytest

import tarvelpy._helpers as h
from tarvelpy._core import LinExpr, Var, tupledict

from support import (
    CHILD_FRAMES, FREED_MEMORY_SHOWS, lin, module_entries, run_child)


class Start:
    """A running-sum start that records which class made it."""

    def __init__(self, tag):
        self.tag = tag
        self.terms = []

    def __iadd__(self, term):
        self.terms.append(term)
        return self


def start_class(tag):
    return type(f"Start{tag}", (Start,), {"__init__": lambda self: Start.__init__(self, tag)})


NAMESPACE_CHANGES = {
    "setattr": lambda ns, name, value: setattr(h, name, value),
    "item": lambda ns, name, value: ns.__setitem__(name, value),
    "update": lambda ns, name, value: ns.update({name: value}),
    "setdefault-after-pop": lambda ns, name, value: (ns.pop(name), ns.setdefault(name, value)),
}


@pytest.mark.parametrize("change", NAMESPACE_CHANGES.values(), ids=NAMESPACE_CHANGES.keys())
def test_every_kind_of_rebinding_is_seen_by_the_next_call(change, monkeypatch):
    ns = vars(h)
    monkeypatch.setitem(ns, "LinExpr", ns["LinExpr"])  # restored afterwards
    for tag in range(3):
        change(ns, "LinExpr", start_class(tag))
        assert h.quicksum([1]).tag == tag


def test_a_freed_old_binding_is_never_used(monkeypatch):
    monkeypatch.setattr(h, "LinExpr", start_class("first"))
    assert h.quicksum([]).tag == "first"
    # The only reference to the first class goes away with the rebinding.
    monkeypatch.setattr(h, "LinExpr", start_class("second"))
    gc.collect()
    assert h.quicksum([]).tag == "second"


def test_a_removed_namespace_watcher_never_hands_out_a_freed_value():
    """Another extension removes the watchers from the namespace, so that a
    rebinding goes unseen, and the old value is freed: a kept value may at
    worst be stale, never freed."""
    pytest.importorskip("_testcapi")
    seen = run_child("""
        import gc, json
        import _testcapi
        import tarvelpy._helpers as h

        class Other:
            pass

        h.LinExpr = type("Temp", (), {})
        h.quicksum([])
        for watcher in range(8):
            try:
                _testcapi.unwatch_dict(watcher, vars(h))
            except ValueError:  # no watcher with that id
                pass
        h.LinExpr = Other
        gc.collect()
        print(json.dumps(type(h.quicksum([])).__name__))
    """, env=FREED_MEMORY_SHOWS)
    assert seen in ("Temp", "Other")


def test_deletion_falls_back_to_builtins_then_fails(monkeypatch):
    import builtins
    h.quicksum([])  # the module binding has been read
    monkeypatch.delattr(h, "LinExpr")
    monkeypatch.setattr(builtins, "LinExpr", start_class("builtin"), raising=False)
    assert h.quicksum([]).tag == "builtin"
    monkeypatch.delattr(builtins, "LinExpr")
    with pytest.raises(NameError, match="^name 'LinExpr' is not defined$"):
        h.quicksum([])
    monkeypatch.setattr(h, "LinExpr", LinExpr, raising=False)
    assert isinstance(h.quicksum([Var("x")]), LinExpr)


class Converting:
    """An NLExpr whose conversion step changes the module binding of NLExpr,
    which the body looks up again for the next statement."""

    def __init__(self, change):
        self.change = change

    def _coerce_to_exprtree(self, arg):
        self.change()
        return arg


def test_a_name_deleted_in_the_middle_of_a_call_is_missing_for_the_rest_of_it(monkeypatch):
    monkeypatch.setattr(h, "NLExpr", Converting(lambda: delattr(h, "NLExpr")))
    with pytest.raises(NameError, match="^name 'NLExpr' is not defined$"):
        h._apply_nlfunc(1.0, float)


def test_a_name_rebound_in_the_middle_of_a_call_is_used_for_the_rest_of_it(monkeypatch):
    seen = []
    monkeypatch.setattr(h, "NLExpr", Converting(
        lambda: setattr(h, "NLExpr", lambda tree: seen.append(tree) or "rebound")))
    assert h._apply_nlfunc(1.0, float) == "rebound"
    assert seen == [1.0]


def test_the_namespace_cleared_and_restored(monkeypatch):
    ns = vars(h)
    saved = dict(ns)
    try:
        ns.clear()
        with pytest.raises(NameError, match="^name 'tupledict' is not defined$"):
            saved["quicksum"]([])
    finally:
        ns.update(saved)
    assert isinstance(h.quicksum([]), LinExpr)


# -- instance tests --------------------------------------------------------------

class Summable:
    """Looks like an MVar to isinstance when its __class__ says so."""

    def sum(self, axis):
        return ("summed", axis)


def test_a_class_level_class_attribute_is_honoured():
    fake = type("Fake", (Summable,), {"__class__": h.MVar})()
    assert h.quicksum(fake) == ("summed", 0)


def test_a_class_property_is_honoured():
    fake = type("Fake", (Summable,), {"__class__": property(lambda self: h.MLinExpr)})()
    assert h.quicksum(fake) == ("summed", 0)


def test_a_custom_getattribute_is_honoured():
    def getattribute(self, name):
        if name == "__class__":
            return h.MQuadExpr
        return object.__getattribute__(self, name)

    fake = type("Fake", (Summable,), {"__getattribute__": getattribute})()
    assert h.quicksum(fake) == ("summed", 0)


def test_a_getattribute_added_after_instances_were_tested():
    Fake = type("Fake", (Summable,), {"__iter__": lambda self: iter([1, 2])})
    fake = Fake()
    for _ in range(3):  # the module has now seen this type several times
        assert h.quicksum(fake).constant == 3.0

    def getattribute(self, name):
        if name == "__class__":
            return h.MVar
        return object.__getattribute__(self, name)

    Fake.__getattribute__ = getattribute
    assert h.quicksum(fake) == ("summed", 0)
    del Fake.__getattribute__
    assert h.quicksum(fake).constant == 3.0


def test_new_bases_after_instances_were_tested():
    Plain = type("Plain", (Summable,), {"__iter__": lambda self: iter([1])})
    Claiming = type("Claiming", (Summable,), {"__iter__": lambda self: iter([1]),
                                              "__class__": h.MVar})
    Child = type("Child", (Plain,), {})
    child = Child()
    for _ in range(3):
        assert h.quicksum(child).constant == 1.0
    Child.__bases__ = (Claiming,)
    assert h.quicksum(child) == ("summed", 0)
    Child.__bases__ = (Plain,)
    assert h.quicksum(child).constant == 1.0


def test_an_instance_class_that_raises_propagates():
    def broken(self):
        raise LookupError("no class")

    fake = type("Fake", (Summable,), {"__class__": property(broken)})()
    with pytest.raises(LookupError, match="no class"):
        h.quicksum(fake)


def test_a_class_property_that_differs_per_instance():
    class Chameleon(Summable):
        __class__ = property(lambda self: self.claimed)

        def __init__(self, claimed):
            self.claimed = claimed

        def __iter__(self):
            return iter([1.0, 2.0])

    for _ in range(2):
        assert h.quicksum(Chameleon(h.MVar)) == ("summed", 0)
        plain = h.quicksum(Chameleon(int))
        assert isinstance(plain, LinExpr) and lin(plain) == (3.0, ())


def test_bases_replaced_while_the_class_attribute_is_searched():
    """A base's dictionary holds a str-subclass key that hashes like
    "__class__"; the comparison with it replaces the argument type's bases,
    which frees the MRO being searched. Blocks of the old MRO's size are
    filled again at once, so that a walk of the freed tuple reads garbage."""
    seen = run_child(CHILD_FRAMES + """
import tarvelpy._helpers as h

armed = False
refill = []

class Key(str):
    def __hash__(self):
        return hash("__class__")

    def __eq__(self, other):
        global armed
        if armed:
            armed = False
            size = sys.getsizeof(Leaf.__mro__) - sys.getsizeof(b"")
            Leaf.__bases__ = (Other,)
            refill.extend(b"\\x01" * size for _ in range(1000))
        return False

chain = [type("K0", (), {})]
for i in range(1, 30):
    chain.append(type(f"K{i}", (chain[-1],), {}))
Bad = type("Bad", (chain[-1],), {Key("x"): 1})
class Other:
    pass
Leaf = type("Leaf", (Bad,), {})
armed = True
try:
    h.quicksum(Leaf())
    out = None
except Exception as exc:
    out = [type(exc).__name__, str(exc), frames(exc)]
print(json.dumps(out))
""", env=FREED_MEMORY_SHOWS)
    assert seen == ["TypeError", "'Leaf' object is not iterable",
                    [["tarvelpy._helpers.quicksum", 41]]]


@pytest.mark.parametrize("function", [lambda a: h.sin(a), lambda a: h.signpow(a, 2.0)],
                         ids=["sin", "signpow"])
def test_nonlinear_dispatch_honours_a_matrix_class_claim(function, monkeypatch):
    calls = []

    class Recorder:
        @staticmethod
        def _coerce_to_exprtree_array(arg):
            calls.append(arg)
            raise RuntimeError("matrix path taken")

    monkeypatch.setattr(h, "MNLExpr", Recorder)
    fake = type("Fake", (), {"__class__": property(lambda self: h.MVar)})()
    with pytest.raises(RuntimeError, match="matrix path taken"):
        function(fake)
    assert calls == [fake]


# -- remembered instance tests ------------------------------------------------------
#
# The matrix-class tests remember their answer per argument type. Each case
# first lets the module see the type several times, then changes one thing
# the answer depends on and checks that the very next call sees it.

class MatrixProbe:
    """Bound as MNLExpr: the matrix path raises LookupError at its first
    step. Bound once per test, so that the calls themselves leave the
    namespace unchanged and the remembered answers are used."""

    @staticmethod
    def _coerce_to_exprtree_array(obj):
        raise LookupError("matrix path")


def takes_matrix_path(function, arg):
    try:
        function(arg)
    except LookupError:
        return True
    except TypeError as exc:  # the scalar conversion refused it
        assert "unsupported operand" in str(exc)
    return False


@pytest.fixture
def matrix_probe(monkeypatch):
    monkeypatch.setattr(h, "MNLExpr", MatrixProbe)


DISPATCHERS = {"sin": h.sin, "signpow": lambda a: h.signpow(a, 2.0),
               "_apply_nlfunc": lambda a: h._apply_nlfunc(a, h._ExprTree._from_sin)}


@pytest.fixture(params=DISPATCHERS.values(), ids=DISPATCHERS.keys())
def dispatcher(request, matrix_probe):
    return request.param


def seen_as_scalar(function, arg):
    for _ in range(3):
        assert not takes_matrix_path(function, arg)


def test_a_metaclass_hook_added_after_calls(dispatcher, monkeypatch):
    class Meta(type):
        pass

    class Claiming(metaclass=Meta):
        pass

    monkeypatch.setattr(h, "MVar", Claiming)
    seen_as_scalar(dispatcher, 1.0)
    Meta.__instancecheck__ = lambda cls, obj: True
    assert takes_matrix_path(dispatcher, 1.0)
    del Meta.__instancecheck__
    assert not takes_matrix_path(dispatcher, 1.0)


def test_new_bases_of_the_argument_type(dispatcher, monkeypatch):
    class Plain:
        __slots__ = ("array",)  # the matrix classes' layout

    class MatrixChild(h.MVar):
        __slots__ = ()

    class Child(Plain):
        pass

    child = Child()
    seen_as_scalar(dispatcher, child)
    Child.__bases__ = (MatrixChild,)
    assert takes_matrix_path(dispatcher, child)
    Child.__bases__ = (Plain,)
    assert not takes_matrix_path(dispatcher, child)


def test_a_hook_that_removes_itself_during_the_test():
    """The answer given while the type still had its hook must not be kept
    for the type the hook left behind."""
    class Lazy:
        def __getattribute__(self, name):
            if name == "__class__":
                del Lazy.__getattribute__
                return tupledict
            return object.__getattribute__(self, name)

        def __iter__(self):
            return iter([1.0, 2.0])

    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning):
            h.quicksum(Lazy())
        for _ in range(2):
            assert lin(h.quicksum(Lazy())) == (3.0, ())


def test_a_class_rebound_between_calls(dispatcher, monkeypatch):
    seen_as_scalar(dispatcher, 1.0)
    original = h.MQuadExpr
    monkeypatch.setattr(h, "MQuadExpr", float)
    assert takes_matrix_path(dispatcher, 1.0)
    h.MQuadExpr = original
    assert not takes_matrix_path(dispatcher, 1.0)


def test_a_class_rebound_by_a_sibling_during_a_call(matrix_probe, monkeypatch):
    rebind = []
    real = h.NLExpr

    class Rebinding:
        """NLExpr whose conversion rebinds MLinExpr once asked to."""

        def __init__(self, tree):
            pass

        @staticmethod
        def _coerce_to_exprtree(arg):
            if rebind:
                h.MLinExpr = float
            return real._coerce_to_exprtree(arg)

    monkeypatch.setattr(h, "MLinExpr", h.MLinExpr)  # restored afterwards
    monkeypatch.setattr(h, "NLExpr", Rebinding)
    seen_as_scalar(h.sin, 1.0)
    rebind.append(True)
    assert not takes_matrix_path(h.sin, 1.0)  # rebinds after its own test
    assert takes_matrix_path(h.sin, 1.0)


def test_quicksum_tests_follow_a_rebinding(monkeypatch):
    data = {1: 10.0}
    for _ in range(3):
        assert h.quicksum(data).constant == 1.0  # a dict is walked by its keys
    monkeypatch.setattr(h, "tupledict", dict)
    with pytest.warns(DeprecationWarning):
        assert h.quicksum(data).constant == 10.0
    monkeypatch.undo()
    monkeypatch.setattr(h, "MLinExpr", dict)
    with pytest.raises(AttributeError, match="sum"):
        h.quicksum(data)


def test_a_rebound_apply_nlfunc_that_is_another_module_function(monkeypatch):
    # Entered as any callable would enter it: with its own binding rules and
    # its own traceback entry inside the unary function's.
    monkeypatch.setattr(h, "_apply_nlfunc", h.sqrt)
    with pytest.raises(TypeError) as info:
        h.sin(1.0)
    assert str(info.value) == "sqrt() takes exactly 1 positional argument (2 given)"
    assert module_entries(info.value) == [("tarvelpy._helpers.sin", 136), ("tarvelpy._helpers.sqrt", 93)]
    monkeypatch.setattr(h, "_apply_nlfunc", h.signpow)
    with pytest.raises(TypeError, match="unsupported operand") as info:
        h.sin(2.0)  # signpow's exponent is the tree constructor
    assert module_entries(info.value) == [("tarvelpy._helpers.sin", 136), ("tarvelpy._helpers.signpow", 397)]


# -- module calls between the announcement of a namespace change and the change
# A neighbour's watcher that reports an error makes CPython call
# sys.unraisablehook there; a module call made in it reads the old binding.

def change_in_window(change, inside):
    _testcapi = pytest.importorskip("_testcapi")
    seen, watcher = [], _testcapi.add_dict_watcher(1)  # reports an error for every event
    _testcapi.watch_dict(watcher, vars(h))
    old_hook, sys.unraisablehook = sys.unraisablehook, lambda unraisable: seen.append(inside())
    try:
        change()
    finally:
        sys.unraisablehook = old_hook
        _testcapi.unwatch_dict(watcher, vars(h))
        _testcapi.clear_dict_watcher(watcher)
    assert seen, "the hook did not run"


@pytest.mark.parametrize("case", ["rebound", "deleted", "another name changed inside"])
def test_module_calls_inside_a_change_window(case, monkeypatch):
    old = functools.partial(str, "old")  # LinExpr() gives "old"
    gone = weakref.ref(old)
    monkeypatch.setattr(h, "LinExpr", old)
    monkeypatch.setattr(h, "tupledict", tupledict)
    del old
    h.quicksum([])
    nested = []

    def inside():
        if case == "another name changed inside" and not nested:
            nested.append(True)  # once: that change's own window runs this hook too
            h.tupledict = type("Other", (), {})
        return h.quicksum([])
    change_in_window((lambda: delattr(h, "LinExpr")) if case == "deleted" else (
        lambda: setattr(h, "LinExpr", functools.partial(str, "new"))), inside)
    assert gone() is None  # the replaced value died with its binding
    if case == "deleted":
        with pytest.raises(NameError, match="^name 'LinExpr' is not defined$"):
            h.quicksum([])
    else:
        assert h.quicksum([]) == "new"


def test_a_matrix_class_rebound_while_the_module_is_called_in_the_window(matrix_probe, monkeypatch):
    class Probe:
        pass
    monkeypatch.setitem(vars(h), "MVar", vars(h)["MVar"])  # restored afterwards
    seen_as_scalar(h.sin, Probe())
    change_in_window(lambda: setattr(h, "MVar", Probe), lambda: takes_matrix_path(h.sin, Probe()))
    assert takes_matrix_path(h.sin, Probe())


# -- lazy imports (3.15): the name means what it means to Python code --------

@pytest.mark.skipif(sys.version_info < (3, 15), reason="lazy imports are new in 3.15")
@pytest.mark.parametrize("module", ["lazy_sum_start", "no_such_module_of_tarvelpy"])
def test_a_lazy_import_in_the_namespace(module, tmp_path):
    pytest.importorskip("_testcapi")
    (tmp_path / "lazy_sum_start.py").write_text("class Start(list):\n    pass\n")
    # The module writes nothing to its namespace: a store made inside the
    # window of a change it cannot see (a str-subclass key) would make
    # CPython release the placeholder twice.
    seen = run_child(f"""
        import json, sys, traceback, _testcapi
        sys.path.insert(0, {str(tmp_path)!r})
        import tarvelpy._helpers as h
        exec("lazy from {module} import Start as LinExpr", vars(h))
        def call():
            try:
                return type(h.quicksum([(1,)])).__name__
            except ImportError as exc:
                return [type(exc).__name__, type(exc.__cause__).__name__, [(f.name, f.lineno)
                    for f in traceback.extract_tb(exc.__traceback__)][-1:]]
        outcome = [call(), call(), type(vars(h)["LinExpr"]).__name__]
        sys.unraisablehook = lambda u: outcome.append(call())
        _testcapi.watch_dict(_testcapi.add_dict_watcher(1), vars(h))
        vars(h)[type("Key", (str,), {{}})("LinExpr")] = tuple
        print(json.dumps(outcome + [type(vars(h)["LinExpr"]).__name__]))
    """, env=FREED_MEMORY_SHOWS)
    expected = "Start" if module == "lazy_sum_start" else [
        "ModuleNotFoundError", "ImportError", [["tarvelpy._helpers.quicksum", 40]]]
    assert seen == [expected, expected, "lazy_import", expected, "type"]

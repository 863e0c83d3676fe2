"""Late binding and instance tests stay exact although the module answers
repeated name lookups and common instance tests without asking again.

Every change to the module namespace must be seen by the very next lookup,
whichever way the namespace is changed, and an instance test must honour a
`__class__` that differs from the object's type, also when the class changes
after the module has already seen its instances.
"""

import gc

import pytest

import tarvelpy._helpers as h
from tarvelpy._core import LinExpr, Var


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

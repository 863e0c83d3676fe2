"""Shared set-up of the benchmarks: the cheap siblings and the per-call cases.

The per-call cases time the module's own work. For that the sibling classes
are replaced, in the compiled module's namespace and in bench/reference.py's
globals alike, by callables implemented in C, so that what remains is the
function itself: argument binding, name lookups, instance tests, calls and,
on failure, the traceback entry.
"""

import contextlib
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
if str(HERE / "bare") not in sys.path:
    sys.path.insert(0, str(HERE / "bare"))
if str(HERE) not in sys.path:
    sys.path.insert(0, str(HERE))

import build as _bare_build  # noqa: E402

bare = _bare_build.load()

import tarvelpy._helpers as helpers  # noqa: E402
import reference  # noqa: E402

UNARY = reference.UNARY
SIBLING_NAMES = ("Var", "LinExpr", "QuadExpr", "NLExpr", "_ExprTree",
                 "tupledict", "tuplelist", "MVar", "MLinExpr", "MQuadExpr",
                 "MNLExpr")


def cheap_siblings():
    """C-implemented stand-ins for the eleven sibling names.

    The matrix classes are unrelated built-in types, so every instance test
    fails quickly for the scalar arguments used; ``LinExpr()`` is ``[]``;
    ``tupledict``/``tuplelist`` are ``dict``/``list``; ``NLExpr`` and
    ``_ExprTree`` are identity callables carrying ``float`` (and ``first``
    for the two-operand node) as their attributes. ``float(1.0)`` returns its
    argument, ``float(None)`` raises TypeError: a cheap body failure.
    """
    nlexpr = bare.Stub()
    nlexpr._coerce_to_exprtree = float
    exprtree = bare.Stub()
    for name in UNARY:
        setattr(exprtree, f"_from_{name}", float)
    exprtree._from_signpow = bare.first
    return {
        "Var": object, "QuadExpr": object,
        "LinExpr": list, "tupledict": dict, "tuplelist": list,
        "NLExpr": nlexpr, "_ExprTree": exprtree,
        "MVar": bytes, "MLinExpr": bytearray, "MQuadExpr": memoryview,
        "MNLExpr": range,
    }


@contextlib.contextmanager
def rebound(namespaces, values):
    """Bind ``values`` in every namespace dict; restore (or delete) on exit."""
    saved = []
    for ns in namespaces:
        for name, value in values.items():
            saved.append((ns, name, ns.get(name, _MISSING)))
            ns[name] = value
    try:
        yield
    finally:
        for ns, name, old in reversed(saved):
            if old is _MISSING:
                ns.pop(name, None)
            else:
                ns[name] = old


_MISSING = object()


def both_namespaces():
    return [vars(helpers), vars(reference)]


class Case:
    """One call shape: ``fn(*args, **kw)`` on the module and the reference.

    kind is "scalar" (cheapest successful path), "keyword", "binding" (argument
    binding fails), "body" (the body fails; traceback entry added) or
    "matrix" (the matrix path, see matrix_stub_siblings).
    """

    def __init__(self, label, fname, args=(), kw=None, kind="scalar"):
        self.label = label
        self.fname = fname
        self.args = tuple(args)
        self.kw = dict(kw or {})
        self.kind = kind

    @property
    def fails(self):
        return self.kind in ("binding", "body")

    def call_spec(self):
        """(args, kwnames) in the vectorcall layout used by bare.call_loop."""
        kwnames = tuple(self.kw) or None
        return self.args + tuple(self.kw.values()), kwnames

    def functions(self):
        return getattr(helpers, self.fname), getattr(reference, self.fname)


class TupleIterable(tuple):
    """A tuple that quicksum walks through its (C) iterator."""


def percall_cases():
    cases = [
        Case("quicksum(())", "quicksum", [()]),
        # Ten one-element tuples added into LinExpr() == []: each step is a
        # cheap C list +=, so the count is the loop's own work per term.
        Case("quicksum(list of 10)", "quicksum", [[(1.0,)] * 10]),
        # The same through the iterator walk: a tuple subclass is no exact
        # tuple, and its C iterator is made afresh by every call.
        Case("quicksum(iterable of 0)", "quicksum", [TupleIterable()]),
        Case("quicksum(iterable of 10)", "quicksum", [TupleIterable([(1.0,)] * 10)]),
        Case("quicksum(list=())", "quicksum", [], {"list": ()}, "keyword"),
        Case("quicksum()", "quicksum", [], kind="binding"),
        Case("quicksum(5)", "quicksum", [5], kind="body"),
        Case("multidict({})", "multidict", [{}]),
        Case("multidict(2 keys x 2)", "multidict",
             [{"a": (1, 2), "b": (3, 4)}]),
        # Scalar values: zip(*values) raises TypeError, and the dictionary
        # itself is appended (the scalar fallback).
        Case("multidict(2 scalars)", "multidict", [{"a": 1, "b": 2}]),
        Case("multidict(data={})", "multidict", [], {"data": {}}, "keyword"),
        Case("multidict()", "multidict", [], kind="binding"),
        Case("multidict(5)", "multidict", [5], kind="body"),
        Case("_apply_nlfunc(1.0, f)", "_apply_nlfunc", [1.0, float]),
        Case("_apply_nlfunc(arg=, nl_func=)", "_apply_nlfunc", [],
             {"arg": 1.0, "nl_func": float}, "keyword"),
        Case("_apply_nlfunc(1.0)", "_apply_nlfunc", [1.0], kind="binding"),
        Case("_apply_nlfunc(None, f)", "_apply_nlfunc", [None, float],
             kind="body"),
    ]
    cases += [Case(f"{name}(1.0)", name, [1.0]) for name in UNARY]
    cases += [
        Case("sin(expr=1.0)", "sin", [], {"expr": 1.0}, "keyword"),
        Case("sin()", "sin", [], kind="binding"),
        Case("sin(None)", "sin", [None], kind="body"),
        Case("signpow(1.0, 2.0)", "signpow", [1.0, 2.0]),
        Case("signpow(1.0, exponent=2.0)", "signpow", [1.0],
             {"exponent": 2.0}, "keyword"),
        Case("signpow(base=1.0, exponent=2.0)", "signpow", [],
             {"base": 1.0, "exponent": 2.0}, "keyword"),
        Case("signpow(1.0)", "signpow", [1.0], kind="binding"),
        Case("signpow(None, 2.0)", "signpow", [None, 2.0], kind="body"),
    ]
    return cases


def matrix_stub_siblings():
    """cheap_siblings() made ready for the matrix path.

    ``MVar`` is numpy's ndarray, so an object array takes the matrix branch;
    ``MNLExpr`` is an identity stub whose ``_coerce_to_exprtree_array`` is
    an identity callable. What remains is numpy's vectorize loop and the
    module's element function, called once per element.
    """
    stubs = cheap_siblings()
    mnlexpr = bare.Stub()
    mnlexpr._coerce_to_exprtree_array = bare.first
    stubs.update({"MVar": _numpy().ndarray, "MNLExpr": mnlexpr})
    return stubs


def matrix_cases():
    """The matrix path over a 10x10 object array, for matrix_stub_siblings()."""
    array = _numpy().full((10, 10), 1.0, dtype=object)
    return [
        Case("sin(10x10 array)", "sin", [array], kind="matrix"),
        Case("signpow(10x10 array, 2.0)", "signpow", [array, 2.0],
             kind="matrix"),
    ]


def _numpy():
    import numpy
    return numpy


def check_case(case):
    """Run a case once on both sides; they must agree (value or exception)."""
    outcomes = []
    for fn in case.functions():
        try:
            outcomes.append(("ok", repr(fn(*case.args, **case.kw))))
        except Exception as exc:  # noqa: BLE001 - any failure is compared
            outcomes.append(("error", type(exc).__name__))
    mod, ref = outcomes
    expected = "error" if case.fails else "ok"
    if mod != ref or mod[0] != expected:
        raise AssertionError(
            f"{case.label}: module gave {mod}, reference gave {ref}")

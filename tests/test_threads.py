"""Several threads calling every function at once (GIL build).

Each thread runs a fixed number of rounds (no timing assertions), calling
each function on scalar and matrix arguments and on failing inputs, and
checks every result; the switch interval is made tiny so that threads are
preempted inside the calls' Python callbacks as often as possible.
"""

import sys
import threading
import traceback

import pytest

import tarvelpy._helpers as helpers
from tarvelpy._core import LinExpr, NLExpr, Var, _ExprTree, tupledict, tuplelist
from tarvelpy._matrixapi import MNLExpr, MVar

from support import UNARY, module_entries

THREADS = 8
ROUNDS = 40


def one_round(tid, i):
    v = Var(f"t{tid}_{i}")
    s = helpers.quicksum([v, 1.0, LinExpr(v)])
    assert s.constant == 1.0 and [t[1] for t in s.terms] == [v, v]
    assert helpers.quicksum(w for w in (v, v)).size() == 2
    keys, d1, d2 = helpers.multidict({tid: [i, -i], "k": [1, 2]})
    assert type(keys) is tuplelist and list(keys) == [tid, "k"]
    assert dict(d1) == {tid: i, "k": 1} and dict(d2) == {tid: -i, "k": 2}
    assert type(helpers.multidict({"a": 1})[1]) is tupledict
    m = MVar.fromlist([v, Var(f"u{tid}")])
    for name in UNARY:
        scalar = getattr(helpers, name)(v)
        assert repr(scalar.tree) == f"{name}({v.name})"
        matrix = getattr(helpers, name)(m)
        assert isinstance(matrix, MNLExpr)
        assert [repr(e.tree) for e in matrix.array] == [
            f"{name}({v.name})", f"{name}(u{tid})"]
    assert repr(helpers.signpow(v, float(tid)).tree) == f"signpow({v.name}, {float(tid)})"
    sp = helpers.signpow(m, 2.0)
    assert [repr(e.tree) for e in sp.array] == [
        f"signpow({v.name}, 2.0)", f"signpow(u{tid}, 2.0)"]
    applied = helpers._apply_nlfunc(m, _ExprTree._from_exp)
    assert [repr(e.tree) for e in applied.array] == [f"exp({v.name})", f"exp(u{tid})"]
    assert isinstance(helpers._apply_nlfunc(2.0, _ExprTree._from_log), NLExpr)
    assert [t[1].name for t in helpers.quicksum(m).terms] == [v.name, f"u{tid}"]
    with pytest.raises(TypeError, match=r"signpow\(\) takes exactly 2 positional arguments \(1 given\)"):
        helpers.signpow(v)
    with pytest.raises(TypeError) as excinfo:
        helpers.sin("not a term")
    assert module_entries(excinfo.value) == [
        ("tarvelpy._helpers.sin", 136), ("tarvelpy._helpers._apply_nlfunc", 89)]


def test_every_function_from_several_threads():
    errors = []
    start = threading.Barrier(THREADS)

    def worker(tid):
        try:
            start.wait()
            for i in range(ROUNDS):
                one_round(tid, i)
        except BaseException:
            errors.append(traceback.format_exc())

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=worker, args=(t,)) for t in range(THREADS)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert errors == []

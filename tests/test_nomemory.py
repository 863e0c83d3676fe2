"""Allocation failures: every function, on every path, with the n-th memory
allocation failing, for n from 1 upwards until the call succeeds.

A failing allocation must end the call with an exception (MemoryError, or
whatever the operation that saw the failure raises), with at most the one
traceback entry of the failing function, and never crash the interpreter.
The sweeps run in child interpreters so that a crash fails one test instead
of killing the test run; each child prints how many failure points it
stepped.
"""

import json
import pathlib
import subprocess
import sys
import textwrap

import pytest

from support import UNARY

if sys.version_info < (3, 14):
    pytest.skip("CPython 3.13 itself crashes and loses exceptions under failing allocations (in "
                "importlib's path finder, in a for loop over a generator, in a Python function's "
                "argument error); 3.14 and 3.15 run the sweeps", allow_module_level=True)
_testcapi = pytest.importorskip(
    "_testcapi", reason="this interpreter ships no _testcapi (set_nomemory)")
if not hasattr(_testcapi, "set_nomemory"):
    pytest.skip("_testcapi has no set_nomemory", allow_module_level=True)

# Runs in the child. Defines the cases, sweeps the failing allocation and
# prints one JSON line per case.
SWEEP = textwrap.dedent(r'''
    import json, sys, traceback, warnings
    import _testcapi
    import numpy
    import tarvelpy._core as core
    import tarvelpy._helpers as h
    from tarvelpy._core import LinExpr, NLExpr, Var, _ExprTree, tupledict
    from tarvelpy._matrixapi import MLinExpr, MVar

    # numpy does not survive failing allocations inside vectorize (it
    # crashes in its own code), so the nonlinear matrix paths run against
    # the pure-Python doubles of the leak hunt; quicksum's matrix path,
    # which only calls sum(axis=0), keeps the real classes.
    sys.path.insert(0, sys.argv[2])
    import leakcheck
    if sys.argv[1] != "quicksum":
        leakcheck.use_doubles(h, numpy, core)

    FILE = "src/tarvelpy/_helpers"
    warnings.simplefilter("ignore", DeprecationWarning)
    x, y = Var("x"), Var("y")

    def element(fn_name):
        caught = []
        real = numpy.vectorize
        numpy.vectorize = lambda f: caught.append(f) or real(f)
        try:
            if fn_name == "lambda":
                h._apply_nlfunc(h.MVar([x]), _ExprTree._from_sin)
            else:
                h.signpow(h.MVar([x]), 2.0)
        finally:
            numpy.vectorize = real
        return caught[0]

    def cases(name):
        if name == "quicksum":
            m = MVar.named("m", (2, 2))
            yield "list", lambda: h.quicksum([x, y, 1.0, LinExpr(x)])
            yield "tuple", lambda: h.quicksum((x, 2.0))
            yield "generator", lambda: h.quicksum(t for t in (x, y))
            yield "tupledict", lambda: h.quicksum(tupledict({1: x, 2: y}))
            yield "matrix", lambda: h.quicksum(MLinExpr(m.array))
            yield "not iterable", lambda: h.quicksum(5)
            return
        m = h.MVar([Var("m0"), Var("m1"), Var("m2")])
        if name == "multidict":
            yield "split", lambda: h.multidict({"a": [1, 2], (1, 2): [3, 4]})
            yield "fallback", lambda: h.multidict({"a": 1, "b": [2]})
            yield "refused", lambda: h.multidict(5)
        elif name == "_apply_nlfunc":
            yield "scalar", lambda: h._apply_nlfunc(x, _ExprTree._from_exp)
            yield "matrix", lambda: h._apply_nlfunc(m, _ExprTree._from_exp)
            yield "refused", lambda: h._apply_nlfunc("s", _ExprTree._from_exp)
            yield "keywords", lambda: h._apply_nlfunc(nl_func=_ExprTree._from_exp, arg=2.0)
        elif name == "signpow":
            yield "scalar", lambda: h.signpow(x, 2.0)
            yield "matrix", lambda: h.signpow(m, 3.0)
            yield "keywords", lambda: h.signpow(exponent=2.0, base=y)
        elif name == "elements":
            lam, lam1 = element("lambda"), element("lambda1")
            tree = NLExpr._coerce_to_exprtree(y)
            yield "lambda", lambda: lam(tree)
            yield "lambda1", lambda: lam1(tree1=tree)
        elif name == "binding":
            yield "count", lambda: h.signpow(1.0)
            yield "unexpected", lambda: h.multidict({}, foo=1)
            yield "multiple", lambda: h.quicksum([], list=[])
        else:
            fn = getattr(h, name)
            yield "scalar", lambda: fn(x)
            yield "matrix", lambda: fn(m)

    def outcome(call):
        try:
            return "ok", repr(call()), None
        except Exception as exc:
            tb = [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__)
                  if f.filename == FILE]
            return type(exc).__name__, str(exc), tb

    def under_nomemory(call, start, stop):
        try:
            _testcapi.set_nomemory(start, stop)
            try:
                result = call()
            finally:
                _testcapi.remove_mem_hooks()
            return "ok", repr(result), None
        except BaseException as exc:
            _testcapi.remove_mem_hooks()
            tb = [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__)
                  if f.filename == FILE]
            return type(exc).__name__, str(exc), tb

    def sweep(call, limit=20000):
        reference = outcome(call)
        report = {"reference": reference[:2], "steps": 0, "single": 0,
                  "kinds": {}, "bad": []}
        # Every allocation from the n-th on fails, until the call no longer
        # notices.
        n = 1
        while n < limit:
            got = under_nomemory(call, n - 1, 0)
            report["steps"] += 1
            if got[:2] == reference[:2]:
                break
            check(got, reference, report, n, "from")
            n += 1
        else:
            report["bad"].append(["no success", limit])
        # Then only the n-th allocation fails, over the same range.
        for k in range(1, n + 1):
            got = under_nomemory(call, k - 1, k)
            report["single"] += 1
            if got[:2] != reference[:2]:
                check(got, reference, report, k, "single")
        return report

    def check(got, reference, report, n, mode):
        kind, message, tb = got
        report["kinds"][kind] = report["kinds"].get(kind, 0) + 1
        if kind == "ok":
            # A failure swallowed on the way must not change the result.
            report["bad"].append([mode, n, "different result", message[:200]])
            return
        if kind not in ("MemoryError", reference[0]):
            report["bad"].append([mode, n, kind, message[:200]])
        # One entry per failing function: never the same frame twice in a
        # row, and the outermost function at most once.
        for a, b in zip(tb, tb[1:]):
            if a == b:
                report["bad"].append([mode, n, "duplicate entry", a])
        outer = [e for e in tb if tb and e[0] == tb[0][0]]
        if len(outer) > 1 and tb[0][0] != "tarvelpy._helpers.quicksum":
            report["bad"].append([mode, n, "outer entry repeated", tb])

    for label, call in cases(sys.argv[1]):
        print(json.dumps({"case": label, **sweep(call)}), flush=True)
''')

GROUPS = ["quicksum", "multidict", "_apply_nlfunc", "signpow", "elements", "binding", *UNARY]


def run_child(code, *args):
    proc = subprocess.run([sys.executable, "-P", "-c", code, *args],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, (
        f"child exited with {proc.returncode}\n{proc.stdout[-2000:]}\n{proc.stderr[-4000:]}")
    return [json.loads(line) for line in proc.stdout.splitlines() if line.startswith("{")]


@pytest.mark.parametrize("group", GROUPS)
def test_allocation_failures_in_calls(group):
    reports = run_child(SWEEP, group, str(pathlib.Path(__file__).parent))
    assert reports, "the child ran no case"
    for report in reports:
        assert report["bad"] == [], (group, report["case"], report["bad"][:5])
        # The sweep really failed allocations before reaching success.
        assert report["steps"] > 1, (group, report["case"])
    print(group, sum(r["steps"] + r["single"] for r in reports), "failure points")


INIT = textwrap.dedent(r'''
    import json, sys, traceback, warnings
    import _testcapi
    import numpy
    import tarvelpy, tarvelpy._core, tarvelpy._matrixapi

    steps, kinds, bad = 0, {}, []
    mode = sys.argv[1]
    n = 1
    while n < 20000:
        sys.modules.pop("tarvelpy._helpers", None)
        try:
            if mode == "from":
                _testcapi.set_nomemory(n - 1, 0)
            else:
                _testcapi.set_nomemory(n - 1, n)
            try:
                import tarvelpy._helpers as h
            finally:
                _testcapi.remove_mem_hooks()
        except BaseException as exc:
            _testcapi.remove_mem_hooks()
            steps += 1
            kinds[type(exc).__name__] = kinds.get(type(exc).__name__, 0) + 1
            if not isinstance(exc, (MemoryError, ImportError)):
                bad.append([n, type(exc).__name__, str(exc)[:200]])
            tb = [(f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__)
                  if f.filename == "src/tarvelpy/_helpers"]
            if len(tb) > 1:
                bad.append([n, "entries", tb])
            n += 1
            continue
        steps += 1
        if mode == "from":
            break
        n += 1
        if n > 400:
            break
    # Whatever happened on the way, the module now works.
    import tarvelpy._helpers as h
    from tarvelpy._core import Var
    assert h.quicksum([Var("a"), 1.0]).constant == 1.0
    assert repr(h.sin(2.0).tree) == "sin(2.0)"
    assert h.multidict({"k": [1, 2]})[2]["k"] == 2
    print(json.dumps({"steps": steps, "kinds": kinds, "bad": bad}))
''')


@pytest.mark.parametrize("mode", ["from", "single"])
def test_allocation_failures_in_module_initialisation(mode):
    (report,) = run_child(INIT, mode)
    assert report["bad"] == []
    assert report["steps"] > 1
    print("init", mode, report["steps"], "failure points", report["kinds"])

"""A representative workload for valgrind's memcheck: every function on its
scalar and matrix paths, the deprecated tupledict path, binding and body
failures with their traceback entries, and the function objects' pickling,
repr and lazily made attributes, repeated so that recycled capture records
and cached traceback code objects are reused."""

import gc
import pickle
import warnings

import tarvelpy._helpers as h
from tarvelpy._core import Var, tupledict
from tarvelpy._matrixapi import MVar

warnings.simplefilter("ignore")
x, y = Var("x"), Var("y")
m = MVar.named("m", (2, 2))
UNARY = (h.sqrt, h.sin, h.cos, h.tan, h.exp, h.log, h.log2, h.log10, h.logistic, h.tanh, h.square)
FAILING = (
    lambda: h.quicksum(5),
    lambda: h.signpow(),
    lambda: h.multidict(5),
    lambda: h.sin("s"),
    lambda: h._apply_nlfunc(m, None),
    lambda: h.multidict({}, foo=1),
    lambda: h.signpow(m, "e"),
)

for _ in range(20):
    h.quicksum([x, 2 * y, 3])
    h.quicksum(t for t in (x, y))
    h.quicksum(m)
    h.quicksum(tupledict({1: x}))
    h.multidict({"a": [1, 2], "b": [3, 4]})
    h.multidict({"a": 1})
    for f in UNARY:
        f(x)
        f(m)
    h.signpow(x, 2.0)
    h.signpow(m, 2.0)
    for call in FAILING:
        try:
            call()
        except Exception:
            pass
    pickle.loads(pickle.dumps(h.sin))
    repr(h.sin)
    h.sin.__annotations__
    h.sin.__doc__
    gc.collect()
print("memcheck workload done")

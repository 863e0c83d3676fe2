"""Reference-leak hunt for tarvelpy._helpers under a debug interpreter.

Run by tools/leaks as ``python3.14d -P tests/leakcheck.py``. Every case is
run a few times to warm up caches (interned strings, traceback code objects,
capture-record free lists), then repeatedly while sys.gettotalrefcount() and
sys.getallocatedblocks() are compared between repetitions, like CPython's
``regrtest -R 3:3``: a case leaks when every measured repetition grows.

numpy has no wheels for the debug ABI. When it cannot be imported, a small
pure-Python ``numpy`` package providing only ``vectorize`` is put first on
sys.path for this run; the matrix cases then use the small matrix doubles
below instead of tarvelpy._matrixapi, which needs the real numpy. The same
doubles serve the allocation-failure tests, where numpy itself is not robust.
"""

import gc
import os
import sys
import tempfile

# A test double of numpy.vectorize with the documented behaviour the module
# relies on: without output types the element function is probed on the first
# element, then mapped over all of them; an empty input is refused.
FAKE_NUMPY = '''
"""Test double of numpy: only vectorize, over Grid objects and sequences."""


class Grid:
    """A flat list of elements with a shape."""

    def __init__(self, flat, shape=None):
        self.flat = list(flat)
        self.shape = (len(self.flat),) if shape is None else tuple(shape)

    @property
    def size(self):
        return len(self.flat)

    def __repr__(self):
        return f"Grid({self.flat!r}, {self.shape!r})"


class vectorize:
    def __init__(self, pyfunc, otypes=None):
        self.pyfunc = pyfunc
        self.otypes = otypes

    def __call__(self, arg):
        grid = arg if isinstance(arg, Grid) else Grid(arg)
        if not grid.size and self.otypes is None:
            raise ValueError("cannot call `vectorize` on size 0 inputs unless `otypes` is set")
        if self.otypes is None:
            self.pyfunc(grid.flat[0])
        # Filled in place rather than appended: under allocation-failure
        # tests a failing list append trips a debug-build assertion of the
        # interpreter itself.
        out = [None] * grid.size
        for i, item in enumerate(grid.flat):
            out[i] = self.pyfunc(item)
        return Grid(out, grid.shape)
'''

_fake = {}
exec(compile(FAKE_NUMPY, "<fake numpy>", "exec"), _fake)
Grid = _fake["Grid"]
fake_vectorize = _fake["vectorize"]


def install_fake_numpy():
    """Put the numpy double first on sys.path (for this process only)."""
    root = tempfile.mkdtemp(prefix="fake-numpy-")
    os.mkdir(os.path.join(root, "numpy"))
    with open(os.path.join(root, "numpy", "__init__.py"), "w") as f:
        f.write(FAKE_NUMPY)
    sys.path.insert(0, root)
    return root


def matrix_doubles(core):
    """Matrix classes over Grid, providing what the module calls on them."""

    class FakeMatrix:
        def __init__(self, elements, shape=None):
            self.grid = elements if isinstance(elements, Grid) else Grid(elements, shape)

        def sum(self, axis=None):
            total = core.LinExpr()
            for item in self.grid.flat:
                total += item
            return total

        def __repr__(self):
            return f"<{type(self).__name__} {self.grid!r}>"

    class FakeMVar(FakeMatrix):
        pass

    class FakeMLinExpr(FakeMatrix):
        pass

    class FakeMQuadExpr(FakeMatrix):
        pass

    class FakeMNLExpr(FakeMatrix):
        @staticmethod
        def _coerce_to_exprtree_array(obj):
            flat = obj.grid.flat
            trees = [None] * len(flat)
            for i, e in enumerate(flat):
                trees[i] = core.NLExpr._coerce_to_exprtree(e)
            return Grid(trees, obj.grid.shape)

    return FakeMVar, FakeMLinExpr, FakeMQuadExpr, FakeMNLExpr


def use_doubles(helpers, numpy_module, core):
    """Rebind the module's matrix names and numpy.vectorize to the doubles;
    returns a function that puts the originals back."""
    names = ("MVar", "MLinExpr", "MQuadExpr", "MNLExpr")
    saved = {n: getattr(helpers, n) for n in names}
    saved_vectorize = getattr(numpy_module, "vectorize", None)
    for name, cls in zip(names, matrix_doubles(core)):
        setattr(helpers, name, cls)
    numpy_module.vectorize = fake_vectorize

    def restore():
        for n, v in saved.items():
            setattr(helpers, n, v)
        numpy_module.vectorize = saved_vectorize
    return restore


# ---------------------------------------------------------------------------

def build_cases():
    import numpy
    import tarvelpy._core as core
    import tarvelpy._helpers as h

    use_doubles(h, numpy, core)
    Var, LinExpr, NLExpr, T = core.Var, core.LinExpr, core.NLExpr, core._ExprTree
    MVar, MLinExpr, MNLExpr = h.MVar, h.MLinExpr, h.MNLExpr
    x, y = Var("x"), Var("y")
    unary = ("sqrt", "sin", "cos", "tan", "exp", "log", "log2", "log10",
             "logistic", "tanh", "square")

    def fails(call, error=Exception):
        try:
            call()
        except error:
            pass
        else:
            raise AssertionError("expected a failure")

    def matrix(n=3):
        return MVar([Var(f"m{i}") for i in range(n)])

    def swap(name, value, call):
        old = getattr(h, name)
        setattr(h, name, value)
        try:
            call()
        finally:
            setattr(h, name, old)

    def without(name, call):
        old = getattr(h, name)
        delattr(h, name)
        try:
            fails(call, NameError)
        finally:
            setattr(h, name, old)

    kept = []

    def keep_element_function():
        real = numpy.vectorize
        numpy.vectorize = lambda f: kept.append(f) or real(f)
        try:
            h.signpow(matrix(2), 2.0)
            h._apply_nlfunc(matrix(2), T._from_sin)
        finally:
            numpy.vectorize = real
        tree = NLExpr._coerce_to_exprtree(x)
        kept.pop()(tree)
        kept.pop()(tree1=tree)

    class Clearing:
        def __init__(self, victim):
            self.victim = victim

        def __iadd__(self, other):
            self.victim.clear()
            return self

    def clearing_list():
        victim = [Var("a"), Var("b"), Var("c")]
        swap("LinExpr", lambda: Clearing(victim), lambda: h.quicksum(victim))

    class RaisingEq(str):
        __hash__ = str.__hash__

        def __eq__(self, other):
            raise KeyError("eq")

    def deep():
        class Deep:
            def __iadd__(self, other):
                return h.quicksum([other])
        swap("LinExpr", Deep, lambda: fails(lambda: h.quicksum([1]), RecursionError))

    cases = {
        "quicksum list": lambda: h.quicksum([x, y, 1.0, LinExpr(x)]),
        "quicksum tuple": lambda: h.quicksum((x, 2.0)),
        "quicksum generator": lambda: h.quicksum(v for v in (x, y)),
        "quicksum matrix": lambda: h.quicksum(MLinExpr([LinExpr(x), LinExpr(y)])),
        "quicksum tupledict": lambda: _quiet(lambda: h.quicksum(core.tupledict({1: x}))),
        "quicksum tupledict error": lambda: _as_error(lambda: fails(
            lambda: h.quicksum(core.tupledict({1: x})), DeprecationWarning)),
        "quicksum not iterable": lambda: fails(lambda: h.quicksum(5), TypeError),
        "quicksum bad term": lambda: fails(lambda: h.quicksum([x, "s"]), TypeError),
        "quicksum clearing list": clearing_list,
        "quicksum recursion": deep,
        "multidict split": lambda: h.multidict({"a": [1, 2], (1, 2): [3, 4]}),
        "multidict fallback": lambda: h.multidict({"a": 1, "b": [2]}),
        "multidict empty": lambda: h.multidict({}),
        "multidict refused": lambda: fails(lambda: h.multidict(5), TypeError),
        "multidict value error": lambda: fails(
            lambda: h.multidict({"a": _raising_iter(ValueError)}), ValueError),
        "multidict value type error": lambda: h.multidict({"a": _raising_iter(TypeError)}),
        "apply scalar": lambda: h._apply_nlfunc(x, T._from_exp),
        "apply matrix": lambda: h._apply_nlfunc(matrix(), T._from_exp),
        "apply refused": lambda: fails(lambda: h._apply_nlfunc("s", T._from_exp), TypeError),
        "apply bad nl_func scalar": lambda: fails(lambda: h._apply_nlfunc(x, 5), TypeError),
        "apply bad nl_func matrix": lambda: fails(lambda: h._apply_nlfunc(matrix(), 5), TypeError),
        "apply empty matrix": lambda: fails(lambda: h._apply_nlfunc(matrix(0), T._from_exp),
                                            ValueError),
        "signpow scalar": lambda: h.signpow(x, 2.0),
        "signpow matrix": lambda: h.signpow(matrix(), 3.0),
        "signpow keywords": lambda: h.signpow(exponent=2.0, base=y),
        "signpow refused base": lambda: fails(lambda: h.signpow("s", 2.0), TypeError),
        "signpow refused exponent matrix": lambda: fails(lambda: h.signpow(matrix(), "s"),
                                                         TypeError),
        "signpow empty matrix": lambda: fails(lambda: h.signpow(matrix(0), 2.0), ValueError),
        "element functions kept": keep_element_function,
        "binding count": lambda: fails(lambda: h.signpow(1.0), TypeError),
        "binding multiple": lambda: fails(lambda: h.quicksum([], list=[]), TypeError),
        "binding unexpected": lambda: fails(lambda: h.multidict({}, foo=1), TypeError),
        "binding raising eq": lambda: fails(lambda: h.sin(**{RaisingEq("expr"): 1.0}), KeyError),
        "missing LinExpr": lambda: without("LinExpr", lambda: h.quicksum([x])),
        "missing NLExpr matrix": lambda: without("NLExpr", lambda: h.sin(matrix())),
        "missing apply": lambda: without("_apply_nlfunc", lambda: h.cos(x)),
        "attributes": lambda: _attributes(h),
    }
    for name in unary:
        fn = getattr(h, name)
        cases[f"{name} scalar"] = lambda fn=fn: fn(x)
        cases[f"{name} matrix"] = lambda fn=fn: fn(matrix())
    try:
        import _testcapi
        # CPython 3.13's own eval loop loses the exception of a failed
        # allocation (a pure-Python call aborts its debug build the same way).
        if hasattr(_testcapi, "set_nomemory") and sys.version_info >= (3, 14):
            # Operands whose Python-level handling appends to no list (see
            # the numpy double above).
            terms, m2, d = [1.0, 2.0, 3.0], matrix(2), {"a": [1, 2], "b": [3, 4]}
            cases["nomemory quicksum"] = lambda: _nomemory(
                _testcapi, lambda: h.quicksum(terms))
            cases["nomemory quicksum binding"] = lambda: _nomemory(
                _testcapi, lambda: h.quicksum(terms, list=terms))
            cases["nomemory multidict"] = lambda: _nomemory(
                _testcapi, lambda: h.multidict(d))
            cases["nomemory sin scalar"] = lambda: _nomemory(
                _testcapi, lambda: h.sin(2.0))
            cases["nomemory sin matrix"] = lambda: _nomemory(
                _testcapi, lambda: h.sin(m2))
            cases["nomemory signpow scalar"] = lambda: _nomemory(
                _testcapi, lambda: h.signpow(x, 2.0))
            cases["nomemory signpow matrix"] = lambda: _nomemory(
                _testcapi, lambda: h.signpow(m2, 2.0))
    except ImportError:
        pass
    return cases


def _quiet(call):
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return call()


def _as_error(call):
    import warnings
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        return call()


def _raising_iter(error):
    class It:
        def __iter__(self):
            raise error("iter")
    return It()


def _attributes(h):
    f = h.multidict
    f.__name__, f.__qualname__, f.__doc__, f.__annotations__, f.__code__
    f.__module__, f._is_coroutine, repr(f), f.__reduce__()
    f.__dict__["k"] = 1
    del f.__dict__["k"]
    f.__annotations__ = None


def _nomemory(testcapi, call):
    """Every failure point of one call, all allocations from the n-th on."""
    for n in range(1, 5000):
        try:
            testcapi.set_nomemory(n - 1, 0)
            try:
                call()
            finally:
                testcapi.remove_mem_hooks()
            return
        except MemoryError:
            testcapi.remove_mem_hooks()
        except Exception:
            testcapi.remove_mem_hooks()


def measure(case, warmups=3, runs=6, inner=5):
    def once():
        for _ in range(inner):
            case()
        gc.collect()

    for _ in range(warmups):
        once()
    # Preallocated, so that recording a figure changes no count.
    refs, blocks = [0] * runs, [0] * runs
    for i in range(runs):
        r0, b0 = sys.gettotalrefcount(), sys.getallocatedblocks()
        once()
        r1, b1 = sys.gettotalrefcount(), sys.getallocatedblocks()
        refs[i], blocks[i] = r1 - r0, b1 - b0
    return refs, blocks


def main(argv):
    if not hasattr(sys, "gettotalrefcount"):
        print("leakcheck: needs a debug interpreter (sys.gettotalrefcount)", file=sys.stderr)
        return 2
    try:
        import numpy  # noqa: F401
    except ImportError:
        root = install_fake_numpy()
        print(f"leakcheck: numpy double from {root}")
    # The detector itself must see a leak that is there.
    hoard = []
    refs, blocks = measure(lambda: hoard.append(object()))
    if not all(d > 0 for d in blocks):
        print(f"leakcheck: a deliberate leak went unseen ({refs}, {blocks})")
        return 2
    del hoard
    cases = build_cases()
    selected = [c for c in cases if not argv or any(a in c for a in argv)]
    leaks = []
    for name in selected:
        refs, blocks = measure(cases[name])
        # Like regrtest: a leak grows in every measured repetition.
        leaked = all(d > 0 for d in refs) or all(d > 0 for d in blocks)
        print(f"{'LEAK' if leaked else 'ok  '} {name}: refs {refs} blocks {blocks}")
        if leaked:
            leaks.append(name)
    print(f"leakcheck: {len(selected)} cases, {len(leaks)} leaking")
    return 1 if leaks else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

"""Differential runs: the module against its cache-free build.

A sequence is a short program of steps (Python source) that defines hostile
types, rebinds and deletes names of the module namespace and calls the
module's functions. The same sequences run in two child interpreters, one
importing the installed module and one the build with every memo, cache and
fast path compiled out (tools/nocache-build). Each child writes a transcript
per sequence: for every step its outcome (a canonical description of the
result, or the exception's type, message and traceback entries), the
warnings it raised and the events meanwhile: the package classes' methods the
module called (recorded by wrappers) and the hooks that ran. Any difference
between the transcripts, or a crash of either child, is a defect.

Hooks reached only through lookups that a cache may skip (a class-dictionary
key or namespace key hashing like the name looked up, whose __eq__ runs)
keep to a rule, as they would have to with CPython's own type attribute
cache. A namespace key acts once, at its first comparison after its
insertion: every build makes that comparison at the same moment, since an
insertion invalidates every cached name. A class-dictionary key acts once
per arming (an attribute set on its class, so every type under it gets a
new version), but only in ways no outcome can see: a version change, or new
bases equivalent to the old ones, followed by allocations that reuse the
memory of the freed MRO. A cache may walk a type's dictionaries at other
moments than the plain path, so an observable action there would differ
legitimately.

The sequences of a batch run one after another in the same two children, so
that memo entries, freed types and reused addresses carry over between them
as they would in a real process; a failure is reduced to the sequences and
steps it needs.

Run by tests/test_differential.py, or directly against any two builds:
    python differential.py --seed S --count N [--seconds T] CACHED_SITE REF_SITE
(each SITE a folder holding a tarvelpy package, "" for the installed one);
`--seed S --show I` prints sequence I.
"""

import argparse
import gc
import json
import os
import random
import re
import subprocess
import sys
import time
import traceback
import warnings

HELPERS_FILE = "src/tarvelpy/_helpers"
NAMES = ("LinExpr", "tupledict", "tuplelist", "MVar", "MLinExpr", "MQuadExpr", "MNLExpr",
         "NLExpr", "_ExprTree", "_apply_nlfunc", "warnings", "quicksum")
UNARY = ("sqrt", "sin", "cos", "tan", "exp", "log", "log2", "log10", "logistic", "tanh", "square")
MATRIX = ("MVar", "MLinExpr", "MQuadExpr", "MNLExpr")
CLAIMS = ("tupledict", *MATRIX, "float", "LinExpr", "list")

# ---------------------------------------------------------------------------
# Generator (parent side): one sequence of steps per (seed, index)


class Generator:
    def __init__(self, rng):
        self.r = rng
        self.steps = []
        self.n = 2  # o0, o1 and o2 are made by the first step
        self.operands = ["o0", "o1", "o2"]
        self.types = {"plain": [], "matrix": []}
        self.bases = {"plain": ["P0"], "matrix": ["A0", *MATRIX]}
        self.fakes = []
        self.nlfuncs = ["_ExprTree._from_sin", "_ExprTree._from_exp"]
        self.keyed = []  # (key, owner of the key, type under it, equivalent base)

    def fresh(self, prefix):
        self.n += 1
        return f"{prefix}{self.n}"

    def pick(self, seq):
        return self.r.choice(list(seq))

    def chance(self, p):
        return self.r.random() < p

    def items(self):
        return "[" + ", ".join(self.pick(self.operands + ["1.0", "2"]) for _ in range(self.r.randint(0, 3))) + "]"

    def value_for(self, name):
        opts = [f'ORIG["{name}"]'] * 3 + self.fakes * 2 + ["float", "list", "dict"]
        if name == "_apply_nlfunc":
            opts += ['ORIG["signpow"]', 'ORIG["sqrt"]']
        if name in MATRIX or name == "tupledict":
            opts.append(f"({self.pick(self.fakes or ['int'])}, float)")
        return self.pick(opts)

    def action(self, depth=0):
        """One statement a hook runs."""
        name = self.pick(NAMES)
        kind = self.r.choices(["rebind", "delete", "restore", "rebase", "bump", "nskey", "again", "raise"],
                              [6, 3, 3, 4, 2, 1 if depth == 0 else 0, 2, 1])[0]
        if kind == "rebind":
            return f'setns("{name}", {self.value_for(name)})'
        if kind == "delete":
            return f'setns("{name}", DELETE)'
        if kind == "restore":
            return f'setns("{name}", ORIG["{name}"])'
        if kind == "rebase":
            family = self.pick(["plain", "plain", "matrix"])
            if self.types[family]:
                return f"{self.pick(self.types[family])}.__bases__ = ({self.pick(self.bases[family])},)"
            return "pass"
        if kind == "bump":
            return f"{self.pick(self.types['plain'] + self.fakes + ['P0'])}.v = 1"
        if kind == "nskey":
            return f'setns(NsKey("{name}", {self.chance(0.5)}, {self.action(1)!r}), {self.value_for(name)})'
        if kind == "again":
            return f'note("again", attempt(h.{self.pick(("quicksum", "sin", "signpow"))}, {self.pick(self.operands)}))'
        return f'raise Boom("{self.fresh("b")}")'

    def body(self, label, args, ret, extra=()):
        """A hook's body: note, then its actions (or its self-removal), return."""
        lines = [f"note({label!r}{''.join(', ' + a for a in args)})", *extra]
        lines += [self.action() for _ in range(self.pick((0, 0, 1, 1, 2)))]
        return lines + [f"return {ret}"]

    @staticmethod
    def method(header, lines, indent="    "):
        return [indent + header] + [indent + "    " + line for line in lines]

    # -- definitions ------------------------------------------------------

    def define_type(self):
        """An argument type: __class__ claims, hooks, bases that may change."""
        family = "matrix" if self.chance(0.25) else "plain"
        t = self.fresh("T")
        base = self.pick(self.bases[family])
        out = [f"class {t}({base}):"]
        if family == "matrix":
            out.append("    __slots__ = ()")
        claim = self.pick(CLAIMS)
        how = self.r.choices(["none", "attr", "property", "getattribute"], [3, 1, 2, 3])[0]
        once = self.chance(0.6)
        if how == "attr":
            out.append(f"    __class__ = {claim}")
        elif how == "property":
            extra = [f"del {t}.__class__"] if once else []
            out += self.method("@property", []) + self.method("def __class__(self):", self.body(
                f"{t}.__class__", [], claim, extra))
        elif how == "getattribute":  # per instance when the instance has a "c"
            extra = [f"del {t}.__getattribute__"] if once else []
            lines = ['if name == "__class__":'] + ["    " + line for line in self.body(
                f"{t}.__getattribute__", [], claim if family == "matrix" else f'vars(self).get("c", {claim})', extra)]
            out += self.method("def __getattribute__(self, name):", lines + [
                "return object.__getattribute__(self, name)"])
        if family == "plain" or self.chance(0.3):
            out += self.method("def __iter__(self):", self.body(f"{t}.__iter__", [], f"iter({self.items()})"))
        if self.chance(0.5):
            out += self.method("def __radd__(self, other):", self.body(
                f"{t}.__radd__", ["other"], self.pick(["other", "NotImplemented", "1.0"])))
        out += self.method("def values(self):", self.body(f"{t}.values", [], self.items()))
        out += self.method("def sum(self, axis=None):", self.body(f"{t}.sum", ["axis"], "2.5"))
        self.steps.append("\n".join(out))
        self.types[family].append(t)
        for _ in range(self.pick((1, 1, 2))):
            o = self.fresh("o")
            self.steps.append(f"{o} = {t}()" if family == "plain" else f"{o} = matrix_of({t}, {o!r})")
            if how == "getattribute" and family == "plain" and self.chance(0.5):
                self.steps[-1] += f"\n{o}.c = {self.pick(CLAIMS)}"
            self.operands.append(o)
        if self.chance(0.5):
            self.call(o, repeat=2)

    def define_fake(self):
        """A class to bind in the namespace, maybe with an __instancecheck__."""
        f = self.fresh("F")
        base = self.pick(["P0", "P0", "P0", "LinExpr", "NLExpr", "tupledict", "MVar", "MNLExpr"])
        out = []
        meta = ""
        if self.chance(0.4):
            m = self.fresh("M")
            extra = [f"del {m}.__instancecheck__"] if self.chance(0.3) else []
            answer = self.pick(["True", "False", "type.__instancecheck__(cls, obj)"])
            out += [f"class {m}(type):"] + self.method(
                "def __instancecheck__(cls, obj):", self.body(f"{m}.__instancecheck__", ["obj"], answer, extra))
            meta = f", metaclass={m}"
        out.append(f"class {f}({base}{meta}):")
        if base in MATRIX:
            out.append("    __slots__ = ()")
        sup = base != "P0"
        out += self.method("def __init__(self, *args):", [f"note({f!r}, *args)"] + (
            ["super().__init__(*args)"] if sup else []) + [self.action() for _ in range(self.pick((0, 0, 1)))])
        out += self.method("def __iadd__(self, other):", self.body(f"{f}.__iadd__", ["other"], "self"))
        if not sup:
            out += self.method("def keys(self):", self.body(f"{f}.keys", [], '["a", "b"]'))
            out += self.method("def values(self):", self.body(f"{f}.values", [], "[[1, 2], [3, 4]]"))
            out += ["    @staticmethod"] + self.method("def warn(message, category):", self.body(
                f"{f}.warn", ["message", "category"], "None"))
        out += ["    @staticmethod"] + self.method("def _coerce_to_exprtree(obj):", self.body(
            f"{f}._coerce_to_exprtree", ["obj"], "NLExpr._coerce_to_exprtree(obj)"))
        out += ["    @staticmethod"] + self.method("def _coerce_to_exprtree_array(obj):", self.body(
            f"{f}._coerce_to_exprtree_array", ["obj"], "MNLExpr._coerce_to_exprtree_array(obj)"))
        self.steps.append("\n".join(out))
        self.fakes.append(f)
        if base == "P0" and not meta:
            self.bases["plain"].append(f)
        elif base in MATRIX and not meta:
            self.bases["matrix"].append(f)

    def define_nlfunc(self):
        f = self.fresh("nl")
        self.steps.append("\n".join([f"def {f}(tree):"] + ["    " + line for line in self.body(
            f, ["tree"], "_ExprTree._from_cos(tree)")]))
        self.nlfuncs.append(f)
        if self.chance(0.3):  # also a stand-in for _apply_nlfunc
            a = self.fresh("ap")
            self.steps.append("\n".join([f"def {a}(arg, nl_func):"] + ["    " + line for line in self.body(
                a, ["arg"], 'ORIG["_apply_nlfunc"](arg, nl_func)')]))
            self.fakes.append(a)

    def define_keyed(self):
        """A type under a deep base whose dictionary holds a key hashing like
        "__class__", and an equivalent base without the key."""
        k, b, alt, t = self.fresh("K"), self.fresh("B"), self.fresh("B"), self.fresh("T")
        equal = self.chance(0.3)
        value = self.pick(CLAIMS) if equal else "1"
        self.steps.append(f"{k} = ClsKey({equal})\n{b} = deep(30, {{{k}: {value}}})\n{alt} = deep(30, {{}})\n"
                          f"class {t}({b}):\n" + "\n".join(self.method(
                              "def __iter__(self):", self.body(f"{t}.__iter__", [], f"iter({self.items()})"))))
        o = self.fresh("o")
        self.steps.append(f"{o} = {t}()")
        self.operands.append(o)
        self.types["plain"].append(t)
        self.keyed.append((k, b, t, None if equal else alt))

    # -- top-level changes and calls -----------------------------------------

    def change(self):
        name = self.pick(NAMES)
        kind = self.r.choices(["rebind", "delete", "restore", "nskey", "rebase", "remove", "arm", "window"],
                              [6, 2, 3, 1, 3, 1, 3 if self.keyed else 0, 3])[0]
        if kind == "window":
            self.window(name)
        elif kind in ("rebind", "delete", "restore", "nskey") or not self.types["plain"]:
            self.steps.append(self.action() if kind != "nskey" else f'setns(NsKey("{name}", {self.chance(0.5)}, '
                              f'{self.action(1)!r}), {self.value_for(name)})')
        elif kind == "rebase":
            family = self.pick(["plain", "matrix"]) if self.types["matrix"] else "plain"
            self.steps.append(f"{self.pick(self.types[family])}.__bases__ = ({self.pick(self.bases[family])},)")
        elif kind == "remove":
            t = self.pick(self.types["plain"] + self.types["matrix"])
            attr = self.pick(["__getattribute__", "__class__"])
            self.steps.append(f'"{attr}" in vars({t}) and delattr({t}, "{attr}")')
        else:
            k, b, t, alt = self.pick(self.keyed)
            acts = [f"{t}.v = 1", f"{b}.w = 1"] + ([f"{t}.__bases__ = ({alt},); refill()"] * 2 if alt else [])
            self.steps.append(f"arm({k}, {b}, {self.pick(acts)!r})")

    def window(self, name):
        """A change of `name` with module calls inside its window."""
        how = self.pick(["error", "error", "format"])
        value = "DELETE" if how == "error" and self.chance(0.3) else self.value_for(name)
        inner = ", ".join(f"attempt(h.{self.pick(('quicksum', 'sin', 'log', 'multidict'))}, "
                          f"{self.pick(self.operands)})" for _ in range(self.pick((1, 2))))
        self.steps.append(f'window("{how}", "{name}", {value}, "({inner},)")')

    def call(self, o=None, repeat=None):
        o = o or self.pick(self.operands[-6:] if self.chance(0.6) else self.operands)
        fn = self.r.choices(["quicksum", "multidict", "_apply_nlfunc", "unary", "signpow"], [5, 1, 2, 3, 2])[0]
        if fn == "_apply_nlfunc":
            text = f"h._apply_nlfunc({o}, {self.pick(self.nlfuncs)})"
        elif fn == "unary":
            text = f"h.{self.pick(UNARY)}({o})"
        elif fn == "signpow":
            text = f"h.signpow({o}, {self.pick(['2.0', '2.0', self.pick(self.operands)])})"
        elif fn == "quicksum" and self.chance(0.1):
            text = f"h.quicksum(list={o})"
        else:
            text = f"h.{fn}({o})"
        mode = "error" if self.chance(0.2) else "always"
        for _ in range(repeat or self.pick((1, 1, 2, 3))):  # repeated: the memos answer the later ones
            self.steps.append(f"# warnings: {mode}\nR = {text}")

    def churn(self):
        """Types made and freed in a loop, so that new types take the
        addresses of freed ones, with answers that alternate."""
        family = self.bases["plain"]
        b1, b2 = self.pick(family), self.pick(family)
        spaces = ['{"__iter__": lambda self: iter([1.0])}', '{"__class__": tupledict}', '{"__class__": MVar}',
                  '{"sum": lambda self, axis=None: 3.0, "__iter__": lambda self: iter([])}']
        ns1, ns2 = self.pick(spaces), self.pick(spaces)
        fn = self.pick(["h.quicksum", "h.sin", "lambda o: h.signpow(o, 2.0)"])
        n = self.r.randint(10, 40)
        self.steps.append(f"R = []\nfor i in range({n}):\n"
                          f"    C = type(f\"C{{i}}\", ({b1},), {ns1}) if i % {self.r.randint(2, 3)} else type(f\"C{{i}}\", ({b2},), {ns2})\n"
                          f"    R.append(attempt({fn}, C()))\n    del C\n    gc.collect(0)")

    def sequence(self, length):
        self.steps.append('o0 = 1.5\no1 = Var("x")\no2 = [Var("y"), 2.0]')
        for _ in range(self.r.randint(1, 3)):
            self.pick([self.define_type, self.define_fake])()
        while len(self.steps) < length:
            self.r.choices([self.define_type, self.define_fake, self.define_nlfunc, self.define_keyed,
                            self.change, self.call, self.churn, self.plain_operand],
                           [3, 2, 1, 1, 5, 9, 1, 2])[0]()
        return self.steps

    def plain_operand(self):
        o = self.fresh("o")
        expr = self.pick([
            "2", "-0.5", '"text"', "None", "True", f'Var("{o}")', f'LinExpr(Var("{o}"))',
            f'Var("{o}") * Var("{o}")', f'NLExpr(_ExprTree._from_sin(NLExpr._coerce_to_exprtree(Var("{o}"))))',
            self.items(), f"tuple({self.items()})", f"iter({self.items()})",
            f"tupledict({{1: {self.pick(self.operands)}, 2: 2.0}})", '{"a": [1, 2], "b": [3, 4]}',
            f"{{{self.pick(self.operands)!r}: {self.pick(self.operands)}}}",
            f'MVar.named("{o}", 2)', f'matrix_of(MLinExpr, "{o}")', f'matrix_of(MNLExpr, "{o}")',
        ])
        self.steps.append(f"{o} = {expr}")
        self.operands.append(o)


def generate(seed, index):
    rng = random.Random(f"{seed}/{index}")
    return Generator(rng).sequence(rng.randint(8, 30))


# ---------------------------------------------------------------------------
# Child side: run sequences and write their transcripts

EVENTS = []
STATE = {"depth": 0, "changing": [], "window": False}


class Boom(Exception):
    pass


def describe(o, depth=0):
    """A canonical, address-free description of a result."""
    try:
        return describe_unchecked(o, depth)
    except Exception as exc:
        return ["undescribable", type(o).__name__, type(exc).__name__]


def describe_unchecked(o, depth):
    import numpy
    from tarvelpy import _core, _matrixapi
    t = type(o)
    if depth > 3:
        return "..."
    if o is None or t in (bool, int, str):
        return o
    if t is Outcome:
        return list(o)
    if t is float:
        return repr(o)
    if t in (_core.Var, _core.LinExpr, _core.QuadExpr, _core.NLExpr, _core._ExprTree):
        return [t.__name__, repr(o)]
    if issubclass(t, _matrixapi._MatrixBase):
        arr = _matrixapi._MatrixBase.array.__get__(o)
        return [t.__name__, describe(arr, depth + 1)]
    if t is numpy.ndarray:
        return ["ndarray", list(o.shape), [describe(e, depth + 1) for e in o.flat]]
    if issubclass(t, dict):
        return [t.__name__, [[describe(k, depth + 1), describe(v, depth + 1)] for k, v in dict.items(o)]]
    if issubclass(t, (list, tuple)):
        return [t.__name__, [describe(e, depth + 1) for e in (list.__iter__ if issubclass(t, list)
                                                              else tuple.__iter__)(o)]]
    if issubclass(t, type):
        return ["class", t.__name__, type.__dict__["__qualname__"].__get__(o)]
    return ["object", t.__name__]


def clean(text):
    return re.sub(r"0x[0-9a-f]+", "0x?", text)


def outcome_of(exc):
    entries = [[fs.filename if fs.filename == HELPERS_FILE else os.path.basename(fs.filename), fs.name, fs.lineno]
               for fs in traceback.extract_tb(exc.__traceback__)]
    return ["raise", type(exc).__name__, clean(str(exc)), entries]


def note(label, *args):
    EVENTS.append([label] + [describe(a, 2) for a in args])


class Outcome(list):
    """An outcome, described already."""


def attempt(fn, *args):
    """fn(*args) as an outcome; calls nested deeper than two are refused."""
    if STATE["depth"] >= 2:
        return Outcome(["too deep"])
    STATE["depth"] += 1
    try:
        return Outcome(["ok", describe(fn(*args))])
    except Exception as exc:
        return Outcome(outcome_of(exc))
    finally:
        STATE["depth"] -= 1


class NsKey(str):
    """A namespace key hashing like `name` (and equal to it when `equal`);
    its first comparison runs `action` once."""

    def __new__(cls, name, equal, action):
        self = super().__new__(cls, "~" + name)
        self.target, self.equal, self.action = name, equal, action
        return self

    def __hash__(self):
        return hash(self.target)

    def __eq__(self, other):
        if self.action is not None:
            action, self.action = self.action, None
            note("NsKey", self.target)
            exec(action, SEQ_GLOBALS[0])
        return self.equal and type(other) is str and str.__eq__(other, self.target)


class ClsKey(str):
    """A class-dictionary key hashing like "__class__" (and equal to it when
    `equal`). Once armed its next comparison runs the armed action; never
    noted, because a cache may skip (or add) such a lookup."""

    def __new__(cls, equal):
        self = super().__new__(cls, "~__class__")
        self.equal, self.action = equal, None
        return self

    def __hash__(self):
        return hash("__class__")

    def __eq__(self, other):
        if self.action is not None:
            action, self.action = self.action, None
            exec(action, SEQ_GLOBALS[0])
        return self.equal and type(other) is str and str.__eq__(other, "__class__")


def arm(key, owner, action):
    key.action = action
    owner.armed = 1  # a new version for the owner and every type under it


def refill():
    """Allocate what takes the place of freed tuples of about the size of an
    old MRO: a walk that still read one would find bytes objects where it
    expects types."""
    junk = bytes(400).replace(b"\0", b"A")
    STATE.setdefault("junk", []).extend(tuple(junk for _ in range(n)) for n in range(28, 36))


def deep(n, namespace):
    cls = type("D0", (), {})
    for i in range(1, n):
        cls = type(f"D{i}", (cls,), {} if i < n - 1 else namespace)
    return cls


DELETE = object()


def setns(key, value, opens_window=False):
    """ns[key] = value (with DELETE, its removal), unless that would break
    CPython's own dictionary: inside a change's window (see window()) only
    another name already bound may change (a new key may resize the table;
    a key whose change is under way would have its old value released
    twice)."""
    ns = SEQ_GLOBALS[0]["ns"]
    if STATE["window"] and (key in STATE["changing"] or (
            value is not DELETE and (type(key) is not str or key not in ns))):
        return note("held", str(key))
    STATE["changing"].append(key)
    STATE["window"] = STATE["window"] or opens_window
    try:
        ns.pop(key, None) if value is DELETE else ns.__setitem__(key, value)
    finally:
        STATE["changing"].pop()
        STATE["window"] = STATE["window"] and not opens_window


def window(how, name, value, inner):
    """setns(name, value) while a neighbour's watcher watches the namespace:
    the module calls in `inner` (source of a tuple) run, noted, inside the
    windows of that change and of those they make; from sys.unraisablehook
    when the watcher reports an error, or from the new value's str when the
    watcher formats it (a class gets a subclass whose metaclass runs them)."""
    import _testcapi
    g = SEQ_GLOBALS[0]

    def run_inner(*unraisable):
        note("window", *eval(inner, g))
    watcher = _testcapi.add_dict_watcher(0 if how == "format" else 1)
    if how == "format" and isinstance(value, type):
        try:
            meta = type("Loud", (type(value),), {"__str__": lambda cls: run_inner() or "loud"})
            value = meta(value.__name__, (value,), {"__slots__": ()})
        except TypeError:  # no subclasses (bool): nothing runs
            pass
    old_hook, sys.unraisablehook = sys.unraisablehook, run_inner
    _testcapi.watch_dict(watcher, g["ns"])
    try:
        setns(name, value, opens_window=True)
    finally:
        sys.unraisablehook = old_hook
        _testcapi.unwatch_dict(watcher, g["ns"])
        _testcapi.clear_dict_watcher(watcher)


SEQ_GLOBALS = [None]
PRELUDE = 'class P0: pass\nclass A0:\n    __slots__ = ("array",)\n'


def install_recorders(core, mat, numpy):
    """Wrap the package classes' methods the module calls, so that every call
    is an event."""
    def wrap(owner, name):
        raw = owner.__dict__.get(name)
        kind = staticmethod if isinstance(raw, staticmethod) else classmethod if isinstance(
            raw, classmethod) else None
        fn = raw.__func__ if kind else raw or getattr(owner, name)
        label = f"{owner.__name__}.{name}"

        def recorded(*args, **kwargs):
            note(label, *args[1:] if kind is not staticmethod else args, *sorted(kwargs.items()))
            return fn(*args, **kwargs)
        setattr(owner, name, kind(recorded) if kind else recorded)

    for owner, names in [(core.LinExpr, ("__init__", "__iadd__")), (core.QuadExpr, ("__iadd__",)),
                         (core.NLExpr, ("__init__", "_coerce_to_exprtree")),
                         (core._ExprTree, [n for n in vars(core._ExprTree) if n.startswith("_from_")]),
                         (core.tupledict, ("__init__", "keys", "values")), (core.tuplelist, ("__init__",)),
                         (mat._MatrixBase, ("__init__",)), (mat._SummableMatrix, ("sum",)),
                         (mat.MNLExpr, ("_coerce_to_exprtree_array",))]:
        for name in names:
            wrap(owner, name)
    real = numpy.vectorize

    def vectorize(pyfunc, *args, **kwargs):
        note("numpy.vectorize", type(pyfunc).__name__)
        return real(pyfunc, *args, **kwargs)
    numpy.vectorize = vectorize


def run_step(code, index, g):
    mode = "error" if code.startswith("# warnings: error") else "always"
    EVENTS.clear()
    g.pop("R", None)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter(mode)
        try:
            exec(compile(code, f"<step {index}>", "exec"), g)
            result = ["ok", describe(g.get("R"))]
        except Exception as exc:
            result = outcome_of(exc)
    warned = [[w.category.__name__, clean(str(w.message)), os.path.basename(w.filename), w.lineno]
              for w in caught]
    return [result, list(EVENTS), warned]


def child(site, batch_path):
    import faulthandler
    faulthandler.enable()
    if site:
        sys.path.insert(0, site)
    import numpy
    import tarvelpy._helpers as h
    from tarvelpy import _core as core, _matrixapi as mat
    if site and not h.__file__.startswith(os.path.abspath(site)):
        raise SystemExit(f"imported {h.__file__}, not the module of {site}")
    install_recorders(core, mat, numpy)
    saved = dict(vars(h))

    def matrix_of(cls, name):
        obj = cls.__new__(cls)
        object.__setattr__(obj, "array", numpy.array([core.Var(f"{name}[0]"), core.Var(f"{name}[1]")]))
        return obj

    with open(batch_path) as f:
        batch = json.load(f)
    for steps in batch:
        g = {"h": h, "ns": vars(h), "ORIG": saved, "gc": gc, "np": numpy, "note": note, "attempt": attempt,
             "NsKey": NsKey, "ClsKey": ClsKey, "setns": setns, "window": window,
             "DELETE": DELETE, "arm": arm, "deep": deep, "refill": refill, "Boom": Boom, "matrix_of": matrix_of,
             **{n: getattr(core, n) for n in core.__all__}, **{n: getattr(mat, n) for n in mat.__all__}}
        SEQ_GLOBALS[0] = g
        exec(PRELUDE, g)
        transcript = [run_step(code, i, g) for i, code in enumerate(steps)]
        vars(h).clear()
        vars(h).update(saved)
        print(json.dumps(transcript), flush=True)
        del g, transcript
        SEQ_GLOBALS[0] = None
        STATE.pop("junk", None)
        gc.collect()


# ---------------------------------------------------------------------------
# Parent side: run batches in both builds and compare


def run_pair(sites, batch, tmpdir, timeout=300):
    """Run a batch in a child per site, both at once; per child (transcripts,
    exit status, stderr)."""
    path = os.path.join(tmpdir, "batch.json")
    with open(path, "w") as f:
        json.dump(batch, f)
    env = dict(os.environ, PYTHONHASHSEED="0")
    env.setdefault("PYTHONMALLOC", "debug")  # freed memory is overwritten at once
    procs = []
    for k, site in enumerate(sites):
        out, err = (open(os.path.join(tmpdir, f"child{k}.{s}"), "w+") for s in ("out", "err"))
        procs.append((subprocess.Popen([sys.executable, "-P", __file__, "--child", site, path], env=env,
                                       stdout=out, stderr=err, text=True), out, err))
    results = []
    for p, out, err in procs:
        try:
            p.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()
            err.write("\n(timed out)")
        with out, err:
            out.seek(0)
            err.seek(0)
            results.append(([json.loads(line) for line in out if line.startswith("[")], p.returncode, err.read()))
    return results


def first_difference(sites, batch, tmpdir):
    """None, or (index in batch, step or None for a crash, both children's results)."""
    results = run_pair(sites, batch, tmpdir)
    (ta, rca, _), (tb, rcb, _) = results
    for i in range(len(batch)):
        if i >= len(ta) or i >= len(tb):
            return i, None, results
        if ta[i] != tb[i]:
            step = next(s for s in range(len(ta[i])) if ta[i][s] != tb[i][s])
            return i, step, results
    if rca != 0 or rcb != 0:
        return len(batch) - 1, None, results
    return None


def shrink(items, fails, deadline):
    """A shorter list for which fails() still holds: chunks of halving size
    are dropped while it does."""
    size = len(items) // 2
    while size >= 1 and time.monotonic() < deadline:
        i = 0
        while i < len(items) and time.monotonic() < deadline:
            trial = items[:i] + items[i + size:]
            if trial and fails(trial):
                items = trial
            else:
                i += size
        size //= 2
    return items


def report(seed, index, sites, seqs, diff, tmpdir, seconds=90):
    """The text of a failure that showed in the last of seqs (run in one
    child in that order): seed, sequence, step and both transcripts, after
    dropping what the difference does not need."""
    deadline = time.monotonic() + seconds
    last = {"seqs": seqs, "diff": diff}

    def fails(trial):
        diff = first_difference(sites, trial, tmpdir)
        if diff is not None:
            last.update(seqs=trial, diff=diff)
        return diff is not None

    lines = [f"seed {seed}, sequence {index}"]
    if not any(transcripts for transcripts, _, _ in diff[2]):
        lines.append("(neither child ran a sequence)")
    elif not fails(seqs):
        lines.append("(the difference did not show again when run once more)")
    else:
        # Every trial that still fails is kept, so `last` is the current state.
        if len(seqs) > 1 and fails(seqs[-1:]):
            seqs = seqs[-1:]
        elif len(seqs) > 1:
            seqs = shrink(seqs[:-1], lambda t: fails(t + seqs[-1:]), deadline) + seqs[-1:]
            lines.append(f"(after {len(seqs) - 1} earlier sequences in the same child)")
        for i in reversed(range(len(seqs))):
            seqs[i] = shrink(seqs[i], lambda t: fails(seqs[:i] + [t] + seqs[i + 1:]), deadline)
    seqs, (at, step, results) = last["seqs"], last["diff"]
    if step is None:
        lines.append("(a child ended early: its traceback below names the step)")
    for i, steps in enumerate(seqs):
        lines.append(f"===== sequence {i} of {len(seqs)} after dropping steps")
        for s, code in enumerate(steps):
            lines.append(f"--- step {s}" + (" (differs)" if (i, s) == (at, step) else ""))
            lines.append(code)
    for label, (transcripts, rc, err) in zip(("cached", "cache-free"), results):
        lines.append(f"=== {label} build: exit status {rc}")
        if step is not None and len(transcripts) > at:
            lines += [json.dumps(part) for part in transcripts[at][step]]
        if rc != 0:  # the sanitizer's report comes first, the fault handler's last
            lines.append(err if len(err) < 6000 else err[:3000] + "\n[...]\n" + err[-3000:])
    return "\n".join(lines)


def run(seed, sites, tmpdir, count=None, seconds=None, batch_size=100, log=print):
    """Run sequences 0, 1, ... until count or seconds is used up; returns
    (number of sequences run, failure report or None)."""
    start = time.monotonic()
    done = 0
    while (count is None or done < count) and (seconds is None or time.monotonic() - start < seconds):
        n = batch_size if count is None else min(batch_size, count - done)
        batch = [generate(seed, done + i) for i in range(n)]
        diff = first_difference(sites, batch, tmpdir)
        if diff is not None:
            index = done + diff[0]
            return index + 1, report(seed, index, sites, batch[:diff[0] + 1], diff, tmpdir)
        done += n
        if done % 1000 == 0:
            log(f"differential: seed {seed}: {done} sequences, no difference")
    return done, None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--child", nargs=2)
    parser.add_argument("--seed", type=int)
    parser.add_argument("--count", type=int)
    parser.add_argument("--seconds", type=float)
    parser.add_argument("--show", type=int, help="print sequence SHOW of the seed")
    parser.add_argument("sites", nargs="*")
    args = parser.parse_args()
    if args.child:
        return child(*args.child)
    if args.show is not None:
        print("\n\n".join(generate(args.seed, args.show)))
        return
    import tempfile
    with tempfile.TemporaryDirectory() as tmpdir:
        done, failure = run(args.seed, args.sites, tmpdir, args.count, args.seconds)
    print(f"differential: seed {args.seed}: {done} sequences")
    if failure:
        print(failure)
        sys.exit(1)


if __name__ == "__main__":
    main()

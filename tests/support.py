"""Helpers shared by the test modules of tarvelpy._helpers."""

import gc
import json
import os
import subprocess
import sys
import textwrap
import traceback

import numpy
import pytest

import tarvelpy._helpers as helpers
from tarvelpy._core import NLExpr, Var, _ExprTree
from tarvelpy._matrixapi import MLinExpr, MNLExpr, MQuadExpr, MVar

# The file name the module's traceback entries and code objects carry.
HELPERS_FILE = "src/tarvelpy/_helpers"

UNARY = ("sqrt", "sin", "cos", "tan", "exp", "log", "log2", "log10",
         "logistic", "tanh", "square")


class Boom(Exception):
    """An error that only the tests raise."""


# ---------------------------------------------------------------------------
# Traceback entries and error messages

def module_entries(exc):
    """(name, lineno) of every traceback entry the compiled module added."""
    return [(fs.name, fs.lineno)
            for fs in traceback.extract_tb(exc.__traceback__)
            if fs.filename == HELPERS_FILE]


def frame(name):
    """The frame name of the module's function (or element function) name."""
    return f"tarvelpy._helpers.{name}"


def count_error(call_name, n_params, given):
    """The TypeError message of a call with the wrong number of arguments."""
    plural = "" if n_params == 1 else "s"
    return (f"{call_name}() takes exactly {n_params} positional "
            f"argument{plural} ({given} given)")


def multiple_values(call_name, keyword):
    """The TypeError message of a parameter given twice."""
    return (f"{call_name}() got multiple values for keyword "
            f"argument '{keyword}'")


def unexpected_keyword(call_name, keyword):
    """The TypeError message of a keyword naming no parameter."""
    return f"{call_name}() got an unexpected keyword argument '{keyword}'"


# ---------------------------------------------------------------------------
# Child interpreters

# Defines frames(exc) in a child: the module's traceback entries as lists.
CHILD_FRAMES = f"""
import json, sys, traceback
def frames(exc):
    return [[fs.name, fs.lineno]
            for fs in traceback.extract_tb(exc.__traceback__)
            if fs.filename == "{HELPERS_FILE}"]
"""


# Makes every later import of numpy in a child fail with ImportError.
CHILD_BLOCK_NUMPY = """
import sys

class BlockNumpy:
    def find_spec(self, name, path=None, target=None):
        if name == "numpy" or name.startswith("numpy."):
            raise ImportError("numpy is not available here")
        return None

sys.meta_path.insert(0, BlockNumpy())
"""


def run_child(code, *flags, env=None):
    """Run code in a fresh interpreter and return the JSON it printed last.
    ``env`` holds variables added to the child's environment."""
    proc = subprocess.run(
        [sys.executable, "-P", *flags, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=120,
        env=None if env is None else {**os.environ, **env})
    assert proc.returncode == 0, (
        f"child exited with {proc.returncode}\n{proc.stderr}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


# What a child needs in its environment so that a use of freed memory shows
# (a crash or a sanitizer report, never a quiet success): the debug hooks,
# which fill every freed block, so that the interpreter's own reads of it
# (which no sanitizer sees) find garbage. In the sanitizer run they sit on
# the C allocator, which ASan watches for the module's reads.
FREED_MEMORY_SHOWS = {"PYTHONMALLOC": "malloc_debug"
                      if "asan" in os.environ.get("LD_PRELOAD", "") else "debug"}


def allocation_growth(code):
    """Run code, which imports gc, json and sys and defines run(n), in a fresh
    interpreter: after a warm-up run(500), the number of memory blocks that
    run(20000) leaves allocated."""
    return run_child(code + """
run(500)
gc.collect()
before = sys.getallocatedblocks()
run(20000)
gc.collect()
print(json.dumps(sys.getallocatedblocks() - before))
""")


# ---------------------------------------------------------------------------
# Element functions: what numpy.vectorize receives on the matrix paths

def element_functions_of(*calls):
    """Run each call in turn and return the element functions that
    numpy.vectorize was given meanwhile, one per call."""
    captured = []
    real_vectorize = numpy.vectorize

    def recording_vectorize(pyfunc, *args, **kwargs):
        captured.append(pyfunc)
        return real_vectorize(pyfunc, *args, **kwargs)

    with pytest.MonkeyPatch.context() as mp:
        mp.setattr(numpy, "vectorize", recording_vectorize)
        for call in calls:
            call()
    assert len(captured) == len(calls)
    return captured


def capture_element_functions(matrix):
    """The element functions of one _apply_nlfunc and one signpow call on
    ``matrix``, in that order."""
    return element_functions_of(
        lambda: helpers._apply_nlfunc(matrix, _ExprTree._from_sin),
        lambda: helpers.signpow(matrix, 2.0))


def element_function(calls):
    """Take the one call recorded by the ``vectorize_calls`` fixture and
    return the element function it was given."""
    assert len(calls) == 1
    func, args, kwargs = calls.pop()
    assert args == () and kwargs == {}
    return func


def capture_record(func):
    """The per-call record an element function holds (its only hidden ref)."""
    skip = {id(type(func)), id(func.__code__), id(func.__globals__)}
    found = [o for o in gc.get_referents(func)
             if id(o) not in skip
             and not isinstance(o, (str, dict, type(None)))]
    assert len(found) == 1, found
    return found[0]


# ---------------------------------------------------------------------------
# Operands

def tree_text(obj):
    """Text of the tree the stand-in makes of a scalar operand."""
    return repr(NLExpr._coerce_to_exprtree(obj))


def nlexpr(tree_constructor, obj):
    """NLExpr of the tree that ``tree_constructor`` makes of obj's tree."""
    return NLExpr(tree_constructor(NLExpr._coerce_to_exprtree(obj)))


def lin(expr):
    """A LinExpr as plain data: (constant, ((coef, name), ...))."""
    return expr.constant, tuple((c, v.name) for c, v in expr.terms)


def scalar_kinds(integer, real, linear, quadratic, nonlinear,
                 numpy_real=None):
    """One operand of each scalar kind, as pytest params with the kind as id.

    The expressions are built on fresh variables x and y: ``linear(x)``,
    ``quadratic(x, y)`` and the NLExpr of ``nonlinear`` applied to x.
    """
    params = [pytest.param(integer, id="int"), pytest.param(real, id="float")]
    if numpy_real is not None:
        params.append(pytest.param(numpy_real, id="numpy-float"))
    return params + [
        pytest.param(Var("x"), id="Var"),
        pytest.param(linear(Var("x")), id="LinExpr"),
        pytest.param(quadratic(Var("x"), Var("y")), id="QuadExpr"),
        pytest.param(nlexpr(nonlinear, Var("x")), id="NLExpr"),
    ]


class SubMVar(MVar):
    __slots__ = ()


class SubMLinExpr(MLinExpr):
    __slots__ = ()


class SubMQuadExpr(MQuadExpr):
    __slots__ = ()


class SubMNLExpr(MNLExpr):
    __slots__ = ()


MATRIX_KINDS = [MVar, MLinExpr, MQuadExpr, MNLExpr,
                SubMVar, SubMLinExpr, SubMQuadExpr, SubMNLExpr]


def matrix_builder(prefix, linear, quadratic, nonlinear):
    """make_matrix(cls, shape): a matrix of class ``cls`` with an element
    per index built on a fresh variable named ``prefix[i, ...]``: the
    variable itself for an MVar kind, else ``linear(v)``, ``quadratic(v)``
    or the NLExpr of ``nonlinear`` applied to v, by the kind of ``cls``."""
    def make_matrix(cls, shape):
        arr = numpy.empty(shape, dtype=object)
        for idx in numpy.ndindex(*shape):
            v = Var(f"{prefix}{list(idx)}")
            if issubclass(cls, MVar):
                arr[idx] = v
            elif issubclass(cls, MLinExpr):
                arr[idx] = linear(v)
            elif issubclass(cls, MQuadExpr):
                arr[idx] = quadratic(v)
            else:
                arr[idx] = nlexpr(nonlinear, v)
        return cls(arr)

    return make_matrix

"""A pure-Python implementation of tarvelpy._helpers, for benchmarks only.

Every function does the same steps as the compiled module, in the same order,
the plain Python way: module-level names are read from this module's globals
at call time, so a benchmark can rebind the sibling classes here exactly as it
does in the compiled module's namespace. Nothing is imported from the
compiled module.
"""

import warnings

from tarvelpy._core import (  # noqa: F401  (Var, QuadExpr: imported only)
    LinExpr, NLExpr, QuadExpr, Var, _ExprTree, tupledict, tuplelist,
)
from tarvelpy._matrixapi import MLinExpr, MNLExpr, MQuadExpr, MVar


def quicksum(list):
    if isinstance(list, tupledict):
        warnings.warn(
            "Calling quicksum on a tupledict is deprecated, use .sum() instead.",
            DeprecationWarning)
        return quicksum(list.values())
    if isinstance(list, (MVar, MLinExpr, MQuadExpr)):
        return list.sum(axis=0)
    result = LinExpr()
    for term in list:
        result += term
    return result


def multidict(data):
    d = tupledict(data)
    keys = d.keys()
    dicts = [tuplelist(keys)]
    try:
        dicts += [tupledict(zip(keys, v)) for v in zip(*d.values())]
    except TypeError:
        dicts.append(d)
    return dicts


def _apply_nlfunc(arg, nl_func):
    if isinstance(arg, (MVar, MLinExpr, MQuadExpr, MNLExpr)):
        import numpy as np
        tree_array = MNLExpr._coerce_to_exprtree_array(arg)
        map_nl_func = np.vectorize(lambda x: NLExpr(nl_func(x)))
        return MNLExpr(map_nl_func(tree_array))
    root = NLExpr._coerce_to_exprtree(arg)
    return NLExpr(nl_func(root))


def sqrt(expr):
    return _apply_nlfunc(expr, _ExprTree._from_sqrt)


def sin(expr):
    return _apply_nlfunc(expr, _ExprTree._from_sin)


def cos(expr):
    return _apply_nlfunc(expr, _ExprTree._from_cos)


def tan(expr):
    return _apply_nlfunc(expr, _ExprTree._from_tan)


def exp(expr):
    return _apply_nlfunc(expr, _ExprTree._from_exp)


def log(expr):
    return _apply_nlfunc(expr, _ExprTree._from_log)


def log2(expr):
    return _apply_nlfunc(expr, _ExprTree._from_log2)


def log10(expr):
    return _apply_nlfunc(expr, _ExprTree._from_log10)


def logistic(expr):
    return _apply_nlfunc(expr, _ExprTree._from_logistic)


def tanh(expr):
    return _apply_nlfunc(expr, _ExprTree._from_tanh)


def square(expr):
    return _apply_nlfunc(expr, _ExprTree._from_square)


def signpow(base, exponent):
    if isinstance(base, (MVar, MLinExpr, MQuadExpr, MNLExpr)):
        import numpy as np
        tree1_array = MNLExpr._coerce_to_exprtree_array(base)
        tree2 = NLExpr._coerce_to_exprtree(exponent)
        map_nl_func = np.vectorize(
            lambda tree1: NLExpr(_ExprTree._from_signpow(tree1, tree2)))
        return MNLExpr(map_nl_func(tree1_array))
    tree1 = NLExpr._coerce_to_exprtree(base)
    tree2 = NLExpr._coerce_to_exprtree(exponent)
    root = _ExprTree._from_signpow(tree1, tree2)
    return NLExpr(root)


UNARY = ("sqrt", "sin", "cos", "tan", "exp", "log", "log2", "log10",
         "logistic", "tanh", "square")

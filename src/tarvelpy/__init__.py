"""tarvelpy: an optimization modeling package.

Importing the package is cheap: the compiled helpers in ``tarvelpy._helpers``
are loaded on first use of one of their functions through the package
(``tarvelpy.quicksum``), and the modeling classes when first asked for.
"""

import importlib

__version__ = "0.1.0"

_HELPER_FUNCTIONS = (
    "quicksum", "multidict",
    "sqrt", "sin", "cos", "tan", "exp", "log", "log2", "log10",
    "logistic", "tanh", "square", "signpow",
)
_CORE_CLASSES = (
    "Var", "LinExpr", "QuadExpr", "NLExpr", "tupledict", "tuplelist",
)
_MATRIX_CLASSES = ("MVar", "MLinExpr", "MQuadExpr", "MNLExpr")

_SOURCES = {
    **{name: "tarvelpy._helpers" for name in _HELPER_FUNCTIONS},
    **{name: "tarvelpy._core" for name in _CORE_CLASSES},
    **{name: "tarvelpy._matrixapi" for name in _MATRIX_CLASSES},
}

__all__ = [*_HELPER_FUNCTIONS, *_CORE_CLASSES, *_MATRIX_CLASSES]


def __getattr__(name):
    source = _SOURCES.get(name)
    if source is None:
        raise AttributeError(f"module 'tarvelpy' has no attribute '{name}'")
    value = getattr(importlib.import_module(source), name)
    globals()[name] = value
    return value


def __dir__():
    return sorted(set(globals()) | set(__all__))

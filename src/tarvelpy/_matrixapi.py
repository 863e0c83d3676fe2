"""Matrix-shaped modeling objects over numpy object arrays.

Each class wraps an ndarray of dtype object (``.array``) whose elements are
the matching scalar objects of ``_core``: ``MVar`` holds Var, ``MLinExpr``
LinExpr, ``MQuadExpr`` QuadExpr and ``MNLExpr`` NLExpr. The wrapped array is a
private copy, checked element by element when the object is made.
"""

import numpy as np

from ._core import LinExpr, NLExpr, QuadExpr, Var

__all__ = ["MVar", "MLinExpr", "MQuadExpr", "MNLExpr"]


class _MatrixBase:
    __slots__ = ("array",)
    _element = object

    def __init__(self, array):
        arr = np.empty(np.shape(array), dtype=object)
        arr[...] = array
        for item in arr.flat:
            if not isinstance(item, self._element):
                raise TypeError(
                    f"{type(self).__name__} elements must be "
                    f"{self._element.__name__}, not '{type(item).__name__}'")
        self.array = arr

    @property
    def shape(self):
        return self.array.shape

    @property
    def ndim(self):
        return self.array.ndim

    @property
    def size(self):
        return self.array.size

    def __len__(self):
        return len(self.array)

    def __getitem__(self, index):
        item = self.array[index]
        if isinstance(item, np.ndarray):
            return type(self)(item)
        return item

    def __iter__(self):
        for i in range(len(self.array)):
            yield self[i]

    def tolist(self):
        return self.array.tolist()

    def __repr__(self):
        return f"<{type(self).__name__} {self.shape}>\n{self.array!r}"


class _SummableMatrix(_MatrixBase):
    __slots__ = ()
    _sum_class = None  # matrix class of a summed result

    def _zero(self):
        return LinExpr()

    def sum(self, axis=None):
        """Sum over ``axis`` (all elements when None).

        A result with no dimensions left is a scalar expression; otherwise a
        matrix expression of the remaining shape.
        """
        arr = self.array
        if axis is None:
            arr = arr.reshape(-1)
            axis = 0
        arr = np.moveaxis(arr, axis, 0)
        rest = arr.shape[1:]
        totals = np.empty(rest, dtype=object)
        for idx in np.ndindex(rest):
            totals[idx] = self._zero()
        for i in range(arr.shape[0]):
            for idx in np.ndindex(rest):
                totals[idx] += arr[(i,) + idx]
        if not rest:
            return totals[()]
        return self._sum_class(totals)


class MVar(_SummableMatrix):
    """A matrix of variables."""

    __slots__ = ()
    _element = Var

    @classmethod
    def fromlist(cls, variables):
        return cls(np.array(variables, dtype=object))

    @classmethod
    def named(cls, name, shape):
        """New variables ``name[i,j,...]`` in the given shape."""
        if isinstance(shape, int):
            shape = (shape,)
        arr = np.empty(shape, dtype=object)
        for idx in np.ndindex(*shape):
            arr[idx] = Var(f"{name}[{','.join(map(str, idx))}]")
        return cls(arr)


class MLinExpr(_SummableMatrix):
    """A matrix of linear expressions."""

    __slots__ = ()
    _element = LinExpr


class MQuadExpr(_SummableMatrix):
    """A matrix of quadratic expressions."""

    __slots__ = ()
    _element = QuadExpr

    def _zero(self):
        return QuadExpr()


class MNLExpr(_MatrixBase):
    """A matrix of nonlinear expressions."""

    __slots__ = ()
    _element = NLExpr

    @staticmethod
    def _coerce_to_exprtree_array(obj):
        """An object ndarray of expression trees in the shape of ``obj``.

        ``obj`` must be an MVar, MLinExpr, MQuadExpr or MNLExpr.
        """
        if not isinstance(obj, _MatrixBase):
            raise TypeError(
                "expected a matrix expression, not "
                f"'{type(obj).__name__}'")
        trees = np.empty(obj.shape, dtype=object)
        for idx in np.ndindex(obj.shape):
            trees[idx] = NLExpr._coerce_to_exprtree(obj.array[idx])
        return trees


MVar._sum_class = MLinExpr
MLinExpr._sum_class = MLinExpr
MQuadExpr._sum_class = MQuadExpr

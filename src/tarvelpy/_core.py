"""Scalar modeling objects: variables, expressions and keyed containers.

These classes are deliberately small. They hold exactly what a model
expression needs to be built and inspected: variables are named,
linear and quadratic expressions keep their terms in the order they were
added, and nonlinear expressions keep an expression tree. Nothing here
solves or evaluates anything.

Numbers are anything registered as ``numbers.Real`` except ``bool``: a truth
value inside an expression is almost always a slip (``sin(x > 0)``), so it is
refused rather than silently read as 0 or 1.
"""

from numbers import Real

__all__ = [
    "Var",
    "LinExpr",
    "QuadExpr",
    "NLExpr",
    "_ExprTree",
    "tupledict",
    "tuplelist",
]


def _is_number(obj):
    return isinstance(obj, Real) and not isinstance(obj, bool)


def _fmt_coef(coef):
    return repr(float(coef))


def _join_terms(parts):
    """Join (sign, text) pairs into "a + b - c"; an empty list reads "0.0"."""
    if not parts:
        return "0.0"
    out = []
    for i, (negative, text) in enumerate(parts):
        if i == 0:
            out.append(("-" if negative else "") + text)
        else:
            out.append((" - " if negative else " + ") + text)
    return "".join(out)


def _term_text(coef, body):
    """(negative, text) for coef * body, dropping a unit coefficient."""
    mag = abs(float(coef))
    text = body if mag == 1.0 else f"{_fmt_coef(mag)} {body}"
    return coef < 0, text


class Var:
    """A decision variable, known by its name."""

    __slots__ = ("name",)

    def __init__(self, name):
        self.name = str(name)

    def __repr__(self):
        return self.name

    def __add__(self, other):
        return LinExpr(self) + other

    def __radd__(self, other):
        return LinExpr(self) + other

    def __sub__(self, other):
        return LinExpr(self) + (-1.0) * other

    def __rsub__(self, other):
        return (-1.0) * self + other

    def __neg__(self):
        return (-1.0) * self

    def __mul__(self, other):
        if _is_number(other):
            expr = LinExpr()
            expr._terms.append((float(other), self))
            return expr
        if isinstance(other, Var):
            expr = QuadExpr()
            expr._qterms.append((1.0, self, other))
            return expr
        return NotImplemented

    def __rmul__(self, other):
        if _is_number(other):
            return self.__mul__(other)
        return NotImplemented


class LinExpr:
    """A constant plus a list of (coefficient, Var) terms.

    ``LinExpr()`` is empty, ``LinExpr(c)`` is the constant ``c`` and
    ``LinExpr(v)`` is the variable ``v``; ``LinExpr(e)`` copies a LinExpr.
    Terms are kept as added, without merging repeated variables.

    ``a + b`` returns a new expression. ``a += b`` adds into ``a`` itself for
    numbers, variables and linear expressions; adding a QuadExpr cannot stay
    linear, so it returns a new QuadExpr and leaves ``a`` unchanged.
    """

    __slots__ = ("_const", "_terms")

    def __init__(self, arg=None):
        self._const = 0.0
        self._terms = []
        if arg is None:
            return
        if isinstance(arg, LinExpr):
            self._const = arg._const
            self._terms = list(arg._terms)
        elif isinstance(arg, Var):
            self._terms.append((1.0, arg))
        elif _is_number(arg):
            self._const = float(arg)
        else:
            raise TypeError(
                f"cannot make a LinExpr from '{type(arg).__name__}'")

    @property
    def constant(self):
        return self._const

    @property
    def terms(self):
        """The (coefficient, Var) terms, in the order they were added."""
        return tuple(self._terms)

    def size(self):
        """Number of variable terms."""
        return len(self._terms)

    def _add_into(self, other):
        """Add ``other`` into self; False when it is not a linear operand."""
        if _is_number(other):
            self._const += float(other)
        elif isinstance(other, Var):
            self._terms.append((1.0, other))
        elif isinstance(other, LinExpr):
            self._const += other._const
            self._terms.extend(other._terms)
        else:
            return False
        return True

    def __iadd__(self, other):
        if self._add_into(other):
            return self
        if isinstance(other, QuadExpr):
            return QuadExpr(self) + other
        return NotImplemented

    def __add__(self, other):
        if isinstance(other, QuadExpr):
            return QuadExpr(self) + other
        result = LinExpr(self)
        if result._add_into(other):
            return result
        return NotImplemented

    def __radd__(self, other):
        if _is_number(other) or isinstance(other, Var):
            result = LinExpr(other)
            result._add_into(self)
            return result
        return NotImplemented

    def __mul__(self, other):
        if not _is_number(other):
            return NotImplemented
        f = float(other)
        result = LinExpr()
        result._const = self._const * f
        result._terms = [(c * f, v) for c, v in self._terms]
        return result

    __rmul__ = __mul__

    def __neg__(self):
        return self * -1.0

    def __sub__(self, other):
        return self + (-1.0) * other

    def __rsub__(self, other):
        return (-1.0) * self + other

    def _text(self):
        parts = [_term_text(c, v.name) for c, v in self._terms]
        if self._const != 0.0 or not parts:
            parts.append((self._const < 0, _fmt_coef(abs(self._const))))
        return _join_terms(parts)

    def __repr__(self):
        return f"<LinExpr: {self._text()}>"


class QuadExpr:
    """A linear part plus a list of (coefficient, Var, Var) quadratic terms.

    ``QuadExpr()`` is empty; ``QuadExpr(arg)`` takes a number, Var, LinExpr
    (as the linear part) or QuadExpr (copied). ``+`` returns a new
    expression, ``+=`` adds in place and returns self.
    """

    __slots__ = ("_lin", "_qterms")

    def __init__(self, arg=None):
        if isinstance(arg, QuadExpr):
            self._lin = LinExpr(arg._lin)
            self._qterms = list(arg._qterms)
        else:
            self._lin = LinExpr(arg)
            self._qterms = []

    @property
    def linear(self):
        """A copy of the linear part."""
        return LinExpr(self._lin)

    @property
    def constant(self):
        return self._lin._const

    @property
    def quad_terms(self):
        """The (coefficient, Var, Var) terms, in the order they were added."""
        return tuple(self._qterms)

    def size(self):
        """Number of quadratic terms."""
        return len(self._qterms)

    def __iadd__(self, other):
        if isinstance(other, QuadExpr):
            self._lin._add_into(other._lin)
            self._qterms.extend(other._qterms)
            return self
        if self._lin._add_into(other):
            return self
        return NotImplemented

    def __add__(self, other):
        return QuadExpr(self).__iadd__(other)

    def __radd__(self, other):
        if _is_number(other) or isinstance(other, (Var, LinExpr)):
            return QuadExpr(other).__iadd__(self)
        return NotImplemented

    def __mul__(self, other):
        if not _is_number(other):
            return NotImplemented
        f = float(other)
        result = QuadExpr(self._lin * f)
        result._qterms = [(c * f, a, b) for c, a, b in self._qterms]
        return result

    __rmul__ = __mul__

    def __repr__(self):
        parts = [_term_text(c, v.name) for c, v in self._lin._terms]
        for c, a, b in self._qterms:
            body = f"{a.name} ^ 2" if a is b else f"{a.name} * {b.name}"
            parts.append(_term_text(c, body))
        const = self._lin._const
        if const != 0.0 or not parts:
            parts.append((const < 0, _fmt_coef(abs(const))))
        return f"<QuadExpr: {_join_terms(parts)}>"


class _ExprTree:
    """A node of a nonlinear expression tree.

    ``op`` names the node. Leaves are "constant" (``value`` a float),
    "variable" (a Var), "linear" (a LinExpr) and "quadratic" (a QuadExpr);
    every other node is a function whose operands are in ``children``.
    Leaves hold copies, so later in-place changes to an expression do not
    reach a tree already built from it.
    """

    __slots__ = ("op", "children", "value")

    _LEAVES = ("constant", "variable", "linear", "quadratic")

    def __init__(self, op, children=(), value=None):
        self.op = op
        self.children = tuple(children)
        self.value = value

    def __repr__(self):
        if self.op == "constant":
            return repr(self.value)
        if self.op == "variable":
            return self.value.name
        if self.op in ("linear", "quadratic"):
            text = repr(self.value)
            return text[text.index(": ") + 2:-1]
        return f"{self.op}({', '.join(map(repr, self.children))})"

    @classmethod
    def _node(cls, op, *children):
        for child in children:
            if not isinstance(child, _ExprTree):
                raise TypeError(
                    f"{op}() operand must be an expression tree, "
                    f"not '{type(child).__name__}'")
        return cls(op, children)

    @classmethod
    def _from_sqrt(cls, tree):
        return cls._node("sqrt", tree)

    @classmethod
    def _from_sin(cls, tree):
        return cls._node("sin", tree)

    @classmethod
    def _from_cos(cls, tree):
        return cls._node("cos", tree)

    @classmethod
    def _from_tan(cls, tree):
        return cls._node("tan", tree)

    @classmethod
    def _from_exp(cls, tree):
        return cls._node("exp", tree)

    @classmethod
    def _from_log(cls, tree):
        return cls._node("log", tree)

    @classmethod
    def _from_log2(cls, tree):
        return cls._node("log2", tree)

    @classmethod
    def _from_log10(cls, tree):
        return cls._node("log10", tree)

    @classmethod
    def _from_logistic(cls, tree):
        return cls._node("logistic", tree)

    @classmethod
    def _from_tanh(cls, tree):
        return cls._node("tanh", tree)

    @classmethod
    def _from_square(cls, tree):
        return cls._node("square", tree)

    @classmethod
    def _from_signpow(cls, base, exponent):
        return cls._node("signpow", base, exponent)


class NLExpr:
    """A nonlinear expression: a wrapper around the root of an _ExprTree."""

    __slots__ = ("tree",)

    def __init__(self, tree):
        if not isinstance(tree, _ExprTree):
            raise TypeError(
                f"NLExpr needs an expression tree, not '{type(tree).__name__}'")
        self.tree = tree

    @staticmethod
    def _coerce_to_exprtree(obj):
        """The expression tree of a scalar operand.

        Accepts numbers (not bool), Var, LinExpr, QuadExpr and NLExpr; any
        other operand, matrix objects included, raises TypeError.
        """
        if _is_number(obj):
            return _ExprTree("constant", value=float(obj))
        if isinstance(obj, Var):
            return _ExprTree("variable", value=obj)
        if isinstance(obj, LinExpr):
            return _ExprTree("linear", value=LinExpr(obj))
        if isinstance(obj, QuadExpr):
            return _ExprTree("quadratic", value=QuadExpr(obj))
        if isinstance(obj, NLExpr):
            return obj.tree
        raise TypeError(
            "unsupported operand for a nonlinear expression: "
            f"'{type(obj).__name__}'")

    def __repr__(self):
        return f"<NLExpr: {self.tree!r}>"


class tupledict(dict):
    """A dict of modeling objects keyed by tuples (or single values)."""

    __slots__ = ()

    def sum(self):
        """The values added up into one expression."""
        total = LinExpr()
        for value in self.values():
            total += value
        return total


class tuplelist(list):
    """A list of key tuples."""

    __slots__ = ()

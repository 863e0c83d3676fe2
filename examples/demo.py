"""A short tour of tarvelpy._helpers: building expressions, and how fast.

Run with `make demo`.
"""

import time

from tarvelpy import _helpers
from tarvelpy._core import Var
from tarvelpy._matrixapi import MVar


def section(title):
    print()
    print(title)
    print("-" * len(title))


def best_of(repeat, func):
    """Shortest wall time of `repeat` calls of func, in seconds."""
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        func()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    quicksum = _helpers.quicksum
    x, y, z = Var("x"), Var("y"), Var("z")

    section("quicksum")
    print("quicksum([x, 2*y, 3*z])       =", quicksum([x, 2 * y, 3 * z]))
    print("quicksum(i*v for v in x,y,z)  =",
          quicksum(i * v for i, v in enumerate((x, y, z), start=1)))
    print("quicksum([x, x*y, 5])         =", quicksum([x, x * y, 5]))
    m = MVar.named("m", (2, 3))
    print("quicksum(m), m of shape (2, 3) =", quicksum(m))

    section("quicksum against the built-in sum")
    n = 20_000
    variables = [Var(f"v{i}") for i in range(n)]
    terms = [(i % 7 + 1) * v for i, v in enumerate(variables)]
    t_quick = best_of(3, lambda: quicksum(terms))
    t_sum = best_of(3, lambda: sum(terms))
    assert quicksum(terms).size() == sum(terms).size() == n
    print(f"{n} terms of coef * Var, best of 3")
    print(f"  quicksum: {t_quick * 1e3:9.2f} ms")
    print(f"  sum:      {t_sum * 1e3:9.2f} ms")
    print(f"  sum / quicksum = {t_sum / t_quick:.1f}x")

    if hasattr(_helpers, "sin"):
        section("nonlinear expressions")
        print("sin(x)                =", _helpers.sin(x))
        print("signpow(x, 2.0)       =", _helpers.signpow(x, 2.0))
        print("exp(2*x + y)          =", _helpers.exp(2 * x + y))
        print("sin(w), w of shape (2, 2):")
        print(_helpers.sin(MVar.named("w", (2, 2))))


if __name__ == "__main__":
    main()

"""The typed stubs of tarvelpy._helpers, as installed with the package.

stubtest compares the stubs with the compiled module (names, parameter names
and kinds); a small mypy run checks that the overloads give the result types
the functions document.
"""

import importlib.resources
import re
import subprocess
import sys

import pytest

pytest.importorskip("mypy")


def test_stub_files_are_installed():
    package = importlib.resources.files("tarvelpy")
    assert package.joinpath("_helpers.pyi").is_file()
    assert package.joinpath("py.typed").is_file()


def test_stubtest_finds_no_differences(tmp_path):
    # Run outside the source tree so that the installed package is checked.
    proc = subprocess.run(
        [sys.executable, "-P", "-m", "mypy.stubtest", "tarvelpy._helpers"],
        cwd=tmp_path, capture_output=True, text=True, timeout=120,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr
    assert "Success" in proc.stdout


REVEALS = [
    ("sin(x)", "tarvelpy._core.NLExpr"),
    ("sqrt(2.0)", "tarvelpy._core.NLExpr"),
    ("log(3)", "tarvelpy._core.NLExpr"),
    ("exp(lin)", "tarvelpy._core.NLExpr"),
    ("square(quad)", "tarvelpy._core.NLExpr"),
    ("tanh(nl)", "tarvelpy._core.NLExpr"),
    ("sin(mvar)", "tarvelpy._matrixapi.MNLExpr"),
    ("cos(mlin)", "tarvelpy._matrixapi.MNLExpr"),
    ("log10(mquad)", "tarvelpy._matrixapi.MNLExpr"),
    ("logistic(mnl)", "tarvelpy._matrixapi.MNLExpr"),
    ("signpow(x, 2.0)", "tarvelpy._core.NLExpr"),
    ("signpow(base=x, exponent=2)", "tarvelpy._core.NLExpr"),
    ("signpow(mvar, 2.0)", "tarvelpy._matrixapi.MNLExpr"),
    ("_apply_nlfunc(x, _ExprTree._from_sin)", "tarvelpy._core.NLExpr"),
    ("_apply_nlfunc(arg=mvar, nl_func=_ExprTree._from_sin)",
     "tarvelpy._matrixapi.MNLExpr"),
    ("quicksum([x, lin])",
     "tarvelpy._core.LinExpr | tarvelpy._core.QuadExpr"),
    ("quicksum(list=(x, x))",
     "tarvelpy._core.LinExpr | tarvelpy._core.QuadExpr"),
    ("quicksum(mvar)",
     "tarvelpy._core.LinExpr | tarvelpy._matrixapi.MLinExpr"),
    ("quicksum(mquad)",
     "tarvelpy._core.QuadExpr | tarvelpy._matrixapi.MQuadExpr"),
    ("multidict({'a': [1, 2]})", "list[Any]"),
    ("multidict(data={1: 2})", "list[Any]"),
]

PREAMBLE = """\
from tarvelpy._helpers import (
    LinExpr, MLinExpr, MNLExpr, MQuadExpr, MVar, NLExpr, QuadExpr, Var,
    _ExprTree, _apply_nlfunc, cos, exp, log, log10, logistic, multidict,
    quicksum, signpow, sin, sqrt, square, tanh,
)
"""

SIGNATURE = """
def {name}(x: Var, lin: LinExpr, quad: QuadExpr, nl: NLExpr, mvar: MVar,
          mlin: MLinExpr, mquad: MQuadExpr, mnl: MNLExpr) -> None:
"""


@pytest.fixture(scope="module")
def mypy_messages(tmp_path_factory):
    """Messages of one mypy run over a snippet that makes every call of
    REVEALS and of REJECTED on a line of its own, keyed by the call."""
    from mypy import api

    tmp = tmp_path_factory.mktemp("mypy")
    lines = PREAMBLE.splitlines()
    where = {}
    for name, calls in (("reveals", [f"reveal_type({c})" for c, _ in REVEALS]),
                        ("rejected", REJECTED)):
        lines.extend(SIGNATURE.format(name=name).splitlines())
        for call in calls:
            lines.append(f"    {call}")
            where[len(lines)] = call
    source = tmp / "snippet.py"
    source.write_text("\n".join(lines) + "\n")
    stdout, stderr, _ = api.run([
        "--cache-dir", str(tmp / "cache"),
        "--python-executable", sys.executable, "--no-error-summary",
        "--hide-error-context", str(source),
    ])
    messages = {}
    for line in stdout.splitlines():
        match = re.match(r"^.*snippet\.py:(\d+): (\w+): (.*)$", line)
        assert match, stdout + stderr
        assert int(match.group(1)) in where, stdout + stderr
        messages.setdefault(where[int(match.group(1))], []).append(
            (match.group(2), match.group(3)))
    return messages, stdout + stderr


@pytest.mark.parametrize("call, expected", REVEALS)
def test_mypy_reveals_documented_result_type(mypy_messages, call, expected):
    messages, output = mypy_messages
    assert messages.get(f"reveal_type({call})") == [
        ("note", f'Revealed type is "{expected}"')], output


REJECTED = [
    'sin("text")',
    "sin(mvar, mvar)",
    "sin(x=x)",
    "sqrt()",
    "multidict([1, 2])",
    "multidict(dat={})",
    "signpow(x)",
    "quicksum(5)",
    "quicksum([x], 1)",
]


@pytest.mark.parametrize("call", REJECTED)
def test_mypy_rejects_wrong_call(mypy_messages, call):
    messages, output = mypy_messages
    kinds = [kind for kind, _ in messages.get(call, [])]
    assert "error" in kinds, output

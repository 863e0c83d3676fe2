"""The runtime-version warning, with a module built for another CPython.

A build for one minor version, copied into a scratch copy of the package
under the generic file name ``_helpers.so`` (which every CPython loads), is
imported by the other interpreter under ``-W error``. Nothing of such a
module is called beyond its initialisation: object layouts differ between
minor versions, and the version check comes before the module touches any.

The other version's build is one for this processor: that of its
development venv (``.venv`` for 3.14, ``.venv-X.Y`` for the others) or else of
the venv tools/test-wheels installed its wheel into
(``.venv-wheel-VERSION-PROCESSOR``), whose interpreter runs the other
direction. ``make test-all`` installs every version before it runs any
suite, and tools/test-wheels makes every emulated venv before it runs their
suites, so both directions run there.
"""

import json
import pathlib
import platform
import shutil
import subprocess
import sys
import textwrap

import pytest

import tarvelpy._helpers as helpers
from elffile import ElfFile

ROOT = pathlib.Path(__file__).resolve().parent.parent
SUPPORTED = ("3.13", "3.14", "3.15")
THIS = "%d.%d" % sys.version_info[:2]

CHILD = """
import json, sys, traceback
sys.path.insert(0, sys.argv[1])
try:
    import tarvelpy._helpers
except BaseException as exc:
    print(json.dumps([type(exc).__name__, str(exc),
                      [fs.name for fs in traceback.extract_tb(exc.__traceback__)]]))
else:
    print(json.dumps(None))
"""


def venv_of(version):
    return ROOT / (".venv" if version == "3.14" else f".venv-{version}")


def build_of(version):
    """(python, extension module) of another version's build for this
    processor: under emulation the development venvs hold x86-64 builds,
    which neither interpreter could load into the other."""
    machine = ElfFile(pathlib.Path(helpers.__file__).read_bytes()).machine
    venvs = [venv_of(version), *sorted(ROOT.glob(f".venv-wheel-{version}-*"))]
    for venv in venvs:
        modules = sorted(venv.glob(f"lib/python{version}/site-packages/tarvelpy/_helpers*.so"))
        python = venv / "bin" / "python"
        if (modules and python.exists()
                and ElfFile(modules[0].read_bytes()).machine == machine):
            return python, modules[0]
    pytest.skip(f"no CPython {version} build for this processor ({platform.machine()}) "
                f"in {', '.join(v.name for v in venvs)}: run `make test-all`, "
                "or `make wheel-test` for every processor's wheels")


def import_foreign(tmp_path, python, module):
    """Import `module`, as tarvelpy._helpers.so, with `python` and -W error."""
    package = tmp_path / "tarvelpy"
    shutil.copytree(pathlib.Path(helpers.__file__).parent, package,
                    ignore=shutil.ignore_patterns("_helpers*.so", "__pycache__"))
    shutil.copy(module, package / "_helpers.so")
    proc = subprocess.run(
        [str(python), "-P", "-W", "error", "-c", textwrap.dedent(CHILD), str(tmp_path)],
        capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


def expected(compiled, runtime):
    return ("compile time Python version %s of module 'tarvelpy._helpers' "
            "does not match runtime version %s" % (compiled, runtime))


@pytest.mark.parametrize("other", [v for v in SUPPORTED if v != THIS])
@pytest.mark.parametrize("direction", ["this build, other runtime", "other build, this runtime"])
def test_foreign_build_warns(tmp_path, other, direction):
    other_python, other_module = build_of(other)
    if direction == "this build, other runtime":
        compiled, runtime = THIS, other
        outcome = import_foreign(tmp_path, other_python, helpers.__file__)
    else:
        compiled, runtime = other, THIS
        outcome = import_foreign(tmp_path, sys.executable, other_module)
    assert outcome is not None, "the import succeeded under -W error"
    kind, message, frames = outcome
    assert (kind, message) == ("RuntimeWarning", expected(compiled, runtime))
    assert "init tarvelpy._helpers" not in frames


def test_own_build_is_silent(tmp_path):
    # The same scratch copy, imported by the interpreter it was built for.
    assert import_foreign(tmp_path, sys.executable, helpers.__file__) is None

"""The installed package, with the compiled module's symbols put back.

The installed ``_helpers`` is stripped, so callgrind cannot name its
functions. The build tree that ``make install`` builds from keeps the linked
module before stripping: the very same binary plus its symbol table. This
copies the installed package to bench/out/unstripped/tarvelpy/ and puts that
unstripped module in place of the stripped one, after checking that it *is*
the installed module (stripped the way the install strips it, it must be
byte for byte the installed file). Putting bench/out/unstripped first on
``sys.path`` then imports ``tarvelpy._helpers`` with its symbols.

``make bench`` reinstalls first when a source has changed, which rebuilds the
build tree too (incrementally), so both stay the same build.
"""

import filecmp
import importlib.util
import pathlib
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
TARGET = HERE / "out" / "unstripped"
SOURCES = ("shell", "sums", "nonlinear", "CMakeLists.txt", "pyproject.toml")


class Mismatch(RuntimeError):
    pass


def installed_package():
    """The directory of the installed tarvelpy package (not imported)."""
    spec = importlib.util.find_spec("tarvelpy")
    if spec is None or not spec.submodule_search_locations:
        raise Mismatch("tarvelpy is not installed: run make install")
    return pathlib.Path(list(spec.submodule_search_locations)[0])


def module_file_name():
    return "_helpers" + sysconfig.get_config_var("EXT_SUFFIX")


def _strip_command(build_dir):
    """The strip program the build's install step uses."""
    cache = build_dir / "CMakeCache.txt"
    if cache.exists():
        found = re.search(r"^CMAKE_STRIP:FILEPATH=(.+)$", cache.read_text(), re.M)
        if found and shutil.which(found.group(1).strip()):
            return found.group(1).strip()
    return shutil.which("strip") or "strip"


def _is_unstripped_of(candidate, installed):
    """True when stripping candidate gives exactly the installed file."""
    with tempfile.TemporaryDirectory() as tmp:
        copy = pathlib.Path(tmp) / candidate.name
        shutil.copyfile(candidate, copy)
        proc = subprocess.run([_strip_command(candidate.parent), str(copy)],
                              capture_output=True, text=True)
        if proc.returncode != 0:
            raise Mismatch(f"strip failed: {proc.stderr.strip()}")
        return filecmp.cmp(copy, installed, shallow=False)


def unstripped_module(installed):
    """The build tree's linked module that the installed one was made from."""
    candidates = sorted((ROOT / "build").glob(f"*/{installed.name}"),
                        key=lambda p: p.stat().st_mtime, reverse=True)
    for candidate in candidates:
        if _is_unstripped_of(candidate, installed):
            return candidate
    raise Mismatch(
        f"no module under {ROOT / 'build'} strips to the installed "
        f"{installed}: run make install (or make bench) so that both come "
        "from one build")


def stale_sources(installed):
    """Source files changed after the module was installed."""
    built = installed.stat().st_mtime
    changed = []
    for name in SOURCES:
        path = ROOT / name
        files = path.rglob("*") if path.is_dir() else [path]
        changed += [f for f in files if f.is_file() and f.stat().st_mtime > built]
    return changed


def prepare():
    """Make bench/out/unstripped/tarvelpy; return the sys.path entry to use."""
    package = installed_package()
    installed = package / module_file_name()
    if not installed.exists():
        raise Mismatch(f"{installed} not found: run make install")
    changed = stale_sources(installed)
    if changed:
        print(f"warning: {len(changed)} source file(s) changed after the last "
              f"install (e.g. {changed[0].relative_to(ROOT)}); the counts are "
              "of the installed module: run make install", file=sys.stderr)
    unstripped = unstripped_module(installed)
    if TARGET.exists():
        shutil.rmtree(TARGET)
    copy = TARGET / "tarvelpy"
    shutil.copytree(package, copy,
                    ignore=shutil.ignore_patterns("__pycache__"))
    shutil.copy2(unstripped, copy / installed.name)
    return TARGET


if __name__ == "__main__":
    print(prepare())

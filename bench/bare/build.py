"""Build and load the benchmark-only C extension ``_bench_bare``.

It is compiled with the system C compiler against the headers of the running
interpreter into bench/out/build/, and loaded from that path, so it never
lands in the package or the venv. A rebuild happens only when bare.c is newer
than the built file.
"""

import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig

HERE = pathlib.Path(__file__).resolve().parent
SOURCE = HERE / "bare.c"
BUILD_DIR = HERE.parent / "out" / "build"
NAME = "_bench_bare"
CALLGRIND_HEADER = pathlib.Path("/usr/include/valgrind/callgrind.h")


def _compiler():
    for candidate in (os.environ.get("CC"), "cc", "gcc", "clang"):
        if candidate and shutil.which(candidate):
            return candidate
    raise RuntimeError("no C compiler found (tried $CC, cc, gcc, clang)")


def build():
    """Compile bare.c if needed; return the path of the built module."""
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    target = BUILD_DIR / f"{NAME}{suffix}"
    if target.exists() and target.stat().st_mtime >= SOURCE.stat().st_mtime:
        return target
    BUILD_DIR.mkdir(parents=True, exist_ok=True)
    cmd = [
        _compiler(), "-O2", "-shared", "-fPIC", "-std=c11",
        "-I", sysconfig.get_paths()["include"],
        str(SOURCE), "-o", str(target),
    ]
    if CALLGRIND_HEADER.exists():
        cmd.insert(1, "-DBARE_CALLGRIND")
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError(f"building {NAME} failed:\n{' '.join(cmd)}\n{proc.stderr}")
    return target


def load():
    """Build if needed and import ``_bench_bare`` from the build directory."""
    if NAME in sys.modules:
        return sys.modules[NAME]
    path = build()
    spec = importlib.util.spec_from_file_location(NAME, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    sys.modules[NAME] = module
    return module


if __name__ == "__main__":
    print(build())

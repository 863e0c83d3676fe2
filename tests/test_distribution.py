"""The archives `make wheel` leaves in dist/, and the venv a wheel is tested in.

The sdist must hold every file a build needs and nothing generated; dist/
one wheel per interpreter and processor, each exactly the installed
package, with its extension module built for the processor its tag names,
carrying the interpreter's full extension suffix, stripped, and needing no
shared library or glibc symbol version beyond its platform tag; both must
carry the project's metadata. A suite run against an installed wheel
(tools/test-wheels, natively or under emulation) must have no build tools to
fall back on.

Without archives in dist/, with archives older than a build input, or
outside a wheel's venv, these tests skip; tools/test-wheels sets
TARVELPY_WHEEL_TEST=1, which makes each such skip a failure.
"""

import email.parser
import importlib.machinery
import importlib.metadata
import importlib.util
import itertools
import json
import os
import pathlib
import platform
import re
import shutil
import sys
import tarfile
import tomllib
import urllib.parse
import urllib.request
import zipfile

import pytest

import tarvelpy._helpers as helpers
from elffile import MACHINES, ElfFile

ROOT = pathlib.Path(__file__).resolve().parent.parent
DIST = ROOT / "dist"
PROJECT = tomllib.loads((ROOT / "pyproject.toml").read_text())["project"]

# What a build reads: the top-level build files and the source folders.
BUILD_FILES = ("CMakeLists.txt", "pyproject.toml", "README.md")
SOURCE_DIRS = ("shell", "sums", "nonlinear", "src/tarvelpy")
GENERATED_SUFFIXES = (".pyc", ".pyo", ".so")

# Libraries the module may be linked against: libstdc++ and libgcc are
# linked statically, so that their symbol versions do not raise the tag.
ALLOWED_LIBRARIES = {"libc.so.6", "libm.so.6"}
LEGACY_TAGS = {"manylinux1": (2, 5), "manylinux2010": (2, 12),
               "manylinux2014": (2, 17)}
PLATFORM_TAG = re.compile(r"(?:(manylinux1|manylinux2010|manylinux2014)"
                          r"|manylinux_(\d+)_(\d+))_(\w+)")

# make wheel builds a wheel for every pair of these.
INTERPRETERS = ("cp313", "cp314", "cp315")
PROCESSORS = ("x86_64", "aarch64")
# The newest glibc a processor's wheels may ask for. 2.17 is the first glibc
# for 64-bit ARM, so an aarch64 wheel installs on every glibc-based ARM Linux.
NEWEST_GLIBC = {"aarch64": (2, 17)}

SDISTS = sorted(DIST.glob("*.tar.gz"))
WHEELS = sorted(DIST.glob("*.whl"))


def require(condition, reason):
    """Skip when ``condition`` is false; fail instead under tools/test-wheels."""
    if not condition:
        if os.environ.get("TARVELPY_WHEEL_TEST") == "1":
            pytest.fail(f"{reason} (required under TARVELPY_WHEEL_TEST=1)")
        pytest.skip(reason)


def dist_is_current():
    """Whether dist/ was built after the last change of a build input."""
    built = min(p.stat().st_mtime for p in SDISTS + WHEELS)
    return all((ROOT / f).stat().st_mtime <= built for f in work_tree_build_inputs())


def require_archive(archive):
    require(archive, "dist/ holds no such archive: run make wheel")
    require(dist_is_current(), "dist/ is older than the work tree: run make wheel")


def archives_or_skip(paths):
    """pytest params for ``paths``, or one param that skips when there are none."""
    return [pytest.param(p, id=p.name) for p in paths] or [pytest.param(None, id="none")]


def wheel_tags(wheel):
    """(python tag, abi tag, [platform tags]) of a wheel's file name."""
    _, _, python, abi, platforms = wheel.name.removesuffix(".whl").split("-")
    return python, abi, platforms.split(".")


def parse_platform_tag(tag):
    """((major, minor) of the glibc it promises, processor) of a manylinux tag."""
    m = PLATFORM_TAG.fullmatch(tag)
    assert m, f"{tag} is not a manylinux tag"
    legacy, major, minor, processor = m.groups()
    return (LEGACY_TAGS[legacy] if legacy else (int(major), int(minor))), processor


def wheel_processor(wheel):
    """The one processor all of a wheel's platform tags name."""
    processors = {parse_platform_tag(t)[1] for t in wheel_tags(wheel)[2]}
    assert len(processors) == 1, f"{wheel.name} names processors {processors}"
    return processors.pop()


def work_tree_build_inputs():
    files = set(BUILD_FILES)
    for folder in SOURCE_DIRS:
        for path in (ROOT / folder).rglob("*"):
            if (path.is_file() and "__pycache__" not in path.parts
                    and path.suffix not in GENERATED_SUFFIXES):
                files.add(path.relative_to(ROOT).as_posix())
    return files


def package_files():
    """The package's files as a wheel names them: tarvelpy/<name>."""
    return {f"tarvelpy/{p.name}" for p in (ROOT / "src/tarvelpy").iterdir()
            if p.is_file() and p.suffix not in GENERATED_SUFFIXES}


def test_dist_holds_one_sdist_and_one_manylinux_wheel_per_interpreter_and_processor():
    require_archive(SDISTS or WHEELS)
    assert len(SDISTS) == 1, SDISTS
    for wheel in WHEELS:
        assert all(p.startswith("manylinux") for p in wheel_tags(wheel)[2]), (
            f"{wheel.name} was not repaired to a manylinux tag")
    built = sorted((wheel_tags(w)[0], wheel_processor(w)) for w in WHEELS)
    assert built == sorted(itertools.product(INTERPRETERS, PROCESSORS))


@pytest.mark.parametrize("sdist", archives_or_skip(SDISTS))
def test_sdist_holds_exactly_the_build_inputs(sdist):
    require_archive(sdist)
    top = f"{PROJECT['name']}-{PROJECT['version']}/"
    with tarfile.open(sdist) as tar:
        names = [m.name for m in tar.getmembers() if m.isfile()]
    assert all(n.startswith(top) for n in names), names
    contents = {n.removeprefix(top) for n in names}
    expected = work_tree_build_inputs() | {"PKG-INFO"}
    assert not expected - contents, f"missing from the sdist: {sorted(expected - contents)}"
    assert not contents - expected, f"not build inputs: {sorted(contents - expected)}"


@pytest.mark.parametrize("archive", archives_or_skip(SDISTS + WHEELS))
def test_archive_metadata(archive):
    require_archive(archive)
    if archive.name.endswith(".whl"):
        with zipfile.ZipFile(archive) as whl:
            [name] = [n for n in whl.namelist() if n.endswith(".dist-info/METADATA")]
            text = whl.read(name).decode()
    else:
        with tarfile.open(archive) as tar:
            top = f"{PROJECT['name']}-{PROJECT['version']}"
            text = tar.extractfile(f"{top}/PKG-INFO").read().decode()
    meta = email.parser.Parser().parsestr(text)
    assert meta["Name"] == PROJECT["name"]
    assert meta["Version"] == PROJECT["version"]
    assert meta["Summary"] == PROJECT["description"]
    assert meta["Requires-Python"] == PROJECT["requires-python"]
    versions = [c for c in meta.get_all("Classifier", [])
                if re.fullmatch(r"Programming Language :: Python :: 3\.\d+", c)]
    assert versions == [f"Programming Language :: Python :: 3.{i[3:]}" for i in INTERPRETERS]
    runtime = [r for r in meta.get_all("Requires-Dist", []) if "extra ==" not in r]
    assert runtime == ["numpy"]
    assert meta["Description-Content-Type"] == "text/markdown"
    assert meta.get_payload().strip() == (ROOT / "README.md").read_text().strip()
    # The project has no public home yet: no made-up URLs.
    assert meta.get_all("Project-URL") is None and meta["Home-page"] is None


@pytest.mark.parametrize("wheel", archives_or_skip(WHEELS))
def test_wheel_holds_exactly_the_package(wheel):
    require_archive(wheel)
    python, _, _ = wheel_tags(wheel)
    dist_info = f"{PROJECT['name']}-{PROJECT['version']}.dist-info"
    with zipfile.ZipFile(wheel) as whl:
        names = {n for n in whl.namelist() if not n.endswith("/")}
    # The module carries the full suffix of its interpreter and processor: a
    # bare _helpers.so would load into any CPython.
    modules = {n for n in names if n.startswith("tarvelpy/_helpers")
               and n.endswith(".so")}
    suffix = f"cpython-{python[2:]}-{wheel_processor(wheel)}-linux-gnu"
    assert modules == {f"tarvelpy/_helpers.{suffix}.so"}, names
    expected = (package_files() | modules
                | {f"{dist_info}/{n}" for n in ("METADATA", "WHEEL", "RECORD")})
    assert not expected - names, f"missing from the wheel: {sorted(expected - names)}"
    assert not names - expected, f"not part of the package: {sorted(names - expected)}"


@pytest.mark.parametrize("wheel", archives_or_skip(WHEELS))
def test_wheel_extension_is_stripped_and_needs_nothing_beyond_its_tag(wheel):
    require_archive(wheel)
    with zipfile.ZipFile(wheel) as whl:
        [so] = [n for n in whl.namelist() if n.endswith(".so")]
        elf = ElfFile(whl.read(so))
    leftovers = [n for n in elf.section_names if n.startswith(".debug") or n == ".symtab"]
    assert leftovers == [], f"{so} is not stripped"
    assert set(elf.needed()) <= ALLOWED_LIBRARIES, elf.needed()
    needs = elf.version_needs()
    assert set(needs) <= ALLOWED_LIBRARIES, needs
    glibc = [tuple(int(x) for x in v.removeprefix("GLIBC_").split("."))
             for versions in needs.values() for v in versions
             if v.startswith("GLIBC_")]
    newest = max(glibc, default=(0,))
    for tag in wheel_tags(wheel)[2]:
        assert newest <= parse_platform_tag(tag)[0], (
            f"{so} needs GLIBC_{'.'.join(map(str, newest))}, newer than {tag} allows")


@pytest.mark.parametrize("wheel", archives_or_skip(WHEELS))
def test_wheel_extension_is_built_for_the_processor_of_its_tag(wheel):
    # A cross build that fell back to the host's compiler makes an x86-64
    # module that auditwheel would still tag for the target.
    require_archive(wheel)
    with zipfile.ZipFile(wheel) as whl:
        [so] = [n for n in whl.namelist() if n.endswith(".so")]
        machine = ElfFile(whl.read(so)).machine
    assert machine == MACHINES[wheel_processor(wheel)], (
        f"{so} is for ELF machine {machine}, the tag names {wheel_processor(wheel)}")


@pytest.mark.parametrize("wheel", archives_or_skip(
    [w for w in WHEELS if any(w.name.endswith(f"_{p}.whl") for p in NEWEST_GLIBC)]))
def test_wheel_tag_promises_no_newer_glibc_than_its_processor_allows(wheel):
    # auditwheel tags a wheel by what its module needs: a module that needs a
    # newer glibc gets a newer tag and no longer installs everywhere.
    require_archive(wheel)
    newest = NEWEST_GLIBC[wheel_processor(wheel)]
    for tag in wheel_tags(wheel)[2]:
        assert parse_platform_tag(tag)[0] <= newest, (
            f"{wheel.name}: {tag} asks for a glibc newer than {newest}")


def test_installed_module_carries_the_full_extension_suffix():
    # Every CPython also loads a bare _helpers.so, so a build that lost its
    # suffix passes every other test of the installed package.
    name = pathlib.Path(helpers.__file__).name
    assert name == "_helpers" + importlib.machinery.EXTENSION_SUFFIXES[0]


def test_installed_wheel_has_no_build_tools_to_fall_back_on():
    direct_url = importlib.metadata.distribution("tarvelpy").read_text("direct_url.json")
    url = json.loads(direct_url)["url"] if direct_url else ""
    require(url.endswith(".whl"),
            f"tarvelpy was not installed from a wheel ({url or 'no direct_url.json'})")
    wheel = pathlib.Path(urllib.request.url2pathname(urllib.parse.urlparse(url).path))
    assert wheel.parent == DIST, f"installed from {wheel}, not from dist/"
    python, _, _ = wheel_tags(wheel)
    assert python == f"cp{sys.version_info.major}{sys.version_info.minor}"
    assert wheel_processor(wheel) == platform.machine()
    modules = [m for m in ("scikit_build_core", "cmake", "ninja")
               if importlib.util.find_spec(m) is not None]
    assert modules == [], f"build tools importable: {modules}"
    tools = {t: shutil.which(t) for t in ("cmake", "ninja", "cc", "c++", "gcc",
                                          "g++", "clang", "clang++")}
    assert {t: p for t, p in tools.items() if p} == {}, "build tools on PATH"

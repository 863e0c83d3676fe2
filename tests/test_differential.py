"""The module gives what its cache-free build gives, under hostile sequences.

Whatever a memo, cache or fast path remembers must give exactly what the
plain C-API path gives at that moment. differential.py generates the
sequences and runs each in two child interpreters, one per build; this test
fails on the first difference (or crash) with the seed, the sequence reduced
to the steps the difference needs, and both transcripts of the step that
differs.

The reference build is build/nocache-X.Y, made by tools/nocache-build
(`make differential` builds it and runs a long random-seed round; `make
differential-ci` the fixed seed CI runs). Without it the test skips, unless
TARVELPY_DIFF_REQUIRED is set. TARVELPY_DIFF_SEED ("random" for a fresh
one), TARVELPY_DIFF_COUNT and TARVELPY_DIFF_SECONDS choose the round; the
default is the CI seed's first sequences.
"""

import os
import pathlib
import random
import sys
import sysconfig

import pytest

import tarvelpy._helpers as helpers

import differential

ROOT = pathlib.Path(__file__).resolve().parent.parent
VERSION = "%d.%d" % sys.version_info[:2]
REFERENCE = ROOT / "build" / f"nocache-{VERSION}" / "site"
CI_SEED = 13
DEFAULT_COUNT = 200


def unusable_reference():
    """Why the reference build cannot serve this interpreter, or None."""
    modules = sorted((REFERENCE / "tarvelpy").glob("_helpers*.so"))
    if not modules:
        return f"no cache-free build for {VERSION} in {REFERENCE}"
    # The full suffix names interpreter and processor (a bare ".so", which
    # every interpreter also accepts, would let another processor's build in).
    if not modules[0].name.endswith(sysconfig.get_config_var("EXT_SUFFIX")):
        return f"{modules[0].name} is not a module for this interpreter ({sys.executable})"
    sources = [p for d in ("shell", "sums", "nonlinear") for p in (ROOT / d).iterdir()]
    if max(p.stat().st_mtime for p in sources + [ROOT / "CMakeLists.txt"]) > modules[0].stat().st_mtime:
        return f"{modules[0]} is older than the C++ sources"
    installed = pathlib.Path(helpers.__file__).parent
    for py in installed.glob("*.py"):
        copy = REFERENCE / "tarvelpy" / py.name
        if not copy.exists() or copy.read_bytes() != py.read_bytes():
            return f"the Python files of {REFERENCE} are not those of {installed}"
    return None


def test_same_outcomes_as_the_cache_free_build(tmp_path, capsys):
    reason = unusable_reference()
    if reason:
        if os.environ.get("TARVELPY_DIFF_REQUIRED"):
            pytest.fail(reason)
        pytest.skip(f"{reason}: run `make differential` (or tools/nocache-build {VERSION})")
    seed = os.environ.get("TARVELPY_DIFF_SEED") or str(CI_SEED)
    seed = random.SystemRandom().randrange(10**9) if seed == "random" else int(seed)
    count = int(os.environ.get("TARVELPY_DIFF_COUNT") or 0) or None
    seconds = float(os.environ.get("TARVELPY_DIFF_SECONDS") or 0) or None
    if count is None and seconds is None:
        count = DEFAULT_COUNT

    def log(text):
        with capsys.disabled():
            print(f"\n{text}", end="")

    log(f"differential: seed {seed}, {count or 'as many'} sequences"
        + (f" in {seconds:.0f} s" if seconds else "") + ", cached and cache-free build")
    done, failure = differential.run(seed, ["", str(REFERENCE)], str(tmp_path), count, seconds, log=log)
    log(f"differential: seed {seed}: {done} sequences run\n")
    if failure:
        pytest.fail(failure, pytrace=False)

# Developer entry points: `make demo`, `make test`.
#
# The interpreter is CPython $(PYTHON_VERSION) (3.14 unless given) with
# headers, found or unpacked by tools/bootstrap-python. Everything else lives
# in the version's venv (.venv for 3.14, .venv-X.Y for the others), built once;
# the package is reinstalled only when its sources change.

SUPPORTED_VERSIONS := 3.13 3.14 3.15
# Processors the wheels are built for: this x86-64 machine's own, and 64-bit
# ARM, cross-built and tested under emulation.
WHEEL_PLATFORMS    := x86_64 aarch64
PYTHON_VERSION     ?= 3.14
ifeq ($(PYTHON_VERSION),3.14)
VENV    := .venv
else
VENV    := .venv-$(PYTHON_VERSION)
endif
VPY     := $(VENV)/bin/python
DEPS    := $(VENV)/.deps-installed
STAMP   := $(VENV)/.tarvelpy-installed

# Build and test requirements, installed into the venv once so that installs
# of the package itself run without build isolation and without downloads.
BUILD_DEPS := scikit-build-core ninja cmake numpy pytest hypothesis mypy

# Every file and folder the built package depends on; folders are listed so
# that adding or removing a source file also triggers a rebuild.
SRC_DIRS := shell sums nonlinear src
SOURCES  := $(shell find $(SRC_DIRS) -name __pycache__ -prune -o -print 2>/dev/null) \
            pyproject.toml CMakeLists.txt

PYTEST_ARGS ?=

.PHONY: venv install demo test test-all differential differential-ci wheel wheel-test clang bench bench-callgrind sanitize leaks memcheck clean

venv: $(DEPS)

$(VPY):
	tools/new-venv $(PYTHON_VERSION) $(VENV)

$(DEPS): $(VPY) Makefile
	$(VPY) -m pip install --quiet --disable-pip-version-check $(BUILD_DEPS)
	@touch $@

install: $(STAMP)

$(STAMP): $(DEPS) $(SOURCES)
	$(VPY) -m pip install --quiet --disable-pip-version-check --no-build-isolation --no-deps .
	@touch $@

demo: install
	$(VPY) -P examples/demo.py

# -P keeps the working directory off sys.path: tests import the installed
# package, never the source tree.
test: install
	$(VPY) -P -m pytest $(PYTEST_ARGS)

# The suite on every supported interpreter, one venv each. Every version is
# installed before any suite runs, so that the cross-version import tests
# find the other builds.
test-all:
	@set -e; for v in $(SUPPORTED_VERSIONS); do $(MAKE) --no-print-directory install PYTHON_VERSION=$$v; done; \
	for v in $(SUPPORTED_VERSIONS); do $(MAKE) --no-print-directory test PYTHON_VERSION=$$v; done

# The differential test: hostile sequences through the installed module and
# its cache-free build (tools/nocache-build, kept in build/nocache-X.Y), in
# child interpreters, compared step by step. SEED (random unless given), and
# DIFF_COUNT sequences or else DIFF_SECONDS seconds.
SEED         ?= random
DIFF_SECONDS ?= 600
DIFF_COUNT   ?=
differential: install
	tools/nocache-build $(PYTHON_VERSION)
	TARVELPY_DIFF_REQUIRED=1 TARVELPY_DIFF_SEED=$(SEED) TARVELPY_DIFF_COUNT=$(DIFF_COUNT) \
	TARVELPY_DIFF_SECONDS=$(if $(DIFF_COUNT),,$(DIFF_SECONDS)) \
	$(VPY) -P -m pytest -p no:cacheprovider tests/test_differential.py $(PYTEST_ARGS)

# What CI runs: the test's fixed seed, about a minute with the build.
differential-ci:
	$(MAKE) --no-print-directory differential SEED= DIFF_COUNT=2000

# The distribution in dist/: one sdist and, built from it, one manylinux
# wheel per supported interpreter and platform; twine and auditwheel check
# them all. The aarch64 ones are cross-built: the cross compiler, qemu and the
# arm64 interpreters are installed under ~/.cache/tarvelpy when missing.
wheel:
	tools/build-wheels --platforms "$(WHEEL_PLATFORMS)" $(SUPPORTED_VERSIONS)

# Each wheel of dist/ installed into a fresh venv without build tools
# (.venv-wheel-VERSION-PLATFORM), and the suite run against it; the aarch64
# ones in venvs of the arm64 interpreters under qemu-aarch64.
wheel-test:
	tools/test-wheels --platforms "$(WHEEL_PLATFORMS)" $(SUPPORTED_VERSIONS) -- $(PYTEST_ARGS)

# The module built by clang at -Werror in its own venv (.venv-clang), and the
# suite run against it.
clang:
	tools/clang-build $(PYTEST_ARGS)

# Benchmarks: one table on stdout, plot and raw figures under bench/out/.
bench: install
	$(VPY) -m pip install --quiet --disable-pip-version-check pyperf matplotlib
	$(VPY) -P bench/run.py --callgrind $(BENCH_ARGS)

# Instruction counts alone (section 4 of make bench), in under a minute;
# BENCH_ARGS="--detail" adds the module's costliest functions per case.
bench-callgrind: install
	$(VPY) -P bench/callgrind.py $(BENCH_ARGS)

# The whole suite against an AddressSanitizer/UBSan build (own venv).
sanitize:
	PYTHON_VERSION=$(PYTHON_VERSION) tools/sanitize $(PYTEST_ARGS)

# Reference-leak hunt on the debug interpreter (own venv).
leaks:
	PYTHON_VERSION=$(PYTHON_VERSION) tools/leaks

# valgrind memcheck over a representative workload.
memcheck: install
	PYTHON_VERSION=$(PYTHON_VERSION) tools/memcheck

clean:
	rm -rf build dist .venv .venv-3.* .venv-asan* .venv-dbg* .venv-build-* .venv-wheel-* .venv-clang .pytest_cache .hypothesis bench/out
	find . -name __pycache__ -type d -prune -exec rm -rf {} +

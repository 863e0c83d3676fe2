import pathlib

import numpy
import pytest

import tarvelpy

_SOURCE_TREE = pathlib.Path(__file__).resolve().parent.parent / "src"


def pytest_report_header(config):
    return f"tarvelpy from {pathlib.Path(tarvelpy.__file__).parent}"


def pytest_configure(config):
    # The compiled module exists only in the installed package: a run that
    # picked up the source tree would test a package without it.
    here = pathlib.Path(tarvelpy.__file__).resolve()
    if here.is_relative_to(_SOURCE_TREE):
        raise RuntimeError(
            f"tarvelpy was imported from the source tree ({here}); "
            "run the tests against the installed package (make test)")


@pytest.fixture
def vectorize_calls(monkeypatch):
    """Record what numpy.vectorize is given, then let numpy do its work."""
    real = numpy.vectorize
    calls = []

    def recording(pyfunc, *args, **kwargs):
        calls.append((pyfunc, args, kwargs))
        return real(pyfunc, *args, **kwargs)

    monkeypatch.setattr(numpy, "vectorize", recording)
    return calls

import os
import pathlib
import sys

import pytest

import halvex
from installing import ROOT, run


def pytest_report_header(config):
    return f"halvex from {pathlib.Path(halvex.__file__).parent}"


def pytest_configure(config):
    # The sanitizer run stages its own build; make sure that is what we test.
    expected = os.environ.get("HALVEX_EXPECT_PATH")
    if expected:
        actual = pathlib.Path(halvex.__file__).resolve()
        if not actual.is_relative_to(pathlib.Path(expected).resolve()):
            raise RuntimeError(f"testing {actual}, expected a build under {expected}")


@pytest.fixture(scope="session")
def halvex_wheel(tmp_path_factory):
    """A wheel built from this tree (once per run)."""
    dist = tmp_path_factory.mktemp("dist")
    run(sys.executable, "-m", "pip", "wheel", "--no-deps", "--no-build-isolation", "-q", "-w", str(dist), str(ROOT))
    (wheel,) = dist.glob("halvex-*.whl")
    return wheel

import os
import pathlib

import halvex


def pytest_report_header(config):
    return f"halvex from {pathlib.Path(halvex.__file__).parent}"


def pytest_configure(config):
    # The sanitizer run stages its own build; make sure that is what we test.
    expected = os.environ.get("HALVEX_EXPECT_PATH")
    if expected:
        actual = pathlib.Path(halvex.__file__).resolve()
        if not actual.is_relative_to(pathlib.Path(expected).resolve()):
            raise RuntimeError(f"testing {actual}, expected a build under {expected}")

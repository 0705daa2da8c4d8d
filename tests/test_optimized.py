"""The behaviour suite under python -O, where the documented assertion checks are skipped.

Each test expects what the assertion-free mode gives: malformed input then
fails in numpy with an ordinary exception or returns, and nothing crashes
(tests/expect.py).
"""

import pathlib
import subprocess
import sys

import pytest

import expect

ROOT = pathlib.Path(__file__).resolve().parents[1]

# Packaging, typing, multi-process and long-running memory tests do not
# depend on assertions; the hostile-input suite runs itself under -O.
NOT_HERE = ["test_optimized.py", "test_perturbed_trig.py", "test_wheel.py", "test_stubs.py", "test_scale_out.py", "test_leaks.py"]


@pytest.mark.skipif(expect.OPTIMIZED, reason="this is the -O run")
def test_behaviour_suite_under_python_O():
    command = [
        sys.executable, "-O", "-m", "pytest", "-q", "-p", "no:cacheprovider", "-W", "ignore::pytest.PytestConfigWarning",
        *(f"--ignore=tests/{name}" for name in NOT_HERE),
        "--deselect", "tests/test_hostile.py::test_hostile_arguments_under_python_O",
        "tests",
    ]  # fmt: skip
    result = subprocess.run(command, cwd=ROOT, capture_output=True, text=True, timeout=1200, check=False)
    summary = result.stdout.strip().splitlines()[-1] if result.stdout.strip() else ""
    assert result.returncode == 0, result.stdout[-6000:] + result.stderr[-3000:]
    assert " passed" in summary and "failed" not in summary and "error" not in summary, summary

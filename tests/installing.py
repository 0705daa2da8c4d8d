"""Building and installing halvex in environments of their own."""

import os
import pathlib
import subprocess

ROOT = pathlib.Path(__file__).resolve().parents[1]


def clean_environment():
    """os.environ without this run's set-up (a staged build on PYTHONPATH, preloaded
    sanitizer runtimes), for builds and fresh environments that must not see it."""
    return {key: value for key, value in os.environ.items() if key not in ("PYTHONPATH", "LD_PRELOAD", "PYTHONHOME")}


def run(*command, timeout=900):
    result = subprocess.run(
        command, env=clean_environment(), capture_output=True, text=True, timeout=timeout, check=False
    )
    assert result.returncode == 0, result.stdout[-4000:] + result.stderr[-4000:]
    return result.stdout


"""Rotated-box geometry and Albumentations transforms, as native extension modules."""

import math
import os
import warnings

__all__ = ["get_num_threads", "set_num_threads"]

NUM_THREADS_VARIABLE = "HALVEX_NUM_THREADS"


def _cgroup_cpu_limit() -> float | None:
    """The CPUs a cgroup quota allows this process (v2 `cpu.max`, or v1), or None without a quota."""
    try:
        with open("/sys/fs/cgroup/cpu.max") as limits:
            quota, period = limits.read().split()[:2]
        return None if quota == "max" else int(quota) / int(period)
    except (OSError, ValueError):
        pass
    try:
        with open("/sys/fs/cgroup/cpu/cpu.cfs_quota_us") as quota_file:
            quota_us = int(quota_file.read())
        with open("/sys/fs/cgroup/cpu/cpu.cfs_period_us") as period_file:
            period_us = int(period_file.read())
        return None if quota_us <= 0 or period_us <= 0 else quota_us / period_us
    except (OSError, ValueError):
        return None


def _available_cores() -> int:
    """The cores this process may run on: its CPU affinity, lowered by a cgroup CPU quota."""
    try:
        cores = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        cores = os.cpu_count() or 1
    limit = _cgroup_cpu_limit()
    if limit is not None:
        cores = min(cores, math.ceil(limit))
    return max(1, cores)


def _checked_count(count: object) -> int:
    if isinstance(count, bool) or not isinstance(count, int):
        raise TypeError(f"the number of threads must be an int, got {type(count).__name__}")
    if count < 1:
        raise ValueError(f"the number of threads must be at least 1, got {count}")
    return count


def _count_from_environment() -> int:
    text = os.environ.get(NUM_THREADS_VARIABLE, "").strip()
    if not text:
        return _available_cores()
    try:
        return _checked_count(int(text))
    except ValueError:
        warnings.warn(
            f"{NUM_THREADS_VARIABLE}={text!r} is not a positive integer; using {_available_cores()} threads",
            RuntimeWarning,
            stacklevel=2,
        )
        return _available_cores()


# Read by the native modules when a call is large enough to split.
_num_threads = _count_from_environment()


def set_num_threads(count: int) -> None:
    """Let halvex use at most `count` threads for one large call (1: only the calling thread)."""
    global _num_threads
    _num_threads = _checked_count(count)


def get_num_threads() -> int:
    """The most threads halvex uses for one large call: HALVEX_NUM_THREADS, else the available cores."""
    return _num_threads

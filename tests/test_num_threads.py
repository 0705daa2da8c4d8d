"""halvex.set_num_threads / get_num_threads and HALVEX_NUM_THREADS."""

import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import halvex
from halvex import ops
from halvex.preprocessing import kestril


def threads_in_a_fresh_process(environment=None, affinity=None):
    script = (
        "import os, sys, warnings\n"
        "warnings.simplefilter('error')\n"
        f"if {affinity!r} is not None: os.sched_setaffinity(0, {affinity!r})\n"
        "try:\n"
        "    import halvex\n"
        "except RuntimeWarning as warning:\n"
        "    print('warning', warning)\n"
        "    sys.exit()\n"
        "print(halvex.get_num_threads())\n"
    )
    env = {k: v for k, v in os.environ.items() if k != "HALVEX_NUM_THREADS"}
    env.update(environment or {})
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=60)
    assert result.returncode == 0, result.stderr[-2000:]
    return result.stdout.strip()


def test_the_default_is_the_cores_this_process_may_use():
    assert threads_in_a_fresh_process() == str(halvex._available_cores())
    assert threads_in_a_fresh_process(affinity={0}) == "1"


@pytest.mark.parametrize("value, expected", [("1", "1"), ("3", "3"), (" 2 ", "2")])
def test_the_environment_sets_the_cap(value, expected):
    assert threads_in_a_fresh_process({"HALVEX_NUM_THREADS": value}) == expected


@pytest.mark.parametrize("value", ["0", "-2", "many", "1.5"])
def test_a_bad_environment_value_warns_and_keeps_the_default(value):
    said = threads_in_a_fresh_process({"HALVEX_NUM_THREADS": value})
    assert said.startswith("warning HALVEX_NUM_THREADS=") and "is not a positive integer" in said


def test_set_num_threads_checks_its_count():
    before = halvex.get_num_threads()
    try:
        halvex.set_num_threads(1)
        assert halvex.get_num_threads() == 1
        halvex.set_num_threads(5)
        assert halvex.get_num_threads() == 5
        for bad, error in [(0, ValueError), (-1, ValueError), (1.0, TypeError), (True, TypeError), ("2", TypeError)]:
            with pytest.raises(error):
                halvex.set_num_threads(bad)
        assert halvex.get_num_threads() == 5
    finally:
        halvex.set_num_threads(before)


def extra_threads_during(call, until_seen=False, budget=30.0):
    """How many OS threads the process started while `call` ran (sampled from another thread).

    Threads are told apart by their ids, so one that an earlier test left
    ending meanwhile does not hide a new one.  The sampler needs a core and
    the interpreter lock while the call's own threads run on both cores, so
    it may miss one call's threads; with `until_seen` the call is repeated
    until it has seen some (or `budget` seconds pass)."""
    seen, running = set(), True

    def sample():
        while running:
            seen.update(os.listdir("/proc/self/task"))

    sampler = threading.Thread(target=sample)
    sampler.start()
    while not seen:
        pass
    before = set(os.listdir("/proc/self/task"))
    deadline = time.monotonic() + budget
    try:
        call()
        while until_seen and not seen - before and time.monotonic() < deadline:
            call()
    finally:
        running = False
        sampler.join()
    return len(seen - before)


def test_automatic_threads_follow_the_package_cap():
    rng = np.random.default_rng(3)
    boxes = np.c_[rng.uniform(0, 400, (3000, 2)), rng.uniform(5, 60, (3000, 2)), rng.uniform(-3, 3, 3000)]
    before = halvex.get_num_threads()
    try:
        halvex.set_num_threads(1)
        assert extra_threads_during(lambda: ops.box_iou(boxes, boxes)) == 0
        if halvex._available_cores() >= 2:
            halvex.set_num_threads(2)
            assert extra_threads_during(lambda: ops.box_iou(boxes, boxes), until_seen=True) >= 1
            # an explicit count is the caller's, whatever the cap
            halvex.set_num_threads(1)
            assert extra_threads_during(lambda: ops.box_iou(boxes, boxes, threads=2), until_seen=True) >= 1
    finally:
        halvex.set_num_threads(before)


def big_orva(n):
    rng = np.random.default_rng(5)
    return np.c_[rng.uniform(0, 400, (n, 2)), rng.uniform(5, 60, (n, 2)), rng.uniform(-3, 3, n)]


# Large calls that split their rows over threads of their own.
SPLIT_CALLS = {
    "kestril.orva_to_box_corners": lambda boxes: kestril.orva_to_box_corners(boxes),
    "kestril.get_angles_from_points": lambda boxes: kestril.get_angles_from_points(boxes[:, :2]),
    "kestril.rot_points_multi_rads": lambda boxes: kestril.rot_points_multi_rads(
        boxes[:, :4].reshape(-1, 2, 2).copy(), boxes[:, 4]
    ),
    "ops.box_convert": lambda boxes: ops.box_convert(boxes, "orva", "le90"),
}


@pytest.mark.parametrize("call", SPLIT_CALLS.values(), ids=SPLIT_CALLS.keys())
def test_large_kestril_calls_split_within_the_package_cap(call):
    boxes = big_orva(10**6)
    # a call lasts a few milliseconds: several give the sampler time to see its threads
    calls = lambda: [call(boxes) for _ in range(10)]  # noqa: E731
    before = halvex.get_num_threads()
    try:
        halvex.set_num_threads(1)
        assert extra_threads_during(calls) == 0
        if halvex._available_cores() >= 2:
            halvex.set_num_threads(2)
            assert extra_threads_during(calls, until_seen=True) >= 1
    finally:
        halvex.set_num_threads(before)

"""Threads: eight threads calling the geometry functions and their own transforms at once.

Every call holds the interpreter lock, but the lock changes hands between
bytecodes and inside every call back into Python or numpy, so module state
kept in C++ (caches, interned names, look-ups) sees interleaved callers.  The
results must equal the ones computed on one thread beforehand.
"""

import copy
import os
import sys
import threading
import time

import numpy as np
import pytest

from callables import TARGETS, Member, channels, cls, image, structured, valid_case

THREADS = 8
SECONDS = float(os.environ.get("HALVEX_THREAD_SECONDS", "2"))


def _comparable(value):
    """A value that == compares by content: arrays by dtype, shape and bytes; callables by what they give."""
    if isinstance(value, np.ndarray):
        return ("array", value.dtype.str, value.shape, np.ascontiguousarray(value).tobytes())
    if isinstance(value, (tuple, list)):
        return tuple(_comparable(item) for item in value)
    if isinstance(value, dict):
        return tuple(sorted((key, _comparable(item)) for key, item in value.items()))
    if callable(value) and not isinstance(value, type):
        return _comparable(value(np.array([[3.0, -1.0], [0.5, 2.0]])))
    return value


def _geometry_calls():
    """(name, call) for every kestril function: each call makes its own copies, so it can run anywhere."""
    calls = []
    for target in TARGETS:
        case = valid_case(target) if target.module == "kestril" else None
        if case is None:
            continue

        def call(case=case):
            return case.call(*copy.deepcopy(case.args), **copy.deepcopy(case.kwargs))

        calls.append((target.key, call))
    return calls


def _transform_calls(thread):
    """A set of transforms owned by one thread, driven through one item whose size depends on the thread."""
    rows, cols = 10 + thread, 13 + 2 * thread
    picture = image(rows, cols)
    picture_float = picture.astype(np.float32)
    fields = [structured(rows, cols)]
    fields.append(fields[0].copy())
    crop = cls("morvane", "RelativeCrop")(0.1, 0.2, 0.7, 0.9)
    mesh = cls("morvane", "MeshCrop")(2, 2, 0.6, 0.7)
    mesh.apply_crop(mesh.all_crops[3])
    center = cls("dalmire", "RelativeCenterCrop")(1.7)
    padding = cls("quenfor", "RelativePadding")(0.6)
    assembler = cls("brisel", "ChannelAssembler")(channels(), False, 1.0)
    one_of = cls("orvetta", "OneOfRetainProb")([Member(0.4)], 1.0)
    bbox, keypoint = (0.1, 0.2, 0.6, 0.7), (2.0, 3.0, 0.5, 1.0)

    def sized(transform, keypoint_method):
        def run():
            params = transform.update_params({}, image=picture)
            return (
                transform.apply(picture_float, **params),
                transform.apply_to_bbox(bbox, **params),
                getattr(transform, keypoint_method)([keypoint] if keypoint_method.endswith("s") else keypoint, **params),
            )

        return run

    step = [0]

    def assemble():
        step[0] += 1
        return assembler.apply(fields[step[0] % 2])  # alternate, so that the one-entry cache misses

    return [
        ("RelativeCrop", sized(crop, "apply_to_keypoints")),
        ("MeshCrop", sized(mesh, "apply_to_keypoints")),
        ("RelativeCenterCrop", sized(center, "apply_to_keypoint")),
        ("RelativePadding", sized(padding, "apply_to_keypoint")),
        ("ChannelAssembler", assemble),
        ("OneOfRetainProb", lambda: one_of(force_apply=True, image=picture)),
    ]


@pytest.fixture
def fast_switching():
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(interval)


def test_concurrent_calls_give_single_threaded_results(fast_switching):
    geometry = _geometry_calls()
    transforms = [_transform_calls(thread) for thread in range(THREADS)]
    with np.errstate(all="ignore"):
        expected_geometry = {name: _comparable(call()) for name, call in geometry}
        # MeshCrop applies the window chosen by the previous item's keypoints: prime each transform once.
        expected_transforms = [{name: (call(), _comparable(call()))[1] for name, call in calls} for calls in transforms]

    failures, iterations = [], [0] * THREADS
    start = threading.Barrier(THREADS)
    deadline = time.monotonic() + SECONDS

    def work(thread):
        start.wait()
        order = geometry[thread % len(geometry):] + geometry[: thread % len(geometry)]
        try:
            with np.errstate(all="ignore"):
                while time.monotonic() < deadline and not failures:
                    for name, call in order:
                        if _comparable(call()) != expected_geometry[name]:
                            failures.append(f"thread {thread}: {name} differs")
                    for name, call in transforms[thread]:
                        if _comparable(call()) != expected_transforms[thread][name]:
                            failures.append(f"thread {thread}: {name} differs")
                    iterations[thread] += 1
        except Exception as error:  # pragma: no cover - reported below
            failures.append(f"thread {thread}: {error!r}")

    workers = [threading.Thread(target=work, args=(thread,)) for thread in range(THREADS)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join(SECONDS + 60)
    assert not any(worker.is_alive() for worker in workers)
    assert not failures, failures[:10]
    assert all(iterations), iterations


def _os_threads():
    return set(os.listdir("/proc/self/task"))


def test_no_module_starts_threads():
    """No Python threads from any callable, and no native ones from the geometry functions.

    (The transforms hand images to OpenCV, whose own worker pool is not ours to count.)
    """
    python_threads, native_threads = threading.active_count(), _os_threads()
    for target in TARGETS:
        case = valid_case(target)
        if case is not None:
            with np.errstate(all="ignore"):
                case.call(*case.args, **case.kwargs)
            if target.module == "kestril":
                assert _os_threads() <= native_threads, target.key  # threads of other libraries may end
    assert threading.active_count() == python_threads

"""Large kestril calls and ops.box_convert split over threads give the same bits as one thread.

A call large enough to be split hands ranges of rows to a few threads.  Every
row's result must be the one the single-threaded call gives, whatever the
thread count, for sizes that are no multiple of any block, with non-finite
rows where a range might start or end; flags that make a call raise must be
seen in whichever range they come from.
"""

import numpy as np
import pytest

import halvex
from halvex import ops
from halvex.preprocessing import kestril

rng = np.random.default_rng(20261208)

# Above the size from which every function here splits its work, and no
# multiple of 2, 4, 8 or 256 (the vector widths and the trigonometry block).
SIZES = [80_021, 131_073]
THREAD_COUNTS = [2, 3]
NON_FINITE = [np.nan, np.inf, -np.inf]


def with_non_finite(values, columns):
    """`values` with NaN or +-inf in `columns` of the rows on either side of every multiple of 256
    (where a range of rows may start) and of about one row in a hundred elsewhere."""
    values = values.copy()
    n = len(values)
    edges = np.arange(256, n, 256)
    rows = np.unique(np.r_[edges - 1, edges, rng.choice(n, n // 100)])
    for column in columns:
        chosen = rows[rng.random(len(rows)) < 0.5]
        values[(chosen, *np.atleast_1d(column))] = rng.choice(NON_FINITE, len(chosen))
    return values


def orva(n, dtype, special=True):
    boxes = np.c_[rng.uniform(-500, 500, (n, 2)), rng.uniform(0, 80, (n, 2)), rng.uniform(-7, 7, n)]
    if special and np.dtype(dtype).kind == "f":
        boxes = with_non_finite(boxes, [0, 1])  # centers: the rotated offsets stay finite
    return boxes.astype(dtype)


def points(n, per_box, dtype, special=True):
    values = rng.uniform(-100, 100, (n, per_box, 2))
    if special and np.dtype(dtype).kind == "f":
        values = with_non_finite(values, [(0, 0), (per_box - 1, 1)])
    return values.astype(dtype)


def angles(n, dtype):
    values = rng.uniform(-7, 7, n)
    if np.dtype(dtype).kind == "f":
        values = with_non_finite(values, [()])
    return values.astype(dtype)


def keypoints(n, dtype):
    # parallelograms near rectangles: the reconstruction's own checks hold (finite values only)
    centers = rng.uniform(-300, 300, (n, 2))
    top = rng.uniform(5, 40, (n, 2)) * [0.05, 1]
    right = rng.uniform(5, 40, (n, 2)) * [1, 0.05]
    return np.stack([centers, centers + top, centers + right], axis=1).astype(dtype)


def inference_stacks(n, dtype):
    corners, distances = kestril.inference_boxes_to_corners(orva(n, np.float64, special=False))
    return with_non_finite(corners, [(1, 0)]).astype(dtype), distances.astype(dtype)


FLOATS = [np.float64, np.float32]
WITH_INTEGERS = [np.float64, np.float32, np.int32]

# name -> (call, input maker, the dtypes the native kernel takes)
CASES = {
    "orva_to_box_corners": (kestril.orva_to_box_corners, lambda n, t: (orva(n, t),), WITH_INTEGERS),
    "orva_to_keypoints": (kestril.orva_to_keypoints, lambda n, t: (orva(n, t),), WITH_INTEGERS),
    "box_corners_to_orva": (kestril.box_corners_to_orva, lambda n, t: (points(n, 4, t), angles(n, t)), WITH_INTEGERS),
    "keypoints_to_orva": (kestril.keypoints_to_orva, lambda n, t: (points(n, 3, t),), WITH_INTEGERS),
    "keypoints_to_box_corners": (kestril.keypoints_to_box_corners, lambda n, t: (points(n, 3, t),), WITH_INTEGERS),
    "get_corner_points_from_box_tuples": (
        kestril.get_corner_points_from_box_tuples, lambda n, t: (points(n, 2, t),), WITH_INTEGERS,
    ),
    "get_box_and_rotation_from_parallelogram_keypoints": (
        kestril.get_box_and_rotation_from_parallelogram_keypoints, lambda n, t: (keypoints(n, t),), WITH_INTEGERS,
    ),
    "rot_points_multi_rads": (kestril.rot_points_multi_rads, lambda n, t: (points(n, 3, t), angles(n, t)), FLOATS),
    "rot_mats_multi_rads": (kestril.rot_mats_multi_rads, lambda n, t: (points(n, 2, t), angles(n, t)), FLOATS),
    "get_angles_from_points": (
        kestril.get_angles_from_points, lambda n, t: (points(n, 1, t).reshape(n, 2),), WITH_INTEGERS,
    ),
    "inference_boxes_to_corners": (kestril.inference_boxes_to_corners, lambda n, t: (orva(n, t),), WITH_INTEGERS),
    # rows of the first set are split: 400 x 397 pairs, a NaN corner in about half the boxes near 256
    "intersections": (
        kestril.intersections, lambda n, t: (*inference_stacks(400 + n % 5, t), *inference_stacks(397, t)), FLOATS,
    ),
    "box_convert orva -> xyxyxyxy": (
        lambda boxes: ops.box_convert(boxes, "orva", "xyxyxyxy"), lambda n, t: (orva(n, t),), FLOATS,
    ),
    "box_convert poly -> le90": (
        lambda boxes: ops.box_convert(boxes, "poly", "le90"), lambda n, t: (points(n, 4, t),), FLOATS,
    ),
    "box_convert le135 -> oc": (lambda boxes: ops.box_convert(boxes, "le135", "oc"), lambda n, t: (orva(n, t),), FLOATS),
}  # fmt: skip


def results_of(result):
    return result if isinstance(result, tuple) else (result,)


@pytest.fixture
def thread_cap():
    """halvex.set_num_threads, restored afterwards."""
    before = halvex.get_num_threads()
    yield halvex.set_num_threads
    halvex.set_num_threads(before)


@pytest.mark.parametrize("name, dtype", [(name, dtype) for name, case in CASES.items() for dtype in case[2]])
@pytest.mark.parametrize("n", SIZES)
def test_every_thread_count_gives_the_bits_of_one_thread(thread_cap, name, dtype, n):
    call, make, _ = CASES[name]
    inputs = make(n, dtype)
    # the in-place functions get a fresh copy each time
    outcome = {}
    for threads in [1, *THREAD_COUNTS]:
        thread_cap(threads)
        outcome[threads] = results_of(call(*[array.copy() for array in inputs]))
    for threads in THREAD_COUNTS:
        for alone, split in zip(outcome[1], outcome[threads], strict=True):
            assert split.dtype == alone.dtype and split.shape == alone.shape
            differing = (split.view(np.uint8) != alone.view(np.uint8)).reshape(len(split), -1).any(axis=1)
            assert not differing.any(), f"{threads} threads: rows {np.flatnonzero(differing)[:5]} differ"


def nan_rotation(n, row):
    boxes = orva(n, np.float64, special=False)
    boxes[row, 4] = np.nan
    return (boxes,)


def nan_keypoint(n, row):
    values = keypoints(n, np.float64)
    values[row, 2, 1] = np.nan
    return (values,)


# Calls whose native kernel reports a NaN (a failed in-place check of the
# algorithm) through a flag that becomes AssertionError.
FLAGGED = {
    "orva_to_box_corners": (kestril.orva_to_box_corners, nan_rotation),
    "orva_to_keypoints": (kestril.orva_to_keypoints, nan_rotation),
    "get_box_and_rotation_from_parallelogram_keypoints": (
        kestril.get_box_and_rotation_from_parallelogram_keypoints,
        nan_keypoint,
    ),
}


@pytest.mark.skipif(not __debug__, reason="the flags become AssertionError only while assertions are enabled")
@pytest.mark.parametrize("name", FLAGGED)
@pytest.mark.parametrize("row", [0, 7 * 256 - 1, 7 * 256, SIZES[0] // 2, SIZES[0] - 1])
@pytest.mark.parametrize("threads", [1, *THREAD_COUNTS])
def test_a_flag_raised_in_any_range_fails_the_call(thread_cap, name, row, threads):
    call, make = FLAGGED[name]
    thread_cap(threads)
    with pytest.raises(AssertionError):
        call(*make(SIZES[0], row))

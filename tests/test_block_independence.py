"""kestril: a box's result depends on the box alone, not on where in the array it is.

The kernels evaluate cos, sin and atan2 a block of boxes at a time with vector
functions of 2, 4 or 8 lanes, padding what is left over.  Converting boxes[k:]
must give, bit for bit, the tail of converting all boxes, for sizes and
offsets around the block (256) and the vector widths, special values included.
"""

import numpy as np
import pytest

from halvex.preprocessing import kestril

rng = np.random.default_rng(20261208)

# Values whose trigonometry is special (zeros, a subnormal, huge or near a
# multiple of pi) yet keeps every function away from its NaN assertions.
SPECIAL = [0.0, -0.0, -5e-324, 3.141592653589793, -1.5707963267948966, 1e5, 1e22]


def sprinkled(values, special=SPECIAL):
    """`values` with a special value in about one entry of twenty."""
    values = values.copy()
    flat = values.reshape(-1)
    where = rng.random(flat.size) < 0.05
    flat[where] = rng.choice(special, where.sum())
    return values


def orva(n, dtype):
    boxes = np.c_[rng.uniform(-500, 500, (n, 2)), rng.uniform(0, 80, (n, 2)), sprinkled(rng.uniform(-1e4, 1e4, n))]
    return boxes.astype(dtype)


def points(n, per_box, dtype, special=SPECIAL):
    return sprinkled(rng.uniform(-100, 100, (n, per_box, 2)), special).astype(dtype)


def angles(n, dtype):
    return sprinkled(rng.uniform(-7, 7, n)).astype(dtype)


FLOATS = [np.float64, np.float32]
WITH_INTEGERS = [np.float64, np.float32, np.int32]

# name -> (call, input maker, the dtypes the native kernel takes)
CASES = {
    "rot_points_multi_rads": (
        kestril.rot_points_multi_rads, lambda n, dtype: (points(n, 3, dtype), angles(n, dtype)), FLOATS,
    ),
    "rot_mats_multi_rads": (
        kestril.rot_mats_multi_rads, lambda n, dtype: (points(n, 2, dtype), angles(n, dtype)), FLOATS,
    ),
    "orva_to_box_corners": (kestril.orva_to_box_corners, lambda n, dtype: (orva(n, dtype),), WITH_INTEGERS),
    "orva_to_keypoints": (kestril.orva_to_keypoints, lambda n, dtype: (orva(n, dtype),), WITH_INTEGERS),
    "box_corners_to_orva": (
        kestril.box_corners_to_orva, lambda n, dtype: (points(n, 4, dtype), angles(n, dtype)), WITH_INTEGERS,
    ),
    "keypoints_to_orva": (kestril.keypoints_to_orva, lambda n, dtype: (points(n, 3, dtype),), WITH_INTEGERS),
    "get_angles_from_points": (
        kestril.get_angles_from_points, lambda n, dtype: (points(n, 1, dtype).reshape(n, 2),), WITH_INTEGERS,
    ),
    "get_box_and_rotation_from_parallelogram_keypoints": (
        # (with coordinates of 1e22 a longer half-axis misses the x axis by more than the check's 1e-5)
        kestril.get_box_and_rotation_from_parallelogram_keypoints, lambda n, dtype: (points(n, 3, dtype, SPECIAL[:-1]),),
        FLOATS,
    ),
    "inference_boxes_to_corners": (kestril.inference_boxes_to_corners, lambda n, dtype: (orva(n, dtype),), FLOATS),
}  # fmt: skip

# (n, k): sizes and offsets around the vector widths and the block of 256
SHAPES = [(3, 1), (9, 1), (13, 5), (255, 7), (256, 1), (257, 3), (520, 255), (520, 256), (777, 258)]


@pytest.mark.parametrize("name, dtype", [(name, dtype) for name, case in CASES.items() for dtype in case[2]])
@pytest.mark.parametrize("n, k", SHAPES)
def test_a_box_gives_the_same_bits_wherever_it_is(name, dtype, n, k):
    call, make, _ = CASES[name]
    inputs = make(n, dtype)
    whole = call(*[array.copy() for array in inputs])
    part = call(*[array[k:].copy() for array in inputs])
    as_tuple = lambda result: result if isinstance(result, tuple) else (result,)  # noqa: E731
    for everything, tail in zip(as_tuple(whole), as_tuple(part), strict=True):
        expected = everything[k * (everything.shape[0] // n) :]
        assert tail.dtype == expected.dtype and tail.shape == expected.shape
        differing = (tail.view(np.uint8) != expected.view(np.uint8)).reshape(len(tail), -1).any(axis=1)
        assert not differing.any(), f"rows {np.flatnonzero(differing)[:5]} differ"

import math
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import expect
from halvex.preprocessing import kestril
from layouts import LAYOUTS, in_layout
from numpy_formulation import rotations as reference
from tolerance import TRIG_ULPS, assert_close, eps, norms

rng = np.random.default_rng(7)


def assert_same_values(actual, expected, trig_type=None, axes=1):
    """Equal dtype, shape and values up to the trigonometry (in `trig_type`).

    A rotation keeps lengths, so a rotated point (matrix) may move by a few
    ulp of its own length (norm), however small its coordinates come out:
    `axes` is 1 for points, 2 for matrices.
    """
    tolerance = TRIG_ULPS * eps(expected.dtype, trig_type) * norms(expected, axes)
    assert_close(actual, expected, tolerance)


# ---- get_rotation_matrix_2d --------------------------------------------------


def test_rotation_matrix_values():
    assert kestril.get_rotation_matrix_2d(angle_in_deg=90.0).tolist() == [
        [6.123233995736766e-17, -1.0],
        [1.0, 6.123233995736766e-17],
    ]
    identity = kestril.get_rotation_matrix_2d(angle_in_rad=0.0)
    assert identity.dtype == np.float64 and identity.tolist() == [[1.0, -0.0], [0.0, 1.0]]
    assert math.copysign(1.0, identity[0, 1]) == -1.0
    for angle in (0.3, -2.0, 1e5):
        # entries are sines and cosines: a few ulp of one
        for kind in ("angle_in_rad", "angle_in_deg"):
            assert_close(kestril.get_rotation_matrix_2d(**{kind: angle}),
                         reference.get_rotation_matrix_2d(**{kind: angle}), TRIG_ULPS * eps(np.float64))


@pytest.mark.parametrize(
    "kwargs, text",
    [
        ({}, "Pass angle either in degrees (None) in radians (None)."),
        ({"angle_in_deg": 90.0, "angle_in_rad": 1.0}, "Pass angle either in degrees (90.0) in radians (1.0)."),
    ],
)
def test_rotation_matrix_needs_exactly_one_angle(kwargs, text):
    with pytest.raises(ValueError) as error:
        kestril.get_rotation_matrix_2d(**kwargs)
    assert str(error.value) == text


@pytest.mark.parametrize("bad", [90, np.float64(90.0), "90"])
def test_rotation_matrix_takes_exact_floats_only(bad):
    with pytest.raises(TypeError, match=r"Argument 'angle_in_deg' has incorrect type \(expected float, got "):
        kestril.get_rotation_matrix_2d(angle_in_deg=bad)


# ---- get_angles_from_points ----------------------------------------------------


def test_angles_of_axis_points():
    angles = kestril.get_angles_from_points(np.array([[1, 0], [0, 1], [-1, 0], [0, -1]]))
    assert angles.dtype == np.float64
    assert angles.tolist() == [0.0, math.pi / 2, math.pi, -math.pi / 2]


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int64, np.int32, np.int16, np.uint8, np.float16])
@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("n", [0, 1, 1000])
def test_angles_match_numpy(dtype, layout, n):
    points = in_layout((rng.normal(size=(n, 2)) * 50).astype(dtype), layout)
    expected = reference.get_angles_from_points(points)
    # arctan2 is good to a few ulp of its result
    assert_close(kestril.get_angles_from_points(points), expected, TRIG_ULPS * eps(expected.dtype) * np.abs(expected))


def test_angles_shape_checks():
    expect.raises(AssertionError, lambda: kestril.get_angles_from_points(np.zeros((4, 3))),
                  "Can only get angles from two-dimensional points. ")
    expect.raises(AssertionError, lambda: kestril.get_angles_from_points(np.zeros((4, 2, 1))), "")
    with pytest.raises(IndexError):
        kestril.get_angles_from_points(np.zeros(4))
    with pytest.raises(AttributeError):
        kestril.get_angles_from_points([[1.0, 0.0]])


# ---- the batch rotations --------------------------------------------------------

ROTATIONS = {
    "points": (kestril.rot_points_multi_rads, reference.rot_points_multi_rads, 4),
    "matrices": (kestril.rot_mats_multi_rads, reference.rot_mats_multi_rads, 2),
}


@pytest.mark.parametrize("kind", ROTATIONS)
@pytest.mark.parametrize(
    "point_type, angle_type",
    [
        (np.float64, np.float64),
        (np.float64, np.float32),
        (np.float64, np.int64),
        (np.float64, np.int32),
        (np.float32, np.float32),
        (np.float64, np.int16),
        (np.float32, np.int16),
        (np.float16, np.float16),
    ],
)
@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("rotations", [0, 1, 257])
def test_rotations_match_numpy_in_place(kind, point_type, angle_type, layout, rotations):
    ours, theirs, per_rotation = ROTATIONS[kind]
    values = (rng.normal(size=(rotations, per_rotation, 2)) * 10).astype(point_type)
    angles = in_layout((rng.normal(size=rotations) * 4).astype(angle_type), layout)
    expected = theirs(values.copy(), angles)
    target = in_layout(values, layout)
    returned = ours(target, angles)
    assert returned is target
    assert_same_values(target, expected, np.cos(np.zeros(1, angle_type)).dtype, 1 if kind == "points" else 2)


ROTATION_FAULTS = {
    "angle with the wrong sign": lambda points, angles: reference.rot_points_multi_rads(points, -angles),
    "a float32 intermediate": lambda points, angles: reference.rot_points_multi_rads(
        points, angles.astype(np.float32)),
    "x and y swapped": lambda points, angles: reference.rot_points_multi_rads(points, angles)[..., ::-1],
}


@pytest.mark.parametrize("fault", ROTATION_FAULTS.values(), ids=ROTATION_FAULTS.keys())
def test_the_rotation_comparison_catches_planted_faults(fault):
    points, angles = rng.normal(size=(500, 4, 2)) * 100, rng.normal(size=500) * 4
    expected = reference.rot_points_multi_rads(points.copy(), angles)
    assert_same_values(kestril.rot_points_multi_rads(points.copy(), angles), expected)
    with pytest.raises(AssertionError, match="outside their tolerance"):
        assert_same_values(fault(points.copy(), angles), expected)


def test_rotation_of_one_point():
    points = np.array([[[1.0, 0.0]]])
    assert kestril.rot_points_multi_rads(points, np.array([np.pi / 2])) is points
    assert points.tolist() == [[[6.123233995736766e-17, 1.0]]]


def test_rotated_zeros_come_out_positive_like_einsum():
    points = np.array([[[-0.0, -0.0]]])
    kestril.rot_points_multi_rads(points, np.array([0.0]))
    expected = reference.rot_points_multi_rads(np.array([[[-0.0, -0.0]]]), np.array([0.0]))
    assert np.signbit(points).tolist() == np.signbit(expected).tolist()


def test_matrix_rotation_swaps_the_axes_of_a_covariance():
    matrices = np.array([np.diag([4.0, 1.0]), np.eye(2)])
    kestril.rot_mats_multi_rads(matrices, np.array([np.pi / 2, 0.7]))
    np.testing.assert_allclose(matrices[0], np.diag([1.0, 4.0]), atol=1e-15)
    np.testing.assert_allclose(matrices[1], np.eye(2), atol=1e-15)


@pytest.mark.parametrize("kind", ROTATIONS)
@pytest.mark.parametrize(
    "point_type, angle_type", [(np.float32, np.float64), (np.int64, np.float64), (np.int32, np.float32)]
)
def test_types_that_cannot_hold_the_result_raise_before_writing(kind, point_type, angle_type):
    ours, _, per_rotation = ROTATIONS[kind]
    target = np.ones((3, per_rotation, 2), point_type)
    with pytest.raises(TypeError, match="according to the rule 'safe'"):
        ours(target, np.ones(3, angle_type))
    assert (target == 1).all()


@pytest.mark.parametrize("kind", ROTATIONS)
def test_read_only_target_is_left_alone(kind):
    ours, _, per_rotation = ROTATIONS[kind]
    target = np.ones((3, per_rotation, 2))
    target.flags.writeable = False
    with pytest.raises(ValueError, match="read-only"):
        ours(target, np.ones(3))


def test_aliased_angles_are_read_before_they_are_overwritten():
    # The angles live inside the points being rotated.
    points = rng.normal(size=(50, 4, 2))
    expected = reference.rot_points_multi_rads(points.copy(), points.copy()[:, 0, 0])
    kestril.rot_points_multi_rads(points, points[:, 0, 0])
    assert_same_values(points, expected)


def test_self_overlapping_target_behaves_like_numpy():
    base = np.zeros(8)
    target = np.lib.stride_tricks.as_strided(base, shape=(3, 4, 2), strides=(16, 0, 8))
    expected_base = np.zeros(8)
    expected = np.lib.stride_tricks.as_strided(expected_base, shape=(3, 4, 2), strides=(16, 0, 8))
    base[:] = expected_base[:] = np.arange(8.0)
    angles = np.array([0.1, 0.2, 0.3])
    reference.rot_points_multi_rads(expected, angles)
    kestril.rot_points_multi_rads(target, angles)
    # each stored point is one of four aliases, turned once per alias
    assert_close(base, expected_base, 4 * TRIG_ULPS * eps(np.float64) * norms(expected_base.reshape(4, 2)).repeat(2))


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: kestril.rot_points_multi_rads(np.zeros((3, 4, 3)), np.zeros(3)), AssertionError),
        (lambda: kestril.rot_points_multi_rads(np.zeros((3, 4, 2)), np.zeros(2)), AssertionError),
        (lambda: kestril.rot_points_multi_rads(np.zeros((3, 4)), np.zeros(3)), IndexError),
        # the shape assertion reads rotation_rads.shape
        (lambda: kestril.rot_points_multi_rads(np.zeros((3, 4, 2)), [0.0, 0.0, 0.0]), AttributeError),
        (lambda: kestril.rot_mats_multi_rads(np.zeros((3, 2, 3)), np.zeros(3)), AssertionError),
        (lambda: kestril.rot_mats_multi_rads(np.zeros((3, 3, 3)), np.zeros(3)), AssertionError),
    ],
)
def test_batch_rotation_shape_checks(call, error):
    expect.raises(error, call, "" if error is AssertionError else None,
                  from_assertion=error in (AssertionError, AttributeError))


@settings(max_examples=200, deadline=None)
@given(
    hnp.arrays(
        np.float64,
        hnp.array_shapes(min_dims=3, max_dims=3, max_side=5).map(lambda s: (s[0], s[1], 2)),
        elements=st.floats(-1e6, 1e6),
    ),
    st.floats(-100, 100),
)
def test_rotations_preserve_lengths_and_match_numpy(points, angle):
    angles = np.full(points.shape[0], angle)
    expected = reference.rot_points_multi_rads(points.copy(), angles)
    kestril.rot_points_multi_rads(points, angles)
    assert_same_values(points, expected)


def test_optimised_mode_skips_assertions_without_crashing():
    # Under python -O the shape assertions are skipped; malformed input then
    # fails inside numpy or returns, and never takes the process down.
    script = r"""
import numpy as np
from halvex.preprocessing import kestril
outcomes = []
def attempt(call):
    try:
        call()
        outcomes.append("ok")
    except Exception as error:
        outcomes.append(type(error).__name__)
attempt(lambda: kestril.get_angles_from_points(np.zeros((4, 3))))
attempt(lambda: kestril.get_angles_from_points(np.zeros((4, 2, 1))))
attempt(lambda: kestril.rot_points_multi_rads(np.zeros((3, 4, 3)), np.zeros(3)))
attempt(lambda: kestril.rot_points_multi_rads(np.zeros((3, 4, 2)), np.zeros(2)))
attempt(lambda: kestril.rot_points_multi_rads(np.zeros((3, 4, 2)), np.zeros((3, 1))))
attempt(lambda: kestril.rot_mats_multi_rads(np.zeros((3, 2, 5)), np.zeros(3)))
attempt(lambda: kestril.rot_mats_multi_rads(np.zeros((0, 2, 2)), np.zeros(0)))
print(" ".join(outcomes))
"""
    result = subprocess.run([sys.executable, "-O", "-c", script], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    outcomes = result.stdout.split()
    assert len(outcomes) == 7 and "AssertionError" not in outcomes
    assert outcomes[-1] == "ok"

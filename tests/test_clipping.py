"""kestril: segment crossings and clipping boxes at the image border."""

import numpy as np
import pytest

import expect
from halvex.preprocessing import kestril
from numpy_formulation import clipping as reference

rng = np.random.default_rng(11)


# ---- intersect ---------------------------------------------------------------------


def point(x, y):
    return np.array([x, y], dtype=float)


@pytest.mark.parametrize(
    "segments, expected",
    [
        ((point(0, 0), point(2, 2), point(0, 2), point(2, 0)), [1.0, 1.0]),
        ((point(0, 0), point(1, 0), point(1, -1), point(1, 1)), [1.0, 0.0]),  # meet at an endpoint
        ((point(0, 0), point(1, 0), point(1 + 1e-12, -1), point(1 + 1e-12, 1)), [1 + 1e-12, 0.0]),  # within tolerance
        ((point(0, 0), point(1, 0), point(2, -1), point(2, 1)), None),  # only on the extension
        ((point(0, 0), point(1, 0), point(0.5, 1e-12), point(0.5, 1)), [0.5, 1e-12]),  # b's parameter is clamped
    ],
)
def test_intersect_examples(segments, expected):
    result = kestril.intersect(*segments)
    oracle = reference.intersect(*segments)
    if expected is None:
        assert result is None and oracle is None
    else:
        np.testing.assert_allclose(result, expected, atol=1e-15)
        np.testing.assert_array_equal(result, oracle)


def test_intersect_of_parallel_segments_is_an_assertion():
    expect.raises(AssertionError, lambda: kestril.intersect(point(0, 0), point(1, 0), point(0, 1), point(1, 1)))


@pytest.mark.parametrize("dtype", [np.float64, np.int64, np.float32])
def test_intersect_matches_numpy(dtype):
    for _ in range(400):
        segments = [rng.integers(-3, 4, size=2).astype(dtype) for _ in range(4)]
        try:
            expected = reference.intersect(*segments)
        except AssertionError:
            expect.raises(AssertionError, lambda: kestril.intersect(*segments))
            continue
        result = kestril.intersect(*segments)
        if expected is None:
            assert result is None
        else:
            assert result.dtype == expected.dtype
            np.testing.assert_array_equal(result, expected)


# ---- clipper -----------------------------------------------------------------------


def test_box_crossing_the_left_border():
    box = np.array([[-10.0, 10.0], [20.0, 10.0], [20.0, 30.0], [-10.0, 30.0]])
    clipped, box_points = kestril.clipper(box, (100, 50))
    np.testing.assert_allclose(clipped, [[20, 10], [20, 30], [0, 30], [0, 10]], atol=1e-9)
    np.testing.assert_allclose(box_points, [[20, 10], [20, 30], [0, 10], [0, 30]], atol=1e-12)


def test_box_inside_comes_back_in_corner_order_1_2_3_0():
    box = np.array([[10.0, 10.0], [10.0, 20.0], [30.0, 20.0], [30.0, 10.0]])
    clipped, box_points = kestril.clipper(box, np.array([100, 50]))
    np.testing.assert_allclose(clipped, box[[1, 2, 3, 0]], atol=1e-9)
    np.testing.assert_array_equal(box_points, box)


def test_box_outside_and_box_around_the_image():
    outside = np.array([[200.0, 10.0], [220.0, 10.0], [220.0, 30.0], [200.0, 30.0]])
    assert kestril.clipper(outside, (100, 50)) == (None, None)
    around = np.array([[-10.0, -10.0], [-10.0, 60.0], [110.0, 60.0], [110.0, -10.0]])
    clipped, box_points = kestril.clipper(around, (100, 50))
    assert box_points.shape == (0,) and box_points.dtype == np.float64
    np.testing.assert_allclose(np.sort(clipped, axis=0), [[0, 0], [0, 0], [99, 49], [99, 49]], atol=1e-9)


@pytest.mark.parametrize("x, inside", [(0.0, True), (99.0, True), (-0.5, False), (99.5, False)])
def test_corners_on_the_border_count_as_inside(x, inside):
    box = np.array([[x, 10.0], [x, 20.0], [50.0, 20.0], [50.0, 10.0]])
    _, box_points = kestril.clipper(box, (100, 50))
    assert any((p == [x, 10.0]).all() for p in box_points) is inside


def random_box(spread):
    center = rng.uniform(-spread, 100 + spread, size=2)
    half = rng.uniform(1, 60, size=2)
    angle = rng.uniform(-np.pi, np.pi)
    rotation = np.array([[np.cos(angle), -np.sin(angle)], [np.sin(angle), np.cos(angle)]])
    offsets = np.array([[-1, -1], [-1, 1], [1, 1], [1, -1]]) * half
    return center + offsets @ rotation.T


@pytest.mark.parametrize("spread", [0, 30, 200])
def test_clipper_matches_numpy_on_random_boxes(spread):
    for _ in range(300):
        box = random_box(spread)
        size = (100, 80)
        expected_corners, expected_points = reference.clipper(box, size)
        corners, box_points = kestril.clipper(box, size)
        if expected_corners is None:
            assert corners is None and box_points is None
            continue
        np.testing.assert_array_equal(box_points, expected_points)
        np.testing.assert_allclose(corners, expected_corners, rtol=1e-9, atol=1e-9)


def test_clipper_numpy_road_for_other_inputs():
    box = np.array([[-10, 10], [20, 10], [20, 30], [-10, 30]])  # integer corners
    expected = reference.clipper(box, [100, 50])
    result = kestril.clipper(box, [100, 50])
    np.testing.assert_allclose(result[0], expected[0], atol=1e-9)
    np.testing.assert_array_equal(result[1], expected[1])


def test_clipper_follows_a_rebound_intersect():
    calls = []
    original = kestril.intersect

    def counting(*arguments):
        calls.append(arguments)
        return original(*arguments)

    kestril.intersect = counting
    try:
        box = np.array([[-10.0, 10.0], [20.0, 10.0], [20.0, 30.0], [-10.0, 30.0]])
        _, box_points = kestril.clipper(box, (100, 50))
    finally:
        kestril.intersect = original
    assert len(calls) == 2
    np.testing.assert_allclose(box_points, [[20, 10], [20, 30], [0, 10], [0, 30]], atol=1e-12)


def test_one_pixel_image_asserts():
    box = np.array([[-1.0, -1.0], [-1.0, 2.0], [2.0, 2.0], [2.0, -1.0]])
    expect.raises(AssertionError, lambda: kestril.clipper(box, (1, 1)))


def test_clipper_visualize_is_a_truth_value():
    box = np.array([[10.0, 10.0], [10.0, 20.0], [30.0, 20.0], [30.0, 10.0]])

    class Untruthful:
        def __bool__(self):
            raise RuntimeError("no truth")

    with pytest.raises(RuntimeError, match="no truth"):
        kestril.clipper(box, (100, 50), Untruthful())
    assert kestril.clipper(box, (100, 50), visualize=None)[0] is not None

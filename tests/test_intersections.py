"""kestril: inference boxes, pairwise intersections and enclosing rectangles."""

import warnings

import numpy as np
import pytest

import expect
from halvex.preprocessing import kestril
from numpy_formulation import intersections as reference
from tolerance import TRIG_ULPS, assert_close, eps, row_scale

rng = np.random.default_rng(5)


def boxes(n, dtype=np.float32, field=200.0):
    values = np.column_stack(
        [rng.uniform(0, field, n), rng.uniform(0, field, n), rng.uniform(2, 40, n), rng.uniform(2, 40, n),
         rng.uniform(-np.pi, np.pi, n)]
    )
    return values.astype(dtype)


# ---- inference_boxes_to_corners ------------------------------------------------------


def test_inference_box_example():
    corners, distances = kestril.inference_boxes_to_corners(np.array([[10, 20, 4, 2, 0]], np.float32))
    assert corners.dtype == distances.dtype == np.float32
    np.testing.assert_allclose(corners[0], [[12, 21], [8, 21], [12, 19], [8, 19]], atol=1e-5)
    np.testing.assert_allclose(distances[0, :2], [[-2, 0], [0, -1]], atol=1e-6)
    doubled, _ = kestril.inference_boxes_to_corners(np.array([[10, 20, 4, 2, 0]], np.float32), size_factor=2.0)
    np.testing.assert_allclose(doubled[0], [[14, 22], [6, 22], [14, 18], [6, 18]], atol=1e-5)
    turned, turned_distances = kestril.inference_boxes_to_corners(np.array([[10, 20, 4, 2, np.float32(np.pi)]], np.float32))
    np.testing.assert_array_equal(turned[0], [[8, 19], [12, 19], [8, 21], [12, 21]])
    np.testing.assert_array_equal(turned_distances[0, :2], [[2, 0], [0, 1]])


@pytest.mark.parametrize("dtype", [np.float32, np.float64, np.int64, np.int32, np.float16, np.uint16])
@pytest.mark.parametrize("n", [0, 1, 500])
def test_inference_boxes_match_numpy(dtype, n):
    values = boxes(n, np.float64) if np.dtype(dtype).kind == "f" else np.abs(boxes(n, np.float64)) * 10
    values = values.astype(dtype)
    wide = np.column_stack([values, np.ones((n, 2), dtype)])  # columns after the fifth are ignored
    corners, distances = kestril.inference_boxes_to_corners(wide, 1.5)
    expected_corners, expected_distances = reference.inference_boxes_to_corners(values, 1.5)
    # The distances are the half sizes rotated (in the boxes' own float type,
    # float64 for integers), the corners the centre plus two of them; both
    # are stored as float32, whose rounding a few ulp of the trigonometry may
    # tip either way.
    trig_type = values.dtype if values.dtype.kind == "f" else np.float64
    unit = TRIG_ULPS * eps(np.float32, trig_type) * 1.5
    assert_close(distances, expected_distances, unit * row_scale(values[:, 2:4]).reshape(-1, 1, 1))
    assert_close(corners, expected_corners, unit * row_scale(values[:, :4]).reshape(-1, 1, 1))


def test_float64_boxes_are_accepted():
    # Computed in float64 and stored as float32, instead of failing on the
    # float64 -> float32 store of the rotation.
    corners, distances = kestril.inference_boxes_to_corners(np.array([[10.0, 20.0, 4.0, 2.0, 0.0]]))
    assert corners.dtype == np.float32
    np.testing.assert_allclose(corners[0], [[12, 21], [8, 21], [12, 19], [8, 19]], atol=1e-5)


@pytest.mark.parametrize("bad, error", [(np.zeros((3, 4)), IndexError), ("boxes", TypeError)])
def test_inference_boxes_errors(bad, error):
    with pytest.raises(error):
        kestril.inference_boxes_to_corners(bad)
    with pytest.raises(TypeError, match="must be real number"):
        kestril.inference_boxes_to_corners(boxes(1), "2")


# ---- intersections -----------------------------------------------------------------


def test_touching_boxes_overlap_and_separated_ones_do_not():
    first = kestril.inference_boxes_to_corners(np.array([[0, 0, 4, 2, np.pi]], np.float32))
    apart = kestril.inference_boxes_to_corners(np.array([[5, 0, 4, 2, np.pi]], np.float32))
    touching = kestril.inference_boxes_to_corners(np.array([[4, 0, 4, 2, np.pi]], np.float32))
    assert kestril.intersections(*first, *apart).tolist() == [[False]]
    assert kestril.intersections(*first, *touching).tolist() == [[True]]
    assert kestril.intersections(*first, *first).tolist() == [[True]]


@pytest.mark.parametrize("n_a, n_b", [(0, 3), (3, 0), (0, 0)])
def test_empty_sets_give_empty_matrices(n_a, n_b):
    result = kestril.intersections(*kestril.inference_boxes_to_corners(boxes(n_a)),
                                   *kestril.inference_boxes_to_corners(boxes(n_b)))
    assert result.shape == (n_a, n_b) and result.dtype == bool


def lattice(n, jitter):
    # Boxes on a grid that touch their neighbours exactly, then jittered.
    grid = np.arange(n, dtype=np.float64)
    centers = np.stack(np.meshgrid(grid * 4, grid * 2), axis=-1).reshape(-1, 2)
    values = np.column_stack([centers, np.full(len(centers), 4.0), np.full(len(centers), 2.0),
                              np.full(len(centers), np.pi)])
    values[:, :2] += rng.normal(scale=jitter, size=values[:, :2].shape) * (rng.random((len(values), 1)) < 0.5)
    return values.astype(np.float32)


@pytest.mark.parametrize("jitter", [0.0, 1e-6, 1e-3])
def test_intersections_match_numpy_on_near_touching_boxes(jitter):
    a = kestril.inference_boxes_to_corners(lattice(9, jitter))
    b = kestril.inference_boxes_to_corners(lattice(9, jitter))
    np.testing.assert_array_equal(kestril.intersections(*a, *b), reference.intersections_vectorised(*a, *b))


def test_intersections_match_the_pair_loop_on_random_and_nan_boxes():
    values = boxes(60)
    values[::13, 2] = np.nan
    a = kestril.inference_boxes_to_corners(values[:40])
    b = kestril.inference_boxes_to_corners(values[25:])
    np.testing.assert_array_equal(kestril.intersections(*a, *b), reference.intersections(*a, *b))


def test_intersections_of_mixed_layouts_and_dtypes():
    a_corners, a_distances = kestril.inference_boxes_to_corners(boxes(50))
    b_corners, b_distances = kestril.inference_boxes_to_corners(boxes(70))
    expected = reference.intersections_vectorised(a_corners, a_distances, b_corners, b_distances)
    fortran = np.asfortranarray(a_corners.astype(np.float64))
    result = kestril.intersections(fortran, a_distances[::-1][::-1], b_corners, b_distances.astype(np.float64))
    np.testing.assert_array_equal(result, reference.intersections_vectorised(
        fortran, a_distances, b_corners, b_distances.astype(np.float64)))
    assert result.shape == expected.shape


def test_zero_sized_boxes_warn_like_numpy():
    values = boxes(3)
    values[1, 2] = 0.0
    a = kestril.inference_boxes_to_corners(values)
    with warnings.catch_warnings(record=True) as ours:
        warnings.simplefilter("always")
        result = kestril.intersections(*a, *a)
    with warnings.catch_warnings(record=True) as theirs:
        warnings.simplefilter("always")
        expected = reference.intersections(*a, *a)
    np.testing.assert_array_equal(result, expected)
    assert sorted(str(w.message) for w in ours) == sorted(str(w.message) for w in theirs)


def test_intersections_shape_checks():
    a = kestril.inference_boxes_to_corners(boxes(2))
    expect.raises(AssertionError, lambda: kestril.intersections(a[0][:, :3], a[1], *a))
    expect.raises(AssertionError, lambda: kestril.intersections(a[0], a[1][:1], *a))


# ---- surrounding_rectangle_from_corners ------------------------------------------------


def test_surrounding_rectangle_truncates_toward_zero():
    corners = np.array([[[-0.5, 1.7], [3.2, 1.7], [3.2, 5.9], [-0.5, 5.9]]])
    low, high = kestril.surrounding_rectangle_from_corners(corners)
    assert low.dtype == high.dtype == np.int32
    assert low.tolist() == [[0, 1]] and high.tolist() == [[3, 5]]


@pytest.mark.parametrize("dtype", [np.float32, np.float64, np.int64, np.int16])
def test_surrounding_rectangle_matches_numpy(dtype):
    corners = (rng.normal(size=(300, 4, 2)) * 100).astype(dtype)
    for ours, theirs in zip(kestril.surrounding_rectangle_from_corners(corners),
                            reference.surrounding_rectangle_from_corners(corners)):
        np.testing.assert_array_equal(ours, theirs)

"""Numpy formulation of the pairwise rotated-box intersection test.

Test oracle and benchmark baseline for ``kestril.inference_boxes_to_corners``,
``kestril.intersections`` and ``kestril.surrounding_rectangle_from_corners``.
The steps, their order and their intermediate dtypes are those of the
reference algorithm; only the rotation of float64 or integer boxes differs
(see ``inference_boxes_to_corners``).
"""

from __future__ import annotations

import numpy as np

from . import trig


def rot_points_multi_rads(points: np.ndarray, rotation_rads: np.ndarray) -> np.ndarray:
    number_of_rotations = points.shape[0]
    number_of_points_to_rotate_per_rotation = points.shape[1]
    state_dimensionality = points.shape[2]
    assert points.shape == (
        number_of_rotations,
        number_of_points_to_rotate_per_rotation,
        state_dimensionality,
    )
    assert rotation_rads.shape == (number_of_rotations,)
    cr = trig.cos(rotation_rads)
    sr = trig.sin(rotation_rads)
    rotation_matrix = np.array([[cr, -sr], [sr, cr]]).reshape(2, 2, number_of_rotations)
    assert rotation_matrix.shape == (
        state_dimensionality,
        state_dimensionality,
        number_of_rotations,
    )
    np.einsum("rcR,Rxc->Rxr", rotation_matrix, points, out=points)
    assert points.shape == (
        number_of_rotations,
        number_of_points_to_rotate_per_rotation,
        state_dimensionality,
    )
    return points


def inference_boxes_to_corners(
    boxes: np.ndarray, size_factor: float = 1.0
) -> tuple[np.ndarray, np.ndarray]:
    number_of_boxes = len(boxes)
    corners = np.empty((number_of_boxes, 4, 2), dtype=np.float32)
    corners[:, :4] = boxes[:, :2][:, np.newaxis]
    assert corners.shape == (number_of_boxes, 4, 2)

    orientations = (np.pi - boxes[:, 4]) % (2 * np.pi)
    assert orientations.shape == (number_of_boxes,)

    distances = np.zeros((number_of_boxes, 4, 2), dtype=np.float32)
    distances[:, 0, 0] = boxes[:, 2] / 2 * size_factor
    distances[:, 1, 1] = boxes[:, 3] / 2 * size_factor
    assert distances.shape == (number_of_boxes, 4, 2)

    if np.can_cast(orientations.dtype, distances.dtype):
        distances = rot_points_multi_rads(distances, orientations)
    else:
        # float64 angles (float64 or integer boxes): the in-place rotation
        # would refuse to store float64 into float32, so rotate a float64
        # copy and keep its rounded result.
        distances[...] = rot_points_multi_rads(distances.astype(np.float64), orientations)

    to_bottom = distances[:, 0]
    to_right = distances[:, 1]
    top_left = corners[:, 0]
    bottom_left = corners[:, 1]
    top_right = corners[:, 2]
    bottom_right = corners[:, 3]
    for view in (top_left, bottom_left, top_right, bottom_right):
        assert view.shape == (number_of_boxes, 2)

    left = corners[:, :2]
    right = corners[:, 2:]
    top = corners[:, 0::2]
    bottom = corners[:, 1::2]
    for view in (left, right, top, bottom):
        assert view.shape == (number_of_boxes, 2, 2)

    np.subtract(top, to_bottom[:, np.newaxis], out=top)
    np.add(bottom, to_bottom[:, np.newaxis], out=bottom)
    np.subtract(left, to_right[:, np.newaxis], out=left)
    np.add(right, to_right[:, np.newaxis], out=right)
    return corners, distances


def inverse_edge_vectors(distances: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """-AD/|AD|^2 and -AB/|AB|^2 of every box, as the pair test projects onto them."""
    to_bottom = -distances[:, 0] * 2 / np.linalg.norm(distances[:, 0] * 2, axis=1)[:, None] ** 2
    to_right = -distances[:, 1] * 2 / np.linalg.norm(distances[:, 1] * 2, axis=1)[:, None] ** 2
    return to_bottom, to_right


def intersection_projections(
    corners_a: np.ndarray, distances_a: np.ndarray, corners_b: np.ndarray, distances_b: np.ndarray
) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
    """The four n_a x n_b x 4 projection arrays b_ab, b_ad, a_ef, a_eh."""
    number_of_boxes_a = corners_a.shape[0]
    number_of_boxes_b = corners_b.shape[0]
    assert corners_a.shape == (number_of_boxes_a, 4, 2)
    assert corners_b.shape == (number_of_boxes_b, 4, 2)

    adbc = corners_b[:, 0][np.newaxis, :, np.newaxis] - corners_a[:, np.newaxis]
    ehfg = corners_a[:, 0][:, np.newaxis, np.newaxis] - corners_b[np.newaxis]
    assert adbc.shape == (number_of_boxes_a, number_of_boxes_b, 4, 2)
    assert ehfg.shape == (number_of_boxes_a, number_of_boxes_b, 4, 2)

    assert distances_a.shape == (number_of_boxes_a, 4, 2)
    to_bottom_a, to_right_a = inverse_edge_vectors(distances_a)
    assert to_bottom_a.shape == (number_of_boxes_a, 2)
    assert to_right_a.shape == (number_of_boxes_a, 2)

    assert distances_b.shape == (number_of_boxes_b, 4, 2)
    to_bottom_b, to_right_b = inverse_edge_vectors(distances_b)
    assert to_bottom_b.shape == (number_of_boxes_b, 2)
    assert to_right_b.shape == (number_of_boxes_b, 2)

    b_ab = np.einsum("abft,at->abf", ehfg, to_right_a)
    b_ad = np.einsum("abft,at->abf", ehfg, to_bottom_a)
    a_ef = np.einsum("abft,bt->abf", adbc, to_right_b)
    a_eh = np.einsum("abft,bt->abf", adbc, to_bottom_b)
    for projection in (b_ab, b_ad, a_ef, a_eh):
        assert projection.shape == (number_of_boxes_a, number_of_boxes_b, 4)
    return b_ab, b_ad, a_ef, a_eh


def intersections(
    corners_a: np.ndarray, distances_a: np.ndarray, corners_b: np.ndarray, distances_b: np.ndarray
) -> np.ndarray:
    b_ab, b_ad, a_ef, a_eh = intersection_projections(
        corners_a, distances_a, corners_b, distances_b
    )
    number_of_boxes_a, number_of_boxes_b = b_ab.shape[:2]
    result = np.zeros((number_of_boxes_a, number_of_boxes_b), dtype=bool)
    for i_a in range(number_of_boxes_a):
        for i_b in range(number_of_boxes_b):
            for val in (b_ab[i_a, i_b], b_ad[i_a, i_b], a_ef[i_a, i_b], a_eh[i_a, i_b]):
                if (val < 0).all() or (val > 1).all():
                    break
            else:
                result[i_a, i_b] = 1
    return result


def intersections_vectorised(
    corners_a: np.ndarray, distances_a: np.ndarray, corners_b: np.ndarray, distances_b: np.ndarray
) -> np.ndarray:
    """Same decisions as ``intersections`` without the Python pair loop (for large tests)."""
    separated = np.zeros(corners_a.shape[:1] + corners_b.shape[:1], dtype=bool)
    for val in intersection_projections(corners_a, distances_a, corners_b, distances_b):
        separated |= (val < 0).all(axis=2) | (val > 1).all(axis=2)
    return ~separated


def surrounding_rectangle_from_corners(corners: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    number_of_boxes = len(corners)
    assert corners.shape == (number_of_boxes, 4, 2)
    min_values = np.min(corners, axis=1).astype(np.int32)
    max_values = np.max(corners, axis=1).astype(np.int32)
    assert min_values.shape == (number_of_boxes, 2)
    assert max_values.shape == (number_of_boxes, 2)
    min_x, min_y = min_values.T
    max_x, max_y = max_values.T
    for column in (min_x, min_y, max_x, max_y):
        assert column.shape == (number_of_boxes,)
    return min_values, max_values

"""Numpy formulation of clipping a rotated box at the image border.

Test oracle and benchmark baseline for ``kestril.intersect`` and
``kestril.clipper``; it follows the reference algorithm step by step with the
same numpy operations, so dtypes and roundings are the ones the native code
must reproduce.
"""

from __future__ import annotations

from typing import Any

import numpy as np


def cross_2d(u: Any, v: Any) -> Any:
    """u_x * v_y - u_y * v_x.

    ``np.cross`` rejects 2-vectors since numpy 2; this is the operation order
    (and dtype promotion) of its former two-dimensional branch.
    """
    u = np.asarray(u)
    v = np.asarray(v)
    dtype = np.promote_types(u.dtype, v.dtype)
    u = u.astype(dtype)
    v = v.astype(dtype)
    product = np.multiply(u[..., 0], v[..., 1])
    product -= u[..., 1] * v[..., 0]
    return product


def coordinate_transformation(spanning_points: np.ndarray) -> tuple[Any, Any]:
    number_of_spanning_points = spanning_points.shape[0]
    dimensionality = spanning_points.shape[1]
    assert spanning_points.shape == (number_of_spanning_points, dimensionality)
    assert dimensionality + 1 == number_of_spanning_points
    assert dimensionality == 2, (
        "The dimensionality of the points has to be two, otherwise slightly adapt and test."
    )
    new_origin = spanning_points[1]
    assert new_origin.shape == (dimensionality,)
    base_system = (spanning_points[[0, 2]] - new_origin).T
    assert base_system.shape == (dimensionality, dimensionality)
    coordinate_transform_matrix = np.linalg.pinv(base_system)
    assert coordinate_transform_matrix.shape == (dimensionality, dimensionality)
    return (
        lambda a: coordinate_transform_matrix.dot((a - new_origin).T).T,
        lambda a: base_system.dot(a.T).T + new_origin,
    )


def intersect(a1: Any, a2: Any, b1: Any, b2: Any) -> np.ndarray | None:
    a2 = a2 - a1
    b2 = b2 - b1
    nominator = cross_2d(b1 - a1, b2)
    denominator = cross_2d(a2, b2)
    assert denominator != 0
    lambda_a = nominator / denominator
    lambda_b = cross_2d(b1 - a1, a2) / denominator

    def distance_from_unit_interval(value: Any) -> Any:
        if value <= 0:
            return -value
        if value >= 1:
            return value - 1
        return 0

    badness = float(max(map(distance_from_unit_interval, (lambda_a, lambda_b))))
    if badness < 1e-11:
        clamped = 1.0 if 1.0 < lambda_b else lambda_b
        clamped = 0.0 if 0.0 > clamped else clamped
        return b1 + clamped * b2
    return None


def clipper(
    box_corners: np.ndarray, image_size: Any, visualize: bool = False
) -> tuple[np.ndarray | None, np.ndarray | None]:
    image_size = np.array(image_size) - 1
    img_corners = np.array([[0, 0], [image_size[0], 0], image_size, [0, image_size[1]]])
    box_corners_tlbr = [(*(bc < 0), *(bc > image_size)) for bc in box_corners]

    interesting = list(img_corners)
    interesting.extend(
        box_corners[k] for k in range(len(box_corners)) if not any(box_corners_tlbr[k])
    )
    for i in range(len(box_corners)):
        for j in range(4):
            if box_corners_tlbr[i][j] != box_corners_tlbr[i - 1][j]:
                pi = intersect(
                    box_corners[i - 1], box_corners[i], img_corners[j - 1], img_corners[j]
                )
                if pi is not None:
                    interesting.append(pi)

    encode, decode = coordinate_transformation(box_corners[:3])
    encoded = [
        row
        for k, row in enumerate(encode(interesting))
        if k >= len(img_corners) or (np.all(-1e-12 <= row) and np.all(row <= 1.000000000001))
    ]
    if len(encoded) == 0:
        return None, None
    encoded = np.array(encoded)
    min_x, min_y = np.min(encoded, axis=0)
    max_x, max_y = np.max(encoded, axis=0)
    new_box_corners = np.array([[min_x, min_y], [min_x, max_y], [max_x, max_y], [max_x, min_y]])
    return decode(new_box_corners), np.array(interesting[len(img_corners):])

"""Numpy formulation of the box conversions, the keypoint regrouping and the
parallelogram-to-box reconstruction of ``kestril``.

Test oracle and benchmark baseline: every function follows the reference
algorithm step by step with the same numpy operations (so dtypes, roundings
and in-place writes are the ones the native code must reproduce), including
its assertions.  The rotation and angle primitives are local copies; functions
that call them take them as keyword parameters so that a test can hand in
other implementations.
"""

from __future__ import annotations

import enum
from typing import Any, Callable

import numpy as np


# The conversions call the rotation primitives by name.
from .rotations import get_angles_from_points, rot_points_multi_rads  # noqa: E402,F401


def reshaped_in_place(array: np.ndarray, shape: tuple[int, ...]) -> np.ndarray:
    """``array.shape = shape`` without numpy 2.5's deprecation warning for it.

    A view that never copies: the buffer stays the one that later in-place
    steps write into.
    """
    return array.reshape(shape, copy=False)


# Box formats and conversions.


def orva_to_box_corners(
    orva_boxes: np.ndarray, *, rot_points_multi_rads: Callable[..., Any] = rot_points_multi_rads
) -> np.ndarray:
    number_of_boxes = orva_boxes.shape[0]
    number_of_orva_box_coordinates = orva_boxes.shape[1]
    assert orva_boxes.shape == (number_of_boxes, number_of_orva_box_coordinates)
    assert number_of_orva_box_coordinates == 5, (
        "Boxes in ORVA format must consist of exactly five points: "
        "(center_x, center_y, width, height, rotation)."
    )
    center = orva_boxes[:, :2]
    sizes = orva_boxes[:, 2:4] / 2
    rotations = orva_boxes[:, 4]
    assert center.shape == (number_of_boxes, 2)
    assert sizes.shape == (number_of_boxes, 2)
    assert rotations.shape == (number_of_boxes,)
    box = (
        np.array(
            [
                sizes * np.array([-1, -1]),
                sizes * np.array([-1, 1]),
                sizes * np.array([1, 1]),
                sizes * np.array([1, -1]),
            ]
        )
        .reshape(4, number_of_boxes, 2)
        .swapaxes(0, 1)
    )
    assert box.shape == (number_of_boxes, 4, 2)
    result = rot_points_multi_rads(points=box, rotation_rads=rotations * -1)
    assert np.all(result == box)
    np.add(box, center[:, np.newaxis], out=box)
    assert box.shape == (number_of_boxes, 4, 2)
    return box


def box_corners_to_orva(
    box_corners: np.ndarray,
    rotations: np.ndarray,
    *,
    rot_points_multi_rads: Callable[..., Any] = rot_points_multi_rads,
) -> np.ndarray:
    number_of_boxes = box_corners.shape[0]
    number_of_box_corners = box_corners.shape[1]
    state_dimensionality = box_corners.shape[2]
    assert box_corners.shape == (number_of_boxes, number_of_box_corners, state_dimensionality)
    assert rotations.shape == (number_of_boxes,)
    assert number_of_box_corners == 4
    assert state_dimensionality == 2
    centers = box_corners.mean(axis=1)[:, np.newaxis]
    assert centers.shape == (number_of_boxes, 1, state_dimensionality)
    rotated_box_corners = rot_points_multi_rads(points=box_corners - centers, rotation_rads=-rotations)
    assert rotated_box_corners.shape == (number_of_boxes, 4, 2)
    widths, heights = np.abs(rotated_box_corners[:, 1, :] - rotated_box_corners[:, 3, :]).T
    boxes_orva = (
        np.array([centers[:, 0, 0], centers[:, 0, 1], widths, heights, rotations / -1])
        .reshape(5, number_of_boxes)
        .swapaxes(1, 0)
    )
    assert boxes_orva.shape == (number_of_boxes, 5)
    return boxes_orva


def orva_to_keypoints(
    orva_boxes: np.ndarray, *, rot_points_multi_rads: Callable[..., Any] = rot_points_multi_rads
) -> np.ndarray:
    number_of_boxes = orva_boxes.shape[0]
    assert orva_boxes.shape == (number_of_boxes, 5)
    centers = orva_boxes[:, :2]
    distances = orva_boxes[:, 2:4] / 2
    rotations = (orva_boxes[:, 4] * -1 + np.pi) % (2 * np.pi) - np.pi
    assert centers.shape == (number_of_boxes, 2)
    assert distances.shape == (number_of_boxes, 2)
    assert rotations.shape == (number_of_boxes,)
    distance_difference = (
        np.array([distances * np.array([0, 1]), distances * np.array([1, 0])])
        .reshape(2, number_of_boxes, 2)
        .swapaxes(0, 1)
    )
    assert distance_difference.shape == (number_of_boxes, 2, 2)
    __tmp = rot_points_multi_rads(points=distance_difference, rotation_rads=rotations)
    assert np.all(__tmp == distance_difference), (
        "Rotations are supposed to happen inplace, __tmp is therefore just a view to distance_difference."
    )
    assert distance_difference.shape == (number_of_boxes, 2, 2)
    top = centers - distance_difference[:, 0]
    right = centers + distance_difference[:, 1]
    assert top.shape == (number_of_boxes, 2)
    assert right.shape == (number_of_boxes, 2)
    assert centers.shape == (number_of_boxes, 2)
    assert rotations.shape == (number_of_boxes,)
    keypoints = np.hstack((centers, top, right))
    keypoints = reshaped_in_place(keypoints, (number_of_boxes * 3, 2))
    return keypoints


def keypoints_to_orva(
    keypoints: np.ndarray, *, get_angles_from_points: Callable[..., Any] = get_angles_from_points
) -> np.ndarray:
    number_of_parallelograms, number_of_keypoints, dimensionality = keypoints.shape
    assert number_of_keypoints == 3
    assert dimensionality == 2
    boxes_orva = np.empty((number_of_parallelograms, 5), dtype=np.float32)
    boxes_orva[:, :2] = keypoints[:, 0]
    np.subtract(keypoints[:, 1:3], keypoints[:, :1], out=keypoints[:, 1:3])
    boxes_orva[:, 3:1:-1] = np.linalg.norm(keypoints[:, 1:3], axis=2) * 2
    boxes_orva[:, 4] = -(get_angles_from_points(keypoints[:, 1]) + np.pi / 2)
    return boxes_orva


def keypoints_to_box_corners(
    keypoints: np.ndarray,
    *,
    get_corner_points_from_box_tuples: Callable[..., Any] | None = None,
) -> np.ndarray:
    if get_corner_points_from_box_tuples is None:
        get_corner_points_from_box_tuples = globals()["get_corner_points_from_box_tuples"]
    number_of_parallelograms, number_of_keypoints, dimensionality = keypoints.shape
    assert number_of_keypoints == 3
    assert dimensionality == 2
    parallelogram_center = keypoints[:, 0][:, True]
    assert parallelogram_center.shape == (number_of_parallelograms, 1, dimensionality)
    parallelogram_tuple = keypoints[:, 1:3] - parallelogram_center
    assert parallelogram_tuple.shape == (number_of_parallelograms, 2, dimensionality)
    box_corners = get_corner_points_from_box_tuples(parallelogram_tuple)
    assert box_corners.shape == (number_of_parallelograms, 4, dimensionality)
    return box_corners + parallelogram_center


def get_corner_points_from_box_tuples(box_tuples: np.ndarray) -> np.ndarray:
    number_of_boxes = box_tuples.shape[0]
    number_of_support_points = box_tuples.shape[1]
    state_dimension = box_tuples.shape[2]
    assert box_tuples.shape == (number_of_boxes, number_of_support_points, state_dimension)
    assert number_of_support_points == 2
    assert state_dimension == 2
    top = box_tuples[:, 0]
    right = box_tuples[:, 1]
    assert top.shape == (number_of_boxes, state_dimension)
    assert right.shape == (number_of_boxes, state_dimension)
    return (
        np.array([top - right, top + right, right - top, -right - top])
        .swapaxes(0, 1)
        .reshape(number_of_boxes, 4, state_dimension)
    )


def keypoints_trivial_lookup(number_of_keypoints: int) -> tuple[np.ndarray, np.ndarray]:
    assert number_of_keypoints % 3 == 0
    number_of_boxes = int(number_of_keypoints / 3)
    instance_lookup = np.repeat(np.arange(0, number_of_boxes), 3).astype(str)
    assert instance_lookup.shape == (number_of_boxes * 3,)
    position_lookup = np.repeat(
        np.array(["center", "top", "right"])[np.newaxis], number_of_boxes, axis=0
    ).flatten()
    assert position_lookup.shape == (number_of_boxes * 3,)
    return instance_lookup, position_lookup


# Keypoint regrouping.  The per-instance search over all keypoints is the
# reference algorithm's own (quadratic) one.


def assemble_keypoints_after_shuffle(
    keypoints: list[Any], instances: list[Any], positions: list[Any], **kwargs: np.ndarray
) -> tuple[np.ndarray, ...]:
    number_of_position_measurements = len(instances)
    instance_array = np.array(instances)
    assert instance_array.shape == (number_of_position_measurements,)
    arr_keypoints = np.array(keypoints).reshape(number_of_position_measurements, 2)
    keypoint_dimensionality = arr_keypoints.shape[1]
    assert arr_keypoints.shape == (number_of_position_measurements, keypoint_dimensionality)
    arr_positions = np.array(positions, dtype="object")
    assert arr_positions.shape == (number_of_position_measurements,)
    unique_instances = np.unique(instance_array)
    number_of_unique_instances = unique_instances.shape[0]
    assert number_of_unique_instances == float(number_of_position_measurements / 3)
    sorted_keypoints = np.empty((number_of_unique_instances, 3, keypoint_dimensionality))
    sorted_kwarg_arrays = {
        key: np.empty((number_of_unique_instances, *value.shape[1:])) for key, value in kwargs.items()
    }
    to_original_index = np.empty(number_of_unique_instances)
    for value in kwargs.values():
        assert value.shape[0] == number_of_unique_instances
    for i, uiid in enumerate(unique_instances):
        position_map = {
            arr_positions[index]: index for index in np.where(instance_array == str(uiid))[0]
        }
        sorted_keypoints[i] = [
            arr_keypoints[position_map[position]] for position in ("center", "top", "right")
        ]
        for key, values in kwargs.items():
            sorted_kwarg_arrays[key][i] = values[int(uiid)]
        to_original_index[i] = int(uiid)
    return (sorted_keypoints, to_original_index, *sorted_kwarg_arrays.values())


# Parallelogram-to-box reconstruction.


class BoxReconstruction(enum.Enum):
    MIN = 0
    AVG = 1
    MAX = 2


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


def parallelogram_to_box(
    parallelogram_flat: np.ndarray, longer_axis_index: np.ndarray, box_reconstruction_mode: Any
) -> np.ndarray:
    number_of_points = parallelogram_flat.shape[0]
    dimensionality = parallelogram_flat.shape[1]
    assert parallelogram_flat.shape == (number_of_points, dimensionality)
    assert dimensionality == 2, (
        "This method of transforming parallelograms to boxes only supports two-dimensional state-spaces."
    )
    assert number_of_points % 2 == 0, (
        "the flat parallelogram points have to contain two points per parallelogram."
    )
    number_of_parallelograms = longer_axis_index.shape[0]
    assert longer_axis_index.shape == (number_of_parallelograms,)
    assert 2 * number_of_parallelograms == number_of_points
    other_point_index = (longer_axis_index + 1) % 2 + np.arange(longer_axis_index.shape[0]) * 2
    assert other_point_index.shape == (number_of_parallelograms,)
    if box_reconstruction_mode == BoxReconstruction.MAX:
        parallelogram_flat[longer_axis_index, 0] += np.abs(parallelogram_flat[other_point_index, 0])
    elif box_reconstruction_mode == BoxReconstruction.AVG:
        pass
    elif box_reconstruction_mode == BoxReconstruction.MIN:
        parallelogram_flat[longer_axis_index, 0] -= np.abs(parallelogram_flat[other_point_index, 0])
    parallelogram_flat[other_point_index, 0] = 0
    assert (np.abs(parallelogram_flat[longer_axis_index, 1]) < 1e-5).all()
    return parallelogram_flat


def get_box_and_rotation_from_parallelogram_keypoints(
    parallelogram_keypoints: np.ndarray,
    *,
    box_reconstruction_mode: Any = BoxReconstruction.MAX,
    visualize: bool = False,
    rot_points_multi_rads: Callable[..., Any] = rot_points_multi_rads,
    get_angles_from_points: Callable[..., Any] = get_angles_from_points,
    parallelogram_to_box: Callable[..., Any] = parallelogram_to_box,
    get_corner_points_from_box_tuples: Callable[..., Any] = get_corner_points_from_box_tuples,
) -> tuple[np.ndarray, np.ndarray]:
    parallelogram_keypoints = parallelogram_keypoints.astype(np.float64, copy=False)
    number_of_parallelograms, number_of_keypoints, dimensionality = parallelogram_keypoints.shape
    assert dimensionality == 2, "This function is only designed to work for two-dimensional boxes"
    assert number_of_keypoints == 3, (
        "For two dimensional boxes we need exactly three keypoints to represent a parallelogram"
    )
    parallelogram_center = np.expand_dims(parallelogram_keypoints[:, 0, :], 1)
    assert parallelogram_center.shape == (number_of_parallelograms, 1, dimensionality)
    parallelogram_tuple = parallelogram_keypoints[:, 1:3].copy()
    assert parallelogram_tuple.shape == (number_of_parallelograms, 2, dimensionality)
    np.subtract(parallelogram_tuple, parallelogram_center, out=parallelogram_tuple)
    longer_axis_flat = np.argmax(np.linalg.norm(parallelogram_tuple, axis=2), 1)
    assert longer_axis_flat.shape == (number_of_parallelograms,)
    np.add(longer_axis_flat, np.arange(number_of_parallelograms) * 2, out=longer_axis_flat)
    assert longer_axis_flat.shape == (number_of_parallelograms,)
    # The one buffer is seen as n x 2 x 2 and as (2n) x 2; the reference
    # switches between the two by assigning `.shape`, these are views of it.
    parallelogram_tuple = reshaped_in_place(parallelogram_tuple, (number_of_parallelograms * 2, dimensionality))
    parallelogram_tuple_flat = parallelogram_tuple.reshape((number_of_parallelograms * 2, dimensionality))
    assert parallelogram_tuple_flat.shape == (number_of_parallelograms * 2, dimensionality)
    angle_parallelogram_x = get_angles_from_points(parallelogram_tuple_flat[longer_axis_flat])
    assert angle_parallelogram_x.shape == (number_of_parallelograms,)
    parallelogram_tuple = reshaped_in_place(parallelogram_tuple, (number_of_parallelograms, 2, dimensionality))
    result = rot_points_multi_rads(points=parallelogram_tuple, rotation_rads=-angle_parallelogram_x)
    assert np.all(result == parallelogram_tuple)
    parallelogram_tuple = reshaped_in_place(parallelogram_tuple, (number_of_parallelograms * 2, dimensionality))
    result = parallelogram_to_box(
        parallelogram_tuple, longer_axis_flat, box_reconstruction_mode=box_reconstruction_mode
    )
    parallelogram_tuple = reshaped_in_place(parallelogram_tuple, (number_of_parallelograms, 2, dimensionality))
    result = reshaped_in_place(result, parallelogram_tuple.shape)
    assert np.all(result == parallelogram_tuple)
    assert np.all(result.flatten() == parallelogram_tuple.flatten())
    result = rot_points_multi_rads(points=parallelogram_tuple, rotation_rads=angle_parallelogram_x)
    assert np.all(result == parallelogram_tuple)
    assert parallelogram_tuple.shape == (number_of_parallelograms, 2, dimensionality)
    box_corners = get_corner_points_from_box_tuples(parallelogram_tuple)
    assert box_corners.shape == (number_of_parallelograms, 4, dimensionality)
    np.add(box_corners, parallelogram_center, out=box_corners)
    rotations = get_angles_from_points(parallelogram_tuple[:, 0]) + np.pi / 2
    assert rotations.shape == (number_of_parallelograms,)
    return box_corners, rotations

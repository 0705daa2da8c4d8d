"""Contains keypoint utilities."""

from collections.abc import Callable
from enum import Enum
from typing import Any

import numpy as np

# Rotations

def get_rotation_matrix_2d(
    *, angle_in_deg: float | None = None, angle_in_rad: float | None = None
) -> np.ndarray[Any, Any]: ...
def get_angles_from_points(points: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]: ...
def rot_points_multi_rads(
    points: np.ndarray[Any, Any], rotation_rads: np.ndarray[Any, Any]
) -> np.ndarray[Any, Any]: ...
def rot_mats_multi_rads(
    matrices: np.ndarray[Any, Any], rotation_rads: np.ndarray[Any, Any]
) -> np.ndarray[Any, Any]: ...

# Box formats and lookups

def orva_to_box_corners(orva_boxes: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]: ...
def box_corners_to_orva(
    box_corners: np.ndarray[Any, Any], rotations: np.ndarray[Any, Any]
) -> np.ndarray[Any, Any]: ...
def orva_to_keypoints(orva_boxes: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]: ...
def keypoints_to_orva(keypoints: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]: ...
def keypoints_to_box_corners(keypoints: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]: ...
def get_corner_points_from_box_tuples(box_tuples: np.ndarray[Any, Any]) -> np.ndarray[Any, Any]: ...
def keypoints_trivial_lookup(
    number_of_keypoints: int,
) -> tuple[np.ndarray[Any, Any], np.ndarray[Any, Any]]: ...

# Keypoint regrouping

def assemble_keypoints_after_shuffle(
    keypoints: list[np.ndarray[Any, Any]],
    instances: list[np.ndarray[Any, Any]],
    positions: list[np.ndarray[Any, Any]],
    **kwargs: np.ndarray[Any, Any],
) -> tuple[np.ndarray[Any, Any], ...]: ...

# Parallelogram-to-box reconstruction

class BoxReconstruction(Enum):
    MIN = 0
    AVG = 1
    MAX = 2

def coordinate_transformation(
    spanning_points: np.ndarray[Any, Any],
) -> tuple[
    Callable[[np.ndarray[Any, Any] | list[np.ndarray[Any, Any]]], np.ndarray[Any, Any]],
    Callable[[np.ndarray[Any, Any]], np.ndarray[Any, Any]],
]: ...
def parallelogram_to_box(
    parallelogram_flat: np.ndarray[Any, Any],
    longer_axis_index: np.ndarray[Any, Any],
    box_reconstruction_mode: BoxReconstruction,
) -> np.ndarray[Any, Any]: ...
def get_box_and_rotation_from_parallelogram_keypoints(
    parallelogram_keypoints: np.ndarray[Any, Any],
    *,
    box_reconstruction_mode: BoxReconstruction = BoxReconstruction.MAX,
    visualize: bool = False,
) -> tuple[np.ndarray[Any, Any], np.ndarray[Any, Any]]: ...

# Clipping at the image border

def intersect(a1: Any, a2: Any, b1: Any, b2: Any) -> np.ndarray[Any, Any] | None: ...
def clipper(
    box_corners: np.ndarray[Any, Any], image_size: np.ndarray[Any, Any], visualize: bool = False
) -> tuple[np.ndarray[Any, Any] | None, np.ndarray[Any, Any] | None]: ...

# Intersections and inference boxes

def inference_boxes_to_corners(
    boxes: np.ndarray[Any, Any], size_factor: float = 1.0
) -> tuple[np.ndarray[Any, Any], np.ndarray[Any, Any]]: ...
def intersections(
    corners_a: np.ndarray[Any, Any],
    distances_a: np.ndarray[Any, Any],
    corners_b: np.ndarray[Any, Any],
    distances_b: np.ndarray[Any, Any],
) -> np.ndarray[Any, Any]: ...
def surrounding_rectangle_from_corners(
    corners: np.ndarray[Any, Any],
) -> tuple[np.ndarray[Any, Any], np.ndarray[Any, Any]]: ...

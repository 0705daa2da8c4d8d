"""The rotation primitives written with numpy, step by step: test oracle and benchmark baseline."""

import numpy as np

from . import trig


def get_rotation_matrix_2d(*, angle_in_deg=None, angle_in_rad=None):
    if (angle_in_deg is None) == (angle_in_rad is None):
        raise ValueError(f"Pass angle either in degrees ({angle_in_deg}) in radians ({angle_in_rad}).")
    if angle_in_deg is not None:
        angle_in_rad = float(angle_in_deg / 180.0) * np.pi
    return np.array(
        [[trig.cos(angle_in_rad), -1.0 * trig.sin(angle_in_rad)], [trig.sin(angle_in_rad), trig.cos(angle_in_rad)]]
    )


def get_angles_from_points(points):
    number_of_points = points.shape[0]
    point_dimensionality = points.shape[1]
    assert points.shape == (number_of_points, point_dimensionality)
    assert point_dimensionality == 2, "Can only get angles from two-dimensional points. "
    angles = trig.arctan2(*points[:, ::-1].T)
    assert angles.shape == (number_of_points,)
    return angles


def _rotation_stack(rotation_rads, number_of_rotations):
    cr = trig.cos(rotation_rads)
    sr = trig.sin(rotation_rads)
    return np.array([[cr, -sr], [sr, cr]]).reshape(2, 2, number_of_rotations)


def rot_points_multi_rads(points, rotation_rads):
    number_of_rotations = points.shape[0]
    per_rotation = points.shape[1]
    state_dimensionality = points.shape[2]
    assert points.shape == (number_of_rotations, per_rotation, state_dimensionality)
    assert rotation_rads.shape == (number_of_rotations,)
    rotation_matrix = _rotation_stack(rotation_rads, number_of_rotations)
    assert rotation_matrix.shape == (state_dimensionality, state_dimensionality, number_of_rotations)
    np.einsum("rcR,Rxc->Rxr", rotation_matrix, points, out=points)
    assert points.shape == (number_of_rotations, per_rotation, state_dimensionality)
    return points


def rot_mats_multi_rads(matrices, rotation_rads):
    number_of_rotations = matrices.shape[0]
    state_dimensionality = matrices.shape[1]
    assert matrices.shape == (number_of_rotations, state_dimensionality, state_dimensionality)
    assert rotation_rads.shape == (number_of_rotations,)
    rotation_matrix = _rotation_stack(rotation_rads, number_of_rotations)
    assert rotation_matrix.shape == (state_dimensionality, state_dimensionality, number_of_rotations)
    np.einsum("tTR,RTS,sSR->Rts", rotation_matrix, matrices, rotation_matrix, out=matrices)
    assert matrices.shape == (number_of_rotations, state_dimensionality, state_dimensionality)
    return matrices

"""Rotate the corners of a few boxes about their centres and print them."""

import numpy as np

from halvex.preprocessing import kestril

# Three boxes as corner offsets from their centres, (R, 4, 2), x first.
half_sizes = np.array([[2.0, 1.0], [5.0, 5.0], [3.0, 0.5]])
signs = np.array([[-1, -1], [-1, 1], [1, 1], [1, -1]])
corners = half_sizes[:, None, :] * signs[None, :, :]
angles = np.deg2rad([0.0, 45.0, 90.0])

print("rotation matrix for 30 degrees:")
print(kestril.get_rotation_matrix_2d(angle_in_deg=30.0))

rotated = kestril.rot_points_multi_rads(corners.copy(), angles)
for angle, before, after in zip(np.rad2deg(angles), corners, rotated):
    print(f"\nbox rotated by {angle:.0f} degrees")
    for (x0, y0), (x1, y1) in zip(before, after):
        print(f"  ({x0:6.2f}, {y0:6.2f}) -> ({x1:6.2f}, {y1:6.2f})")

print("\nangles of the rotated first corners:", kestril.get_angles_from_points(rotated[:, 0]))

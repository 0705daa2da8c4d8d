"""Comparing results that went through sin, cos or arctan2.

Those functions are correct to a few ulp, not to the bit, and which few
depends on the machine: numpy takes SIMD code of its own on CPUs with AVX-512
and the C library elsewhere, and halvex's kernels take the C library.  So a
comparison allows a few ulp of the *scale* of what entered a value (a rotated
point carries the rounding of its length, however small its coordinates come
out) times how much the computation magnifies an error there.  Each test says
which scale and which magnification; everything without trigonometry stays
compared bit for bit.

`HALVEX_PERTURB_TRIG=<seed>` moves the trigonometry of the numpy formulation
by up to four ulp (tests/numpy_formulation/trig.py), so that any machine shows
what these comparisons meet on another.
"""

import numpy as np

# How many ulp of its scale a value may move through the trigonometry.  Two
# libraries' sin, cos and atan2 differ by up to 4 ulp; a rotated coordinate
# sums two such terms (x cos - y sin), each at most sqrt(2) of the scale, and
# a size or a corner often differences two rotated coordinates: 4 * 2 * 2 *
# sqrt(2), about 23, and the roundings of the arithmetic around it.
TRIG_ULPS = 32


def eps(*dtypes):
    """The largest machine epsilon among the floating dtypes given (float64 for the others)."""
    floats = [np.dtype(d) for d in dtypes if d is not None and np.dtype(d).kind == "f"]
    return max((np.finfo(d).eps for d in floats), default=np.finfo(np.float64).eps)


def norms(values, axes=1):
    """The Euclidean norm over the last `axes` axes, kept for broadcasting."""
    magnitudes = np.abs(np.asarray(values, dtype=np.float64))
    axis = tuple(range(-axes, 0))
    # scaled by the largest magnitude, so that tiny values do not square to zero
    largest = magnitudes.max(axis=axis, keepdims=True, initial=0.0)
    unit = np.where((largest > 0) & np.isfinite(largest), largest, 1.0)
    return largest * np.sqrt(np.sum((magnitudes / unit) ** 2, axis=axis, keepdims=True))


def row_scale(values):
    """The largest magnitude in each row (first axis), shaped to broadcast against the row."""
    values = np.abs(np.asarray(values, dtype=np.float64))
    if values.ndim == 1:
        return values
    flat = values.reshape(values.shape[0], int(np.prod(values.shape[1:])))
    finite = np.where(np.isfinite(flat), flat, 0.0)
    return finite.max(axis=1, initial=0.0).reshape((-1,) + (1,) * (values.ndim - 1))


def wrapped(angles):
    """Angles moved into [-pi, pi): the trigonometry may put an angle on either side of the cut."""
    return (np.asarray(angles, dtype=np.float64) + np.pi) % (2 * np.pi) - np.pi


def assert_close(actual, expected, tolerance, *, angles=False):
    """Same dtype and shape; finite values within `tolerance` (broadcast), the others equal.

    `angles`: compare differences modulo a full turn.
    """
    assert actual.dtype == expected.dtype and actual.shape == expected.shape, (actual.dtype, actual.shape,
                                                                              expected.dtype, expected.shape)
    ours = np.asarray(actual, dtype=np.float64)
    theirs = np.asarray(expected, dtype=np.float64)
    finite = np.isfinite(theirs)
    np.testing.assert_array_equal(ours[~finite], theirs[~finite])
    difference = ours - theirs
    if angles:
        difference = wrapped(difference)
    bound = np.broadcast_to(np.asarray(tolerance, dtype=np.float64), theirs.shape)
    outside = finite & ~(np.abs(difference) <= bound)
    if outside.any():
        where = np.argwhere(outside)
        worst = tuple(where[np.argmax((np.abs(difference) / np.maximum(bound, 1e-300))[outside])])
        raise AssertionError(
            f"{outside.sum()} of {outside.size} values outside their tolerance; the worst at {worst}: "
            f"{ours[worst]!r} against {theirs[worst]!r}, difference {difference[worst]:.3g}, "
            f"tolerance {bound[worst]:.3g}"
        )

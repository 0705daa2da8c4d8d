"""The formulation's sin, cos and arctan2: numpy's own, or numpy's moved by a few ulp.

numpy computes sin, cos and arctan2 with SIMD code of its own on CPUs with
AVX-512 and with the C library elsewhere; the two differ by a few ulp, and so
do halvex's native kernels and numpy on some machine or other.  With
HALVEX_PERTURB_TRIG=<seed> every result here is moved by a seeded random
number of ulp (at most MAX_ULP either way), so that any machine shows what
the comparisons meet on another.  Without it these are numpy's functions
themselves, at no cost to the benchmarks that use this formulation.
"""

import os

import numpy as np

MAX_ULP = 4
SEED = os.environ.get("HALVEX_PERTURB_TRIG")


def _perturbing(function, generator):
    def perturbed(*args, **kwargs):
        result = function(*args, **kwargs)
        values = np.asarray(result)
        if values.dtype.kind != "f" or values.size == 0:
            return result
        moved = values.copy()
        steps = generator.integers(-MAX_ULP, MAX_ULP + 1, size=values.shape)
        # Zeros and infinities are exact in every library (sin 0, atan2(0, x)).
        steps[(values == 0) | ~np.isfinite(values)] = 0
        for step in range(1, MAX_ULP + 1):
            up, down = steps >= step, steps <= -step
            moved[up] = np.nextafter(moved[up], values.dtype.type(np.inf))
            moved[down] = np.nextafter(moved[down], values.dtype.type(-np.inf))
        return moved[()] if np.ndim(result) == 0 else moved

    perturbed.__name__ = function.__name__
    return perturbed


if SEED:
    _generator = np.random.default_rng(int(SEED))
    sin, cos, arctan2 = (_perturbing(f, _generator) for f in (np.sin, np.cos, np.arctan2))
else:
    sin, cos, arctan2 = np.sin, np.cos, np.arctan2

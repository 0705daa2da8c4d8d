"""Speed of halvex against the numpy formulation of the same algorithms.

Prints ratios (numpy time / halvex time) measured in this one run; higher is
better.  Absolute times are shown for context only.
"""

import pathlib
import sys
import timeit

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))

from halvex.preprocessing import kestril  # noqa: E402
from numpy_formulation import rotations as reference  # noqa: E402

rng = np.random.default_rng(0)


def best_time(function, setup, budget=0.5):
    """Best per-call time of function(*setup()) with fresh inputs each call."""
    arguments = setup()
    timer = timeit.Timer(lambda: function(*arguments))
    calls, elapsed = timer.autorange()
    repeats = max(3, min(20, int(budget / max(elapsed, 1e-9))))
    return min(timer.repeat(repeat=repeats, number=calls)) / calls


def row(name, size, ours, theirs, setup):
    halvex_time = best_time(ours, setup)
    numpy_time = best_time(theirs, setup)
    print(f"| {name:<24} | {size:>9} | {numpy_time * 1e6:>12.2f} | {halvex_time * 1e6:>12.2f} | {numpy_time / halvex_time:>7.1f}x |")


def main():
    print("| function                 |      size |   numpy (us) |  halvex (us) |   ratio |")
    print("|--------------------------|-----------|--------------|--------------|---------|")
    for rotations in (1, 100, 10_000, 1_000_000):
        points = rng.normal(size=(rotations, 4, 2))
        angles = rng.normal(size=rotations)
        # Rotating in place repeatedly keeps the values finite and the work identical.
        row("rot_points_multi_rads", f"R={rotations}", kestril.rot_points_multi_rads,
            reference.rot_points_multi_rads, lambda p=points, a=angles: (p.copy(), a))
    for rotations in (1, 10_000, 1_000_000):
        matrices = rng.normal(size=(rotations, 2, 2))
        angles = rng.normal(size=rotations)
        row("rot_mats_multi_rads", f"R={rotations}", kestril.rot_mats_multi_rads,
            reference.rot_mats_multi_rads, lambda m=matrices, a=angles: (m.copy(), a))
    for count in (1, 10_000, 1_000_000):
        points = rng.normal(size=(count, 2))
        row("get_angles_from_points", f"n={count}", kestril.get_angles_from_points,
            reference.get_angles_from_points, lambda p=points: (p,))


if __name__ == "__main__":
    main()

"""Speed of halvex against the numpy formulation of the same algorithms.

Prints ratios (baseline time / halvex time) measured in this one run; higher is
better.  The baseline is the numpy formulation unless the row names a peer
("vs shapely ...").  Absolute times are shown for context only.
"""

import pathlib
import sys
import timeit

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "tests"))

from halvex.preprocessing import kestril  # noqa: E402
from numpy_formulation import clipping as clipping_reference  # noqa: E402
from numpy_formulation import intersections as intersections_reference  # noqa: E402
from numpy_formulation import rotations as reference  # noqa: E402

rng = np.random.default_rng(0)


def best_time(function, setup, budget=0.5):
    """Best per-call time of function(*setup()) with fresh inputs each call."""
    arguments = setup()
    timer = timeit.Timer(lambda: function(*arguments))
    calls, elapsed = timer.autorange()
    repeats = max(3, min(20, int(budget / max(elapsed, 1e-9))))
    return min(timer.repeat(repeat=repeats, number=calls)) / calls


def row(name, size, ours, theirs, setup, budget=0.5):
    halvex_time = best_time(ours, setup, budget)
    numpy_time = best_time(theirs, setup, budget)
    print(f"| {name:<24} | {size:>9} | {numpy_time * 1e6:>12.2f} | {halvex_time * 1e6:>12.2f} | {numpy_time / halvex_time:>7.1f}x |")


def random_inference_boxes(count, field=1000.0):
    return np.column_stack(
        [rng.uniform(0, field, count), rng.uniform(0, field, count), rng.uniform(5, 80, count),
         rng.uniform(5, 80, count), rng.uniform(-np.pi, np.pi, count)]
    ).astype(np.float32)


def intersection_rows():
    try:
        import shapely
    except ImportError:
        shapely = None
    for count in (100, 1000):
        a = kestril.inference_boxes_to_corners(random_inference_boxes(count))
        b = kestril.inference_boxes_to_corners(random_inference_boxes(count))
        row("intersections", f"{count}x{count}", kestril.intersections, intersections_reference.intersections,
            lambda: (*a, *b), budget=0.1)
        if shapely is not None:
            polygons_a = shapely.polygons(a[0][:, [0, 2, 3, 1]].astype(np.float64))
            polygons_b = shapely.polygons(b[0][:, [0, 2, 3, 1]].astype(np.float64))
            peer = lambda: shapely.intersects(polygons_a[:, None], polygons_b[None, :])  # noqa: E731
            row("  vs shapely intersects", f"{count}x{count}", kestril.intersections, lambda *_: peer(),
                lambda: (*a, *b))


def clipper_rows():
    boxes = []
    for _ in range(200):
        center = rng.uniform(-30, 130, size=2)
        half = rng.uniform(5, 60, size=2)
        angle = rng.uniform(-np.pi, np.pi)
        rotation = np.array([[np.cos(angle), -np.sin(angle)], [np.sin(angle), np.cos(angle)]])
        boxes.append(center + (np.array([[-1, -1], [-1, 1], [1, 1], [1, -1]]) * half) @ rotation.T)

    def clip_all(clip):
        for box in boxes:
            clip(box, (100, 80))

    row("clipper (per 200 boxes)", "200", lambda: clip_all(kestril.clipper),
        lambda: clip_all(clipping_reference.clipper), lambda: ())


def main():
    print("| function                 |      size |baseline (us)|  halvex (us) |   ratio |")
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
    intersection_rows()
    clipper_rows()


if __name__ == "__main__":
    main()

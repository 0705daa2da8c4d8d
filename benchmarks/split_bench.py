"""Benchmarks of halvex.split: placing objects in windows, and splitting a dataset end to end.

Used by run.py, which owns the table; this module measures and returns times.
"""

from __future__ import annotations

import importlib
import pathlib
import shutil
import tempfile
import time

import cv2
import numpy as np

from halvex import ops
from halvex.split import assign, split_dataset, window_grid
from halvex.split.runner import patch_name


def dota_like_quadrilaterals(count, field, generator):
    """Rectangles of 8 to 120 px at any angle, every corner moved by up to 2 px: (count, 8)."""
    boxes = np.column_stack(
        [
            generator.uniform(0, field, (count, 2)),
            generator.uniform(8, 120, (count, 2)),
            generator.uniform(-np.pi, np.pi, count),
        ]
    )
    corners = ops.box_convert(boxes, "orva", "poly")
    return np.round(corners + generator.uniform(-2, 2, corners.shape), 1)


def shapely_assignment(rectangles, window_polygons, min_iof):
    """The usual formulation: shapely polygons, an STRtree of the windows, IoF per candidate pair."""
    import shapely

    tree = shapely.STRtree(window_polygons)
    objects, windows = tree.query(rectangles, predicate="intersects")
    iof = shapely.area(shapely.intersection(rectangles[objects], window_polygons[windows]))
    iof /= shapely.area(rectangles[objects])
    keep = iof >= min_iof
    return objects[keep], windows[keep], iof[keep]


def assignment_case(count=10_000, size=10_000, tile=1024, overlap=200, min_iof=0.7, seed=12):
    """halvex's and shapely's assignment of ``count`` objects to the windows of a size x size image.

    Returns the two callables, a description, and how many placements differ
    (pairs whose IoF lies within 1e-9 of the threshold excluded).
    """
    import shapely

    generator = np.random.default_rng(seed)
    polygons = dota_like_quadrilaterals(count, size, generator)
    windows = window_grid(size, size, tile, overlap)
    # shapely gets the fitted rectangles and the windows as polygons, made outside the timing.
    rectangle_corners = ops.box_convert(ops.box_convert(polygons, "poly", "orva"), "orva", "poly")
    rectangles = shapely.polygons(rectangle_corners.reshape(-1, 4, 2))
    window_polygons = shapely.box(*windows.T.astype(np.float64))

    def ours():
        return assign(polygons, windows, min_iof, threads=1)

    def theirs():
        return shapely_assignment(rectangles, window_polygons, min_iof)

    ours_result, theirs_result = ours(), theirs()
    exact = ops.box_iou(
        ops.box_convert(polygons, "poly", "orva"),
        np.column_stack([(windows[:, :2] + windows[:, 2:]) / 2, windows[:, 2:] - windows[:, :2], np.zeros(len(windows))]),
        mode="iof",
    )
    borderline = {tuple(pair) for pair in np.argwhere(np.abs(exact - min_iof) < 1e-9)}
    mine = set(zip(ours_result.object.tolist(), ours_result.window.tolist())) - borderline
    other = set(zip(theirs_result[0].tolist(), theirs_result[1].tolist())) - borderline
    described = f"{count} objects, {len(windows)} windows of a {size} px image"
    return ours, theirs, described, len(mine ^ other), len(mine)


# ---- end to end ------------------------------------------------------------------------


def write_synthetic_set(root, images, size, objects, seed=21):
    """Images that compress like aerial scenes (smooth structure, some noise) with DOTA labels."""
    generator = np.random.default_rng(seed)
    (root / "images").mkdir(parents=True)
    (root / "labels").mkdir()
    names = np.array(["plane", "ship", "storage-tank", "small-vehicle", "large-vehicle", "harbor"])
    for index in range(images):
        coarse = generator.integers(0, 256, (size // 16, size // 16, 3), dtype=np.uint8)
        image = cv2.resize(coarse, (size, size), interpolation=cv2.INTER_CUBIC)
        image = cv2.add(image, generator.integers(0, 12, image.shape, dtype=np.uint8))
        cv2.imwrite(str(root / "images" / f"P{index:04d}.png"), image)
        polygons = dota_like_quadrilaterals(objects, size, generator)
        categories = generator.choice(names, objects)
        lines = ["imagesource:synthetic", "gsd:0.5"]
        lines += [
            " ".join(f"{v:g}" for v in points) + f" {category} {int(generator.random() < 0.1)}"
            for points, category in zip(polygons, categories)
        ]
        (root / "labels" / f"P{index:04d}.txt").write_text("\n".join(lines) + "\n")


def opencv_io(images_dir, out, tile, overlap):
    """Pure image I/O of the same patches: read, crop (and pad), encode and write each with OpenCV."""
    (out / "images").mkdir(parents=True)
    for path in sorted(images_dir.glob("*.png")):
        image = cv2.imread(str(path), cv2.IMREAD_UNCHANGED)
        height, width = image.shape[:2]
        for window in window_grid(width, height, tile, overlap):
            x0, y0, x1, y1 = window
            patch = image[y0:y1, x0:x1]
            if patch.shape[:2] != (tile, tile):
                padded = np.zeros((tile, tile, *image.shape[2:]), image.dtype)
                padded[: y1 - y0, : x1 - x0] = patch
                patch = padded
            cv2.imwrite(str(out / "images" / f"{patch_name(path.stem, window)}.png"), patch)


def end_to_end(images=20, size=4000, objects=500, tile=1024, overlap=200, rounds=2):
    """Seconds for pure OpenCV I/O and for halvex.split in one process; images/s on 1 and 2 Dask workers.

    The one-process runs report wall-clock and CPU time (``<side>_cpu``): on a
    machine shared with other work, the CPU time of the process is what says
    how much halvex adds to the I/O.
    """
    distributed = importlib.import_module("distributed")
    times = {side: float("inf") for side in ("opencv", "halvex", "opencv_cpu", "halvex_cpu")}
    with tempfile.TemporaryDirectory(prefix="halvex-split-bench-") as temporary:
        root = pathlib.Path(temporary)
        write_synthetic_set(root / "set", images, size, objects)
        images_dir, labels_dir, out = root / "set/images", root / "set/labels", root / "out"

        def timed(function):
            shutil.rmtree(out, ignore_errors=True)
            start, start_cpu = time.perf_counter(), time.process_time()
            function()
            return time.perf_counter() - start, time.process_time() - start_cpu

        def record(side, function):
            wall, cpu = timed(function)
            times[side] = min(times[side], wall)
            times[f"{side}_cpu"] = min(times[f"{side}_cpu"], cpu)

        # Alternate the two sides, so that a burst of other work does not fall on one only.
        for _ in range(rounds):
            record("opencv", lambda: opencv_io(images_dir, out, tile, overlap))
            record(
                "halvex",
                lambda: split_dataset(images_dir, labels_dir, out, tile=tile, overlap=overlap, workers=0),
            )
        patches = len(list((out / "images").glob("*.png")))

        rates = {}
        for workers in (1, 2):
            # Workers started (and halvex.split imported there) before the clock runs.
            with distributed.LocalCluster(
                n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None
            ) as cluster, distributed.Client(cluster) as client:
                client.run(importlib.import_module, "halvex.split")
                elapsed, _ = timed(
                    lambda: split_dataset(
                        images_dir, labels_dir, out, tile=tile, overlap=overlap,
                        scheduler=cluster.scheduler_address,
                    )
                )
                rates[workers] = images / elapsed
    return times, rates, patches

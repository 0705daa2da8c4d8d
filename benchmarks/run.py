"""Speed of halvex against the numpy formulation, OpenCV / shapely and plain Albumentations.

Every ratio comes from this one run: baseline time / halvex time, so higher is
better and a ratio below 1 means halvex is slower than the baseline.  Writes

    benchmarks/results.md         the table (and the machine it ran on)
    benchmarks/time_per_box.png   time per box against the number of boxes

and prints the rows as they are measured.  Absolute times are for context only.

    python benchmarks/run.py [--quick]
"""

from __future__ import annotations

import argparse
import datetime
import importlib.metadata
import multiprocessing
import os
import pathlib
import platform
import sys
import time
from dataclasses import dataclass

import albumentations as A
import cv2
import numpy as np

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path[:0] = [str(ROOT / "tests"), str(ROOT / "examples")]

from numpy_formulation import boxes as boxes_reference
from numpy_formulation import clipping as clipping_reference
from numpy_formulation import intersections as intersections_reference
from numpy_formulation import rotations as reference

from halvex import ops
from halvex.preprocessing import kestril
from halvex.preprocessing.augmentations.transform.brisel import ChannelAssembler
from halvex.preprocessing.augmentations.transform.dalmire import RelativeCenterCrop
from halvex.preprocessing.augmentations.transform.morvane import MeshCrop, RelativeCrop
from halvex.preprocessing.augmentations.transform.orvetta import OneOfRetainProb
from halvex.preprocessing.augmentations.transform.quenfor import RelativePadding

rng = np.random.default_rng(0)
NUMPY = "numpy formulation"
QUICK = False  # --quick: shorter timings, for trying the script out


@dataclass
class Row:
    group: str
    function: str
    size: str
    baseline: str
    baseline_time: float
    halvex_time: float

    @property
    def ratio(self) -> float:
        return self.baseline_time / self.halvex_time


ROWS: list[Row] = []


def best_time(function, setup=lambda: (), budget=0.25):
    """Best per-call time of function(*setup()); the calls of one measurement share the arguments."""
    arguments = setup()
    function(*arguments)  # warm up
    calls, elapsed = 1, 0.0
    while True:
        start = time.perf_counter()
        for _ in range(calls):
            function(*arguments)
        elapsed = time.perf_counter() - start
        if elapsed >= (0.005 if QUICK else 0.04) or calls >= 1 << 20:
            break
        calls *= 4 if elapsed < 0.005 else 2
    best = elapsed / calls
    repeats = 2 if QUICK else max(3, min(15, int(budget / max(elapsed, 1e-9))))
    if elapsed > 0.25:  # seconds per call: one more is enough
        repeats = 0 if elapsed > 1.0 else 1
    for _ in range(repeats):
        start = time.perf_counter()
        for _ in range(calls):
            function(*arguments)
        best = min(best, (time.perf_counter() - start) / calls)
    return best


def compare(group, function, size, ours, theirs, setup=lambda: (), baseline=NUMPY, budget=0.25, rounds=3):
    # Alternate between the two sides, so that a burst of other work on the
    # machine does not fall on one side only.
    baseline_time = halvex_time = float("inf")
    for _ in range(1 if QUICK else rounds):
        baseline_time = min(baseline_time, best_time(theirs, setup, budget / rounds))
        halvex_time = min(halvex_time, best_time(ours, setup, budget / rounds))
    row = Row(group, function, size, baseline, baseline_time, halvex_time)
    ROWS.append(row)
    print(
        f"| {group:<12} | {function:<34} | {size:>11} | {baseline:<30} | {row.baseline_time * 1e6:>12.2f} "
        f"| {row.halvex_time * 1e6:>12.2f} | {row.ratio:>8.2f}x |",
        flush=True,
    )
    return row


# Geometry against the numpy formulation.


def random_orva(count, field=1000.0, dtype=np.float64):
    return np.column_stack(
        [
            rng.uniform(0, field, count),
            rng.uniform(0, field, count),
            rng.uniform(5, 80, count),
            rng.uniform(5, 80, count),
            rng.uniform(-np.pi, np.pi, count),
        ]
    ).astype(dtype)


def sheared_keypoints(count):
    keypoints = kestril.orva_to_keypoints(random_orva(count)).reshape(count, 3, 2)
    keypoints[:, 1:] += rng.normal(0, 3, (count, 2, 2))  # parallelograms, not rectangles
    return keypoints


def rotation_rows():
    for rotations in (1, 100, 10_000, 1_000_000):
        points = rng.normal(size=(rotations, 4, 2))
        angles = rng.normal(size=rotations)
        # Rotating in place repeatedly keeps the values finite and the work identical.
        compare(
            "rotations",
            "rot_points_multi_rads",
            f"R={rotations}",
            kestril.rot_points_multi_rads,
            reference.rot_points_multi_rads,
            lambda p=points, a=angles: (p.copy(), a),
        )
    for rotations in (1, 10_000, 1_000_000):
        matrices = rng.normal(size=(rotations, 2, 2))
        angles = rng.normal(size=rotations)
        compare(
            "rotations",
            "rot_mats_multi_rads",
            f"R={rotations}",
            kestril.rot_mats_multi_rads,
            reference.rot_mats_multi_rads,
            lambda m=matrices, a=angles: (m.copy(), a),
        )
    for count in (1, 10_000, 1_000_000):
        points = rng.normal(size=(count, 2))
        compare(
            "rotations",
            "get_angles_from_points",
            f"n={count}",
            kestril.get_angles_from_points,
            reference.get_angles_from_points,
            lambda p=points: (p,),
        )


def box_rows():
    for count in (1, 100, 10_000, 1_000_000):
        orva = random_orva(count)
        corners = kestril.orva_to_box_corners(orva)
        keypoints = sheared_keypoints(count)
        size = f"n={count}"
        compare(
            "boxes",
            "orva_to_box_corners",
            size,
            kestril.orva_to_box_corners,
            boxes_reference.orva_to_box_corners,
            lambda o=orva: (o,),
        )
        compare(
            "boxes",
            "orva_to_keypoints",
            size,
            kestril.orva_to_keypoints,
            boxes_reference.orva_to_keypoints,
            lambda o=orva: (o,),
        )
        # keypoints_to_orva rewrites rows 1 and 2 of its input in place: both sides work on
        # their own copy, made outside the timing; repeated calls do the same work.
        compare(
            "boxes",
            "keypoints_to_orva",
            size,
            kestril.keypoints_to_orva,
            boxes_reference.keypoints_to_orva,
            lambda k=keypoints: (k.copy(),),
        )
        compare(
            "boxes",
            "box_corners_to_orva",
            size,
            kestril.box_corners_to_orva,
            boxes_reference.box_corners_to_orva,
            lambda c=corners, o=orva: (c, -o[:, 4]),
        )
        compare(
            "boxes",
            "get_box_and_rotation_from_parallelogram_keypoints",
            size,
            kestril.get_box_and_rotation_from_parallelogram_keypoints,
            boxes_reference.get_box_and_rotation_from_parallelogram_keypoints,
            lambda k=keypoints: (k,),
        )
    memory_speed_rows(orva, corners, keypoints)
    for count in (10, 1000, 10_000):
        flat = kestril.orva_to_keypoints(random_orva(count))
        instances, positions = kestril.keypoints_trivial_lookup(len(flat))
        order = rng.permutation(len(flat))  # as a pipeline may hand them back
        arguments = (
            [tuple(point) for point in flat[order]],
            list(instances[order]),
            list(positions[order]),
        )
        compare(
            "boxes",
            "assemble_keypoints_after_shuffle",
            f"n={count}",
            kestril.assemble_keypoints_after_shuffle,
            boxes_reference.assemble_keypoints_after_shuffle,
            lambda a=arguments: a,
        )


def memory_speed_rows(orva, corners, keypoints):
    """The conversions of the largest size against numpy copying the bytes each reads and writes."""
    for function, arguments in (
        (kestril.orva_to_box_corners, (orva,)),
        (kestril.orva_to_keypoints, (orva,)),
        (kestril.keypoints_to_orva, (keypoints.copy(),)),
        (kestril.box_corners_to_orva, (corners, -orva[:, 4])),
        (kestril.get_box_and_rotation_from_parallelogram_keypoints, (keypoints,)),
    ):
        result = function(*arguments)
        outputs = result if isinstance(result, tuple) else (result,)
        compare(
            "memory speed",
            function.__name__,
            f"n={len(orva)}",
            lambda function=function, arguments=arguments: function(*arguments),
            lambda arguments=arguments, outputs=outputs: [
                np.array(array, copy=True) for array in (*arguments, *outputs)
            ],
            baseline="numpy copy of input and output",
            rounds=1,
        )


def thread_rows():
    """What threads give: inside halvex (all cores against one), and two Python
    threads converting at once with threading inside halvex off, which only
    scales if the interpreter lock is given up while the kernels run."""
    import threading

    import halvex

    count = 100_000 if QUICK else 1_000_000
    cores = halvex.get_num_threads()
    orva = random_orva(count)
    keypoints = sheared_keypoints(count)
    for function, arguments in (
        (kestril.orva_to_box_corners, (orva,)),
        (kestril.get_box_and_rotation_from_parallelogram_keypoints, (keypoints,)),
    ):

        def one_thread(function=function, arguments=arguments):
            halvex.set_num_threads(1)
            try:
                return function(*arguments)
            finally:
                halvex.set_num_threads(cores)

        compare(
            "threads",
            function.__name__,
            f"n={count}",
            lambda function=function, arguments=arguments: function(*arguments),
            one_thread,
            baseline=f"halvex, 1 thread (here {cores})",
            rounds=1,
        )

    batches = [random_orva(count) for _ in range(2)]

    def one_after_the_other():
        for boxes in batches:
            kestril.orva_to_box_corners(boxes)

    def side_by_side():
        workers = [
            threading.Thread(target=kestril.orva_to_box_corners, args=(boxes,)) for boxes in batches
        ]
        for worker in workers:
            worker.start()
        for worker in workers:
            worker.join()

    halvex.set_num_threads(1)
    try:
        compare(
            "threads",
            "orva_to_box_corners",
            f"2 x n={count}",
            side_by_side,
            one_after_the_other,
            baseline="2 calls in 1 Python thread",
            rounds=1,
        )
    finally:
        halvex.set_num_threads(cores)
    NOTES.append(
        f"Threads: 2 Python threads converting {count:,} boxes each at once (threading inside halvex "
        f"off) have {ROWS[-1].ratio:.2f}x the throughput of one thread doing both."
    )


def intersection_rows():
    import shapely

    for count in (100, 1000):
        a = kestril.inference_boxes_to_corners(random_orva(count, dtype=np.float32))
        b = kestril.inference_boxes_to_corners(random_orva(count, dtype=np.float32))
        compare(
            "intersections",
            "intersections",
            f"{count}x{count}",
            kestril.intersections,
            intersections_reference.intersections,
            lambda a=a, b=b: (*a, *b),
            budget=0.1,
        )
        compare(
            "intersections",
            "intersections",
            f"{count}x{count}",
            kestril.intersections,
            intersections_reference.intersections_vectorised,
            lambda a=a, b=b: (*a, *b),
            baseline="numpy, pair loop vectorised",
        )
        polygons_a = shapely.polygons(a[0][:, [0, 2, 3, 1]].astype(np.float64))
        polygons_b = shapely.polygons(b[0][:, [0, 2, 3, 1]].astype(np.float64))
        compare(
            "intersections",
            "intersections",
            f"{count}x{count}",
            kestril.intersections,
            lambda *_, pa=polygons_a, pb=polygons_b: shapely.intersects(pa[:, None], pb[None, :]),
            lambda a=a, b=b: (*a, *b),
            baseline="shapely intersects",
        )
        boxes = random_orva(count, dtype=np.float32)
        compare(
            "intersections",
            "inference_boxes_to_corners",
            f"n={count}",
            kestril.inference_boxes_to_corners,
            intersections_reference.inference_boxes_to_corners,
            lambda b=boxes: (b,),
        )


def peer_rows():
    orva = random_orva(1000)
    cv_boxes = [((x, y), (w, h), np.rad2deg(-r)) for x, y, w, h, r in orva]
    compare(
        "boxes",
        "orva_to_box_corners",
        "n=1000",
        kestril.orva_to_box_corners,
        lambda *_: [cv2.boxPoints(box) for box in cv_boxes],
        lambda: (orva,),
        baseline="OpenCV boxPoints, per box",
    )


CONVENTIONS = ["orva", "cxcywhr", "xywhr", "xyxyxyxy", "opencv", "le90", "le135", "oc", "ultralytics", "poly"]


def opencv_fit_to_orva(quadrilaterals):
    """What DOTA tooling does per label: cv2.minAreaRect, then its clockwise degrees to ORVA."""
    fitted = []
    for points in quadrilaterals:
        (x, y), (width, height), angle = cv2.minAreaRect(points)
        fitted.append([x, y, width, height, -angle / 180 * np.pi])
    return np.asarray(fitted)


def convention_rows():
    # DOTA-like labels: rectangles with every corner moved by up to 2 px, as float32 as OpenCV takes them.
    count = 20_000 if QUICK else 100_000
    corners = ops.box_convert(random_orva(count), "orva", "poly").reshape(count, 4, 2)
    labels = (corners + rng.uniform(-2, 2, corners.shape)).astype(np.float32)
    compare(
        "conventions",
        "box_convert poly -> orva",
        f"n={count}",
        lambda quadrilaterals: ops.box_convert(quadrilaterals, "poly", "orva"),
        opencv_fit_to_orva,
        lambda: (labels,),
        baseline="OpenCV minAreaRect, per box",
        rounds=1,
    )
    # Every pair against copying the bytes it reads and writes: how close to memory speed.
    count = 100_000 if QUICK else 1_000_000
    orva = random_orva(count)
    for source in CONVENTIONS:
        boxes = ops.box_convert(orva, "orva", source)
        for target in CONVENTIONS:
            result = ops.box_convert(boxes, source, target)
            compare(
                "conventions",
                f"box_convert {source} -> {target}",
                f"n={count}",
                lambda boxes, source=source, target=target: ops.box_convert(boxes, source, target),
                lambda boxes, result=result: (boxes.copy(), result.copy()),
                lambda boxes=boxes: (boxes,),
                baseline="numpy copy of input and output",
                budget=0.1,
                rounds=1,
            )


def clipper_rows():
    import shapely

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

    compare(
        "clipping",
        "clipper",
        "200 boxes",
        lambda: clip_all(kestril.clipper),
        lambda: clip_all(clipping_reference.clipper),
    )
    polygons = shapely.polygons(np.array(boxes))
    image = shapely.box(0, 0, 99, 79)
    compare(
        "clipping",
        "clipper",
        "200 boxes",
        lambda: clip_all(kestril.clipper),
        lambda: shapely.intersection(polygons, image),
        baseline="shapely intersection (polygon only)",
    )


# Rotated-box overlap and NMS (halvex.ops) against shapely and powerboxes.

NOTES: list[str] = []  # sentences for results.md beside the table


def overlap_scene(count, kind, generator):
    """ORVA boxes: sparse (centres in a 4096 px image, sides 8..120) or dense (centres in [90, 110]^2)."""
    boxes = np.empty((count, 5))
    if kind == "sparse":
        boxes[:, :2] = generator.uniform(0, 4096, (count, 2))
        boxes[:, 2:4] = generator.uniform(8, 120, (count, 2))
    else:
        boxes[:, :2] = generator.uniform(90, 110, (count, 2))
        boxes[:, 2:4] = generator.uniform(20, 60, (count, 2))
    boxes[:, 4] = generator.uniform(-np.pi, np.pi, count)
    return boxes


def powerboxes_convention(boxes):
    """powerboxes takes the angle in degrees, turning the other way."""
    converted = boxes.copy()
    converted[:, 4] = -np.rad2deg(boxes[:, 4])
    return converted


def shapely_iou_matrix(polygons_a, polygons_b):
    """shapely's best formulation: STRtree query for intersecting pairs, then intersection + area."""
    import shapely

    tree = shapely.STRtree(polygons_b)
    i, j = tree.query(polygons_a, predicate="intersects")
    inter = shapely.area(shapely.intersection(polygons_a[i], polygons_b[j]))
    union = shapely.area(polygons_a[i]) + shapely.area(polygons_b[j]) - inter
    matrix = np.zeros((len(polygons_a), len(polygons_b)))
    matrix[i, j] = inter / union
    return matrix


def peak_memory_of_pairs(count, field):
    """Peak resident memory of a fresh process during one box_iou_pairs call, above what it held before (bytes)."""
    import subprocess

    program = f"""
import numpy as np
from halvex import ops

def status(key):
    with open("/proc/self/status") as lines:
        return next(int(line.split()[1]) * 1024 for line in lines if line.startswith(key))

generator = np.random.default_rng(5)
boxes = np.empty(({count}, 5))
boxes[:, :2] = generator.uniform(0, {field}, ({count}, 2))
boxes[:, 2:4] = generator.uniform(8, 120, ({count}, 2))
boxes[:, 4] = generator.uniform(-np.pi, np.pi, {count})
ops.box_iou(boxes[:50], boxes[:50])
other = boxes[::-1].copy()
with open("/proc/self/clear_refs", "w") as clear:
    clear.write("5")  # the peak starts again from the memory held now
before = status("VmRSS:")
i, j, value = ops.box_iou_pairs(boxes, other)
print(status("VmHWM:") - before, len(value))
"""
    output = subprocess.run(
        [sys.executable, "-c", program], check=True, capture_output=True, text=True
    ).stdout.split()
    return int(output[0]), int(output[1])


def clustered_detections(count, generator, per_cluster=10):
    centres = overlap_scene(count // per_cluster, "sparse", generator)
    boxes = np.repeat(centres, per_cluster, axis=0)
    boxes[:, :2] += generator.normal(0, 3.0, (len(boxes), 2))
    boxes[:, 2:4] *= generator.uniform(0.85, 1.15, (len(boxes), 2))
    boxes[:, 4] += generator.normal(0, 0.05, len(boxes))
    return boxes, generator.uniform(0, 1, len(boxes))


def overlap_rows():
    import powerboxes
    import shapely

    from halvex import ops

    generator = np.random.default_rng(4)
    for kind, count in (("sparse", 2000), ("dense", 300)):
        a, b = overlap_scene(count, kind, generator), overlap_scene(count, kind, generator)
        pa, pb = powerboxes_convention(a), powerboxes_convention(b)
        polygons_a = shapely.polygons(kestril.orva_to_box_corners(a))
        polygons_b = shapely.polygons(kestril.orva_to_box_corners(b))
        size = f"{kind}, {count}x{count}"
        compare(
            "overlap", "box_iou", size, lambda: ops.box_iou(a, b),
            lambda: 1.0 - powerboxes.parallel_rotated_iou_distance(pa, pb),
            baseline="powerboxes parallel_rotated_iou_distance",
        )
        compare(
            "overlap", "box_iou", size, lambda: ops.box_iou(a, b),
            lambda: shapely_iou_matrix(polygons_a, polygons_b),
            baseline="shapely STRtree + intersection", budget=1.0,
        )

    one_a, one_b = overlap_scene(1, "dense", generator), overlap_scene(1, "dense", generator)
    one_pa, one_pb = powerboxes_convention(one_a), powerboxes_convention(one_b)
    one_polygons = shapely.polygons(kestril.orva_to_box_corners(np.concatenate([one_a, one_b])))
    compare(
        "overlap", "box_iou", "one pair", lambda: ops.box_iou(one_a, one_b),
        lambda: 1.0 - powerboxes.parallel_rotated_iou_distance(one_pa, one_pb),
        baseline="powerboxes parallel_rotated_iou_distance",
    )
    compare(
        "overlap", "box_iou", "one pair", lambda: ops.box_iou(one_a, one_b),
        lambda: shapely_iou_matrix(one_polygons[:1], one_polygons[1:]),
        baseline="shapely STRtree + intersection",
    )
    call_overhead = best_time(lambda: ops.box_area(one_a))
    NOTES.append(
        f"One pair: `box_iou` on (1, 5) x (1, 5) takes {ROWS[-1].halvex_time * 1e9:,.0f} ns per call; "
        f"the frame's call with one array argument (`box_area` of one box) takes {call_overhead * 1e9:,.0f} ns."
    )

    # The sparse form on a scene whose n x m matrix (80 GB) would not fit.
    count, field = (20_000, 14_654) if QUICK else (100_000, 32_768)
    big_a = overlap_scene(count, "sparse", generator)
    big_a[:, :2] *= field / 4096
    big_b = big_a[::-1].copy()
    polygons_a = shapely.polygons(kestril.orva_to_box_corners(big_a))
    polygons_b = polygons_a[::-1].copy()

    def shapely_pairs():
        tree = shapely.STRtree(polygons_b)
        i, j = tree.query(polygons_a, predicate="intersects")
        inter = shapely.area(shapely.intersection(polygons_a[i], polygons_b[j]))
        return i, j, inter / (shapely.area(polygons_a[i]) + shapely.area(polygons_b[j]) - inter)

    compare(
        "overlap", "box_iou_pairs", f"{count} sparse boxes, {field} px image",
        lambda: ops.box_iou_pairs(big_a, big_b), shapely_pairs,
        baseline="shapely STRtree + intersection", budget=1.0, rounds=1,
    )
    grown, found = peak_memory_of_pairs(count, field)
    NOTES.append(
        f"`box_iou_pairs` on {count:,} x {count:,} sparse boxes in a {field} px image found {found:,} pairs "
        f"in {ROWS[-1].halvex_time * 1e3:,.1f} ms; the call's peak resident memory above what the process "
        f"held before was {grown / 2**20:,.1f} MB, results included (the n x m float64 matrix would take "
        f"{count * count * 8 / 2**30:,.0f} GB)."
    )

    boxes, scores = clustered_detections(10_000, generator)
    converted = powerboxes_convention(boxes)
    kept = ops.nms(boxes, scores, 0.5)
    theirs = powerboxes.rtree_rotated_nms(converted, scores, 0.5, 0.0)
    compare(
        "overlap", "nms", "10000 boxes, clusters of 10", lambda: ops.nms(boxes, scores, 0.5),
        lambda: powerboxes.rtree_rotated_nms(converted, scores, 0.5, 0.0),
        baseline="powerboxes rtree_rotated_nms",
    )
    NOTES.append(
        f"`nms` at IoU 0.5 on 10,000 clustered detections kept {len(kept):,} boxes, "
        f"powerboxes `rtree_rotated_nms` {len(theirs):,}."
    )


# The dataset splitter: placing objects in windows, and a synthetic set end to end.


def split_rows():
    import split_bench

    ours, theirs, described, differing, placements = split_bench.assignment_case()
    compare("split", "assign", described, ours, theirs, baseline="shapely STRtree + IoF per pair", budget=1.0)
    NOTES.append(
        f"`halvex.split.assign` (polygon fit, exact IoF, inside test; one thread) placed {placements:,} "
        f"objects in windows; shapely's assignment of the same fitted rectangles differs in {differing} "
        "placements (pairs within 1e-9 of the threshold left out)."
    )
    images, size = (2, 2000) if QUICK else (8, 4000)
    times, rates, patches = split_bench.end_to_end(images=images, size=size, rounds=1 if QUICK else 2)
    described = f"{images} images {size}x{size}, 500 objects each"
    for row in (
        Row(
            "split", "split_dataset, one process, CPU time", described,
            "OpenCV read, crop, encode, write", times["opencv_cpu"], times["halvex_cpu"],
        ),
        Row("split", "split_dataset on 2 Dask workers", described, "1 Dask worker", 1 / rates[1], 1 / rates[2]),
    ):
        ROWS.append(row)
        print(f"split: {row.function}: {row.halvex_time:.2f} s; {row.baseline}: {row.baseline_time:.2f} s")
    NOTES.append(
        f"Splitting {images} synthetic images of {size} x {size} px (500 objects each) into {patches} patches "
        f"of 1024 px took {times['halvex_cpu']:.1f} s of CPU time ({times['halvex']:.1f} s wall-clock) in "
        f"one process; reading, cropping, encoding and writing the same patches with OpenCV alone took "
        f"{times['opencv_cpu']:.1f} s ({times['opencv']:.1f} s), so halvex.split adds "
        f"{(times['halvex_cpu'] / times['opencv_cpu'] - 1) * 100:.1f}% of CPU time "
        f"({(times['halvex'] / times['opencv'] - 1) * 100:.1f}% wall-clock, which other work on the machine "
        "moves by more than that) for reading and checking labels, placing and clipping objects, writing "
        "label files, and writing every file under a temporary name.  On a local "
        f"Dask cluster it split {rates[1]:.2f} images/s with 1 worker process and {rates[2]:.2f} with 2 "
        f"({rates[2] / rates[1]:.2f}x; workers started before the clock)."
    )


# Transforms against the plain Albumentations transform that does the same crop or pad.


def pipeline_time(transform, data, **compose_arguments):
    compose = A.Compose([transform], **compose_arguments)
    return lambda: compose(**data)


def transform_rows():
    image = np.random.default_rng(0).integers(0, 256, (256, 256, 3), dtype=np.uint8)
    keypoints = [tuple(point) for point in np.random.default_rng(1).uniform(0, 255, (30, 2))]
    keypoint_params = {"keypoint_params": A.KeypointParams("xy", remove_invisible=False)}
    data = {"keypoints": keypoints, "image": image}
    size = "256x256, 30 kp"

    # Ratios near 1 of calls this short drown in the machine's noise unless
    # each side gets many alternating rounds.
    def transform_row(name, ours, theirs, row_size=size, **arguments):
        compare(
            "transforms",
            name,
            row_size,
            pipeline_time(ours, data, **arguments),
            pipeline_time(theirs, data, **arguments),
            baseline=f"A.{type(theirs).__name__}",
            budget=1.5,
            rounds=8,
        )

    transform_row(
        "RelativeCrop",
        RelativeCrop(0.25, 0.125, 0.75, 0.625),
        A.Crop(64, 32, 192, 160),
        **keypoint_params,
    )
    mesh_crop = MeshCrop(2, 2, 0.5, 0.5, renorm=False)
    mesh_crop.update_crops(mesh_crop.all_crops)
    transform_row(
        "MeshCrop",
        mesh_crop,
        A.Crop(0, 0, 128, 128),
        row_size=f"{size}, 2x2 windows",
        **keypoint_params,
    )
    transform_row(
        "RelativeCenterCrop", RelativeCenterCrop(0.5), A.CenterCrop(256, 128), **keypoint_params
    )
    transform_row(
        "RelativePadding",
        RelativePadding(2.0),
        A.PadIfNeeded(256, 512, border_mode=cv2.BORDER_CONSTANT, value=0),
        **keypoint_params,
    )
    flips = [A.HorizontalFlip(p=0.2), A.VerticalFlip(p=0.3), A.Transpose(p=0.5)]
    one_of_retain = OneOfRetainProb(flips, 1.0)
    one_of = A.OneOf(flips, p=one_of_retain.p)  # member weights 0.2 : 0.3 : 0.5 in both
    small = {"image": np.zeros((8, 8), np.uint8)}
    compare(
        "transforms",
        "OneOfRetainProb",
        "8x8 image",
        lambda: one_of_retain(**small),
        lambda: one_of(**small),
        baseline="A.OneOf",
    )

    # MeshCrop's rescaling to [-1, 1] against the same numpy steps.
    big = np.random.default_rng(2).random((1024, 1024, 3)).astype(np.float32)
    rescaling = MeshCrop(1, 1, 1.0, 1.0)
    rescaling.update_params({}, image=big)
    compare(
        "transforms",
        "MeshCrop.apply (rescaling)",
        "1024x1024x3 float32",
        lambda: rescaling.apply(big, rows=1024, cols=1024),
        lambda: numpy_rescaled(big),
        baseline="numpy steps",
        budget=1.5,
        rounds=6,
    )

    from test_brisel import channel
    from test_brisel import reference as assembled_reference

    fields = [("a", "u1"), ("b", "u1"), ("c", "u2"), ("d", "u2"), ("e", "f4"), ("f", "f4")]
    structured = np.zeros((1024, 1024), fields)
    generator = np.random.default_rng(3)
    for name, kind in fields:
        structured[name] = (
            generator.integers(0, 200, (1024, 1024))
            if kind != "f4"
            else generator.random((1024, 1024))
        )
    assembler = ChannelAssembler([channel(name) for name, _ in fields], False, 1.0)

    def assemble():
        assembler._ChannelAssembler__last_img = None  # no answers from its one-entry memory
        return assembler.apply(structured)

    compare(
        "transforms",
        "ChannelAssembler.apply",
        "1024x1024, 6 fields",
        assemble,
        lambda: assembled_reference(structured, [(name, {}) for name, _ in fields]).copy(),
        baseline="numpy steps",
        budget=1.5,
        rounds=6,
    )


def numpy_rescaled(img):
    lo, hi = float(np.min(img)), float(np.max(img))
    span = hi - lo
    if span > 0:
        img = img.copy()
        np.subtract(img, lo, out=img)
        np.multiply(img, 2 / span, out=img)
        np.subtract(img, 1.0, out=img)
        np.clip(img, -1.0, 1.0, out=img)
    return img


# Data-loader throughput: the example pipeline in worker processes.


def one_thread_per_worker():
    # A data loader scales with processes; OpenCV's own thread pool in every
    # worker would compete with the other workers for the same cores.
    cv2.setNumThreads(1)


def throughput_rows(items):
    import dask_preprocess

    seeds = list(range(items))
    rates = {}
    for workers in (1, 2):
        with multiprocessing.get_context("spawn").Pool(
            workers, initializer=one_thread_per_worker
        ) as pool:
            pool.map(
                dask_preprocess.preprocess_item, range(1000, 1000 + 2 * workers), chunksize=1
            )  # start up
            start = time.perf_counter()
            pool.map(dask_preprocess.preprocess_item, seeds, chunksize=1)
            rates[workers] = items / (time.perf_counter() - start)
    rate_row("example pipeline in 2 worker processes", "1 worker process", items, rates)
    return rates


def rate_row(function, baseline, items, rates):
    """A data-loader row from images per second with 1 and with 2 workers (or threads)."""
    row = Row("data loader", function, f"{items} images", baseline, 1 / rates[1], 1 / rates[2])
    ROWS.append(row)
    print(
        f"{function}: {rates[1]:.1f} images/s with {baseline}, {rates[2]:.1f} with 2 ({row.ratio:.2f}x)"
    )


def dask_thread_rates(items):
    """Images per second of the Dask example on one worker process of 1 and of 2 threads."""
    import dask_preprocess

    rates = {}
    for threads in (1, 2):
        with dask_preprocess.cluster_client(None, workers=1, threads=threads) as client:
            warm_up = range(1000, 1000 + 2 * threads)
            client.gather(client.map(dask_preprocess.preprocess_item, warm_up, pure=False))
            start = time.perf_counter()
            client.gather(client.map(dask_preprocess.preprocess_item, range(items), pure=False))
            rates[threads] = items / (time.perf_counter() - start)
    rate_row("Dask example, 1 worker of 2 threads", "1 worker of 1 thread", items, rates)
    return rates


# Time per box against the number of boxes.


def scaling_series():
    series = {}
    counts = [1, 10, 100, 1000, 10_000, 100_000] + ([] if QUICK else [1_000_000])
    for name, ours, theirs, make in (
        (
            "orva_to_box_corners",
            kestril.orva_to_box_corners,
            boxes_reference.orva_to_box_corners,
            lambda n: (random_orva(n),),
        ),
        (
            "get_box_and_rotation_from_parallelogram_keypoints",
            kestril.get_box_and_rotation_from_parallelogram_keypoints,
            boxes_reference.get_box_and_rotation_from_parallelogram_keypoints,
            lambda n: (sheared_keypoints(n),),
        ),
    ):
        for label, function in (("halvex", ours), (NUMPY, theirs)):
            series[(name, label)] = [
                (n, best_time(function, lambda n=n, make=make: make(n), budget=0.05) / n)
                for n in counts
            ]
    pair_counts = [1, 3, 10, 30, 100, 300] + ([] if QUICK else [1000])
    for label, function, limit in (
        ("halvex", kestril.intersections, pair_counts[-1]),
        (NUMPY, intersections_reference.intersections, 300),
        (
            "numpy, pair loop vectorised",
            intersections_reference.intersections_vectorised,
            pair_counts[-1],
        ),
    ):
        points = []
        for n in pair_counts:
            if n > limit:
                continue
            a = kestril.inference_boxes_to_corners(random_orva(n, dtype=np.float32))
            b = kestril.inference_boxes_to_corners(random_orva(n, dtype=np.float32))
            points.append(
                (n, best_time(function, lambda a=a, b=b: (*a, *b), budget=0.05) / (n * n))
            )
        series[("intersections (per pair of boxes)", label)] = points
    return series


def plot(series, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = list(dict.fromkeys(name for name, _ in series))
    figure, axes = plt.subplots(
        1, len(names), figsize=(5.2 * len(names), 4.2), constrained_layout=True
    )
    styles = {
        "halvex": ("tab:green", "o"),
        NUMPY: ("tab:red", "s"),
        "numpy, pair loop vectorised": ("tab:orange", "^"),
    }
    for axis, name in zip(axes, names):
        for (series_name, label), points in series.items():
            if series_name != name:
                continue
            color, marker = styles[label]
            counts, times = zip(*points)
            axis.loglog(counts, np.array(times) * 1e9, marker=marker, color=color, label=label)
        title = name if len(name) < 32 else name.replace("_from_", "_from_\n")
        axis.set_title(title, fontsize=10)
        axis.set_xlabel("number of boxes" + (" in each set" if "pair" in name else ""))
        axis.set_ylabel("time per " + ("pair" if "pair" in name else "box") + " (ns)")
        axis.grid(True, which="both", alpha=0.3)
        axis.legend(fontsize=8)
    figure.suptitle("halvex against the numpy formulation (lower is better)", fontsize=11)
    figure.savefig(path, dpi=110)
    plt.close(figure)


def machine():
    model = platform.processor() or platform.machine()
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    import albumentations
    import shapely

    return (
        f"{model}, {os.cpu_count()} logical cores; Python {platform.python_version()}, numpy {np.__version__}, "
        f"OpenCV {cv2.__version__}, shapely {shapely.__version__}, powerboxes {importlib.metadata.version('powerboxes')}, "
        f"Albumentations {albumentations.__version__}"
    )


def vector_math_and_threads():
    import halvex

    return (
        f"vector math (cos/sin/atan2): {ops._vector_math_path}; "
        f"threads per call: {halvex.get_num_threads()} (`halvex.get_num_threads()`)"
    )


def load_average():
    try:
        return float(pathlib.Path("/proc/loadavg").read_text().split()[0])
    except (OSError, ValueError, IndexError):
        return float("nan")


def write_results(path, plot_path, rates, thread_rates, elapsed, loads):
    lines = [
        "# Benchmark results",
        "",
        (
            f"Written by `make bench` (`benchmarks/run.py`) on {datetime.date.today().isoformat()}; "
            f"all ratios from this one run ({elapsed:.0f} s)."
        ),
        (
            f"Machine: {machine()}; 1-minute load average {loads[0]:.1f} before and {loads[1]:.1f} after "
            "the run (other processes running beside it lower the speed-ups, most of all the one of the "
            "second worker process)."
        ),
        f"halvex: {vector_math_and_threads()}.",
        "",
        "Speed-up = baseline time / halvex time: above 1 halvex is faster, below 1 it is slower.",
        "Times are the best per-call time of several repeats.",
        "",
        "| group | function | size | baseline | baseline (µs) | halvex (µs) | speed-up |",
        "|---|---|---:|---|---:|---:|---:|",
    ]
    for row in ROWS:
        function = row.function if " " in row.function else f"`{row.function}`"
        lines.append(
            f"| {row.group} | {function} | {row.size} | {row.baseline} | "
            f"{row.baseline_time * 1e6:,.2f} | {row.halvex_time * 1e6:,.2f} | {row.ratio:,.2f}x |"
        )
    lines += ["", *NOTES]
    lines += [
        "",
        (
            "The example pipeline (structured image to float channels, Affine shear/rotation, "
            "OneOfRetainProb, RelativePadding, MeshCrop, box regrouping, rebuilding and clipping; "
            f"`examples/dask_preprocess.py`) ran at {rates[1]:.1f} images/s in 1 worker process and "
            f"{rates[2]:.1f} images/s in 2 (`multiprocessing`, spawn, one OpenCV thread per worker; each "
            "worker also makes its synthetic items); on a Dask cluster of one worker process "
            f"(`--threads`) at {thread_rates[1]:.1f} images/s with 1 thread and "
            f"{thread_rates[2]:.1f} images/s with 2."
        ),
        "",
        f"![time per box]({plot_path.name})",
        "",
    ]
    path.write_text("\n".join(lines))


def main():
    global QUICK
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--quick", action="store_true", help="short timings, to try the script out")
    parser.add_argument("--output-dir", type=pathlib.Path, default=HERE)
    arguments = parser.parse_args()
    QUICK = arguments.quick
    start = time.perf_counter()
    load_before = load_average()
    print(f"halvex: {vector_math_and_threads()}")
    print(
        "| group        | function                           |        size | baseline                       "
        "| baseline (us) |  halvex (us) |  speed-up |"
    )
    rotation_rows()
    box_rows()
    peer_rows()
    convention_rows()
    intersection_rows()
    clipper_rows()
    overlap_rows()
    split_rows()
    transform_rows()
    thread_rows()
    rates = throughput_rows(12 if QUICK else 48)
    thread_rates = dask_thread_rates(12 if QUICK else 48)
    series = scaling_series()
    arguments.output_dir.mkdir(parents=True, exist_ok=True)
    plot_path = arguments.output_dir / "time_per_box.png"
    plot(series, plot_path)
    results_path = arguments.output_dir / "results.md"
    write_results(
        results_path,
        plot_path,
        rates,
        thread_rates,
        time.perf_counter() - start,
        (load_before, load_average()),
    )
    print(f"wrote {results_path} and {plot_path} in {time.perf_counter() - start:.0f} s")


if __name__ == "__main__":
    main()
